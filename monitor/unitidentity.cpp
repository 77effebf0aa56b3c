#include "unitidentity.h"

#include <QtGlobal>

#include <algorithm>

#include "device/inputdevice.h"

namespace {

// Device texts are NUL-terminated UTF-8 in fixed fields; the bound keeps a field that lost its
// terminator from being read past its end.
QString fieldText(const char *field)
{
    return QString::fromUtf8(field, qsizetype(qstrnlen(field, InputDevice::TextSize)));
}

bool inMode(const DeviceSnapshot &device, UnitMode mode)
{
    return mode == UnitMode::Any || device.bootloader == (mode == UnitMode::Bootloader);
}

qsizetype carriersOf(const QString &serial, const QList<DeviceSnapshot> &present)
{
    return std::count_if(present.cbegin(), present.cend(),
                         [&](const DeviceSnapshot &device) { return device.serial == serial; });
}

} // namespace

DeviceSnapshot DeviceSnapshot::of(const InputDevice &device, const QString &path)
{
    return {path,
            device.port(),
            fieldText(device.manufacturer()),
            fieldText(device.product()),
            fieldText(device.serial()),
            fieldText(device.versionText()),
            device.vendorId(),
            device.productId(),
            isBootloaderProduct(device.product())};
}

bool canBeFoundAgain(const UnitIdentity &unit, const QList<DeviceSnapshot> &present)
{
    return !unit.port.isEmpty() || (!unit.serial.isEmpty() && carriersOf(unit.serial, present) == 1);
}

std::optional<DeviceSnapshot> findUnit(const UnitIdentity &unit, const QList<DeviceSnapshot> &present,
                                       UnitMode mode, const QSet<QString> &excluded)
{
    const auto usable = [&](const DeviceSnapshot &device) {
        return inMode(device, mode) && !excluded.contains(device.path);
    };
    if (!unit.port.isEmpty()) {
        for (const DeviceSnapshot &device : present) {
            if (device.port == unit.port && usable(device))
                return device;
        }
        return std::nullopt;
    }
    if (unit.serial.isEmpty() || carriersOf(unit.serial, present) != 1)
        return std::nullopt;
    for (const DeviceSnapshot &device : present) {
        if (device.serial == unit.serial)
            return usable(device) ? std::optional(device) : std::nullopt;
    }
    return std::nullopt;
}
