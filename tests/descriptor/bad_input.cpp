// Descriptors that must be refused: each with a reason naming what is wrong, without reading
// outside the buffer (the sanitizer builds and the fuzz target watch that part). And descriptors
// that are accepted but built to cost the most: their work, counted in steps (descriptor/steps.h;
// this suite links a parser that counts them), must grow with what they declare, not with its
// square.
#include <algorithm>
#include <cstdio>

#include "descriptor/collection.h"
#include "descriptor/steps.h"
#include "vector_support.h"

namespace descriptortest {
namespace {

std::string repeat(const std::string &unit, size_t times)
{
    std::string s;
    for (size_t i = 0; i < times; ++i)
        s += unit + " ";
    return s;
}

void expectRejected(Checker &t, const std::string &what, const std::string &hex,
                    const std::string &reasonPart)
{
    const Bytes d = hexBytes(hex);
    hidparse::DescriptorSummary summary;
    std::string error;
    const bool ok = hidparse::summarize(d.data(), d.size(), summary, error);
    if (!t.check(!ok, what + ": accepted"))
        return;
    t.check(error.find(reasonPart) != std::string::npos,
            what + ": reason \"" + error + "\" lacks \"" + reasonPart + "\"");
    std::string parseError;
    t.check(!hidparse::parseCollection(d.data(), d.size(), 0, parseError) && parseError == error,
            what + ": parseCollection refuses it with the same reason");
}

} // namespace

void runBadInput(Checker &t)
{
    const std::string open = "05 01 09 04 a1 01 ";
    const std::string field = "09 30 75 08 95 01 81 02 ";
    t.run("truncated and oversized items", [&] {
        expectRejected(t, "truncated item", open + "05", "runs past the end");
        expectRejected(t, "4-byte item with 2 bytes left", open + "27 ff ff", "runs past the end");
        expectRejected(t, "long item", open + "fe 02 10 00 00 c0", "long item");
        expectRejected(t, "empty descriptor", "", "no top-level collection");
    });
    t.run("unbalanced collections", [&] {
        expectRejected(t, "collection left open", open + field, "never closed");
        expectRejected(t, "End Collection with nothing open", "c0", "End Collection");
        expectRejected(t, "main item outside any collection", "09 30 75 08 95 01 81 02",
                       "outside any collection");
        expectRejected(t, "nesting beyond reason", repeat("a1 00", 40) + repeat("c0", 40), "nested deeper");
        expectRejected(t, "too many top-level collections", repeat("09 04 a1 01 c0", 256),
                       "top-level collections");
    });
    t.run("absurd report sizes and counts", [&] {
        expectRejected(t, "Report Count past the limit", open + "09 30 75 01 97 00 00 01 00 81 02 c0",
                       "Report Count");
        expectRejected(t, "field larger than any report", open + "09 30 77 ff ff ff ff 95 02 81 02 c0",
                       "exceed");
        expectRejected(t, "reports adding up past the limit",
                       open + repeat("09 30 75 ff 95 ff 81 02", 9) + "c0", "exceed");
        expectRejected(t, "range with more data indices than a report type holds",
                       open + "19 00 2a ff ff 75 01 95 01 81 02 c0", "data indices");
    });
    t.run("report IDs", [&] {
        expectRejected(t, "Report ID 0", open + "85 00 " + field + "c0", "Report ID 0");
        expectRejected(t, "Report ID 256", open + "86 00 01 " + field + "c0", "Report ID 256");
    });
    t.run("usage lists and local state", [&] {
        expectRejected(t, "thousands of usages", open + repeat("09 30", 2000) + "75 08 95 01 81 02 c0",
                       "usages");
        expectRejected(t, "Usage Minimum above Maximum", open + "19 10 29 01 75 01 95 01 81 02 c0",
                       "Usage Minimum");
        expectRejected(t, "Pop without Push", open + "b4 c0", "Pop without Push");
        expectRejected(t, "Push beyond reason", open + repeat("a4", 40) + "c0", "Push");
        expectRejected(t, "nested delimiter sets", open + "a9 01 a9 01 c0", "delimiter");
    });
    t.run("the caps of an array item share one read of its fields", [&] {
        // 256 usages (1..256) in one array item: 256 caps over 508 two-bit fields, 128-byte reports.
        std::string usages;
        for (int u = 1; u < 256; ++u) {
            char item[8];
            std::snprintf(item, sizeof item, "09 %02x ", u);
            usages += item;
        }
        const Bytes d = hexBytes(open + "05 09 15 00 25 03 75 02 96 fc 01 " + usages + "0a 00 01 81 00 c0");
        auto c = parseOrFail(t, d, 0);
        if (!c)
            return;
        // Fields 3, 2, 1, 0 over and over: usages 3, 2 and 1, each named by 127 fields. The caps are
        // stored last declared first, so usage 3's buttons come first.
        Bytes report(128, 0x1B);
        report[0] = 0;
        std::vector<USAGE> list(508);
        ULONG count = ULONG(list.size());
        uint64_t before = hidparse::stepCount;
        t.equal(hidparse::getUsages(*c, HidP_Input, 0x09, 0, list.data(), &count, report.data(), 128),
                HIDP_STATUS_SUCCESS, "usages status");
        const uint64_t usageSteps = hidparse::stepCount - before;
        t.equal(count, 381, "usages on");
        t.check(list[0] == 3 && list[126] == 3 && list[127] == 2 && list[253] == 2 && list[254] == 1 &&
                    list[380] == 1,
                "usages grouped by cap, in storage order");
        std::vector<HIDP_DATA> data(508);
        count = ULONG(data.size());
        before = hidparse::stepCount;
        t.equal(hidparse::getData(*c, HidP_Input, data.data(), &count, report.data(), 128),
                HIDP_STATUS_SUCCESS, "data status");
        const uint64_t dataSteps = hidparse::stepCount - before;
        t.equal(count, 381, "data entries");
        t.check(data[0].DataIndex == 2 && data[127].DataIndex == 1 && data[380].DataIndex == 0,
                "data grouped by cap, in storage order");
        // Reading the fields once per cap costs 256 x 508 = 130 048 steps; reading them twice, and
        // finding the cap of each field among 256 in at most 8 steps, costs under 20 per field and cap.
        const uint64_t bound = 20 * (508 + 256);
        t.check(usageSteps <= bound, "usage query took " + std::to_string(usageSteps) + " steps");
        t.check(dataSteps <= bound, "data query took " + std::to_string(dataSteps) + " steps");

        // 1-bit fields, read 32 at a time: 69 fields over usages 7 and 5 (value 1 names the first
        // declared, 5), every other field on, and a padding bit after the last field.
        const Bytes d1 =
            hexBytes(open + "05 09 15 00 25 01 75 01 95 45 09 05 09 07 81 00 75 03 95 01 81 01 c0");
        auto c1 = parseOrFail(t, d1, 0);
        if (!c1)
            return;
        Bytes bits(10, 0x55);
        bits[0] = 0;
        std::vector<USAGE> few(20);
        count = ULONG(few.size());
        t.equal(hidparse::getUsages(*c1, HidP_Input, 0x09, 0, few.data(), &count, bits.data(), 10),
                HIDP_STATUS_BUFFER_TOO_SMALL, "1-bit usages status");
        t.equal(count, 35, "1-bit fields on, the padding not counted");
        t.check(std::all_of(few.begin(), few.end(), [](USAGE u) { return u == 5; }), "1-bit usages");
        count = ULONG(data.size());
        t.equal(hidparse::getData(*c1, HidP_Input, data.data(), &count, bits.data(), 10), HIDP_STATUS_SUCCESS,
                "1-bit data status");
        t.check(count == 35 && data[34].DataIndex == 0, "1-bit data entries");
    });
    t.run("value caps over the same usages fill the lookup index once", [&] {
        // 16 value caps, each with a field for usages 0..4094 of one page: 65 520 usages to index
        // one by one, but 4095 index entries.
        const Bytes d = hexBytes(open + "75 02 96 ff 0f " + repeat("18 2a fe 0f 81 02", 16) + "c0");
        const uint64_t before = hidparse::stepCount;
        auto c = parseOrFail(t, d, 0);
        const uint64_t steps = hidparse::stepCount - before;
        if (!c)
            return;
        t.equal(c->valueSlots[HidP_Input].size(), 16, "value caps");
        t.check(steps <= 4 * (4095 + d.size()), "parse took " + std::to_string(steps) + " steps");
    });
    t.run("null descriptor", [&] {
        hidparse::DescriptorSummary summary;
        std::string error;
        t.check(!hidparse::summarize(nullptr, 10, summary, error) && !error.empty(), "null data refused");
    });
}

} // namespace descriptortest
