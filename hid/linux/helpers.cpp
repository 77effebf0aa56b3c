#include "helpers.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "backend.h"
#include "hexdigit.h"

namespace hidlinux {

namespace {

// Takes one hexadecimal field of 1 to 8 digits (as many as an unsigned holds) off the front of
// `text`. False when there is none or it is longer.
bool takeHexField(std::string_view &text, unsigned &value)
{
    size_t digits = 0;
    value = 0;
    for (; digits < text.size() && hexDigitValue(text[digits]) >= 0; ++digits) {
        if (digits == 8)
            return false;
        value = value * 16 + static_cast<unsigned>(hexDigitValue(text[digits]));
    }
    text.remove_prefix(digits);
    return digits > 0;
}

} // namespace

// ---- Text ----------------------------------------------------------------------------------

size_t decodeUtf8(std::string_view in, wchar_t *out, size_t capacity)
{
    size_t written = 0;
    size_t i = 0;
    while (i < in.size() && written + 1 < capacity) {
        const auto lead = static_cast<unsigned char>(in[i]);
        unsigned extra = 0;
        char32_t cp = 0, min = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xe0) == 0xc0) {
            extra = 1, cp = lead & 0x1f, min = 0x80;
        } else if ((lead & 0xf0) == 0xe0) {
            extra = 2, cp = lead & 0x0f, min = 0x800;
        } else if ((lead & 0xf8) == 0xf0) {
            extra = 3, cp = lead & 0x07, min = 0x10000;
        } else {
            extra = 0, cp = 0xfffd;
        }
        ++i;
        bool valid = lead < 0x80 || extra > 0;
        for (unsigned k = 0; k < extra && valid; ++k) {
            if (i >= in.size() || (static_cast<unsigned char>(in[i]) & 0xc0) != 0x80) {
                valid = false;
                break;
            }
            cp = (cp << 6) | (static_cast<unsigned char>(in[i]) & 0x3f);
            ++i;
        }
        if (!valid || cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
            cp = 0xfffd;
        out[written++] = static_cast<wchar_t>(cp);
    }
    out[written] = L'\0';
    return written;
}

// ---- Paths and uevent fields ---------------------------------------------------------------

bool parseCollectionPath(std::string_view path, CollectionPath &out)
{
    const size_t at = path.rfind("&col");
    if (at == std::string_view::npos) {
        out = {std::string(path), 0, false};
        return true;
    }
    const std::string_view digits = path.substr(at + 4);
    const int high = digits.size() == 2 ? hexDigitValue(digits[0]) : -1;
    const int low = digits.size() == 2 ? hexDigitValue(digits[1]) : -1;
    if (high < 0 || low < 0 || high * 16 + low == 0)
        return false;
    out = {std::string(path.substr(0, at)), static_cast<size_t>(high * 16 + low - 1), true};
    return true;
}

std::string collectionPath(const char *node, size_t index, size_t count)
{
    std::string path = node;
    if (count > 1) {
        // Two hex digits: enumeration lists at most kMaxTopLevelCollections (255) collections.
        static_assert(hidparse::kMaxTopLevelCollections <= 0xff);
        char suffix[8];
        snprintf(suffix, sizeof suffix, "&col%02x", static_cast<unsigned>(index + 1) & 0xffu);
        path += suffix;
    }
    return path;
}

bool pathRulesOut(std::string_view syspath, unsigned short vendorFilter, unsigned short productFilter)
{
    if (!vendorFilter && !productFilter)
        return false;
    constexpr std::string_view kClassDir = "/hidraw";
    const size_t nodeSlash = syspath.rfind('/');
    if (nodeSlash == std::string_view::npos)
        return false;
    std::string_view parent = syspath.substr(0, nodeSlash);
    if (parent.size() < kClassDir.size() || parent.substr(parent.size() - kClassDir.size()) != kClassDir)
        return false;
    parent.remove_suffix(kClassDir.size());
    std::string_view name = parent.substr(parent.rfind('/') + 1);
    unsigned bus, vendor, product, instance;
    const auto separator = [&name](char c) {
        if (name.empty() || name.front() != c)
            return false;
        name.remove_prefix(1);
        return true;
    };
    if (!takeHexField(name, bus) || !separator(':') || !takeHexField(name, vendor) || !separator(':') ||
        !takeHexField(name, product) || !separator('.') || !takeHexField(name, instance) || !name.empty())
        return false;
    return (vendorFilter && vendorFilter != static_cast<uint16_t>(vendor)) ||
           (productFilter && productFilter != static_cast<uint16_t>(product));
}

bool parseHidId(const char *text, HidIdentity &id)
{
    unsigned bus, vendor, product;
    if (!text || sscanf(text, "%x:%x:%x", &bus, &vendor, &product) != 3)
        return false;
    id = {bus, static_cast<uint16_t>(vendor), static_cast<uint16_t>(product)};
    return true;
}

long parseHexAttribute(const char *text, long fallback)
{
    if (!text || !*text)
        return fallback;
    char *end = nullptr;
    const long value = strtol(text, &end, 16);
    return end != text ? value : fallback;
}

// ---- The parsed description of an opened collection ----------------------------------------

bool scopeCollection(const std::vector<uint8_t> &descriptor, size_t index, const std::string &node,
                     CollectionScope &scope, std::string &why)
{
    hidparse::DescriptorSummary summary;
    std::string error;
    if (!hidparse::summarize(descriptor.data(), descriptor.size(), summary, error)) {
        why = "Report descriptor cannot be parsed: " + error;
        return false;
    }
    if (index >= summary.collections.size() || index >= hidparse::kMaxTopLevelCollections) {
        char text[96];
        snprintf(text, sizeof text, "No top-level collection %zu on %s", index + 1, node.c_str());
        why = text;
        return false;
    }
    hidparse::CollectionPtr collection =
        hidparse::parseCollection(descriptor.data(), descriptor.size(), index, error);
    HIDP_CAPS caps{};
    if (!collection) {
        why = "Report descriptor cannot be parsed: " + error;
        return false;
    }
    if (const NTSTATUS status = hidparse::getCaps(*collection, &caps); status != HIDP_STATUS_SUCCESS) {
        why = std::string("Capabilities cannot be read: ") + hidparse::statusName(status);
        return false;
    }
    scope.usesReportIds = summary.usesReportIds;
    scope.reportIds.reset();
    for (uint8_t id : summary.collections[index].reportIds)
        scope.reportIds.set(id);
    scope.inputReportLength = caps.InputReportByteLength;
    scope.outputReportLength = caps.OutputReportByteLength;
    return true;
}

size_t completeReport(const CollectionScope &scope, uint8_t *buffer, size_t bytesRead)
{
    const size_t offset = scope.readOffset();
    if (offset)
        buffer[0] = 0;
    else if (!scope.acceptsReport(buffer[0]))
        return 0;
    // Shorter reports are handed over zero-filled to the collection's input report length, so
    // callers can pass them to the queries as they are.
    size_t delivered = offset + bytesRead;
    if (delivered < scope.inputReportLength) {
        std::fill(buffer + delivered, buffer + scope.inputReportLength, uint8_t{0});
        delivered = scope.inputReportLength;
    }
    return delivered;
}

PHIDP_PREPARSED_DATA preparse(const std::vector<uint8_t> &descriptor, size_t index, std::string &why)
{
    std::string error;
    hidparse::CollectionPtr collection =
        hidparse::parseCollection(descriptor.data(), descriptor.size(), index, error);
    if (!collection) {
        why = "Report descriptor cannot be parsed: " + error;
        return nullptr;
    }
    return new _HIDP_PREPARSED_DATA{std::move(collection)};
}

namespace {

// Runs a capability query on an array of `capacity` entries and answers how many entries it
// wrote. When the array is too small the parser reports how many caps there are, which would
// send the caller past the end of its array; the count handed back never exceeds what was written.
template <class Query> USHORT capsWritten(USHORT capacity, const void *array, Query query)
{
    if (!array)
        capacity = 0;
    USHORT count = capacity;
    const NTSTATUS status = query(&count);
    if (status != HIDP_STATUS_SUCCESS && status != HIDP_STATUS_BUFFER_TOO_SMALL)
        return 0; // nothing written (no caps of the type, or an invalid type)
    return std::min(count, capacity);
}

} // namespace

void queryButtonCaps(const hidparse::Collection &c, HIDP_REPORT_TYPE type, PHIDP_CAPS caps,
                     PHIDP_BUTTON_CAPS buttonCaps)
{
    caps->NumberInputButtonCaps = capsWritten(caps->NumberInputButtonCaps, buttonCaps, [&](USHORT *count) {
        return hidparse::getButtonCaps(c, type, buttonCaps, count);
    });
}

void queryValueCaps(const hidparse::Collection &c, HIDP_REPORT_TYPE type, PHIDP_CAPS caps,
                    PHIDP_VALUE_CAPS valueCaps)
{
    caps->NumberInputValueCaps = capsWritten(caps->NumberInputValueCaps, valueCaps, [&](USHORT *count) {
        return hidparse::getValueCaps(c, type, valueCaps, count);
    });
}

NTSTATUS queryUsages(const hidparse::Collection &c, HIDP_REPORT_TYPE type, USAGE page,
                     const unsigned char *report, const HIDP_CAPS &caps, PUSAGE usages, ULONG *length)
{
    ULONG count = hidbackend::listCapacity(*length, hidparse::maxUsageListLength(c, type, page));
    const NTSTATUS status =
        hidparse::getUsages(c, type, page, 0, usages, &count, report, caps.InputReportByteLength);
    if (status == HIDP_STATUS_SUCCESS)
        *length = count;
    return status;
}

NTSTATUS queryData(const hidparse::Collection &c, HIDP_REPORT_TYPE type, const unsigned char *report,
                   const HIDP_CAPS &caps, PHIDP_DATA data, ULONG *length)
{
    ULONG count = hidbackend::listCapacity(*length, hidparse::maxDataListLength(c, type));
    const NTSTATUS status = hidparse::getData(c, type, data, &count, report, caps.InputReportByteLength);
    if (status == HIDP_STATUS_SUCCESS)
        *length = count;
    return status;
}

NTSTATUS queryUsageValue(const hidparse::Collection &c, HIDP_REPORT_TYPE type, USAGE page, USAGE usage,
                         const unsigned char *report, const HIDP_CAPS &caps, ULONG *value)
{
    return hidparse::getUsageValue(c, type, page, 0, usage, value, report, caps.InputReportByteLength);
}

} // namespace hidlinux
