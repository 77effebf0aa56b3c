#include "flashhardware.h"

#include "hid/hid.h"
#include "scanfilter.h"

FlashHardware::FlashHardware(QObject *parent) : HardwareInterface(parent) {}

bool FlashHardware::scan()
{
    const qsizetype before = deviceCount();
    // Each list goes to discovery before the next enumeration; a device that two rows list is
    // opened once because its path is registered by then.
    for (const ScanFilter &row : scanFilters)
        connectDevices(hid_enumerate(row.vendorId, row.productId));
    return deviceCount() != before;
}
