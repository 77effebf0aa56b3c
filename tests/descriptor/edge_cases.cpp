// Cases the vectors do not cover: the capacity guards, the report-ID and length rules, raw values
// of signed fields, arrays starting at usage 0, state carried between collections, Push/Pop,
// extended usages and delimiter sets.
#include <algorithm>
#include <cstring>

#include "vector_support.h"

namespace descriptortest {
namespace {

// A joystick without report IDs: 8-bit X (-127..127), 8-bit Y, buttons 1..4, 4 bits padding.
const char *kJoystick = "05 01 09 04 a1 01 09 30 09 31 15 81 25 7f 75 08 95 02 81 02 "
                        "05 09 19 01 29 04 15 00 25 01 75 01 95 04 81 02 95 04 81 03 c0";

// Two collections with report IDs 1 and 2; the second declares no Logical Maximum of its own.
const char *kTwoCollections = "05 01 09 04 a1 01 85 01 09 30 15 00 26 ff 00 75 08 95 01 81 02 c0 "
                              "05 01 09 05 a1 01 85 02 09 31 75 08 95 01 81 02 "
                              "09 32 75 10 95 01 b1 02 c0";

// A keyboard-style array: six 8-bit fields, usages 0..0xDD of the Keyboard page.
const char *kKeyboardArray = "05 01 09 06 a1 01 05 07 19 00 29 dd 15 00 26 dd 00 75 08 95 06 81 00 c0";

Bytes makeReport(const hidparse::Collection &c, HIDP_REPORT_TYPE type, std::initializer_list<uint8_t> head)
{
    HIDP_CAPS caps;
    hidparse::getCaps(c, &caps);
    const USHORT length = type == HidP_Input    ? caps.InputReportByteLength
                          : type == HidP_Output ? caps.OutputReportByteLength
                                                : caps.FeatureReportByteLength;
    Bytes report(head);
    report.resize(length, 0);
    return report;
}

void capacityGuards(Checker &t)
{
    auto c = parseOrFail(t, hexBytes(kJoystick), 0);
    if (!c)
        return;
    // Caps: room for one, a sentinel after it must survive.
    HIDP_VALUE_CAPS values[2];
    std::memset(values, 0xAB, sizeof values);
    USHORT length = 1;
    t.equal(hidparse::getValueCaps(*c, HidP_Input, values, &length), HIDP_STATUS_BUFFER_TOO_SMALL,
            "value caps status");
    t.equal(length, 2, "value caps needed");
    t.equal(values[1].UsagePage, 0xABAB, "value caps: entry past the capacity untouched");

    // No caps of the type: USAGE_NOT_FOUND with a count of 0.
    HIDP_BUTTON_CAPS buttons[1];
    length = 1;
    t.equal(hidparse::getButtonCaps(*c, HidP_Feature, buttons, &length), HIDP_STATUS_USAGE_NOT_FOUND,
            "feature button caps status");
    t.equal(length, 0, "feature button caps count");

    // Usages: two buttons on, room for one.
    Bytes report = makeReport(*c, HidP_Input, {0, 0, 0, 0x05});
    USAGE usages[2] = {0xEEEE, 0xEEEE};
    ULONG count = 1;
    t.equal(hidparse::getUsages(*c, HidP_Input, 0x09, 0, usages, &count, report.data(), ULONG(report.size())),
            HIDP_STATUS_BUFFER_TOO_SMALL, "usages status");
    t.equal(count, 2, "usages needed");
    t.equal(usages[1], 0xEEEE, "usage past the capacity untouched");
    count = 2;
    t.equal(hidparse::getUsages(*c, HidP_Input, 0x09, 0, usages, &count, report.data(), ULONG(report.size())),
            HIDP_STATUS_SUCCESS, "usages status with room");
    t.equal(std::vector<USAGE>(usages, usages + 2), std::vector<USAGE>{1, 3}, "usages on");

    // Data list: X, Y and two buttons, room for three.
    HIDP_DATA data[4];
    std::memset(data, 0xCD, sizeof data);
    count = 3;
    t.equal(hidparse::getData(*c, HidP_Input, data, &count, report.data(), ULONG(report.size())),
            HIDP_STATUS_BUFFER_TOO_SMALL, "data status");
    t.equal(count, 4, "data needed");
    t.equal(data[3].DataIndex, 0xCDCD, "data entry past the capacity untouched");
    t.equal(hidparse::maxDataListLength(*c, HidP_Input), 6u, "max data list length");
}

void reportRules(Checker &t)
{
    auto c = parseOrFail(t, hexBytes(kJoystick), 0);
    if (!c)
        return;
    Bytes report = makeReport(*c, HidP_Input, {0, 0xFF, 0x81});
    const ULONG length = ULONG(report.size());
    ULONG value = 0;
    t.equal(hidparse::getUsageValue(*c, HidP_Input, 1, 0, 0x30, &value, report.data(), length),
            HIDP_STATUS_SUCCESS, "X status");
    t.equal(value, 255u, "X at -1 reads 255, not sign-extended");
    hidparse::getUsageValue(*c, HidP_Input, 1, 0, 0x31, &value, report.data(), length);
    t.equal(value, 0x81u, "Y at -127 reads 0x81");

    value = 77;
    t.equal(hidparse::getUsageValue(*c, HidP_Input, 1, 0, 0x32, &value, report.data(), length),
            HIDP_STATUS_USAGE_NOT_FOUND, "usage not in the report");
    t.equal(value, 77u, "value untouched on failure");
    t.equal(hidparse::getUsageValue(*c, HidP_Input, 9, 0, 1, &value, report.data(), length),
            HIDP_STATUS_USAGE_NOT_FOUND, "a button is not a value");

    Bytes longer = report;
    longer.push_back(0);
    t.equal(hidparse::getUsageValue(*c, HidP_Input, 1, 0, 0x30, &value, longer.data(), length + 1),
            HIDP_STATUS_INVALID_REPORT_LENGTH, "one byte too long");
    t.equal(hidparse::getUsageValue(*c, HidP_Input, 1, 0, 0x30, &value, report.data(), length - 1),
            HIDP_STATUS_INVALID_REPORT_LENGTH, "one byte too short");
    report[0] = 3;
    t.equal(hidparse::getUsageValue(*c, HidP_Input, 1, 0, 0x30, &value, report.data(), length),
            HIDP_STATUS_INCOMPATIBLE_REPORT_ID, "report ID byte 3 on a device without IDs");
    t.equal(hidparse::getUsageValue(*c, static_cast<HIDP_REPORT_TYPE>(7), 1, 0, 0x30, &value, report.data(),
                                    length),
            HIDP_STATUS_INVALID_REPORT_TYPE, "invalid report type");
    t.equal(hidparse::maxUsageListLength(*c, static_cast<HIDP_REPORT_TYPE>(7), 0), 0u,
            "invalid type: no usages");

    auto two = parseOrFail(t, hexBytes(kTwoCollections), 0);
    if (!two)
        return;
    Bytes first = makeReport(*two, HidP_Input, {0, 42});
    t.equal(hidparse::getUsageValue(*two, HidP_Input, 1, 0, 0x30, &value, first.data(), ULONG(first.size())),
            HIDP_STATUS_SUCCESS, "report-ID byte 0 skips the ID check");
    t.equal(value, 42u, "value read with byte 0 = 0");
    first[0] = 2;
    t.equal(hidparse::getUsageValue(*two, HidP_Input, 1, 0, 0x30, &value, first.data(), ULONG(first.size())),
            HIDP_STATUS_INCOMPATIBLE_REPORT_ID, "report of another collection's ID");
}

void arrays(Checker &t)
{
    auto c = parseOrFail(t, hexBytes(kKeyboardArray), 0);
    if (!c)
        return;
    Bytes report = makeReport(*c, HidP_Input, {0, 0x04, 0x00, 0x05, 0xDE});
    USAGE usages[16];
    ULONG count = 16;
    t.equal(hidparse::getUsages(*c, HidP_Input, 0x07, 0, usages, &count, report.data(), ULONG(report.size())),
            HIDP_STATUS_SUCCESS, "keyboard usages status");
    // Value 4 is key A (usage 4), 5 key B; 0 is no key; 0xDE is past the last usage: nothing.
    t.equal(std::vector<USAGE>(usages, usages + count), std::vector<USAGE>{0x04, 0x05}, "keys down");
    t.equal(hidparse::maxUsageListLength(*c, HidP_Input, 0x07), 6u, "array fields bound the usage list");

    Bytes written = makeReport(*c, HidP_Input, {0});
    const USAGE keys[] = {0x04, 0x05};
    count = 2;
    t.equal(hidparse::setUsages(*c, HidP_Input, 0x07, 0, keys, &count, written.data(), ULONG(written.size())),
            HIDP_STATUS_SUCCESS, "set keys status");
    t.equal(written[1], 0x04, "first free field takes key A");
    t.equal(written[2], 0x05, "second free field takes key B");
}

void collectionsAndGlobals(Checker &t)
{
    const Bytes descriptor = hexBytes(kTwoCollections);
    hidparse::DescriptorSummary summary;
    std::string error;
    if (!t.check(hidparse::summarize(descriptor.data(), descriptor.size(), summary, error), error))
        return;
    t.check(summary.usesReportIds, "report IDs in use");
    if (!t.equal(summary.collections.size(), size_t(2), "collections"))
        return;
    t.equal(summary.collections[0].reportIds, std::vector<uint8_t>{1}, "first collection's IDs");
    t.equal(summary.collections[1].reportIds, std::vector<uint8_t>{2}, "second collection's IDs");
    t.equal(summary.collections[1].usage, 5, "second collection's usage");
    t.equal(summary.collections[1].inputReportByteLength, 2, "second collection's input length");
    t.equal(summary.collections[1].featureReportByteLength, 3, "second collection's feature length");
    t.equal(summary.collections[0].outputReportByteLength, 0, "no output items: length 0");

    std::string indexError;
    t.check(!hidparse::parseCollection(descriptor.data(), descriptor.size(), 2, indexError) &&
                !indexError.empty(),
            "collection index past the last is refused with a reason");

    // Global items persist into the next collection, as they do from item to item.
    auto second = parseOrFail(t, descriptor, 1);
    if (!second)
        return;
    HIDP_VALUE_CAPS value{};
    USHORT one = 1;
    t.equal(hidparse::getValueCaps(*second, HidP_Input, &value, &one), HIDP_STATUS_SUCCESS,
            "second collection's value caps status");
    t.equal(value.LogicalMax, 255, "Logical Maximum carried over from the first collection");
}

void pushAndPop(Checker &t)
{
    // Push saves Report Size 8, Report Count 1 and Logical 0..255; Pop restores them after a 1-bit
    // detour. (Report Count is global too: set only after the Push, Pop would take it back to none.)
    auto pushed = parseOrFail(t,
                              hexBytes("05 01 09 04 a1 01 15 00 26 ff 00 75 08 95 01 a4 75 01 15 00 25 01 "
                                       "05 09 09 01 81 02 b4 05 01 09 30 81 02 c0"),
                              0);
    if (!pushed)
        return;
    HIDP_VALUE_CAPS value{};
    USHORT one = 1;
    t.equal(hidparse::getValueCaps(*pushed, HidP_Input, &value, &one), HIDP_STATUS_SUCCESS,
            "value caps status after Pop");
    t.equal(value.BitSize, 8, "Pop restores Report Size");
    t.equal(value.LogicalMax, 255, "Pop restores Logical Maximum");
}

void extendedUsagesAndDelimiters(Checker &t)
{
    // A 4-byte usage carries its own page; inside a delimiter set the first usage stands for it.
    auto extended = parseOrFail(t,
                                hexBytes("05 01 09 04 a1 01 0b 38 02 0c 00 a9 01 09 31 09 32 a9 00 "
                                         "15 00 25 7f 75 08 95 02 81 02 c0"),
                                0);
    if (!extended)
        return;
    HIDP_VALUE_CAPS caps[3] = {};
    USHORT n = 3;
    t.equal(hidparse::getValueCaps(*extended, HidP_Input, caps, &n), HIDP_STATUS_SUCCESS, "caps");
    t.equal(n, 2, "extended usage and delimiter set: two caps");
    t.equal(caps[0].NotRange.Usage, 0x31, "delimiter set: first usage kept");
    t.equal(caps[1].UsagePage, 0x0C, "extended usage's own page");
    t.equal(caps[1].NotRange.Usage, 0x238, "extended usage");
}

} // namespace

void runEdgeCases(Checker &t)
{
    t.run("capacity guards", [&] { capacityGuards(t); });
    t.run("report-ID, length and raw-value rules", [&] { reportRules(t); });
    t.run("arrays starting at usage 0", [&] { arrays(t); });
    t.run("collections and carried globals", [&] { collectionsAndGlobals(t); });
    t.run("Push/Pop", [&] { pushAndPop(t); });
    t.run("extended usages and delimiter sets", [&] { extendedUsagesAndDelimiters(t); });
}

} // namespace descriptortest
