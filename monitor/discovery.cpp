// Discovery: turns one enumeration list into opened, verified and registered devices.
#include "hardwareinterface.h"

#include <QDebug>
#include <QMutexLocker>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "device/abstracthardware.h"
#include "device/inputdevice.h"
#include "hid/port.h"

namespace {

constexpr unsigned short joystickUsage = 4;
constexpr unsigned short gamepadUsage = 5;

bool isControllerCollection(const hid_device_info &record)
{
    return record.usage == joystickUsage || record.usage == gamepadUsage;
}

// Of a device with several top-level collections only the first ("&col01") is a controller
// candidate; a path without a collection suffix names the device's only collection.
bool isFirstCollection(const char *path)
{
    if (path == nullptr)
        return true;
    const char *suffix = std::strstr(path, "&col");
    if (suffix == nullptr)
        return true;
    return (std::strtoul(suffix + 4, nullptr, 16) & 0xFFFF) == 1;
}

// The device's path field must hold the whole registry key, terminator included.
bool pathFits(const char *path)
{
    return path == nullptr || std::strlen(path) < size_t(InputDevice::TextSize);
}

// A range adds its highest data index rather than its usage count; the numbers serve the log only.
template <typename Caps> unsigned countUsages(const Caps *caps, int count)
{
    unsigned total = 0;
    for (int i = 0; i < count; ++i)
        total += caps[i].IsRange ? caps[i].Range.DataIndexMax : 1;
    return total;
}

void reject(InputDevice *device)
{
    if (device->preparsedData() != nullptr)
        hid_free_preparsed_data(device->handle(), device->preparsedData());
    delete device; // closes the handle and deletes the behaviour object
}

// Only these say that the node is there but the user may not open it, which the udev rules mend.
bool isPermissionDenied(int error)
{
    return error == EACCES || error == EPERM;
}

void logAccessDenied(const hid_device_info &record)
{
    qDebug().noquote() << QString::asprintf(
        "No permission to open device 0x%04x-0x%04x at %s: install the udev rules (%s) and plug the "
        "controller in again",
        record.vendor_id, record.product_id, record.path, FLASHER_UDEV_RULES_FILE);
}

void logDevice(const InputDevice *device)
{
    const unsigned buttons = countUsages(device->buttonCaps(), device->caps().NumberInputButtonCaps);
    const unsigned axes = countUsages(device->valueCaps(), device->caps().NumberInputValueCaps);
    // Built at its full length: each of the three texts may be 259 bytes long.
    qDebug().noquote() << QString::asprintf("Device: 0x%04x-0x%04x:(b%03u,a%03u) %s - %s :: %s",
                                            device->vendorId(), device->productId(), buttons, axes,
                                            device->manufacturer(), device->product(), device->serial());
}

} // namespace

bool HardwareInterface::connectDevices(hid_device_info *list)
{
    bool opened = false;
    for (hid_device_info *record = list; record != nullptr; record = record->next) {
        if (!isControllerCollection(*record) || !isFirstCollection(record->path) || !pathFits(record->path))
            continue;
        const QString key = QString::fromUtf8(record->path != nullptr ? record->path : "");
        if (!devices.isEmpty() && devices.contains(key))
            continue;

        errno = 0;
        hid_device *handle = hid_open_path(record->path);
        if (handle == nullptr) {
            if (isPermissionDenied(errno) && m_accessNotices.denied(key))
                logAccessDenied(*record);
            continue;
        }
        m_accessNotices.opened(key);
        opened = true;

        auto *device = new InputDevice(new AbstractHardware());
        connect(device, SIGNAL(flashTick(uint, uint)), this, SLOT(FirmwareFlash(uint, uint)));
        device->attach(handle, record->path); // the path fits: checked by pathFits

        if (!device->describe() || !device->readInput()) {
            reject(device);
            continue;
        }
        device->hardware()->deviceAccepted();
        device->setActive(true);
        device->readIdentity(*record, QString::fromStdString(hidport::portOf(record->path)));
        {
            QMutexLocker locker(&m_registryLock);
            devices.insert(key, device);
        }
        logDevice(device);
        emit connectHardware(device);
    }
    hid_free_enumeration(list);
    return opened;
}
