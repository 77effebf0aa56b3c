// Discovery: turns one enumeration list into opened, verified and registered devices.
#include "hardwareinterface.h"

#include <QDebug>
#include <QMutexLocker>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device/abstracthardware.h"
#include "device/inputdevice.h"
#include "hid/port.h"

namespace {

constexpr unsigned short joystickUsage = 4;
constexpr unsigned short gamepadUsage = 5;
constexpr unsigned long stringReadPauseMs = 10;

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
    return path == nullptr || std::strlen(path) < sizeof(InputDevice::path);
}

// A range adds its highest data index rather than its usage count; the numbers serve the log only.
template <typename Caps> unsigned countUsages(const Caps *caps, int count)
{
    unsigned total = 0;
    for (int i = 0; i < count; ++i)
        total += caps[i].IsRange ? caps[i].Range.DataIndexMax : 1;
    return total;
}

// Hands the query at most `capacity` entries and says in the log when the device declares more.
USHORT limitCapacity(USHORT declared, USHORT capacity, const char *what, const char *path)
{
    if (declared > capacity)
        qDebug().noquote() << QStringLiteral(
                                  "Device %1 declares %2 input %3 capabilities; only the first %4 are used")
                                  .arg(QString::fromUtf8(path))
                                  .arg(declared)
                                  .arg(QString::fromLatin1(what))
                                  .arg(capacity);
    return std::min(declared, capacity);
}

// The decode fills one slot per value usage, ranges expanded; the slots past the last are lost.
void logValueUsagesCut(const InputDevice *device)
{
    long usages = 0;
    for (int i = 0; i < device->caps.NumberInputValueCaps; ++i) {
        const HIDP_VALUE_CAPS &entry = device->valueCaps[i];
        usages += !entry.IsRange ? 1 : std::max(0, int(entry.Range.UsageMax) - int(entry.Range.UsageMin) + 1);
    }
    if (usages > InputDevice::AnalogCount)
        qDebug().noquote() << QStringLiteral(
                                  "Device %1 declares %2 input value usages; only the first %3 are decoded")
                                  .arg(QString::fromUtf8(device->path))
                                  .arg(usages)
                                  .arg(InputDevice::AnalogCount);
}

} // namespace

bool describeInputDevice(InputDevice *device)
{
    if (hid_get_preparsed_data(device->handle, &device->preparsedData) < 0) {
        device->preparsedData = nullptr;
        return false;
    }
    if (hid_get_caps(device->handle, device->preparsedData, &device->caps) < 0)
        return false;
    if (device->caps.InputReportByteLength > InputDevice::ReportSize)
        qDebug().noquote()
            << QStringLiteral("Device %1 has %2-byte input reports; only the first %3 bytes are read and its "
                              "reports are not decoded")
                   .arg(QString::fromUtf8(device->path))
                   .arg(device->caps.InputReportByteLength)
                   .arg(InputDevice::ReportSize);
    device->caps.NumberInputButtonCaps = limitCapacity(device->caps.NumberInputButtonCaps,
                                                       InputDevice::ButtonCapsCount, "button", device->path);
    if (hid_get_buttoncaps(device->handle, HidP_Input, device->preparsedData, &device->caps,
                           device->buttonCaps) < 0)
        return false;
    device->caps.NumberInputValueCaps =
        limitCapacity(device->caps.NumberInputValueCaps, InputDevice::ValueCapsCount, "value", device->path);
    if (hid_get_valuecaps(device->handle, HidP_Input, device->preparsedData, &device->caps,
                          device->valueCaps) < 0)
        return false;
    // The layer writes no more than the capacity, but the decode trusts these counts as bounds.
    device->caps.NumberInputButtonCaps =
        std::min<USHORT>(device->caps.NumberInputButtonCaps, InputDevice::ButtonCapsCount);
    device->caps.NumberInputValueCaps =
        std::min<USHORT>(device->caps.NumberInputValueCaps, InputDevice::ValueCapsCount);
    logValueUsagesCut(device);
    return true;
}

namespace {

void reject(InputDevice *device)
{
    if (device->preparsedData != nullptr)
        hid_free_preparsed_data(device->handle, device->preparsedData);
    delete device; // closes the handle and deletes the behaviour object
}

void readIdentity(InputDevice *device, const hid_device_info &record)
{
    device->releaseNumber = record.release_number;
    device->productId = record.product_id;
    device->vendorId = record.vendor_id;
    QThread::msleep(stringReadPauseMs);
    device->readSerial(device->serial);
    QThread::msleep(stringReadPauseMs);
    device->readManufacturer(device->manufacturer);
    QThread::msleep(stringReadPauseMs);
    device->readProduct(device->product);
    std::snprintf(device->versionText, InputDevice::VersionTextBound, "%x.%x", device->releaseNumber >> 8,
                  device->releaseNumber & 0xFF);
    device->port = QString::fromStdString(hidport::portOf(record.path));
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
    const unsigned buttons = countUsages(device->buttonCaps, device->caps.NumberInputButtonCaps);
    const unsigned axes = countUsages(device->valueCaps, device->caps.NumberInputValueCaps);
    // Built at its full length: each of the three texts may be 259 bytes long.
    qDebug().noquote() << QString::asprintf("Device: 0x%04x-0x%04x:(b%03u,a%03u) %s - %s :: %s",
                                            device->vendorId, device->productId, buttons, axes,
                                            device->manufacturer, device->product, device->serial);
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
        device->handle = handle;
        if (record->path != nullptr)
            std::strcpy(device->path, record->path); // fits: checked by pathFits

        if (!describeInputDevice(device) || !device->readInput()) {
            reject(device);
            continue;
        }
        device->hardware->deviceAccepted();
        device->active = true;
        readIdentity(device, *record);
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
