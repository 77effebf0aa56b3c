// Which registered device is a given unit of a batch, before and after it restarts. Units of one
// model often share a serial text or carry none, and a restart gives a unit a new path; the port it
// is plugged into is what stays. Used alike by the flash session, the window and the command line.
#pragma once

#include <QList>
#include <QSet>
#include <QString>

#include <cstdint>
#include <optional>

class InputDevice;

// What the programs show of a registered device, copied out of it under the registry lock.
struct DeviceSnapshot {
    QString path; // the registry key
    QString port; // empty where the platform tells none
    QString manufacturer, product, serial, version;
    uint16_t vendorId = 0, productId = 0;
    bool bootloader = false;

    static DeviceSnapshot of(const InputDevice &device, const QString &path);
};

// How a unit is found again: by its port, or where none is known, by a serial text that no other
// present device carries.
struct UnitIdentity {
    QString port;
    QString serial;

    static UnitIdentity of(const DeviceSnapshot &device) { return {device.port, device.serial}; }
    bool operator==(const UnitIdentity &) const = default;
};

enum class UnitMode { Any, Application, Bootloader };

// Whether `unit` can be found again among `present` after a restart: it has a port, or a
// non-empty serial text that exactly one present device carries.
bool canBeFoundAgain(const UnitIdentity &unit, const QList<DeviceSnapshot> &present);

// The present device that is `unit` in `mode`, none when there is no such device or when the
// serial text it stands on is carried by several (a twin could not be told from it). `excluded`
// paths are never answered: devices another flash has claimed.
std::optional<DeviceSnapshot> findUnit(const UnitIdentity &unit, const QList<DeviceSnapshot> &present,
                                       UnitMode mode = UnitMode::Any, const QSet<QString> &excluded = {});
