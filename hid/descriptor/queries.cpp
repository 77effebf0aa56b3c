// The report-description queries over a parsed collection. None of them allocates; every loop is
// bounded by the collection's capabilities and every report access by the report's length.
#include <algorithm>
#include <bit>
#include <cstring>

#include "collection.h"
#include "steps.h"

namespace hidparse {
namespace {

bool isValidType(HIDP_REPORT_TYPE type)
{
    return int(type) >= 0 && int(type) < kReportTypeCount;
}

// Up to the low 32 bits of the field at `bitPosition`, zero-extended. Bytes past the end of the
// report read as zero.
inline uint32_t readField(const uint8_t *report, ULONG length, uint32_t bitPosition, uint16_t bitSize)
{
    countSteps(1);
    const uint32_t width = std::min<uint32_t>(bitSize, 32);
    if (width == 0)
        return 0;
    const size_t first = bitPosition >> 3;
    const unsigned shift = bitPosition & 7;
    uint64_t acc = 0;
    if constexpr (std::endian::native == std::endian::little) {
        // Fast path: one unaligned 8-byte load covers any 32-bit field at any bit offset. Near
        // the end of the report the load ends at the last byte instead, and the shift brings in
        // zeros for whatever lies past it.
        if (length >= sizeof acc && first < length) {
            const size_t base = std::min<size_t>(first, length - sizeof acc);
            std::memcpy(&acc, report + base, sizeof acc);
            return uint32_t((acc >> ((first - base) * 8 + shift)) & ((uint64_t(1) << width) - 1));
        }
    }
    const size_t bytes = (shift + width + 7) / 8;
    for (size_t i = 0; i < bytes && first + i < length; ++i)
        acc |= uint64_t(report[first + i]) << (8 * i);
    acc >>= shift;
    return uint32_t(acc & ((uint64_t(1) << width) - 1));
}

void writeField(uint8_t *report, ULONG length, uint32_t bitPosition, uint16_t bitSize, uint32_t value)
{
    const uint32_t width = std::min<uint32_t>(bitSize, 32);
    countSteps(width);
    for (uint32_t i = 0; i < width; ++i) {
        const size_t byte = (bitPosition + i) >> 3;
        if (byte >= length)
            return;
        const uint8_t mask = uint8_t(1u << ((bitPosition + i) & 7));
        report[byte] = (value >> i) & 1 ? report[byte] | mask : report[byte] & ~mask;
    }
}

// A report whose first byte is 0 matches caps of every report ID.
bool reportIdMatches(const Cap &cap, const uint8_t *report)
{
    return report[0] == 0 || report[0] == cap.reportId;
}

NTSTATUS checkReport(const Collection &c, HIDP_REPORT_TYPE type, const uint8_t *report, ULONG reportLength)
{
    if (!isValidType(type))
        return HIDP_STATUS_INVALID_REPORT_TYPE;
    if (!report)
        return HIDP_STATUS_NULL;
    if (reportLength == 0 || reportLength != c.reportByteLength[type])
        return HIDP_STATUS_INVALID_REPORT_LENGTH;
    return HIDP_STATUS_SUCCESS;
}

// A sound report, then somewhere to put the answer: Windows checks them in this order.
NTSTATUS checkReportAndAnswer(const Collection &c, HIDP_REPORT_TYPE type, const uint8_t *report,
                              ULONG reportLength, const void *answer)
{
    const NTSTATUS check = checkReport(c, type, report, reportLength);
    if (check != HIDP_STATUS_SUCCESS)
        return check;
    return answer ? HIDP_STATUS_SUCCESS : HIDP_STATUS_NULL;
}

// A list call hands back how many entries it found, also when they did not all fit.
NTSTATUS finishList(ULONG found, ULONG capacity, ULONG *length)
{
    *length = found;
    return found > capacity ? HIDP_STATUS_BUFFER_TOO_SMALL : HIDP_STATUS_SUCCESS;
}

// Position of array value `value` among the usages of its main item (0-based), or -1 for "no
// usage". Verified: a value is the 1-based position of the usage in declaration order, whatever
// the Logical Minimum. Unverified: arrays whose first usage is 0 (keyboards); there the value is
// taken as the position itself, so that value 0 stays "nothing" and value 4 means usage 4, the
// only reading under which such devices work.
template <class ButtonCap> int64_t arrayPosition(const ButtonCap &cap, uint32_t value)
{
    if (value == 0)
        return -1;
    return cap.arrayStartsAtUsageZero ? int64_t(value) : int64_t(value) - 1;
}

// Calls fn(usage, dataIndex) for every button of `cap` (a Cap or a ButtonSlot) that is on.
template <class ButtonCap, class Fn>
void forEachButtonOn(const ButtonCap &cap, const uint8_t *report, ULONG length, Fn fn)
{
    if (cap.isArray) {
        if (cap.bitSize == 0)
            return;
        for (uint32_t j = 0; j < cap.fieldCount; ++j) {
            const int64_t pos =
                arrayPosition(cap, readField(report, length, cap.bitPosition + j * cap.bitSize, cap.bitSize));
            const int64_t offset = pos - cap.arrayOrdinal;
            if (pos < 0 || offset < 0 || offset >= int64_t(cap.usageCount()))
                continue;
            fn(USAGE(cap.usageMin + offset), USHORT(cap.dataIndexMin + offset));
        }
        return;
    }
    // Only the first fields up to the number of usages carry a button each. Variable buttons are
    // one bit wide, so they are read 32 at a time.
    const uint32_t count = std::min<uint32_t>(cap.fieldCount, cap.usageCount());
    for (uint32_t k = 0; k < count; k += 32) {
        uint32_t word =
            readField(report, length, cap.bitPosition + k, uint16_t(std::min<uint32_t>(count - k, 32)));
        while (word) {
            const uint32_t b = uint32_t(std::countr_zero(word));
            fn(USAGE(cap.usageMin + k + b), USHORT(cap.dataIndexMin + k + b));
            word &= word - 1;
        }
    }
}

// Calls fn(rank, k, usageOffset) for every button on of the caps [caps, caps + count) of one array
// main item (count >= 2, storage order), where rank is the button's place in the order of `count`
// calls of forEachButtonOn, one per cap; but each field is read at most twice rather than once
// per cap. While every button found names the same cap, field order is that order, so the first
// pass hands them over as it goes; a second cap makes a second pass, which gives every button its
// place from the first pass's counts and hands them all over again. fn must therefore only store
// at the rank it is given. Caps whose `wanted` entry is false are passed over; fn is called for
// ranks below `room` only. Returns the number of buttons on.
template <class ButtonCap, class Fn>
uint32_t forEachArrayButtonOn(const ButtonCap *caps, uint32_t count, const bool *wanted,
                              const uint8_t *report, ULONG length, ULONG room, Fn fn)
{
    static_assert(kMaxUsagesPerItem <= 1024, "the per-cap tables below live on the stack");
    const ButtonCap &item = caps[0];
    if (item.bitSize == 0 || count > kMaxUsagesPerItem)
        return 0;
    // Each cap's usages take the item's positions from its arrayOrdinal on: descending in storage
    // order, down to 0 for the last cap, the first declared.
    uint16_t firstPosition[kMaxUsagesPerItem];
    uint32_t rank[kMaxUsagesPerItem]; // pass 1: the cap's buttons; pass 2: the place of its next
    for (uint32_t k = 0; k < count; ++k) {
        firstPosition[k] = caps[k].arrayOrdinal;
        rank[k] = 0;
    }
    countSteps(count);
    // The cap of the last field that named one (fields tend to repeat), or `count` when it is not
    // wanted, and where its usages lie.
    uint32_t last = count;
    int64_t lastFirst = 0;
    uint64_t lastUsages = 0;
    // The cap whose usages hold position `pos`, or `count` for none or one not wanted.
    const auto capOf = [&](int64_t pos) -> uint32_t {
        if (uint64_t(pos - lastFirst) < lastUsages)
            return last;
        if (pos < 0)
            return count;
        uint32_t lo = 0, hi = count - 1; // the first cap whose usages start at or below pos
        while (lo < hi) {
            const uint32_t mid = (lo + hi) / 2;
            countSteps(1);
            if (firstPosition[mid] <= pos)
                hi = mid;
            else
                lo = mid + 1;
        }
        if (pos - firstPosition[lo] >= int64_t(caps[lo].usageCount()))
            return count; // past the item's last usage
        last = wanted[lo] ? lo : count;
        lastFirst = firstPosition[lo];
        lastUsages = caps[lo].usageCount();
        return last;
    };
    const auto position = [&](uint32_t j) {
        return arrayPosition(item,
                             readField(report, length, item.bitPosition + j * item.bitSize, item.bitSize));
    };
    uint32_t total = 0;
    if (item.bitSize == 1) {
        // A 1-bit field holds 0, which names nothing, or 1, which always names the same position:
        // every button is in one cap, in field order, so one pass over the fields 32 at a time
        // gives what the field-by-field walk below gives, without a lookup per field.
        const uint32_t k = capOf(arrayPosition(item, 1));
        if (k == count)
            return 0;
        const uint32_t usageOffset = uint32_t(arrayPosition(item, 1) - firstPosition[k]);
        for (uint32_t j = 0; j < item.fieldCount; j += 32) {
            const uint32_t width = std::min<uint32_t>(item.fieldCount - j, 32);
            uint32_t word = readField(report, length, item.bitPosition + j, uint16_t(width));
            if (total >= room) {
                total += uint32_t(std::popcount(word));
                continue;
            }
            for (; word != 0 && total < room; word &= word - 1, ++total)
                fn(total, k, usageOffset);
            total += uint32_t(std::popcount(word));
        }
        return total;
    }
    uint32_t only = count; // the one cap named so far
    bool several = false;
    for (uint32_t j = 0; j < item.fieldCount; ++j) {
        const int64_t pos = position(j);
        const uint32_t k = capOf(pos);
        if (k == count)
            continue;
        if (only == count)
            only = k;
        several |= k != only;
        if (!several && total < room)
            fn(total, k, uint32_t(pos - firstPosition[k]));
        ++rank[k];
        ++total;
    }
    if (!several || room == 0)
        return total;
    for (uint32_t k = 0, before = 0; k < count; ++k) {
        const uint32_t buttons = rank[k];
        rank[k] = before;
        before += buttons;
    }
    for (uint32_t j = 0; j < item.fieldCount; ++j) {
        const int64_t pos = position(j);
        const uint32_t k = capOf(pos);
        if (k < count && rank[k] < room)
            fn(rank[k], k, uint32_t(pos - firstPosition[k]));
        if (k < count)
            ++rank[k];
    }
    return total;
}

bool capMatches(const Cap &cap, USAGE usagePage, USHORT linkCollection, USAGE usage)
{
    if (usagePage != 0 && cap.usagePage != usagePage)
        return false;
    if (linkCollection != 0 && cap.linkCollection != linkCollection)
        return false;
    return usage == 0 || (usage >= cap.usageMin && usage <= cap.usageMax);
}

template <class Record> void fillCommon(const Cap &cap, Record &out)
{
    std::memset(&out, 0, sizeof out);
    out.UsagePage = cap.usagePage;
    out.ReportID = cap.reportId;
    out.IsAlias = 0;
    out.BitField = cap.bitField;
    out.LinkCollection = cap.linkCollection;
    out.LinkUsage = cap.linkUsage;
    out.LinkUsagePage = cap.linkUsagePage;
    out.IsRange = cap.isRange;
    out.IsStringRange = cap.isStringRange;
    out.IsDesignatorRange = cap.isDesignatorRange;
    out.IsAbsolute = cap.isAbsolute;
    // A single usage is stored as a range of one, so the NotRange fields and their Reserved
    // shadows read the same numbers, as on Windows.
    out.Range.UsageMin = cap.usageMin;
    out.Range.UsageMax = cap.usageMax;
    out.Range.StringMin = cap.stringMin;
    out.Range.StringMax = cap.stringMax;
    out.Range.DesignatorMin = cap.designatorMin;
    out.Range.DesignatorMax = cap.designatorMax;
    out.Range.DataIndexMin = cap.dataIndexMin;
    out.Range.DataIndexMax = cap.dataIndexMax;
}

void fillButton(const Cap &cap, HIDP_BUTTON_CAPS &out)
{
    fillCommon(cap, out);
#if HIDP_BUTTON_CAPS_HAS_REPORT_COUNT
    out.ReportCount = cap.fieldCount;
#endif
}

void fillValue(const Cap &cap, HIDP_VALUE_CAPS &out)
{
    fillCommon(cap, out);
    out.HasNull = cap.hasNull;
    out.BitSize = cap.bitSize;
    out.ReportCount = cap.isRange ? 1 : cap.fieldCount;
    out.UnitsExp = cap.unitsExp;
    out.Units = cap.units;
    out.LogicalMin = cap.logicalMin;
    out.LogicalMax = cap.logicalMax;
    out.PhysicalMin = cap.physicalMin;
    out.PhysicalMax = cap.physicalMax;
}

template <class Record, class Fill>
NTSTATUS copyCaps(const Collection &c, HIDP_REPORT_TYPE type, bool buttons, USAGE usagePage,
                  USHORT linkCollection, USAGE usage, Record *out, USHORT *length, Fill fill)
{
    if (!isValidType(type))
        return HIDP_STATUS_INVALID_REPORT_TYPE;
    if (!length)
        return HIDP_STATUS_NULL;
    const USHORT capacity = out ? *length : 0;
    uint32_t found = 0;
    countSteps(c.caps[type].size());
    for (const Cap &cap : c.caps[type]) {
        if (cap.isButton != buttons || !capMatches(cap, usagePage, linkCollection, usage))
            continue;
        if (found < capacity)
            fill(cap, out[found]);
        ++found;
    }
    *length = USHORT(found);
    if (found == 0)
        return HIDP_STATUS_USAGE_NOT_FOUND;
    return found > capacity ? HIDP_STATUS_BUFFER_TOO_SMALL : HIDP_STATUS_SUCCESS;
}

// The index entry of `usage`; null when its page has no table.
inline const ValueField *indexedField(const ValueIndex &index, USAGE usagePage, USAGE usage)
{
    static constexpr ValueField kNoField{};
    for (uint32_t p = 0; p < index.pageCount; ++p) {
        const ValuePageTable &page = index.pages[p];
        if (page.usagePage != usagePage)
            continue;
        const uint32_t entry = uint32_t(usage) - page.usageBase; // wraps past the table when below
        return entry < page.usageCount ? &index.fields[page.offset + entry] : &kNoField;
    }
    return index.everyPageIndexed ? &kNoField : nullptr;
}

// The first value cap, in storage order, holding `usage`, with the element of it that does.
struct ValueMatch {
    const ValueSlot *slot = nullptr;
    uint32_t element = 0;
    NTSTATUS status = HIDP_STATUS_USAGE_NOT_FOUND;
};

// Whether value slot i has a field for the usage (its page, and within its usages that have fields).
inline bool slotHasUsage(const ValueWalk &w, size_t i, USAGE usagePage, USAGE usage)
{
    return w.usagePages[i] == usagePage && uint16_t(usage - w.usageMins[i]) < w.fieldUsages[i];
}

// The walk over the value slots from slot `first`, which no earlier slot could answer: the first
// slot with a field for the usage, in the link collection and of the report's ID, answers; one of
// another report ID is passed over with HIDP_STATUS_INCOMPATIBLE_REPORT_ID unless a later one
// answers.
ValueMatch findValueFrom(const Collection &c, HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                         USAGE usage, const uint8_t *report, uint32_t first)
{
    ValueMatch m;
    const std::vector<ValueSlot> &slots = c.valueSlots[type];
    const ValueWalk &w = c.valueWalk[type];
    const uint8_t id = report[0];
    const auto answer = [&](uint32_t i) {
        m.slot = &slots[i];
        m.element = uint16_t(usage - w.usageMins[i]);
        m.status = HIDP_STATUS_SUCCESS;
        return m;
    };
    uint32_t i = first;
    if (linkCollection == 0) {
        // Eight slots at a time, as the HID layer asks (link collection 0): the lanes that have a
        // field for the usage, then those of them of the report's ID.
        using Lanes = uint16_t __attribute__((vector_size(16)));
        using IdLanes = uint8_t __attribute__((vector_size(8)));
        for (; i + 8 <= slots.size(); i += 8) {
            countSteps(1);
            Lanes pages, mins, fieldUsages;
            IdLanes ids;
            std::memcpy(&pages, &w.usagePages[i], sizeof pages);
            std::memcpy(&mins, &w.usageMins[i], sizeof mins);
            std::memcpy(&fieldUsages, &w.fieldUsages[i], sizeof fieldUsages);
            std::memcpy(&ids, &w.reportIds[i], sizeof ids);
            const Lanes has = Lanes((pages == usagePage) & ((usage - mins) < fieldUsages));
            const Lanes ofId = id == 0 ? has : Lanes(has & Lanes(__builtin_convertvector(ids, Lanes) == id));
            uint64_t any[2];
            std::memcpy(any, &ofId, sizeof any);
            if (any[0] | any[1]) {
                for (uint32_t lane = 0;; ++lane) {
                    if (ofId[lane])
                        return answer(i + lane);
                }
            }
            std::memcpy(any, &has, sizeof any);
            if (any[0] | any[1])
                m.status = HIDP_STATUS_INCOMPATIBLE_REPORT_ID;
        }
    }
    for (; i < slots.size(); ++i) {
        countSteps(1);
        if (!slotHasUsage(w, i, usagePage, usage))
            continue;
        if (linkCollection != 0 && slots[i].linkCollection != linkCollection)
            continue;
        if (id != 0 && id != w.reportIds[i]) {
            m.status = HIDP_STATUS_INCOMPATIBLE_REPORT_ID;
            continue;
        }
        return answer(i);
    }
    return m;
}

ValueMatch findValue(const Collection &c, HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                     USAGE usage, const uint8_t *report)
{
    const ValueField *field = indexedField(c.valueIndex[type], usagePage, usage);
    return findValueFrom(c, type, usagePage, linkCollection, usage, report, field ? field->slot : 0);
}

} // namespace

NTSTATUS getCaps(const Collection &c, HIDP_CAPS *caps)
{
    if (!caps)
        return HIDP_STATUS_NULL;
    std::memset(caps, 0, sizeof *caps);
    caps->Usage = c.usage;
    caps->UsagePage = c.usagePage;
    caps->InputReportByteLength = c.reportByteLength[HidP_Input];
    caps->OutputReportByteLength = c.reportByteLength[HidP_Output];
    caps->FeatureReportByteLength = c.reportByteLength[HidP_Feature];
    caps->NumberLinkCollectionNodes = USHORT(c.nodes.size());
    USHORT *buttons[] = {&caps->NumberInputButtonCaps, &caps->NumberOutputButtonCaps,
                         &caps->NumberFeatureButtonCaps};
    USHORT *values[] = {&caps->NumberInputValueCaps, &caps->NumberOutputValueCaps,
                        &caps->NumberFeatureValueCaps};
    USHORT *indices[] = {&caps->NumberInputDataIndices, &caps->NumberOutputDataIndices,
                         &caps->NumberFeatureDataIndices};
    for (int t = 0; t < kReportTypeCount; ++t) {
        countSteps(c.caps[t].size());
        for (const Cap &cap : c.caps[t])
            ++*(cap.isButton ? buttons[t] : values[t]);
        *indices[t] = c.dataIndexCount[t];
    }
    return HIDP_STATUS_SUCCESS;
}

NTSTATUS getButtonCaps(const Collection &c, HIDP_REPORT_TYPE type, HIDP_BUTTON_CAPS *caps, USHORT *length)
{
    return copyCaps(c, type, true, 0, 0, 0, caps, length, fillButton);
}

NTSTATUS getValueCaps(const Collection &c, HIDP_REPORT_TYPE type, HIDP_VALUE_CAPS *caps, USHORT *length)
{
    return copyCaps(c, type, false, 0, 0, 0, caps, length, fillValue);
}

NTSTATUS getSpecificButtonCaps(const Collection &c, HIDP_REPORT_TYPE type, USAGE usagePage,
                               USHORT linkCollection, USAGE usage, HIDP_BUTTON_CAPS *caps, USHORT *length)
{
    return copyCaps(c, type, true, usagePage, linkCollection, usage, caps, length, fillButton);
}

NTSTATUS getSpecificValueCaps(const Collection &c, HIDP_REPORT_TYPE type, USAGE usagePage,
                              USHORT linkCollection, USAGE usage, HIDP_VALUE_CAPS *caps, USHORT *length)
{
    return copyCaps(c, type, false, usagePage, linkCollection, usage, caps, length, fillValue);
}

NTSTATUS getLinkCollectionNodes(const Collection &c, HIDP_LINK_COLLECTION_NODE *nodes, ULONG *length)
{
    if (!length)
        return HIDP_STATUS_NULL;
    const ULONG count = ULONG(c.nodes.size());
    if (!nodes || *length < count) {
        *length = count;
        return HIDP_STATUS_BUFFER_TOO_SMALL;
    }
    std::copy(c.nodes.begin(), c.nodes.end(), nodes);
    *length = count;
    return HIDP_STATUS_SUCCESS;
}

ULONG maxUsageListLength(const Collection &c, HIDP_REPORT_TYPE type, USAGE usagePage)
{
    if (!isValidType(type))
        return 0;
    if (usagePage == 0)
        return c.buttonFields[type];
    for (const PageFieldCount &p : c.buttonFieldsByPage[type]) {
        countSteps(1);
        if (p.usagePage == usagePage)
            return p.fields;
    }
    return 0;
}

namespace {

// collectUsages' part for the caps [item, item + itemCaps) of one array item, which share its
// fields: they are read once for all. Out of line, so that its tables stay off the stack of the
// usual query, whose buttons are variable ones. Returns the buttons found.
template <class Put>
[[gnu::noinline]] ULONG collectArrayItemUsages(const ButtonSlot *item, uint32_t itemCaps, bool anyPage,
                                               USAGE usagePage, USHORT linkCollection, const uint8_t *report,
                                               ULONG reportLength, ULONG found, ULONG capacity,
                                               bool &pageFound, bool &idFound, Put &put)
{
    bool wanted[kMaxUsagesPerItem];
    bool any = false;
    for (uint32_t k = 0; k < itemCaps && k < kMaxUsagesPerItem; ++k) {
        const ButtonSlot &s = item[k];
        wanted[k] = (anyPage || s.usagePage == usagePage) &&
                    (linkCollection == 0 || s.linkCollection == linkCollection);
        pageFound |= wanted[k];
        wanted[k] = wanted[k] && (report[0] == 0 || report[0] == s.reportId);
        idFound |= wanted[k];
        any |= wanted[k];
    }
    countSteps(itemCaps);
    if (!any)
        return 0;
    return forEachArrayButtonOn(item, itemCaps, wanted, report, reportLength,
                                found < capacity ? capacity - found : 0,
                                [&](ULONG rank, uint32_t k, uint32_t offset) {
                                    put(found + rank, USAGE(item[k].usageMin + offset), item[k].usagePage);
                                });
}

// Walks the buttons on in the report, of one page or of every page, in caps order, handing each to
// `put(index, usage, page)` while `index` is below `capacity`.
template <class Put>
NTSTATUS collectUsages(const Collection &c, HIDP_REPORT_TYPE type, bool anyPage, USAGE usagePage,
                       USHORT linkCollection, ULONG *usageLength, bool haveList, const uint8_t *report,
                       ULONG reportLength, Put put)
{
    const NTSTATUS check = checkReportAndAnswer(c, type, report, reportLength, usageLength);
    if (check != HIDP_STATUS_SUCCESS)
        return check;
    const ULONG capacity = haveList ? *usageLength : 0;
    ULONG found = 0;
    bool pageFound = false, idFound = false;
    const std::vector<ButtonSlot> &slots = c.buttonSlots[type];
    for (size_t i = 0; i < slots.size();) {
        const ButtonSlot &cap = slots[i];
        const uint32_t itemCaps = cap.isArray ? std::max<uint32_t>(cap.arrayItemCaps, 1) : 1;
        if (itemCaps > 1 && i + itemCaps <= slots.size()) {
            found += collectArrayItemUsages(&slots[i], itemCaps, anyPage, usagePage, linkCollection, report,
                                            reportLength, found, capacity, pageFound, idFound, put);
            i += itemCaps;
            continue;
        }
        ++i;
        countSteps(1);
        if (!anyPage && cap.usagePage != usagePage)
            continue;
        if (linkCollection != 0 && cap.linkCollection != linkCollection)
            continue;
        pageFound = true;
        if (report[0] != 0 && report[0] != cap.reportId)
            continue;
        idFound = true;
        forEachButtonOn(cap, report, reportLength, [&](USAGE usage, USHORT) {
            if (found < capacity)
                put(found, usage, cap.usagePage);
            ++found;
        });
    }
    if (!pageFound)
        return HIDP_STATUS_USAGE_NOT_FOUND;
    if (!idFound)
        return HIDP_STATUS_INCOMPATIBLE_REPORT_ID;
    return finishList(found, capacity, usageLength);
}

} // namespace

NTSTATUS getUsages(const Collection &c, HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                   USAGE *usageList, ULONG *usageLength, const uint8_t *report, ULONG reportLength)
{
    return collectUsages(c, type, false, usagePage, linkCollection, usageLength, usageList != nullptr, report,
                         reportLength, [&](ULONG i, USAGE usage, USAGE) { usageList[i] = usage; });
}

NTSTATUS getUsagesEx(const Collection &c, HIDP_REPORT_TYPE type, USHORT linkCollection,
                     UsageAndPage *usageList, ULONG *usageLength, const uint8_t *report, ULONG reportLength)
{
    return collectUsages(c, type, true, 0, linkCollection, usageLength, usageList != nullptr, report,
                         reportLength, [&](ULONG i, USAGE usage, USAGE page) {
                             usageList[i] = UsageAndPage{usage, page};
                         });
}

namespace {

// Every value lookup the index entry alone cannot answer, and every bad call.
__attribute__((noinline)) NTSTATUS lookUpValue(const Collection &c, HIDP_REPORT_TYPE type, USAGE usagePage,
                                               USHORT linkCollection, USAGE usage, ULONG *value,
                                               const uint8_t *report, ULONG reportLength)
{
    const NTSTATUS check = checkReportAndAnswer(c, type, report, reportLength, value);
    if (check != HIDP_STATUS_SUCCESS)
        return check;
    const ValueMatch m = findValue(c, type, usagePage, linkCollection, usage, report);
    if (m.slot)
        *value = readField(report, reportLength, m.slot->bitPosition + m.element * m.slot->bitSize,
                           m.slot->bitSize);
    return m.status;
}

} // namespace

NTSTATUS getUsageValue(const Collection &c, HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                       USAGE usage, ULONG *value, const uint8_t *report, ULONG reportLength)
{
    // The usual call, once per value usage of every report: a sound report whose first slot with a
    // field for the usage matches the link collection and the report ID, so that the index entry
    // alone answers. It stays small enough to need no saved registers; the rest goes the long way.
    if (isValidType(type) && report && value && reportLength != 0 &&
        reportLength == c.reportByteLength[type]) {
        const ValueField *field = indexedField(c.valueIndex[type], usagePage, usage);
        if (field && field->slot != kNoValueSlot &&
            (linkCollection == 0 || field->linkCollection == linkCollection) &&
            (report[0] == 0 || report[0] == field->reportId)) {
            *value = readField(report, reportLength, field->bitPosition, field->bitSize);
            return HIDP_STATUS_SUCCESS;
        }
    }
    return lookUpValue(c, type, usagePage, linkCollection, usage, value, report, reportLength);
}

NTSTATUS getUsageValueArray(const Collection &c, HIDP_REPORT_TYPE type, USAGE usagePage,
                            USHORT linkCollection, USAGE usage, uint8_t *buffer, USHORT bufferLength,
                            const uint8_t *report, ULONG reportLength)
{
    const NTSTATUS check = checkReport(c, type, report, reportLength);
    if (check != HIDP_STATUS_SUCCESS)
        return check;
    const ValueMatch m = findValue(c, type, usagePage, linkCollection, usage, report);
    if (!m.slot)
        return m.status;
    const Cap &cap = c.caps[type][m.slot->capIndex];
    if (cap.isRange || cap.fieldCount <= 1)
        return HIDP_STATUS_NOT_VALUE_ARRAY;
    const uint32_t bits = uint32_t(cap.bitSize) * cap.fieldCount;
    if (!buffer || bufferLength < (bits + 7) / 8)
        return HIDP_STATUS_BUFFER_TOO_SMALL;
    std::memset(buffer, 0, (bits + 7) / 8);
    for (uint32_t i = 0; i < bits; ++i) {
        if (readField(report, reportLength, cap.bitPosition + i, 1))
            buffer[i >> 3] |= uint8_t(1u << (i & 7));
    }
    return HIDP_STATUS_SUCCESS;
}

ULONG maxDataListLength(const Collection &c, HIDP_REPORT_TYPE type)
{
    if (!isValidType(type))
        return 0;
    ULONG total = 0;
    countSteps(c.caps[type].size());
    for (const Cap &cap : c.caps[type])
        total += cap.isButton || cap.isRange ? cap.fieldCount : 1;
    return total;
}

NTSTATUS getData(const Collection &c, HIDP_REPORT_TYPE type, HIDP_DATA *dataList, ULONG *dataLength,
                 const uint8_t *report, ULONG reportLength)
{
    const NTSTATUS check = checkReportAndAnswer(c, type, report, reportLength, dataLength);
    if (check != HIDP_STATUS_SUCCESS)
        return check;
    const ULONG capacity = dataList ? *dataLength : 0;
    ULONG found = 0;
    bool idFound = false;
    auto emit = [&](USHORT dataIndex, ULONG raw) {
        if (found < capacity) {
            dataList[found].DataIndex = dataIndex;
            dataList[found].Reserved = 0;
            dataList[found].RawValue = raw;
        }
        ++found;
    };
    const std::vector<Cap> &caps = c.caps[type];
    for (size_t i = 0; i < caps.size();) {
        const Cap &cap = caps[i];
        const uint32_t itemCaps = cap.isArray ? std::max<uint32_t>(cap.arrayItemCaps, 1) : 1;
        countSteps(1);
        if (!reportIdMatches(cap, report)) {
            i += itemCaps;
            continue;
        }
        idFound = true;
        if (itemCaps > 1 && i + itemCaps <= caps.size()) {
            // The caps of one array item share its fields, its report ID among them.
            bool wanted[kMaxUsagesPerItem];
            std::fill_n(wanted, std::min<size_t>(itemCaps, kMaxUsagesPerItem), true);
            const Cap *item = &caps[i];
            found += forEachArrayButtonOn(item, itemCaps, wanted, report, reportLength,
                                          found < capacity ? capacity - found : 0,
                                          [&](ULONG rank, uint32_t k, uint32_t offset) {
                                              HIDP_DATA &entry = dataList[found + rank];
                                              entry.DataIndex = USHORT(item[k].dataIndexMin + offset);
                                              entry.Reserved = 0;
                                              entry.RawValue = 1;
                                          });
            i += itemCaps;
            continue;
        }
        ++i;
        if (cap.isButton) {
            forEachButtonOn(cap, report, reportLength, [&](USAGE, USHORT dataIndex) { emit(dataIndex, 1); });
            continue;
        }
        // Usage value arrays and zero-width values have no place in a data list.
        if (cap.bitSize == 0 || (!cap.isRange && cap.fieldCount > 1))
            continue;
        const uint32_t elements = cap.isRange ? std::min<uint32_t>(cap.fieldCount, cap.usageCount()) : 1;
        for (uint32_t k = 0; k < elements; ++k)
            emit(USHORT(cap.dataIndexMin + k),
                 readField(report, reportLength, cap.bitPosition + k * cap.bitSize, cap.bitSize));
    }
    if (!idFound && !c.caps[type].empty())
        return HIDP_STATUS_INCOMPATIBLE_REPORT_ID;
    return finishList(found, capacity, dataLength);
}

NTSTATUS initializeReportForId(const Collection &c, HIDP_REPORT_TYPE type, UCHAR reportId, uint8_t *report,
                               ULONG reportLength)
{
    const NTSTATUS check = checkReport(c, type, report, reportLength);
    if (check != HIDP_STATUS_SUCCESS)
        return check;
    // Padding alone does not make a report: only an ID with caps does.
    const auto &caps = c.caps[type];
    countSteps(caps.size());
    if (std::none_of(caps.begin(), caps.end(), [&](const Cap &cap) { return cap.reportId == reportId; }))
        return HIDP_STATUS_REPORT_DOES_NOT_EXIST;
    std::memset(report, 0, reportLength);
    report[0] = reportId;
    return HIDP_STATUS_SUCCESS;
}

NTSTATUS setUsages(const Collection &c, HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                   const USAGE *usageList, ULONG *usageLength, uint8_t *report, ULONG reportLength)
{
    const NTSTATUS check = checkReport(c, type, report, reportLength);
    if (check != HIDP_STATUS_SUCCESS)
        return check;
    if (!usageLength || (!usageList && *usageLength != 0))
        return HIDP_STATUS_NULL;
    for (ULONG i = 0; i < *usageLength; ++i) {
        const USAGE usage = usageList[i];
        NTSTATUS status = HIDP_STATUS_USAGE_NOT_FOUND;
        for (const Cap &cap : c.caps[type]) {
            countSteps(1);
            if (!cap.isButton || cap.usagePage != usagePage || usage < cap.usageMin || usage > cap.usageMax)
                continue;
            if (linkCollection != 0 && cap.linkCollection != linkCollection)
                continue;
            if (!reportIdMatches(cap, report)) {
                status = HIDP_STATUS_INCOMPATIBLE_REPORT_ID;
                continue;
            }
            const uint32_t offset = usage - cap.usageMin;
            if (!cap.isArray) {
                if (offset >= cap.fieldCount)
                    continue;
                writeField(report, reportLength, cap.bitPosition + offset * cap.bitSize, cap.bitSize, 1);
                status = HIDP_STATUS_SUCCESS;
                break;
            }
            // Array: the first empty field takes the usage's position in the item.
            const uint32_t value = cap.arrayOrdinal + offset + (cap.arrayStartsAtUsageZero ? 0 : 1);
            status = HIDP_STATUS_BUFFER_TOO_SMALL;
            for (uint32_t j = 0; j < cap.fieldCount && cap.bitSize > 0; ++j) {
                const uint32_t bit = cap.bitPosition + j * cap.bitSize;
                if (readField(report, reportLength, bit, cap.bitSize) == 0) {
                    writeField(report, reportLength, bit, cap.bitSize, value);
                    status = HIDP_STATUS_SUCCESS;
                    break;
                }
            }
            break;
        }
        if (status != HIDP_STATUS_SUCCESS) {
            *usageLength = i;
            return status;
        }
    }
    return HIDP_STATUS_SUCCESS;
}

const char *statusName(NTSTATUS status)
{
    switch (status) {
    case HIDP_STATUS_SUCCESS:
        return "HIDP_STATUS_SUCCESS";
    case HIDP_STATUS_NULL:
        return "HIDP_STATUS_NULL";
    case HIDP_STATUS_INVALID_PREPARSED_DATA:
        return "HIDP_STATUS_INVALID_PREPARSED_DATA";
    case HIDP_STATUS_INVALID_REPORT_TYPE:
        return "HIDP_STATUS_INVALID_REPORT_TYPE";
    case HIDP_STATUS_INVALID_REPORT_LENGTH:
        return "HIDP_STATUS_INVALID_REPORT_LENGTH";
    case HIDP_STATUS_USAGE_NOT_FOUND:
        return "HIDP_STATUS_USAGE_NOT_FOUND";
    case HIDP_STATUS_VALUE_OUT_OF_RANGE:
        return "HIDP_STATUS_VALUE_OUT_OF_RANGE";
    case HIDP_STATUS_BAD_LOG_PHY_VALUES:
        return "HIDP_STATUS_BAD_LOG_PHY_VALUES";
    case HIDP_STATUS_BUFFER_TOO_SMALL:
        return "HIDP_STATUS_BUFFER_TOO_SMALL";
    case HIDP_STATUS_INTERNAL_ERROR:
        return "HIDP_STATUS_INTERNAL_ERROR";
    case HIDP_STATUS_I8042_TRANS_UNKNOWN:
        return "HIDP_STATUS_I8042_TRANS_UNKNOWN";
    case HIDP_STATUS_INCOMPATIBLE_REPORT_ID:
        return "HIDP_STATUS_INCOMPATIBLE_REPORT_ID";
    case HIDP_STATUS_NOT_VALUE_ARRAY:
        return "HIDP_STATUS_NOT_VALUE_ARRAY";
    case HIDP_STATUS_IS_VALUE_ARRAY:
        return "HIDP_STATUS_IS_VALUE_ARRAY";
    case HIDP_STATUS_DATA_INDEX_NOT_FOUND:
        return "HIDP_STATUS_DATA_INDEX_NOT_FOUND";
    case HIDP_STATUS_DATA_INDEX_OUT_OF_RANGE:
        return "HIDP_STATUS_DATA_INDEX_OUT_OF_RANGE";
    case HIDP_STATUS_BUTTON_NOT_PRESSED:
        return "HIDP_STATUS_BUTTON_NOT_PRESSED";
    case HIDP_STATUS_REPORT_DOES_NOT_EXIST:
        return "HIDP_STATUS_REPORT_DOES_NOT_EXIST";
    case HIDP_STATUS_NOT_IMPLEMENTED:
        return "HIDP_STATUS_NOT_IMPLEMENTED";
    default:
        return "HIDP_STATUS_UNKNOWN";
    }
}

} // namespace hidparse
