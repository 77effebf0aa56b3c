// The report-descriptor parser: turns descriptor bytes into the parsed description of one
// top-level collection and answers the report-description queries the way the Windows HID parser
// does, quirks included. Pure and deterministic: no OS calls, allocates only while parsing, never
// reads outside the buffers it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hidp.h"

namespace hidparse {

// Limits beyond which a descriptor is rejected rather than parsed. Real controllers stay far below
// them; they exist so that hostile or corrupt descriptors cannot make the parser allocate or loop
// without bound.
inline constexpr size_t kMaxDescriptorSize = 65535;      // bytes of one report descriptor
inline constexpr size_t kMaxTopLevelCollections = 255;   // collection paths carry two hex digits
inline constexpr size_t kMaxCollectionDepth = 32;        // nested Collection items
inline constexpr size_t kMaxLinkCollections = 1024;      // Collection items in one top-level collection
inline constexpr size_t kMaxUsagesPerItem = 1024;        // usage entries declared before one main item
inline constexpr size_t kMaxCapsPerCollection = 8192;    // capabilities of one top-level collection
inline constexpr size_t kMaxPushDepth = 32;              // nested Push items
inline constexpr uint32_t kMaxReportCount = 0xFFFF;      // fields of one main item
inline constexpr uint32_t kMaxReportByteLength = 0xFFFF; // a report length must fit HIDP_CAPS
inline constexpr uint32_t kMaxDataIndices = 0xFFFF;      // data indices of one report type

// What enumeration and opening need to know of one top-level collection.
struct CollectionSummary {
    uint16_t usagePage = 0;
    uint16_t usage = 0;
    std::vector<uint8_t> reportIds;     // report IDs declared or used in this collection, sorted, unique
    uint16_t inputReportByteLength = 0; // report-ID byte included, as on Windows
    uint16_t outputReportByteLength = 0;
    uint16_t featureReportByteLength = 0;
};

struct DescriptorSummary {
    bool usesReportIds = false;                 // any Report ID item anywhere in the descriptor
    std::vector<CollectionSummary> collections; // in descriptor order
};

// Cuts the descriptor into top-level collections. False, with a reason in `error`, when the
// descriptor cannot be parsed.
bool summarize(const uint8_t *data, size_t size, DescriptorSummary &out, std::string &error);

// Descriptors parsed by this process so far, by summarize and parseCollection alike: for tests
// that check how often a caller parses.
uint64_t parseCount();

// The parsed description of one top-level collection.
class Collection;
struct CollectionDeleter {
    void operator()(Collection *c) const;
};
using CollectionPtr = std::unique_ptr<Collection, CollectionDeleter>;

// Parses top-level collection `index` (0-based) of the descriptor. Null, with a reason in
// `error`, when the descriptor or that collection cannot be parsed.
CollectionPtr parseCollection(const uint8_t *data, size_t size, size_t index, std::string &error);

// The queries, with the semantics and statuses of the Windows parser functions of the same names.
// Capability and list calls never write more entries than the capacity passed in `*length`; when
// that is too small they return HIDP_STATUS_BUFFER_TOO_SMALL with `*length` set to the number
// needed. Report buffers start with the report-ID byte; their length must equal the collection's
// report byte length of the type.
NTSTATUS getCaps(const Collection &c, HIDP_CAPS *caps);
NTSTATUS getButtonCaps(const Collection &c, HIDP_REPORT_TYPE type, HIDP_BUTTON_CAPS *caps, USHORT *length);
NTSTATUS getValueCaps(const Collection &c, HIDP_REPORT_TYPE type, HIDP_VALUE_CAPS *caps, USHORT *length);
// Zero in `usagePage`, `linkCollection` or `usage` matches any.
NTSTATUS getSpecificButtonCaps(const Collection &c, HIDP_REPORT_TYPE type, USAGE usagePage,
                               USHORT linkCollection, USAGE usage, HIDP_BUTTON_CAPS *caps, USHORT *length);
NTSTATUS getSpecificValueCaps(const Collection &c, HIDP_REPORT_TYPE type, USAGE usagePage,
                              USHORT linkCollection, USAGE usage, HIDP_VALUE_CAPS *caps, USHORT *length);
NTSTATUS getLinkCollectionNodes(const Collection &c, HIDP_LINK_COLLECTION_NODE *nodes, ULONG *length);
ULONG maxUsageListLength(const Collection &c, HIDP_REPORT_TYPE type, USAGE usagePage);
NTSTATUS getUsages(const Collection &c, HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                   USAGE *usageList, ULONG *usageLength, const uint8_t *report, ULONG reportLength);
// Every usage on, of every page, in the same order as getUsages.
struct UsageAndPage {
    USAGE Usage;
    USAGE UsagePage;
};
NTSTATUS getUsagesEx(const Collection &c, HIDP_REPORT_TYPE type, USHORT linkCollection,
                     UsageAndPage *usageList, ULONG *usageLength, const uint8_t *report, ULONG reportLength);
NTSTATUS getUsageValue(const Collection &c, HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                       USAGE usage, ULONG *value, const uint8_t *report, ULONG reportLength);
// Every element of a usage value array (a single usage with several fields), packed as in the
// report, starting at bit 0 of `buffer`.
NTSTATUS getUsageValueArray(const Collection &c, HIDP_REPORT_TYPE type, USAGE usagePage,
                            USHORT linkCollection, USAGE usage, uint8_t *buffer, USHORT bufferLength,
                            const uint8_t *report, ULONG reportLength);
ULONG maxDataListLength(const Collection &c, HIDP_REPORT_TYPE type);
NTSTATUS getData(const Collection &c, HIDP_REPORT_TYPE type, HIDP_DATA *dataList, ULONG *dataLength,
                 const uint8_t *report, ULONG reportLength);

// Report building, for tests and tools that play a device.
NTSTATUS initializeReportForId(const Collection &c, HIDP_REPORT_TYPE type, UCHAR reportId, uint8_t *report,
                               ULONG reportLength);
NTSTATUS setUsages(const Collection &c, HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                   const USAGE *usageList, ULONG *usageLength, uint8_t *report, ULONG reportLength);

// The name of a status code ("HIDP_STATUS_USAGE_NOT_FOUND"), for diagnostics.
const char *statusName(NTSTATUS status);

} // namespace hidparse
