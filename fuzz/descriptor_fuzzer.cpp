// Feeds arbitrary bytes to the descriptor parser and every query. The input is split in two: the
// first byte says how much of the rest is the descriptor; what follows is a report, fitted to
// each report type's length the way the HID layer hands reports over.
//
// Cost is checked as well as safety. The parser is built counting its work in steps
// (descriptor/steps.h), and every parse and every query must stay within a bound linear in what
// it works on: the descriptor's bytes for a parse, the caps of the report type and the report's
// bits for a query. An input that takes more steps is a finding, however quickly this machine
// happens to run it.
#include <algorithm>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "descriptor/collection.h"
#include "descriptor/descriptor.h"
#include "descriptor/steps.h"

namespace {

constexpr size_t kMaxCollectionsTried = 4;
constexpr size_t kMaxCapsQueried = 64;
// Room offered to the list queries. The longest list a collection can give (every cap of an
// array item counts all its fields) runs to millions of entries; past this the queries still do
// all their work, and answer that the room is too small.
constexpr ULONG kMaxListRoom = 1 << 16;

ULONG listRoom(ULONG longest)
{
    return std::min(longest, kMaxListRoom);
}

// Steps a parse may take per descriptor byte, and per value index entry it builds (an entry may
// be reached through a few taken ones).
constexpr uint64_t kParseStepsPerByte = 32;
constexpr uint64_t kParseStepsPerIndexEntry = 4;
// Steps a query may take per cap of the report type and per report bit: a field read at most
// twice, and the cap of an array field found among at most 1024 in at most 10 steps each time.
constexpr uint64_t kQueryStepsPerUnit = 32;

void checkSteps(const char *what, uint64_t steps, uint64_t bound)
{
    if (steps <= bound)
        return;
    std::fprintf(stderr, "%s took %" PRIu64 " steps, more than its bound of %" PRIu64 "\n", what, steps,
                 bound);
    std::abort();
}

// Runs `call`; a finding when it took more than `bound` steps.
template <class Call> auto bounded(const char *what, uint64_t bound, Call call)
{
    const uint64_t before = hidparse::stepCount;
    const auto result = call();
    checkSteps(what, hidparse::stepCount - before, bound);
    return result;
}

uint64_t parseBound(size_t descriptorSize, const hidparse::Collection *c)
{
    uint64_t entries = 0;
    if (c) {
        for (const hidparse::ValueIndex &index : c->valueIndex)
            entries += index.fields.size();
    }
    return kParseStepsPerByte * (descriptorSize + 1) + kParseStepsPerIndexEntry * entries;
}

// A report of a collection with report IDs may start with 0, which matches the caps of every ID,
// each within its own report's length.
uint64_t queryBound(const hidparse::Collection &c, HIDP_REPORT_TYPE type, ULONG reportLength)
{
    return kQueryStepsPerUnit *
           (c.caps[type].size() + uint64_t(reportLength) * 8 * (c.reportIds.size() + 1) + 1);
}

// The value lookup as a plain walk over the value caps in storage order; the lookup index must give
// the same status and value.
NTSTATUS walkValue(const hidparse::Collection &c, HIDP_REPORT_TYPE type, USAGE page, USHORT link, USAGE usage,
                   const std::vector<uint8_t> &report, ULONG &value)
{
    NTSTATUS status = HIDP_STATUS_USAGE_NOT_FOUND;
    for (const hidparse::ValueSlot &v : c.valueSlots[type]) {
        const uint32_t element = uint32_t(usage) - v.usageMin;
        if (v.usagePage != page || usage < v.usageMin || element > v.usageSpan || element >= v.fieldCount)
            continue;
        if (link != 0 && v.linkCollection != link)
            continue;
        if (report[0] != 0 && report[0] != v.reportId) {
            status = HIDP_STATUS_INCOMPATIBLE_REPORT_ID;
            continue;
        }
        value = 0;
        const uint32_t position = v.bitPosition + element * v.bitSize;
        for (uint32_t i = 0; i < v.bitSize && i < 32; ++i) {
            const size_t byte = (position + i) / 8;
            if (byte < report.size() && (report[byte] >> ((position + i) % 8) & 1))
                value |= ULONG(1) << i;
        }
        return HIDP_STATUS_SUCCESS;
    }
    return status;
}

void checkValueLookups(const hidparse::Collection &c, HIDP_REPORT_TYPE type,
                       const std::vector<uint8_t> &report, ULONG length)
{
    const auto &slots = c.valueSlots[type];
    for (size_t i = 0; i < slots.size() && i < kMaxCapsQueried; ++i) {
        const hidparse::ValueSlot &v = slots[i];
        for (const uint32_t usage : {uint32_t(v.usageMin), uint32_t(v.usageMin) + v.usageSpan,
                                     uint32_t(v.usageMin) + v.fieldCount - 1, uint32_t(v.usageMin) - 1}) {
            for (const USHORT link : {USHORT(0), v.linkCollection}) {
                ULONG want = 0, got = 0;
                const NTSTATUS wantStatus = walkValue(c, type, v.usagePage, link, USAGE(usage), report, want);
                if (hidparse::getUsageValue(c, type, v.usagePage, link, USAGE(usage), &got, report.data(),
                                            length) != wantStatus ||
                    got != want)
                    __builtin_trap();
            }
        }
    }
}

// The usage and data lists as plain walks over the caps in storage order, each button cap reading
// its fields for itself; the queries must give the same lists, also where the caps of an array
// item share one read of its fields. Calls fn(usage, page, dataIndex) per button on.
uint32_t readBits(const std::vector<uint8_t> &report, uint32_t position, uint32_t size)
{
    uint32_t value = 0;
    for (uint32_t i = 0; i < size && i < 32; ++i) {
        const size_t byte = (position + i) / 8;
        if (byte < report.size() && (report[byte] >> ((position + i) % 8) & 1))
            value |= uint32_t(1) << i;
    }
    return value;
}

template <class Fn> void walkButtons(const hidparse::Cap &cap, const std::vector<uint8_t> &report, Fn fn)
{
    if (cap.isArray) {
        for (uint32_t j = 0; j < cap.fieldCount && cap.bitSize > 0; ++j) {
            const uint32_t value = readBits(report, cap.bitPosition + j * cap.bitSize, cap.bitSize);
            if (value == 0)
                continue;
            const int64_t offset = int64_t(value) - (cap.arrayStartsAtUsageZero ? 0 : 1) - cap.arrayOrdinal;
            if (offset >= 0 && offset < int64_t(cap.usageCount()))
                fn(USAGE(cap.usageMin + offset), cap.usagePage, USHORT(cap.dataIndexMin + offset));
        }
        return;
    }
    for (uint32_t k = 0; k < cap.fieldCount && k < cap.usageCount(); ++k) {
        if (readBits(report, cap.bitPosition + k, 1))
            fn(USAGE(cap.usageMin + k), cap.usagePage, USHORT(cap.dataIndexMin + k));
    }
}

// Skipped when the plain walk itself would take long: it is the cost the queries avoid.
constexpr uint64_t kMaxWalkedFields = 1 << 20;

void checkButtonLists(const hidparse::Collection &c, HIDP_REPORT_TYPE type,
                      const std::vector<uint8_t> &report, ULONG length)
{
    uint64_t walked = 0;
    for (const hidparse::Cap &cap : c.caps[type])
        walked += cap.fieldCount;
    if (walked > kMaxWalkedFields)
        return;
    std::vector<hidparse::UsageAndPage> wantUsages;
    std::vector<HIDP_DATA> wantData;
    for (const hidparse::Cap &cap : c.caps[type]) {
        if (report[0] != 0 && report[0] != cap.reportId)
            continue;
        if (cap.isButton) {
            walkButtons(cap, report, [&](USAGE usage, USAGE page, USHORT dataIndex) {
                wantUsages.push_back({usage, page});
                wantData.push_back({dataIndex, 0, {1}});
            });
            continue;
        }
        if (cap.bitSize == 0 || (!cap.isRange && cap.fieldCount > 1))
            continue;
        const uint32_t elements = cap.isRange ? std::min<uint32_t>(cap.fieldCount, cap.usageCount()) : 1;
        for (uint32_t k = 0; k < elements; ++k)
            wantData.push_back({USHORT(cap.dataIndexMin + k),
                                0,
                                {readBits(report, cap.bitPosition + k * cap.bitSize, cap.bitSize)}});
    }
    std::vector<hidparse::UsageAndPage> usages(wantUsages.size() + 1);
    ULONG count = ULONG(usages.size());
    if (hidparse::getUsagesEx(c, type, 0, usages.data(), &count, report.data(), length) ==
        HIDP_STATUS_SUCCESS) {
        if (count != wantUsages.size())
            __builtin_trap();
        for (size_t i = 0; i < count; ++i) {
            if (usages[i].Usage != wantUsages[i].Usage || usages[i].UsagePage != wantUsages[i].UsagePage)
                __builtin_trap();
        }
    }
    std::vector<HIDP_DATA> data(wantData.size() + 1);
    count = ULONG(data.size());
    if (hidparse::getData(c, type, data.data(), &count, report.data(), length) != HIDP_STATUS_SUCCESS)
        return;
    if (count != wantData.size())
        __builtin_trap();
    for (size_t i = 0; i < count; ++i) {
        if (data[i].DataIndex != wantData[i].DataIndex || data[i].RawValue != wantData[i].RawValue)
            __builtin_trap();
    }
}

void exerciseReport(const hidparse::Collection &c, HIDP_REPORT_TYPE type, const uint8_t *payload,
                    size_t payloadSize, uint16_t reportLength)
{
    std::vector<uint8_t> report(reportLength ? reportLength : 1, 0);
    for (size_t i = 0; i < report.size() && i < payloadSize; ++i)
        report[i] = payload[i];
    const ULONG length = reportLength;
    const uint64_t bound = queryBound(c, type, length);

    std::vector<HIDP_BUTTON_CAPS> buttons(kMaxCapsQueried);
    USHORT buttonCount = USHORT(buttons.size());
    bounded("getButtonCaps", bound,
            [&] { return hidparse::getButtonCaps(c, type, buttons.data(), &buttonCount); });
    for (USHORT i = 0; i < buttonCount && i < buttons.size(); ++i) {
        const USAGE page = buttons[i].UsagePage;
        std::vector<USAGE> usages(listRoom(hidparse::maxUsageListLength(c, type, page)));
        ULONG n = ULONG(usages.size());
        bounded("getUsages", bound, [&] {
            return hidparse::getUsages(c, type, page, 0, usages.data(), &n, report.data(), length);
        });
        ULONG small = 1;
        USAGE one;
        bounded("getUsages (one)", bound, [&] {
            return hidparse::getUsages(c, type, page, buttons[i].LinkCollection, &one, &small, report.data(),
                                       length);
        });
        std::vector<uint8_t> scratch(report);
        ULONG count = 1;
        bounded("setUsages", bound, [&] {
            return hidparse::setUsages(c, type, page, 0, &buttons[i].Range.UsageMax, &count, scratch.data(),
                                       length);
        });
    }
    std::vector<hidparse::UsageAndPage> all(listRoom(hidparse::maxUsageListLength(c, type, 0)));
    ULONG allCount = ULONG(all.size());
    bounded("getUsagesEx", bound,
            [&] { return hidparse::getUsagesEx(c, type, 0, all.data(), &allCount, report.data(), length); });

    std::vector<HIDP_VALUE_CAPS> values(kMaxCapsQueried);
    USHORT valueCount = USHORT(values.size());
    bounded("getValueCaps", bound,
            [&] { return hidparse::getValueCaps(c, type, values.data(), &valueCount); });
    for (USHORT i = 0; i < valueCount && i < values.size(); ++i) {
        const HIDP_VALUE_CAPS &v = values[i];
        ULONG value = 0;
        bounded("getUsageValue", bound, [&] {
            return hidparse::getUsageValue(c, type, v.UsagePage, 0, v.Range.UsageMin, &value, report.data(),
                                           length);
        });
        bounded("getUsageValue (link)", bound, [&] {
            return hidparse::getUsageValue(c, type, v.UsagePage, v.LinkCollection, v.Range.UsageMax, &value,
                                           report.data(), length);
        });
        std::vector<uint8_t> array(size_t(v.BitSize) * v.ReportCount / 8 + 1);
        bounded("getUsageValueArray", bound, [&] {
            return hidparse::getUsageValueArray(c, type, v.UsagePage, 0, v.Range.UsageMin, array.data(),
                                                USHORT(array.size()), report.data(), length);
        });
    }
    if (reportLength != 0) {
        checkValueLookups(c, type, report, length);
        checkButtonLists(c, type, report, length);
    }
    std::vector<HIDP_DATA> data(listRoom(hidparse::maxDataListLength(c, type)));
    ULONG dataCount = ULONG(data.size());
    bounded("getData", bound,
            [&] { return hidparse::getData(c, type, data.data(), &dataCount, report.data(), length); });
    ULONG tooFew = dataCount / 2;
    bounded("getData (too few)", bound,
            [&] { return hidparse::getData(c, type, data.data(), &tooFew, report.data(), length); });
    std::vector<uint8_t> scratch(report);
    bounded("initializeReportForId", bound,
            [&] { return hidparse::initializeReportForId(c, type, report[0], scratch.data(), length); });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t rest = size - 1;
    const size_t descriptorSize = rest == 0 ? 0 : (size_t(data[0]) * rest) / 255;
    const uint8_t *descriptor = data + 1;
    const uint8_t *payload = descriptor + descriptorSize;
    const size_t payloadSize = rest - descriptorSize;

    hidparse::DescriptorSummary summary;
    std::string error;
    if (!bounded("summarize", parseBound(descriptorSize, nullptr),
                 [&] { return hidparse::summarize(descriptor, descriptorSize, summary, error); }))
        return 0;
    for (size_t index = 0; index < summary.collections.size() && index < kMaxCollectionsTried; ++index) {
        const uint64_t before = hidparse::stepCount;
        auto c = hidparse::parseCollection(descriptor, descriptorSize, index, error);
        if (!c)
            __builtin_trap(); // summarize accepted the descriptor, so every collection must parse
        checkSteps("parseCollection", hidparse::stepCount - before, parseBound(descriptorSize, c.get()));
        HIDP_CAPS caps;
        hidparse::getCaps(*c, &caps);
        std::vector<HIDP_LINK_COLLECTION_NODE> nodes(caps.NumberLinkCollectionNodes);
        ULONG nodeCount = ULONG(nodes.size());
        hidparse::getLinkCollectionNodes(*c, nodes.data(), &nodeCount);
        exerciseReport(*c, HidP_Input, payload, payloadSize, caps.InputReportByteLength);
        exerciseReport(*c, HidP_Output, payload, payloadSize, caps.OutputReportByteLength);
        exerciseReport(*c, HidP_Feature, payload, payloadSize, caps.FeatureReportByteLength);
    }
    return 0;
}
