// Pure helpers of the Linux backend: no system calls, so they are tested directly. The texts and
// names the backend reads from paths and sysfs, and the parsed description it serves for an opened
// collection, which the in-process stand-ins of the layer for tests and fuzzers serve the same way.
#pragma once

#include <algorithm>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "descriptor/descriptor.h"
#include "hid.h"

// The parsed description of one top-level collection, owned by whoever got it from
// hid_get_preparsed_data; independent of the handle it came from.
struct _HIDP_PREPARSED_DATA {
    hidparse::CollectionPtr collection;
};

namespace hidlinux {

// ---- Text ----------------------------------------------------------------------------------

// Decodes UTF-8 into at most `capacity - 1` wide characters plus a terminator (capacity >= 1).
// Malformed sequences become U+FFFD, so device strings with stray bytes still read.
size_t decodeUtf8(std::string_view in, wchar_t *out, size_t capacity);

// ---- Paths and uevent fields ---------------------------------------------------------------

struct CollectionPath {
    std::string node;      // "/dev/hidrawN"
    size_t collection = 0; // 0-based
    bool named = false;    // the path carried "&colNN"
};

// "/dev/hidrawN&colNN" or a plain node path. False for "&col00" and malformed suffixes.
bool parseCollectionPath(std::string_view path, CollectionPath &out);

// The path of collection `index` (0-based) of a node with `count` collections: the node itself
// when it has one, else the node with "&colNN".
std::string collectionPath(const char *node, size_t index, size_t count);

// True when the syspath of a hidraw node shows that its device fails the filter. The kernel puts
// the node at <hid device>/hidraw/hidrawN and names the hid device after the numbers of its HID_ID
// ("0003:1209:0001.0004"), so the path tells the vendor and product without building the node's udev
// device and its parents, which is most of what a scan costs. A path of any other form rules
// nothing out and is left to the HID_ID check.
bool pathRulesOut(std::string_view syspath, unsigned short vendorFilter, unsigned short productFilter);

struct HidIdentity {
    unsigned bus = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
};

// The HID_ID field of a hid device's uevent ("0003:00001209:00000001": bus, vendor, product).
bool parseHidId(const char *text, HidIdentity &id);

// A hexadecimal sysfs attribute's text ("0110", "00"), or `fallback` when there is no number.
long parseHexAttribute(const char *text, long fallback);

// ---- The parsed description of an opened collection ----------------------------------------

// hidraw hands over at most this many bytes per report.
constexpr size_t kMaxReportSize = 16384;

// What a handle opened on one top-level collection knows of its reports.
struct CollectionScope {
    bool usesReportIds = false;
    std::bitset<256> reportIds;   // this collection's reports
    size_t inputReportLength = 0; // report-ID byte included
    size_t outputReportLength = 0;

    bool acceptsReport(uint8_t id) const { return !usesReportIds || reportIds.test(id); }
    // Where a read puts the report in the read buffer: after one byte for the report ID hidraw
    // leaves out when the device uses none.
    size_t readOffset() const { return usesReportIds ? 0 : 1; }
    // The read buffer: the leading byte, then the largest report hidraw delivers, and never less than
    // a whole input report, which shorter reports are zero-filled to.
    size_t readBufferSize() const { return std::max(kMaxReportSize + 1, inputReportLength); }
};

// The scope of collection `index` of the descriptor of `node`. Opening needs the capabilities, as
// on Windows: a collection that cannot be parsed cannot be sized or decoded. False with the
// reason in `why`.
bool scopeCollection(const std::vector<uint8_t> &descriptor, size_t index, const std::string &node,
                     CollectionScope &scope, std::string &why);

// Completes a report read into `buffer` at scope.readOffset(): the report-ID byte 0 of a device
// without IDs, and zeros up to the input report length, as Windows delivers reports. Answers the
// delivered length, or 0 for a report of another collection, which is to be dropped. `buffer`
// holds at least readOffset() + bytesRead and inputReportLength bytes.
size_t completeReport(const CollectionScope &scope, uint8_t *buffer, size_t bytesRead);

// The preparsed data of collection `index`; null with the reason in `why`.
PHIDP_PREPARSED_DATA preparse(const std::vector<uint8_t> &descriptor, size_t index, std::string &why);

// The capability queries on an array of the capacity the caller's count field gives: the count
// written back never exceeds what was written. The count is always the input field, whatever type
// is asked for, and every parser status counts as success.
void queryButtonCaps(const hidparse::Collection &c, HIDP_REPORT_TYPE type, PHIDP_CAPS caps,
                     PHIDP_BUTTON_CAPS buttonCaps);
void queryValueCaps(const hidparse::Collection &c, HIDP_REPORT_TYPE type, PHIDP_CAPS caps,
                    PHIDP_VALUE_CAPS valueCaps);

// The list queries, on the caller's list of *length entries (0: the parser's maximum); on success
// *length is the number of entries written. They answer the parser's status.
NTSTATUS queryUsages(const hidparse::Collection &c, HIDP_REPORT_TYPE type, USAGE page,
                     const unsigned char *report, const HIDP_CAPS &caps, PUSAGE usages, ULONG *length);
NTSTATUS queryData(const hidparse::Collection &c, HIDP_REPORT_TYPE type, const unsigned char *report,
                   const HIDP_CAPS &caps, PHIDP_DATA data, ULONG *length);
NTSTATUS queryUsageValue(const hidparse::Collection &c, HIDP_REPORT_TYPE type, USAGE page, USAGE usage,
                         const unsigned char *report, const HIDP_CAPS &caps, ULONG *value);

} // namespace hidlinux
