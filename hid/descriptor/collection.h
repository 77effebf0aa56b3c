// Internal form of a parsed top-level collection, shared by the parser and the queries.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "descriptor.h"

namespace hidparse {

inline constexpr int kReportTypeCount = 3;

// One capability, as the Windows parser stores it: the public fields plus where its fields sit
// in the report.
struct Cap {
    bool isButton = false;
    bool isArray = false;
    bool isConstant = false;
    bool isRange = false;
    bool isStringRange = false;
    bool isDesignatorRange = false;
    bool isAbsolute = true;
    bool hasNull = false;
    uint8_t reportId = 0;
    uint16_t usagePage = 0;
    uint16_t bitField = 0;
    uint16_t linkCollection = 0;
    uint16_t linkUsage = 0;
    uint16_t linkUsagePage = 0;
    uint16_t usageMin = 0, usageMax = 0;
    uint16_t stringMin = 0, stringMax = 0;
    uint16_t designatorMin = 0, designatorMax = 0;
    uint16_t dataIndexMin = 0, dataIndexMax = 0;
    uint32_t bitPosition = 0; // first bit of the first field, counted from bit 0 of the report-ID byte
    uint16_t bitSize = 0;
    uint16_t fieldCount = 0;             // fields this cap covers (for arrays: the array's fields)
    uint16_t arrayOrdinal = 0;           // arrays: usages declared before this entry in its main item
    bool arrayStartsAtUsageZero = false; // arrays: the item's first declared usage is 0
    // Arrays: caps of this cap's main item. They sit side by side in storage order and share the
    // item's fields; each field names a usage of at most one of them.
    uint16_t arrayItemCaps = 0;
    int32_t logicalMin = 0, logicalMax = 0, physicalMin = 0, physicalMax = 0;
    uint32_t units = 0, unitsExp = 0;

    uint32_t usageCount() const { return uint32_t(usageMax) - usageMin + 1; }
};

// A value cap packed for the per-report value lookups, which scan these in storage order.
struct ValueSlot {
    uint16_t usagePage = 0;
    uint16_t usageMin = 0;
    uint16_t usageSpan = 0; // usageMax - usageMin
    uint16_t linkCollection = 0;
    uint32_t bitPosition = 0;
    uint16_t bitSize = 0;
    uint16_t fieldCount = 0;
    uint16_t capIndex = 0; // into the type's caps
    uint8_t reportId = 0;
};

// What the walk over the value slots compares, one array per field so that the walk can compare
// eight slots at a time: a device may declare thousands of slots a lookup has to pass over.
// fieldUsages: the usages from usageMin on that have a field (0 for a slot without fields).
struct ValueWalk {
    std::vector<uint16_t> usagePages, usageMins, fieldUsages;
    std::vector<uint8_t> reportIds;
};

ValueWalk buildValueWalk(const std::vector<ValueSlot> &slots);

// The value lookup index. For the usages of up to kMaxIndexedValuePages usage pages it holds, per
// usage, the first value slot in storage order that has a field for that usage, with that field's
// place. No slot before that one can answer a lookup of the usage, so a lookup whose link
// collection and report ID that slot matches is answered from the entry alone, and any other
// starts its walk over the slots there, with the answer the walk from the first slot would give.
// Built once per parse; the tables of one report type hold at most kMaxValueIndexEntries usages,
// and lookups on a page without a table walk from the first slot.
inline constexpr uint16_t kNoValueSlot = 0xFFFF; // above any slot index (kMaxCapsPerCollection)
inline constexpr uint32_t kMaxValueIndexEntries = 4096;
inline constexpr size_t kMaxIndexedValuePages = 4;

struct ValueField {
    uint32_t bitPosition = 0; // of this usage's own field
    uint16_t bitSize = 0;
    uint16_t linkCollection = 0;
    uint16_t slot = kNoValueSlot; // kNoValueSlot: no slot has a field for the usage
    uint8_t reportId = 0;
};

struct ValuePageTable {
    uint16_t usagePage = 0;
    uint16_t usageBase = 0;  // the page's lowest usage that has a field
    uint32_t usageCount = 0; // usages in the table, from usageBase
    uint32_t offset = 0;     // of the table in ValueIndex::fields
};

struct ValueIndex {
    std::array<ValuePageTable, kMaxIndexedValuePages> pages{}; // inline: one step less per lookup
    uint32_t pageCount = 0;
    bool everyPageIndexed = true; // false: a page with value fields has no table
    std::vector<ValueField> fields;
};

ValueIndex buildValueIndex(const std::vector<ValueSlot> &slots);

// A button cap packed for the per-report usage queries. Member names follow Cap's so that the
// same field walk serves both.
struct ButtonSlot {
    uint16_t usagePage = 0;
    uint16_t usageMin = 0, usageMax = 0;
    uint16_t linkCollection = 0;
    uint32_t bitPosition = 0;
    uint16_t bitSize = 0;
    uint16_t fieldCount = 0;
    uint16_t dataIndexMin = 0;
    uint16_t arrayOrdinal = 0;
    uint16_t arrayItemCaps = 0;
    uint8_t reportId = 0;
    bool isArray = false;
    bool arrayStartsAtUsageZero = false;

    uint32_t usageCount() const { return uint32_t(usageMax) - usageMin + 1; }
};

// Fields of the button caps of one usage page: the longest usage list that page can give.
struct PageFieldCount {
    uint16_t usagePage = 0;
    uint32_t fields = 0;
};

class Collection {
public:
    uint16_t usagePage = 0;
    uint16_t usage = 0;
    std::array<uint16_t, kReportTypeCount> reportByteLength{};
    std::array<uint16_t, kReportTypeCount> dataIndexCount{};
    std::array<std::vector<Cap>, kReportTypeCount> caps; // storage order: buttons and values mixed
    std::array<std::vector<ValueSlot>, kReportTypeCount> valueSlots;
    std::array<ValueWalk, kReportTypeCount> valueWalk;   // built from valueSlots
    std::array<ValueIndex, kReportTypeCount> valueIndex; // built from valueSlots
    std::array<std::vector<ButtonSlot>, kReportTypeCount> buttonSlots;
    std::array<std::vector<PageFieldCount>, kReportTypeCount> buttonFieldsByPage;
    std::array<uint32_t, kReportTypeCount> buttonFields{}; // all pages
    std::vector<HIDP_LINK_COLLECTION_NODE> nodes;
    std::vector<uint8_t> reportIds; // declared or used, sorted, unique
};

} // namespace hidparse
