#include "scriptedhid.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>

#include "backend.h"
#include "helpers.h"
#include "port.h"

struct hid_device_ {
    std::string path;
    // Devices described by a report descriptor only.
    hidlinux::CollectionScope scope;
    std::unique_ptr<uint8_t[]> readBuffer;
};

namespace scripted {

namespace {
std::vector<Device> g_devices;
std::mutex g_lock;
int g_listsHandedOut = 0;
int g_listsFreed = 0;
// The device each preparsed data handed out belongs to.
std::map<PHIDP_PREPARSED_DATA, std::string> g_preparsedOwners;
} // namespace

std::vector<Device> &devices()
{
    return g_devices;
}
std::mutex &lock()
{
    return g_lock;
}

void reset()
{
    std::lock_guard guard(g_lock);
    g_devices.clear();
    g_listsHandedOut = g_listsFreed = 0;
    g_preparsedOwners.clear();
}

Device *byPath(const std::string &path)
{
    for (Device &device : g_devices) {
        if (device.path == path)
            return &device;
    }
    return nullptr;
}

} // namespace scripted

std::string hidport::portOf(const char *path)
{
    std::lock_guard guard(scripted::lock());
    const scripted::Device *device = path ? scripted::byPath(path) : nullptr;
    return device ? device->port : std::string();
}

namespace scripted {

int listsHandedOut()
{
    return g_listsHandedOut;
}
int listsFreed()
{
    return g_listsFreed;
}

HIDP_BUTTON_CAPS buttonRange(USAGE page, USAGE first, USAGE last, USHORT dataIndexMin, USHORT dataIndexMax)
{
    HIDP_BUTTON_CAPS caps{};
    caps.UsagePage = page;
    caps.IsRange = 1;
    caps.Range.UsageMin = first;
    caps.Range.UsageMax = last;
    caps.Range.DataIndexMin = dataIndexMin;
    caps.Range.DataIndexMax = dataIndexMax;
    return caps;
}

HIDP_BUTTON_CAPS buttonSingle(USAGE page, USAGE usage)
{
    HIDP_BUTTON_CAPS caps{};
    caps.UsagePage = page;
    caps.NotRange.Usage = usage;
    return caps;
}

HIDP_VALUE_CAPS valueSingle(USAGE page, USAGE usage)
{
    HIDP_VALUE_CAPS caps{};
    caps.UsagePage = page;
    caps.NotRange.Usage = usage;
    return caps;
}

HIDP_VALUE_CAPS valueRange(USAGE page, USAGE first, USAGE last, USHORT dataIndexMax)
{
    HIDP_VALUE_CAPS caps{};
    caps.UsagePage = page;
    caps.IsRange = 1;
    caps.Range.UsageMin = first;
    caps.Range.UsageMax = last;
    caps.Range.DataIndexMax = dataIndexMax;
    return caps;
}

Device joystick(const std::string &path, std::vector<ValueUsage> values, int buttonCount)
{
    Device device;
    device.path = path;
    for (const ValueUsage &value : values)
        device.valueCaps.push_back(valueSingle(value.page, value.usage));
    device.values = std::move(values);
    if (buttonCount > 0) {
        device.buttonCaps.push_back(buttonRange(9, 1, USAGE(buttonCount), 0, USHORT(buttonCount - 1)));
        for (int usage = 1; usage <= buttonCount; ++usage)
            device.buttonUsages.push_back(USAGE(usage));
    }
    device.caps.Usage = 4;
    device.caps.UsagePage = 1;
    device.caps.InputReportByteLength =
        USHORT(1 + device.values.size() + (device.buttonUsages.size() + 7) / 8);
    device.caps.FeatureReportByteLength = 65;
    device.caps.NumberInputButtonCaps = USHORT(device.buttonCaps.size());
    device.caps.NumberInputValueCaps = USHORT(device.valueCaps.size());
    return device;
}

} // namespace scripted

using namespace scripted;

namespace {

Device *deviceOf(hid_device *handle)
{
    return handle != nullptr ? byPath(handle->path) : nullptr;
}

// The parsed collection of a device described by a report descriptor, else null.
const hidparse::Collection *parsedCollection(const Device &device, PHIDP_PREPARSED_DATA preparsed)
{
    return !device.descriptor.empty() && preparsed != nullptr ? preparsed->collection.get() : nullptr;
}

// A read of a device described by a report descriptor: the next scripted report as the Linux
// layer delivers it.
int readDescribed(Device &device, hid_device *dev, unsigned char *data, size_t length)
{
    uint8_t *const buffer = dev->readBuffer.get();
    const size_t offset = dev->scope.readOffset();
    for (;;) {
        if (device.reads.empty())
            return 0;
        Read read = std::move(device.reads.front());
        device.reads.pop_front();
        if (read.kind == Read::Failure)
            return -1;
        if (read.kind == Read::Timeout || read.report.empty())
            return 0;
        const size_t n = std::min(read.report.size(), hidlinux::kMaxReportSize);
        std::memcpy(buffer + offset, read.report.data(), n);
        const size_t delivered = hidlinux::completeReport(dev->scope, buffer, n);
        if (delivered == 0)
            continue; // another collection's report: dropped
        std::memcpy(data, buffer, std::min(delivered, length));
        return static_cast<int>(delivered);
    }
}

int copyString(hid_device *handle, std::optional<std::wstring> Device::*field, wchar_t *string, size_t maxlen)
{
    std::lock_guard guard(lock());
    Device *device = deviceOf(handle);
    if (device == nullptr || !(device->*field) || maxlen == 0)
        return -1;
    const std::wstring &text = *(device->*field);
    const size_t length = std::min(text.size(), maxlen - 1);
    std::wmemcpy(string, text.data(), length);
    string[length] = L'\0';
    return 0;
}

} // namespace

extern "C" {

hid_device_info *hid_enumerate(unsigned short vendor_id, unsigned short product_id)
{
    std::lock_guard guard(lock());
    hid_device_info *head = nullptr;
    hid_device_info **tail = &head;
    for (const Device &device : devices()) {
        if (!device.plugged || (vendor_id != 0 && device.vendorId != vendor_id) ||
            (product_id != 0 && device.productId != product_id))
            continue;
        auto *record = static_cast<hid_device_info *>(calloc(1, sizeof(hid_device_info)));
        record->path = strdup(device.path.c_str());
        record->vendor_id = device.vendorId;
        record->product_id = device.productId;
        record->release_number = device.releaseNumber;
        record->usage_page = device.usagePage;
        record->usage = device.usage;
        record->interface_number = -1;
        *tail = record;
        tail = &record->next;
    }
    if (head != nullptr)
        ++g_listsHandedOut;
    return head;
}

void hid_free_enumeration(hid_device_info *devs)
{
    if (devs == nullptr)
        return;
    std::lock_guard guard(lock());
    ++g_listsFreed;
    hidbackend::freeEnumeration(devs);
}

hid_device *hid_open_path(const char *path)
{
    std::lock_guard guard(lock());
    Device *device = byPath(path != nullptr ? path : "");
    if (device == nullptr || !device->plugged || device->failOpen) {
        errno = device != nullptr && device->plugged ? device->openErrno : ENOENT;
        return nullptr;
    }
    auto handle = std::make_unique<hid_device>();
    handle->path = device->path;
    if (!device->descriptor.empty()) {
        std::string why;
        if (!hidlinux::scopeCollection(device->descriptor, 0, device->path, handle->scope, why)) {
            errno = EINVAL;
            return nullptr;
        }
        handle->readBuffer = std::make_unique<uint8_t[]>(handle->scope.readBufferSize());
    }
    ++device->opens;
    return handle.release();
}

void hid_close(hid_device *dev)
{
    if (dev == nullptr)
        return;
    {
        std::lock_guard guard(lock());
        if (Device *device = deviceOf(dev))
            ++device->closes;
    }
    delete dev;
}

int hid_read_timeout(hid_device *dev, unsigned char *data, size_t length, int)
{
    std::lock_guard guard(lock());
    Device *device = deviceOf(dev);
    if (device == nullptr)
        return -1;
    if (!device->steadyReports.empty()) {
        const Bytes &report =
            device->steadyReports[device->nextSteadyReport++ % device->steadyReports.size()];
        std::memcpy(data, report.data(), std::min(length, report.size()));
        return int(report.size());
    }
    device->readLengths.push_back(length);
    if (device->failEveryRead || !device->plugged)
        return -1;
    if (!device->descriptor.empty())
        return readDescribed(*device, dev, data, length);
    if (device->reads.empty())
        return 0;
    Read read = std::move(device->reads.front());
    device->reads.pop_front();
    if (read.kind == Read::Failure)
        return -1;
    if (read.kind == Read::Timeout)
        return 0;
    std::memcpy(data, read.report.data(), std::min(length, read.report.size()));
    return int(read.report.size()); // the full length, as the layer does
}

int hid_send_feature_report(hid_device *dev, const unsigned char *data, size_t length)
{
    std::lock_guard guard(lock());
    Device *device = deviceOf(dev);
    if (device == nullptr || !device->plugged)
        return -1;
    const int number = int(device->featureReports.size());
    if (number == device->unplugAtFeatureReportNumber) {
        device->plugged = false;
        return -1;
    }
    if (number == device->refuseFeatureReportNumber)
        return -1;
    device->featureReports.emplace_back(data, data + length);
    return number == device->shortFeatureReportNumber && length > 0 ? int(length) - 1 : int(length);
}

int hid_get_manufacturer_string(hid_device *dev, wchar_t *string, size_t maxlen)
{
    return copyString(dev, &Device::manufacturer, string, maxlen);
}

int hid_get_product_string(hid_device *dev, wchar_t *string, size_t maxlen)
{
    return copyString(dev, &Device::product, string, maxlen);
}

int hid_get_serial_number_string(hid_device *dev, wchar_t *string, size_t maxlen)
{
    return copyString(dev, &Device::serial, string, maxlen);
}

int hid_get_preparsed_data(hid_device *dev, PHIDP_PREPARSED_DATA *preparsed)
{
    std::lock_guard guard(lock());
    Device *device = deviceOf(dev);
    if (device == nullptr || device->failPreparsed)
        return -1;
    if (device->descriptor.empty()) {
        *preparsed = new _HIDP_PREPARSED_DATA{};
    } else {
        std::string why;
        *preparsed = hidlinux::preparse(device->descriptor, 0, why);
        if (*preparsed == nullptr)
            return -1;
    }
    ++device->preparsedTaken;
    g_preparsedOwners[*preparsed] = device->path;
    return 0;
}

int hid_free_preparsed_data(hid_device *, PHIDP_PREPARSED_DATA preparsed)
{
    if (preparsed == nullptr)
        return -1;
    {
        std::lock_guard guard(lock());
        const auto owner = g_preparsedOwners.find(preparsed);
        if (owner != g_preparsedOwners.end()) {
            if (Device *device = byPath(owner->second))
                ++device->preparsedFreed;
            g_preparsedOwners.erase(owner);
        }
    }
    delete preparsed;
    return 0;
}

int hid_get_caps(hid_device *dev, PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps)
{
    std::lock_guard guard(lock());
    Device *device = deviceOf(dev);
    if (device == nullptr || device->failCaps)
        return -1;
    if (const hidparse::Collection *c = parsedCollection(*device, preparsed))
        return hidparse::getCaps(*c, caps) == HIDP_STATUS_SUCCESS ? 0 : -1;
    *caps = device->caps;
    return 0;
}

int hid_get_buttoncaps(hid_device *dev, HIDP_REPORT_TYPE type, PHIDP_PREPARSED_DATA preparsed,
                       PHIDP_CAPS caps, PHIDP_BUTTON_CAPS button_caps)
{
    std::lock_guard guard(lock());
    Device *device = deviceOf(dev);
    if (device == nullptr)
        return -1;
    device->buttonCapsCapacities.push_back(caps->NumberInputButtonCaps);
    if (const hidparse::Collection *c = parsedCollection(*device, preparsed)) {
        hidlinux::queryButtonCaps(*c, type, caps, button_caps);
        return 0;
    }
    const size_t count = std::min<size_t>(caps->NumberInputButtonCaps, device->buttonCaps.size());
    std::copy_n(device->buttonCaps.begin(), count, button_caps);
    caps->NumberInputButtonCaps = USHORT(count);
    return 0;
}

int hid_get_valuecaps(hid_device *dev, HIDP_REPORT_TYPE type, PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps,
                      PHIDP_VALUE_CAPS value_caps)
{
    std::lock_guard guard(lock());
    Device *device = deviceOf(dev);
    if (device == nullptr)
        return -1;
    device->valueCapsCapacities.push_back(caps->NumberInputValueCaps);
    if (const hidparse::Collection *c = parsedCollection(*device, preparsed)) {
        hidlinux::queryValueCaps(*c, type, caps, value_caps);
        return 0;
    }
    const size_t count = std::min<size_t>(caps->NumberInputValueCaps, device->valueCaps.size());
    std::copy_n(device->valueCaps.begin(), count, value_caps);
    caps->NumberInputValueCaps = USHORT(count);
    return 0;
}

int hid_get_usages(hid_device *dev, const unsigned char *report, HIDP_REPORT_TYPE type,
                   PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS *caps, const HIDP_BUTTON_CAPS *page_source,
                   USHORT, PUSAGE usage_list, ULONG *usage_length)
{
    std::lock_guard guard(lock());
    Device *device = deviceOf(dev);
    if (device == nullptr)
        return -1;
    if (device->steadyReports.empty())
        device->usageListCapacities.push_back(*usage_length);
    if (const hidparse::Collection *c = parsedCollection(*device, preparsed))
        return hidlinux::queryUsages(*c, type, page_source->UsagePage, report, *caps, usage_list,
                                     usage_length) == HIDP_STATUS_SUCCESS
                   ? 0
                   : -1;
    if (page_source->UsagePage != device->buttonPage) {
        *usage_length = 0;
        return 0;
    }
    const size_t maskStart = 1 + device->values.size();
    ULONG written = 0;
    for (size_t bit = 0; bit < device->buttonUsages.size(); ++bit) {
        if ((report[maskStart + bit / 8] >> (bit % 8) & 1) == 0)
            continue;
        if (written == *usage_length)
            return -1; // the parser's answer to a list that is too short
        usage_list[written++] = device->buttonUsages[bit];
    }
    *usage_length = written;
    return 0;
}

int hid_get_usagevalue(hid_device *dev, const unsigned char *report, HIDP_REPORT_TYPE type,
                       PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS *caps, USAGE usage_page, USAGE usage,
                       ULONG *value)
{
    std::lock_guard guard(lock());
    Device *device = deviceOf(dev);
    if (device == nullptr)
        return -1;
    if (const hidparse::Collection *c = parsedCollection(*device, preparsed))
        return hidlinux::queryUsageValue(*c, type, usage_page, usage, report, *caps, value) ==
                       HIDP_STATUS_SUCCESS
                   ? 0
                   : -1;
    for (size_t i = 0; i < device->values.size(); ++i) {
        if (device->values[i].page == usage_page && device->values[i].usage == usage) {
            *value = report[1 + i];
            return 0;
        }
    }
    return -1;
}

} // extern "C"
