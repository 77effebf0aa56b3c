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
    std::array<std::vector<ButtonSlot>, kReportTypeCount> buttonSlots;
    std::array<std::vector<PageFieldCount>, kReportTypeCount> buttonFieldsByPage;
    std::array<uint32_t, kReportTypeCount> buttonFields{}; // all pages
    std::vector<HIDP_LINK_COLLECTION_NODE> nodes;
    std::vector<uint8_t> reportIds; // declared or used, sorted, unique
};

} // namespace hidparse
