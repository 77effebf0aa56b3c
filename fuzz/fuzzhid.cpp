#include "fuzzhid.h"

#include <algorithm>
#include <bitset>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "descriptor/descriptor.h"

struct _HIDP_PREPARSED_DATA {
    hidparse::CollectionPtr collection;
};

struct hid_device_ {
    bool usesReportIds = false;
    std::bitset<256> reportIds;
    size_t inputReportLength = 0;
    std::unique_ptr<uint8_t[]> readBuffer;
};

namespace {

// What hidraw hands over at most per report.
constexpr size_t kMaxReportSize = 16384;

struct Source {
    const uint8_t *descriptor = nullptr;
    size_t descriptorSize = 0;
    const uint8_t *stream = nullptr;
    size_t streamSize = 0;
    size_t position = 0;
} source;

const wchar_t kNoError[] = L"";

// The next record of the stream: false when there is none.
bool nextRecord(const uint8_t *&bytes, size_t &length)
{
    if (source.position + 2 > source.streamSize)
        return false;
    length = size_t(source.stream[source.position]) | size_t(source.stream[source.position + 1]) << 8;
    source.position += 2;
    length = std::min(length, source.streamSize - source.position);
    bytes = source.stream + source.position;
    source.position += length;
    return true;
}

const hidparse::Collection *collectionOf(PHIDP_PREPARSED_DATA preparsed)
{
    return preparsed ? preparsed->collection.get() : nullptr;
}

template <class Query> USHORT capsWritten(USHORT capacity, const void *array, Query query)
{
    if (!array)
        capacity = 0;
    USHORT count = capacity;
    const NTSTATUS status = query(&count);
    if (status != HIDP_STATUS_SUCCESS && status != HIDP_STATUS_BUFFER_TOO_SMALL)
        return 0;
    return std::min(count, capacity);
}

ULONG listCapacity(ULONG callerCapacity, ULONG parserMaximum)
{
    return callerCapacity == 0 ? parserMaximum : std::min(callerCapacity, parserMaximum);
}

} // namespace

namespace fuzzhid {

void serve(const uint8_t *descriptor, size_t descriptorSize, const uint8_t *stream, size_t streamSize)
{
    source = {descriptor, descriptorSize, stream, streamSize, 0};
}

} // namespace fuzzhid

int hid_init(void)
{
    return 0;
}

int hid_exit(void)
{
    return 0;
}

struct hid_device_info *hid_enumerate(unsigned short, unsigned short)
{
    return nullptr;
}

void hid_free_enumeration(struct hid_device_info *devs)
{
    while (devs) {
        hid_device_info *next = devs->next;
        free(devs->path);
        free(devs);
        devs = next;
    }
}

hid_device *hid_open_path(const char *path)
{
    if (!path || std::strcmp(path, fuzzhid::DevicePath) != 0)
        return nullptr;
    hidparse::DescriptorSummary summary;
    std::string error;
    if (!hidparse::summarize(source.descriptor, source.descriptorSize, summary, error) ||
        summary.collections.empty())
        return nullptr;
    hidparse::CollectionPtr collection =
        hidparse::parseCollection(source.descriptor, source.descriptorSize, 0, error);
    HIDP_CAPS caps{};
    if (!collection || hidparse::getCaps(*collection, &caps) != HIDP_STATUS_SUCCESS)
        return nullptr;
    auto dev = std::make_unique<hid_device>();
    dev->usesReportIds = summary.usesReportIds;
    for (uint8_t id : summary.collections[0].reportIds)
        dev->reportIds.set(id);
    dev->inputReportLength = caps.InputReportByteLength;
    dev->readBuffer = std::make_unique<uint8_t[]>(std::max(kMaxReportSize + 1, dev->inputReportLength));
    return dev.release();
}

hid_device *hid_open(unsigned short, unsigned short, const wchar_t *)
{
    return hid_open_path(fuzzhid::DevicePath);
}

void hid_close(hid_device *dev)
{
    delete dev;
}

int hid_read_timeout(hid_device *dev, unsigned char *data, size_t length, int)
{
    if (!dev || (!data && length > 0))
        return -1;
    uint8_t *const buffer = dev->readBuffer.get();
    const size_t offset = dev->usesReportIds ? 0 : 1;
    for (;;) {
        const uint8_t *bytes = nullptr;
        size_t n = 0;
        if (!nextRecord(bytes, n))
            return -1;
        if (n == 0)
            return 0;
        n = std::min(n, kMaxReportSize);
        std::memcpy(buffer + offset, bytes, n);
        if (offset)
            buffer[0] = 0;
        else if (!dev->reportIds.test(buffer[0])) // another collection's report: dropped
            continue;
        size_t delivered = offset + n;
        if (delivered < dev->inputReportLength) {
            std::memset(buffer + delivered, 0, dev->inputReportLength - delivered);
            delivered = dev->inputReportLength;
        }
        std::memcpy(data, buffer, std::min(delivered, length));
        return static_cast<int>(delivered);
    }
}

int hid_read(hid_device *dev, unsigned char *data, size_t length)
{
    return hid_read_timeout(dev, data, length, 0);
}

int hid_set_nonblocking(hid_device *dev, int)
{
    return dev ? 0 : -1;
}

int hid_write(hid_device *dev, const unsigned char *data, size_t length)
{
    return dev && data && length ? static_cast<int>(length) : -1;
}

int hid_send_feature_report(hid_device *dev, const unsigned char *data, size_t length)
{
    return dev && data && length ? static_cast<int>(length) : -1;
}

int hid_get_feature_report(hid_device *, unsigned char *, size_t)
{
    return -1;
}

namespace {

int deviceString(hid_device *dev, const wchar_t *text, wchar_t *string, size_t maxlen)
{
    if (!dev || !string || maxlen == 0)
        return -1;
    const size_t n = std::min(std::wcslen(text), maxlen - 1);
    std::wmemcpy(string, text, n);
    string[n] = L'\0';
    return 0;
}

} // namespace

int hid_get_manufacturer_string(hid_device *dev, wchar_t *string, size_t maxlen)
{
    return deviceString(dev, L"Maker", string, maxlen);
}

int hid_get_product_string(hid_device *dev, wchar_t *string, size_t maxlen)
{
    return deviceString(dev, L"Stick", string, maxlen);
}

int hid_get_serial_number_string(hid_device *dev, wchar_t *string, size_t maxlen)
{
    return deviceString(dev, L"SN1", string, maxlen);
}

int hid_get_indexed_string(hid_device *, int, wchar_t *, size_t)
{
    return -1;
}

const wchar_t *hid_error(hid_device *)
{
    return kNoError;
}

int hid_get_preparsed_data(hid_device *dev, PHIDP_PREPARSED_DATA *preparsed)
{
    if (!dev || !preparsed)
        return -1;
    std::string error;
    hidparse::CollectionPtr collection =
        hidparse::parseCollection(source.descriptor, source.descriptorSize, 0, error);
    if (!collection)
        return -1;
    *preparsed = new _HIDP_PREPARSED_DATA{std::move(collection)};
    return 0;
}

int hid_free_preparsed_data(hid_device *, PHIDP_PREPARSED_DATA preparsed)
{
    if (!preparsed)
        return -1;
    delete preparsed;
    return 0;
}

int hid_get_caps(hid_device *dev, PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps)
{
    const hidparse::Collection *c = collectionOf(preparsed);
    if (!dev || !c || !caps)
        return -1;
    return hidparse::getCaps(*c, caps) == HIDP_STATUS_SUCCESS ? 0 : -1;
}

int hid_get_buttoncaps(hid_device *dev, HIDP_REPORT_TYPE type, PHIDP_PREPARSED_DATA preparsed,
                       PHIDP_CAPS caps, PHIDP_BUTTON_CAPS button_caps)
{
    const hidparse::Collection *c = collectionOf(preparsed);
    if (!dev || !c || !caps)
        return -1;
    caps->NumberInputButtonCaps = capsWritten(caps->NumberInputButtonCaps, button_caps, [&](USHORT *count) {
        return hidparse::getButtonCaps(*c, type, button_caps, count);
    });
    return 0;
}

int hid_get_valuecaps(hid_device *dev, HIDP_REPORT_TYPE type, PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps,
                      PHIDP_VALUE_CAPS value_caps)
{
    const hidparse::Collection *c = collectionOf(preparsed);
    if (!dev || !c || !caps)
        return -1;
    caps->NumberInputValueCaps = capsWritten(caps->NumberInputValueCaps, value_caps, [&](USHORT *count) {
        return hidparse::getValueCaps(*c, type, value_caps, count);
    });
    return 0;
}

int hid_get_usages(hid_device *dev, const unsigned char *report, HIDP_REPORT_TYPE type,
                   PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS *caps, const HIDP_BUTTON_CAPS *page_source,
                   USHORT, PUSAGE usage_list, ULONG *usage_length)
{
    const hidparse::Collection *c = collectionOf(preparsed);
    if (!dev || !c || !report || !caps || !page_source || !usage_list || !usage_length)
        return -1;
    const USAGE page = page_source->UsagePage;
    ULONG count = listCapacity(*usage_length, hidparse::maxUsageListLength(*c, type, page));
    const NTSTATUS status =
        hidparse::getUsages(*c, type, page, 0, usage_list, &count, report, caps->InputReportByteLength);
    if (status != HIDP_STATUS_SUCCESS)
        return -1;
    *usage_length = count;
    return 0;
}

int hid_get_usagevalue(hid_device *dev, const unsigned char *report, HIDP_REPORT_TYPE type,
                       PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS *caps, USAGE usage_page, USAGE usage,
                       ULONG *value)
{
    const hidparse::Collection *c = collectionOf(preparsed);
    if (!dev || !c || !report || !caps || !value)
        return -1;
    return hidparse::getUsageValue(*c, type, usage_page, 0, usage, value, report,
                                   caps->InputReportByteLength) == HIDP_STATUS_SUCCESS
               ? 0
               : -1;
}

int hid_get_data(hid_device *dev, const unsigned char *report, HIDP_REPORT_TYPE type,
                 PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS *caps, PHIDP_DATA data_list,
                 ULONG *data_length)
{
    const hidparse::Collection *c = collectionOf(preparsed);
    if (!dev || !c || !report || !caps || !data_list || !data_length)
        return -1;
    ULONG count = listCapacity(*data_length, hidparse::maxDataListLength(*c, type));
    const NTSTATUS status =
        hidparse::getData(*c, type, data_list, &count, report, caps->InputReportByteLength);
    if (status != HIDP_STATUS_SUCCESS)
        return -1;
    *data_length = count;
    return 0;
}
