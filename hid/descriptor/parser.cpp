// Walks the report descriptor item by item and builds, for every top-level collection, the
// capabilities, data indices, link collection nodes and report lengths the Windows HID parser
// would build.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "collection.h"
#include "steps.h"

namespace hidparse {
namespace {

enum ItemType : uint8_t { kMain = 0, kGlobal = 1, kLocal = 2, kReserved = 3 };

enum MainTag : uint8_t {
    kInput = 0x8,
    kOutput = 0x9,
    kCollection = 0xA,
    kFeature = 0xB,
    kEndCollection = 0xC
};

enum GlobalTag : uint8_t {
    kUsagePage = 0x0,
    kLogicalMinimum = 0x1,
    kLogicalMaximum = 0x2,
    kPhysicalMinimum = 0x3,
    kPhysicalMaximum = 0x4,
    kUnitExponent = 0x5,
    kUnit = 0x6,
    kReportSize = 0x7,
    kReportId = 0x8,
    kReportCount = 0x9,
    kPush = 0xA,
    kPop = 0xB,
};

enum LocalTag : uint8_t {
    kUsage = 0x0,
    kUsageMinimum = 0x1,
    kUsageMaximum = 0x2,
    kDesignatorIndex = 0x3,
    kDesignatorMinimum = 0x4,
    kDesignatorMaximum = 0x5,
    kStringIndex = 0x7,
    kStringMinimum = 0x8,
    kStringMaximum = 0x9,
    kDelimiter = 0xA,
};

// Main item data bits.
constexpr uint32_t kConstantBit = 0x01;
constexpr uint32_t kVariableBit = 0x02;
constexpr uint32_t kRelativeBit = 0x04;
constexpr uint32_t kNullStateBit = 0x40;

constexpr uint8_t kLongItemPrefix = 0xFE;
constexpr uint32_t kMaxReportBits = kMaxReportByteLength * 8;

struct Item {
    uint8_t type = 0;
    uint8_t tag = 0;
    uint8_t size = 0; // data bytes: 0, 1, 2 or 4
    uint32_t data = 0;

    int32_t signedData() const
    {
        switch (size) {
        case 1:
            return int8_t(data);
        case 2:
            return int16_t(data);
        default:
            return int32_t(data);
        }
    }
};

// Reads the short item at `pos`. False, with a reason, for long items and items cut off by the end.
bool readItem(const uint8_t *data, size_t size, size_t pos, Item &item, size_t &itemLength,
              std::string &error)
{
    const uint8_t prefix = data[pos];
    if (prefix == kLongItemPrefix) {
        error = "long item at offset " + std::to_string(pos) + " (long items are not supported)";
        return false;
    }
    static constexpr uint8_t kSizes[4] = {0, 1, 2, 4};
    item.size = kSizes[prefix & 0x3];
    item.type = (prefix >> 2) & 0x3;
    item.tag = prefix >> 4;
    if (size - pos - 1 < item.size) {
        error = "item at offset " + std::to_string(pos) + " runs past the end of the descriptor";
        return false;
    }
    item.data = 0;
    for (uint8_t i = 0; i < item.size; ++i)
        item.data |= uint32_t(data[pos + 1 + i]) << (8 * i);
    itemLength = 1 + item.size;
    return true;
}

struct GlobalState {
    uint16_t usagePage = 0;
    int32_t logicalMin = 0, logicalMax = 0;
    int32_t physicalMin = 0, physicalMax = 0;
    uint32_t unitExponent = 0;
    uint32_t unit = 0;
    uint32_t reportSize = 0;
    uint32_t reportCount = 0;
    uint8_t reportId = 0;
};

struct UsageEntry {
    uint16_t page = 0;
    uint16_t min = 0, max = 0;
    bool isRange = false;
};

struct LocalState {
    std::vector<UsageEntry> usages;
    bool haveMin = false, haveMax = false;
    UsageEntry pendingMin, pendingMax;
    uint16_t stringIndex = 0, stringMin = 0, stringMax = 0;
    bool haveStringMin = false, haveStringMax = false;
    uint16_t designatorIndex = 0, designatorMin = 0, designatorMax = 0;
    bool haveDesignatorMin = false, haveDesignatorMax = false;
    int delimiterDepth = 0;
    bool delimiterSetHasUsage = false;

    void clear()
    {
        std::vector<UsageEntry> keep = std::move(usages);
        keep.clear();
        *this = LocalState{};
        usages = std::move(keep); // keeps the capacity: no allocation per main item
    }
};

// Splits a Usage / Usage Minimum / Usage Maximum item into page and usage: a 4-byte item carries
// its own page, shorter ones take the Usage Page in force at the item.
UsageEntry usageFromItem(const Item &item, uint16_t currentPage)
{
    UsageEntry e;
    e.page = item.size == 4 ? uint16_t(item.data >> 16) : currentPage;
    e.min = e.max = uint16_t(item.data);
    return e;
}

// What a parse hands over of the top-level collections: a summary of each, or the whole of one.
// Only one collection is held at a time, so a descriptor of many costs no more memory than its
// largest.
struct ParseOutput {
    std::vector<CollectionSummary> *summaries = nullptr;
    size_t keepIndex = SIZE_MAX;
    Collection *kept = nullptr;
    size_t collections = 0; // top-level collections found
    bool usesReportIds = false;
};

class Parser {
public:
    Parser(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool run(ParseOutput &out, std::string &error);

private:
    bool handleMain(const Item &item);
    bool handleGlobal(const Item &item);
    bool handleLocal(const Item &item);
    bool openCollection(const Item &item);
    bool closeCollection();
    bool addMainItem(HIDP_REPORT_TYPE type, uint32_t itemData);
    bool flushPendingRange();
    bool addUsage(const UsageEntry &e);
    void finishTopLevel();
    bool fail(std::string reason)
    {
        error_ = std::move(reason);
        return false;
    }

    const uint8_t *data_;
    size_t size_;
    size_t offset_ = 0;
    std::string error_;

    GlobalState globals_;
    std::vector<GlobalState> pushed_;
    LocalState locals_;
    bool usesReportIds_ = false;

    ParseOutput *out_ = nullptr;
    Collection building_;
    Collection *current_ = nullptr;   // the top-level collection being built
    std::vector<uint16_t> nodeStack_; // open link collections, innermost last
    // Per report type and report ID: bits used so far (0 = ID not used by that type yet), and
    // the entries in use, so that a collection resets and reads only those.
    std::array<std::array<uint32_t, 256>, kReportTypeCount> reportBits_{};
    std::vector<std::pair<uint8_t, uint8_t>> reportsUsed_; // report type, report ID
    std::array<uint32_t, kReportTypeCount> dataIndices_{};
    std::array<bool, 256> idSeen_{};
};

bool Parser::run(ParseOutput &out, std::string &error)
{
    out_ = &out;
    if (size_ > kMaxDescriptorSize) {
        error = "descriptor of " + std::to_string(size_) + " bytes is longer than the limit of " +
                std::to_string(kMaxDescriptorSize);
        return false;
    }
    locals_.usages.reserve(16);
    bool ok = true;
    while (ok && offset_ < size_) {
        countSteps(1);
        Item item;
        size_t length = 0;
        if (!readItem(data_, size_, offset_, item, length, error_)) {
            ok = false;
            break;
        }
        switch (item.type) {
        case kMain:
            ok = handleMain(item);
            break;
        case kGlobal:
            ok = handleGlobal(item);
            break;
        case kLocal:
            ok = handleLocal(item);
            break;
        default:
            break; // reserved item type: nothing defined, skipped
        }
        if (ok)
            offset_ += length;
    }
    if (ok && !nodeStack_.empty())
        ok = fail("collection opened and never closed");
    if (ok && out.collections == 0)
        ok = fail("descriptor declares no top-level collection");
    if (!ok) {
        error = error_;
        return false;
    }
    out.usesReportIds = usesReportIds_;
    return true;
}

bool Parser::handleMain(const Item &item)
{
    bool ok = true;
    switch (item.tag) {
    case kInput:
        ok = addMainItem(HidP_Input, item.data);
        break;
    case kOutput:
        ok = addMainItem(HidP_Output, item.data);
        break;
    case kFeature:
        ok = addMainItem(HidP_Feature, item.data);
        break;
    case kCollection:
        ok = openCollection(item);
        break;
    case kEndCollection:
        ok = closeCollection();
        break;
    default:
        break; // reserved main tag: ignored, like padding bytes after the last collection
    }
    locals_.clear();
    if (!ok && error_.find("offset") == std::string::npos)
        error_ += " (item at offset " + std::to_string(offset_) + ")";
    return ok;
}

bool Parser::handleGlobal(const Item &item)
{
    switch (item.tag) {
    case kUsagePage:
        globals_.usagePage = uint16_t(item.data);
        break;
    case kLogicalMinimum:
        globals_.logicalMin = item.signedData();
        break;
    case kLogicalMaximum:
        globals_.logicalMax = item.signedData();
        break;
    case kPhysicalMinimum:
        globals_.physicalMin = item.signedData();
        break;
    case kPhysicalMaximum:
        globals_.physicalMax = item.signedData();
        break;
    case kUnitExponent:
        globals_.unitExponent = uint32_t(item.signedData());
        break;
    case kUnit:
        globals_.unit = item.data;
        break;
    case kReportSize:
        globals_.reportSize = item.data;
        break;
    case kReportCount:
        globals_.reportCount = item.data;
        break;
    case kReportId:
        if (item.data == 0 || item.data > 255)
            return fail("Report ID " + std::to_string(item.data) + " at offset " + std::to_string(offset_) +
                        " is outside 1..255");
        globals_.reportId = uint8_t(item.data);
        usesReportIds_ = true;
        if (current_)
            idSeen_[globals_.reportId] = true;
        break;
    case kPush:
        if (pushed_.size() >= kMaxPushDepth)
            return fail("more than " + std::to_string(kMaxPushDepth) + " nested Push items at offset " +
                        std::to_string(offset_));
        pushed_.push_back(globals_);
        break;
    case kPop:
        if (pushed_.empty())
            return fail("Pop without Push at offset " + std::to_string(offset_));
        globals_ = pushed_.back();
        pushed_.pop_back();
        break;
    default:
        break;
    }
    return true;
}

bool Parser::addUsage(const UsageEntry &e)
{
    if (locals_.usages.size() >= kMaxUsagesPerItem)
        return fail("more than " + std::to_string(kMaxUsagesPerItem) +
                    " usages before one main item (offset " + std::to_string(offset_) + ")");
    locals_.usages.push_back(e);
    return true;
}

// A Usage Minimum and a Usage Maximum make one range entry once both are there.
bool Parser::flushPendingRange()
{
    if (!locals_.haveMin || !locals_.haveMax)
        return true;
    UsageEntry e = locals_.pendingMin;
    e.max = locals_.pendingMax.min;
    e.isRange = true;
    locals_.haveMin = locals_.haveMax = false;
    if (e.min > e.max)
        return fail("Usage Minimum " + std::to_string(e.min) + " above Usage Maximum " +
                    std::to_string(e.max) + " at offset " + std::to_string(offset_));
    return addUsage(e);
}

bool Parser::handleLocal(const Item &item)
{
    LocalState &l = locals_;
    // Inside a delimiter set the first usage stands for the set; the alternatives are skipped.
    // Windows reports them as aliases, which no source this parser was checked against uses.
    const bool aliasSkipped = l.delimiterDepth > 0 && l.delimiterSetHasUsage;
    switch (item.tag) {
    case kUsage:
        if (aliasSkipped)
            return true;
        l.delimiterSetHasUsage = l.delimiterDepth > 0;
        return addUsage(usageFromItem(item, globals_.usagePage));
    case kUsageMinimum:
        if (aliasSkipped)
            return true;
        l.pendingMin = usageFromItem(item, globals_.usagePage);
        l.haveMin = true;
        return flushPendingRange();
    case kUsageMaximum:
        if (aliasSkipped)
            return true;
        l.pendingMax = usageFromItem(item, globals_.usagePage);
        l.haveMax = true;
        if (l.haveMin)
            l.delimiterSetHasUsage = l.delimiterDepth > 0;
        return flushPendingRange();
    case kDesignatorIndex:
        l.designatorIndex = uint16_t(item.data);
        break;
    case kDesignatorMinimum:
        l.designatorMin = uint16_t(item.data);
        l.haveDesignatorMin = true;
        break;
    case kDesignatorMaximum:
        l.designatorMax = uint16_t(item.data);
        l.haveDesignatorMax = true;
        break;
    case kStringIndex:
        l.stringIndex = uint16_t(item.data);
        break;
    case kStringMinimum:
        l.stringMin = uint16_t(item.data);
        l.haveStringMin = true;
        break;
    case kStringMaximum:
        l.stringMax = uint16_t(item.data);
        l.haveStringMax = true;
        break;
    case kDelimiter:
        if (item.data == 1) {
            if (l.delimiterDepth > 0)
                return fail("nested delimiter set at offset " + std::to_string(offset_));
            l.delimiterDepth = 1;
            l.delimiterSetHasUsage = false;
        } else if (item.data == 0) {
            if (l.delimiterDepth == 0)
                return fail("delimiter close without open at offset " + std::to_string(offset_));
            l.delimiterDepth = 0;
        }
        break;
    default:
        break;
    }
    return true;
}

bool Parser::openCollection(const Item &item)
{
    if (nodeStack_.size() >= kMaxCollectionDepth)
        return fail("collections nested deeper than " + std::to_string(kMaxCollectionDepth));
    if (nodeStack_.empty()) {
        if (out_->collections >= kMaxTopLevelCollections)
            return fail("more than " + std::to_string(kMaxTopLevelCollections) + " top-level collections");
        ++out_->collections;
        building_ = Collection{};
        current_ = &building_;
        countSteps(1 + reportsUsed_.size());
        for (const auto &[type, id] : reportsUsed_)
            reportBits_[type][id] = 0;
        reportsUsed_.clear();
        dataIndices_ = {};
        idSeen_ = {};
    }
    Collection &c = *current_;
    if (c.nodes.size() >= kMaxLinkCollections)
        return fail("more than " + std::to_string(kMaxLinkCollections) +
                    " collections in one top-level collection");

    // The node's usage is the first usage declared before the Collection item.
    UsageEntry first{globals_.usagePage, 0, 0, false};
    if (!locals_.usages.empty())
        first = locals_.usages.front();
    else if (locals_.haveMin)
        first = locals_.pendingMin;

    HIDP_LINK_COLLECTION_NODE node;
    std::memset(&node, 0, sizeof node);
    node.LinkUsage = first.min;
    node.LinkUsagePage = first.page;
    node.CollectionType = item.data & 0xFF;
    const uint16_t index = uint16_t(c.nodes.size());
    if (!nodeStack_.empty()) {
        // Children form a list built by prepending: the parent points at its last child, each
        // child at the sibling declared before it.
        HIDP_LINK_COLLECTION_NODE &parent = c.nodes[nodeStack_.back()];
        node.Parent = nodeStack_.back();
        node.NextSibling = parent.FirstChild;
        parent.FirstChild = index;
        parent.NumberOfChildren++;
    } else {
        c.usagePage = first.page;
        c.usage = first.min;
    }
    c.nodes.push_back(node);
    nodeStack_.push_back(index);
    return true;
}

bool Parser::closeCollection()
{
    if (nodeStack_.empty())
        return fail("End Collection with no collection open");
    nodeStack_.pop_back();
    if (nodeStack_.empty())
        finishTopLevel();
    return true;
}

void Parser::finishTopLevel()
{
    Collection &c = *current_;
    countSteps(1 + reportsUsed_.size());
    for (const auto &[type, id] : reportsUsed_) {
        c.reportByteLength[type] =
            std::max(c.reportByteLength[type], uint16_t((reportBits_[type][id] + 7) / 8));
        idSeen_[id] = true;
    }
    for (int t = 0; t < kReportTypeCount; ++t)
        c.dataIndexCount[t] = uint16_t(dataIndices_[t]);
    for (uint32_t id = 1; id < 256; ++id) {
        if (idSeen_[id])
            c.reportIds.push_back(uint8_t(id));
    }
    if (out_->summaries) {
        CollectionSummary s;
        s.usagePage = c.usagePage;
        s.usage = c.usage;
        s.reportIds = c.reportIds;
        s.inputReportByteLength = c.reportByteLength[HidP_Input];
        s.outputReportByteLength = c.reportByteLength[HidP_Output];
        s.featureReportByteLength = c.reportByteLength[HidP_Feature];
        out_->summaries->push_back(std::move(s));
    }
    if (out_->collections - 1 == out_->keepIndex)
        *out_->kept = std::move(c);
    current_ = nullptr;
}

// The tables the per-report queries work from, built for the one collection asked for.
void prepareQueries(Collection &c)
{
    for (int t = 0; t < kReportTypeCount; ++t) {
        std::unordered_map<uint16_t, size_t> pageIndex; // a device may give every cap a page of its own
        size_t lastPage = 0;
        for (size_t i = 0; i < c.caps[t].size(); ++i) {
            const Cap &cap = c.caps[t][i];
            countSteps(1);
            if (cap.isButton) {
                c.buttonSlots[t].push_back(
                    ButtonSlot{cap.usagePage, cap.usageMin, cap.usageMax, cap.linkCollection, cap.bitPosition,
                               cap.bitSize, cap.fieldCount, cap.dataIndexMin, cap.arrayOrdinal,
                               cap.arrayItemCaps, cap.reportId, cap.isArray, cap.arrayStartsAtUsageZero});
                c.buttonFields[t] += cap.fieldCount;
                auto &pages = c.buttonFieldsByPage[t];
                if (pages.empty() || pages[lastPage].usagePage != cap.usagePage) { // caps tend to share it
                    const auto [page, added] = pageIndex.try_emplace(cap.usagePage, pages.size());
                    if (added)
                        pages.push_back(PageFieldCount{cap.usagePage, 0});
                    lastPage = page->second;
                }
                pages[lastPage].fields += cap.fieldCount;
            } else {
                c.valueSlots[t].push_back(ValueSlot{
                    cap.usagePage, cap.usageMin, uint16_t(cap.usageMax - cap.usageMin), cap.linkCollection,
                    cap.bitPosition, cap.bitSize, cap.fieldCount, uint16_t(i), cap.reportId});
            }
        }
        c.valueIndex[t] = buildValueIndex(c.valueSlots[t]);
        c.valueWalk[t] = buildValueWalk(c.valueSlots[t]);
    }
}

bool Parser::addMainItem(HIDP_REPORT_TYPE type, uint32_t itemData)
{
    if (nodeStack_.empty())
        return fail("Input, Output or Feature item outside any collection");
    const char *typeName = type == HidP_Input ? "input" : type == HidP_Output ? "output" : "feature";
    LocalState &l = locals_;
    // A lone Usage Minimum or Maximum counts as a single usage.
    if (l.haveMin != l.haveMax) {
        if (!addUsage(l.haveMin ? l.pendingMin : l.pendingMax))
            return false;
    }
    const GlobalState &g = globals_;
    if (g.reportCount > kMaxReportCount)
        return fail("Report Count " + std::to_string(g.reportCount) + " exceeds " +
                    std::to_string(kMaxReportCount));

    // Report length: the report-ID byte is always reserved, even without report IDs.
    uint32_t &bits = reportBits_[type][g.reportId];
    if (bits == 0) {
        bits = 8;
        reportsUsed_.emplace_back(uint8_t(type), g.reportId);
    }
    const uint64_t itemBits = uint64_t(g.reportSize) * g.reportCount;
    if (itemBits > kMaxReportBits - bits)
        return fail(std::string(typeName) + " report " + std::to_string(g.reportId) + " would exceed " +
                    std::to_string(kMaxReportByteLength) + " bytes");
    const uint32_t startBit = bits;
    bits += uint32_t(itemBits);

    const bool isConstant = itemData & kConstantBit;
    const bool isArray = !(itemData & kVariableBit);
    const size_t entries = l.usages.size();
    countSteps(entries); // looking for usages other than 0
    if (g.reportCount == 0 || entries == 0)
        return true; // no fields, or plain padding / usage-less data: no caps
    if (isConstant) {
        if (isArray)
            return true;
        const bool onlyUsageZero = std::all_of(l.usages.begin(), l.usages.end(),
                                               [](const UsageEntry &e) { return !e.isRange && e.min == 0; });
        if (onlyUsageZero)
            return true;
    }

    Collection &c = *current_;
    std::vector<Cap> &caps = c.caps[type];
    size_t totalCaps = 0;
    for (const auto &v : c.caps)
        totalCaps += v.size();

    Cap base;
    // Variable buttons are one bit wide: the usage queries rely on it to read them in words.
    base.isButton = isArray || g.reportSize == 1;
    base.isArray = isArray;
    base.isConstant = isConstant;
    base.isAbsolute = !(itemData & kRelativeBit);
    base.hasNull = itemData & kNullStateBit;
    base.reportId = g.reportId;
    base.bitField = uint16_t(itemData);
    base.linkCollection = nodeStack_.back();
    base.linkUsage = c.nodes[base.linkCollection].LinkUsage;
    base.linkUsagePage = c.nodes[base.linkCollection].LinkUsagePage;
    base.isStringRange = l.haveStringMin && l.haveStringMax;
    base.stringMin = base.isStringRange ? l.stringMin : l.stringIndex;
    base.stringMax = base.isStringRange ? l.stringMax : l.stringIndex;
    base.isDesignatorRange = l.haveDesignatorMin && l.haveDesignatorMax;
    base.designatorMin = base.isDesignatorRange ? l.designatorMin : l.designatorIndex;
    base.designatorMax = base.isDesignatorRange ? l.designatorMax : l.designatorIndex;
    base.bitSize = uint16_t(std::min<uint32_t>(g.reportSize, 0xFFFF));
    base.logicalMin = g.logicalMin;
    base.logicalMax = g.logicalMax;
    base.physicalMin = g.physicalMin;
    base.physicalMax = g.physicalMax;
    base.units = g.unit;
    base.unitsExp = g.unitExponent;

    // Variable items hand out fields in declaration order, the last entry taking all that remain;
    // surplus entries are dropped. Array items give every entry all the fields.
    const size_t used = isArray ? entries : std::min<size_t>(entries, g.reportCount);
    if (totalCaps + used > kMaxCapsPerCollection)
        return fail("more than " + std::to_string(kMaxCapsPerCollection) + " capabilities in one collection");

    uint32_t indicesNeeded = 0;
    countSteps(used);
    for (size_t k = 0; k < used; ++k)
        indicesNeeded += l.usages[k].isRange ? uint32_t(l.usages[k].max) - l.usages[k].min + 1 : 1;
    if (dataIndices_[type] + indicesNeeded > kMaxDataIndices)
        return fail(std::string("more than ") + std::to_string(kMaxDataIndices) + " " + typeName +
                    " data indices");

    // Arrays number their data indices in declaration order; variable items in storage order.
    std::vector<uint32_t> arrayFirstIndex;
    uint32_t ordinal = 0;
    if (isArray) {
        arrayFirstIndex.resize(used);
        countSteps(used);
        uint32_t next = dataIndices_[type];
        for (size_t k = 0; k < used; ++k) {
            arrayFirstIndex[k] = next;
            next += l.usages[k].isRange ? uint32_t(l.usages[k].max) - l.usages[k].min + 1 : 1;
        }
        ordinal = next - dataIndices_[type];
    }
    const bool startsAtZero = l.usages.front().min == 0;

    // Storage order is reversed: the last declared entry is stored first.
    countSteps(used);
    for (size_t r = used; r-- > 0;) {
        const UsageEntry &e = l.usages[r];
        Cap cap = base;
        cap.usagePage = e.page;
        cap.isRange = e.isRange;
        cap.usageMin = e.min;
        cap.usageMax = e.max;
        const uint32_t indexCount = cap.usageCount();
        if (isArray) {
            cap.bitPosition = startBit;
            cap.fieldCount = uint16_t(g.reportCount);
            ordinal -= indexCount;
            cap.arrayOrdinal = uint16_t(ordinal);
            cap.arrayStartsAtUsageZero = startsAtZero;
            cap.arrayItemCaps = uint16_t(used);
            cap.dataIndexMin = uint16_t(arrayFirstIndex[r]);
        } else {
            const bool last = r == used - 1;
            cap.bitPosition = startBit + uint32_t(r) * g.reportSize;
            cap.fieldCount = uint16_t(last ? g.reportCount - r : 1);
            cap.dataIndexMin = uint16_t(dataIndices_[type]);
            dataIndices_[type] += indexCount;
        }
        cap.dataIndexMax = uint16_t(cap.dataIndexMin + indexCount - 1);
        caps.push_back(cap);
    }
    if (isArray)
        dataIndices_[type] += indicesNeeded;
    return true;
}

std::atomic<uint64_t> parses{0};

bool parseAll(const uint8_t *data, size_t size, ParseOutput &out, std::string &error)
{
    parses.fetch_add(1, std::memory_order_relaxed);
    if (!data && size != 0) {
        error = "no descriptor";
        return false;
    }
    Parser parser(data, size);
    return parser.run(out, error);
}

} // namespace

uint64_t parseCount()
{
    return parses.load(std::memory_order_relaxed);
}

void CollectionDeleter::operator()(Collection *c) const
{
    delete c;
}

bool summarize(const uint8_t *data, size_t size, DescriptorSummary &out, std::string &error)
{
    out = DescriptorSummary{};
    ParseOutput parsed;
    parsed.summaries = &out.collections;
    if (!parseAll(data, size, parsed, error)) {
        out.collections.clear();
        return false;
    }
    out.usesReportIds = parsed.usesReportIds;
    return true;
}

CollectionPtr parseCollection(const uint8_t *data, size_t size, size_t index, std::string &error)
{
    auto collection = std::make_unique<Collection>();
    ParseOutput parsed;
    parsed.keepIndex = index;
    parsed.kept = collection.get();
    if (!parseAll(data, size, parsed, error))
        return nullptr;
    if (index >= parsed.collections) {
        error = "descriptor has " + std::to_string(parsed.collections) + " top-level collection" +
                (parsed.collections == 1 ? "" : "s") + ", no collection " + std::to_string(index);
        return nullptr;
    }
    prepareQueries(*collection);
    return CollectionPtr(collection.release());
}

} // namespace hidparse
