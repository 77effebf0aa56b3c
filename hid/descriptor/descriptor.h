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

// What enumeration and opening need to know of one top-level collection.
struct CollectionSummary {
    uint16_t usagePage = 0;
    uint16_t usage = 0;
    std::vector<uint8_t> reportIds;  // report IDs declared in this collection, sorted, unique
    uint16_t inputReportByteLength = 0;  // report-ID byte included, as on Windows
    uint16_t outputReportByteLength = 0;
    uint16_t featureReportByteLength = 0;
};

struct DescriptorSummary {
    bool usesReportIds = false;  // any Report ID item anywhere in the descriptor
    std::vector<CollectionSummary> collections;  // in descriptor order
};

// Cuts the descriptor into top-level collections. False, with a reason in `error`, when the
// descriptor cannot be parsed.
bool summarize(const uint8_t *data, size_t size, DescriptorSummary &out, std::string &error);

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
NTSTATUS getCaps(const Collection &c, HIDP_CAPS *caps);
NTSTATUS getButtonCaps(const Collection &c, HIDP_REPORT_TYPE type, HIDP_BUTTON_CAPS *caps, USHORT *length);
NTSTATUS getValueCaps(const Collection &c, HIDP_REPORT_TYPE type, HIDP_VALUE_CAPS *caps, USHORT *length);
NTSTATUS getLinkCollectionNodes(const Collection &c, HIDP_LINK_COLLECTION_NODE *nodes, ULONG *length);
ULONG maxUsageListLength(const Collection &c, HIDP_REPORT_TYPE type, USAGE usagePage);
NTSTATUS getUsages(const Collection &c, HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                   USAGE *usageList, ULONG *usageLength, const uint8_t *report, ULONG reportLength);
NTSTATUS getUsageValue(const Collection &c, HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                       USAGE usage, ULONG *value, const uint8_t *report, ULONG reportLength);
ULONG maxDataListLength(const Collection &c, HIDP_REPORT_TYPE type);
NTSTATUS getData(const Collection &c, HIDP_REPORT_TYPE type, HIDP_DATA *dataList, ULONG *dataLength,
                 const uint8_t *report, ULONG reportLength);

// The name of a status code ("HIDP_STATUS_USAGE_NOT_FOUND"), for diagnostics.
const char *statusName(NTSTATUS status);

}  // namespace hidparse
