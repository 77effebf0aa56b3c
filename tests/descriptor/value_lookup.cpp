// Value lookups against a plain walk over the value caps in storage order: the lookup index must
// never change an answer. Every descriptor of the test data, and descriptors built to stress the
// index, are asked for every usage at and around the edges of their value caps, with every link
// collection and report ID, on reports of varied bytes.
#include <algorithm>
#include <set>

#include "descriptor/collection.h"
#include "vector_support.h"

namespace descriptortest {
namespace {

// Bit by bit, low bit first; bits past the end of the report read as zero.
ULONG readBits(const Bytes &report, uint32_t position, uint32_t size)
{
    ULONG value = 0;
    for (uint32_t i = 0; i < std::min<uint32_t>(size, 32); ++i) {
        const size_t byte = (position + i) / 8;
        if (byte < report.size() && (report[byte] >> ((position + i) % 8) & 1))
            value |= ULONG(1) << i;
    }
    return value;
}

// The lookup as a walk from the first value cap: the first cap of the page whose range holds the
// usage with a field for it, in the link collection, wins; one of another report ID is passed over
// with HIDP_STATUS_INCOMPATIBLE_REPORT_ID unless a later cap answers.
NTSTATUS walkValue(const hidparse::Collection &c, HIDP_REPORT_TYPE type, USAGE page, USHORT link, USAGE usage,
                   const Bytes &report, ULONG &value)
{
    NTSTATUS status = HIDP_STATUS_USAGE_NOT_FOUND;
    for (const hidparse::ValueSlot &v : c.valueSlots[type]) {
        if (v.usagePage != page || usage < v.usageMin || usage > v.usageMin + v.usageSpan)
            continue;
        if (link != 0 && v.linkCollection != link)
            continue;
        const uint32_t element = uint32_t(usage) - v.usageMin;
        if (element >= v.fieldCount)
            continue;
        if (report[0] != 0 && report[0] != v.reportId) {
            status = HIDP_STATUS_INCOMPATIBLE_REPORT_ID;
            continue;
        }
        value = readBits(report, v.bitPosition + element * v.bitSize, v.bitSize);
        return HIDP_STATUS_SUCCESS;
    }
    return status;
}

// Every lookup worth asking of one report type: usages at and around the edges of every value cap
// and of its fields, on each of its pages and one page it lacks. Returns how many of them found a
// value, so that the callers can tell a comparison from one that had nothing to compare.
int compareLookups(Checker &t, const std::string &where, const hidparse::Collection &c, HIDP_REPORT_TYPE type)
{
    const ULONG length = c.reportByteLength[type];
    if (length == 0)
        return 0;
    std::set<USAGE> pages{0x77};
    std::set<USAGE> usages{0, 0xFFFF};
    for (const hidparse::ValueSlot &v : c.valueSlots[type]) {
        pages.insert(v.usagePage);
        const uint32_t fieldEnd = uint32_t(v.usageMin) + v.fieldCount;
        for (const uint32_t u : {uint32_t(v.usageMin) - 1, uint32_t(v.usageMin), uint32_t(v.usageMin) + 1,
                                 uint32_t(v.usageMin) + v.usageSpan, uint32_t(v.usageMin) + v.usageSpan + 1,
                                 fieldEnd - 1, fieldEnd})
            usages.insert(USAGE(u));
    }
    std::vector<USHORT> links{0, USHORT(c.nodes.size()), USHORT(c.nodes.size() + 1)};
    for (USHORT n = 1; n < c.nodes.size() && n < 8; ++n)
        links.push_back(n);
    std::vector<uint8_t> ids{0, 0xFE};
    ids.insert(ids.end(), c.reportIds.begin(), c.reportIds.end());

    Bytes report(length);
    uint32_t seed = 0x9E3779B9u;
    int mismatches = 0, found = 0;
    for (const uint8_t id : ids) {
        for (uint8_t &b : report)
            b = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
        report[0] = id;
        for (const USAGE page : pages) {
            for (const USHORT link : links) {
                for (const USAGE usage : usages) {
                    ULONG want = 0xDEADBEEF, got = 0xDEADBEEF;
                    const NTSTATUS wantStatus = walkValue(c, type, page, link, usage, report, want);
                    const NTSTATUS gotStatus =
                        hidparse::getUsageValue(c, type, page, link, usage, &got, report.data(), length);
                    found += wantStatus == HIDP_STATUS_SUCCESS ? 1 : 0;
                    // Every mismatch is counted, and the count asserted below; the first five are shown.
                    if ((gotStatus != wantStatus || got != want) && ++mismatches <= 5)
                        t.check(false, where + " page " + std::to_string(page) + " usage " +
                                           std::to_string(usage) + " link " + std::to_string(link) + " id " +
                                           std::to_string(id) + ": got " + hidparse::statusName(gotStatus) +
                                           " " + std::to_string(got) + ", walk gives " +
                                           hidparse::statusName(wantStatus) + " " + std::to_string(want));
                }
            }
        }
    }
    t.equal(mismatches, 0, where + " lookups that differ from the walk");
    return found;
}

// Compares the lookups of every collection of `descriptor`; when it declares value caps, some of
// the lookups must have found a value.
void compareDescriptor(Checker &t, const std::string &where, const Bytes &descriptor, bool declaresValues)
{
    hidparse::DescriptorSummary summary;
    std::string error;
    if (!t.check(hidparse::summarize(descriptor.data(), descriptor.size(), summary, error),
                 where + ": " + error))
        return;
    t.check(!summary.collections.empty(), where + ": no collection");
    int found = 0;
    for (size_t i = 0; i < summary.collections.size(); ++i) {
        auto c = parseOrFail(t, descriptor, i);
        if (!c)
            continue;
        for (const HIDP_REPORT_TYPE type : {HidP_Input, HidP_Output, HidP_Feature})
            found += compareLookups(
                t, where + " collection " + std::to_string(i) + " type " + std::to_string(type), *c, type);
    }
    t.check(!declaresValues || found > 0, where + ": declares value caps, yet no lookup found a value");
}

// Descriptors built for the index's hard cases.
struct BuiltDescriptor {
    const char *name;
    const char *hex;
    bool everyPageIndexed; // of the input reports: false when the case is one of a page without a table
};
const BuiltDescriptor kBuilt[] = {
    // Two caps holding the same usages, the later one in another report and link collection: the
    // first answers unless its report ID or link collection rules it out.
    {"overlapping caps",
     "05 01 09 04 a1 01 85 01 09 30 09 31 15 00 26 ff 00 75 08 95 02 81 02 "
     "09 01 a1 00 85 02 19 30 29 35 75 08 95 06 81 02 c0 "
     "85 03 09 31 75 10 95 01 81 02 c0",
     true},
    // Ranges longer than their fields: the usages past the fields belong to no cap, or to a later one.
    {"ranges longer than their fields",
     "05 01 09 05 a1 01 19 30 29 37 15 00 25 7f 75 08 95 02 81 02 "
     "19 30 29 3f 75 04 95 0a 81 02 09 39 09 39 75 08 95 02 81 02 c0",
     true},
    // Six usage pages, more than the index gives tables to.
    {"six usage pages",
     "05 01 09 04 a1 01 15 00 25 7f 75 08 95 01 09 30 81 02 05 02 09 c4 81 02 05 0c 09 e0 81 02 "
     "06 00 ff 09 01 81 02 06 01 ff 09 02 81 02 05 01 09 31 81 02 06 02 ff 09 03 81 02 "
     "05 0d 09 30 81 02 c0",
     false},
    // A page whose usages span more than the index holds: lookups on it walk every cap.
    {"a page too wide for a table",
     "05 01 09 04 a1 01 06 00 ff 15 00 25 03 75 02 96 00 20 1a 00 00 2a ff 3f 81 02 "
     "0a 00 80 75 08 95 01 81 02 05 01 09 30 81 02 c0",
     false},
    // Usages at the top of the usage space, and a value array.
    {"top usages and a value array",
     "06 ff ff 09 01 a1 01 0a fe ff 0a ff ff 15 00 26 ff 00 75 08 95 02 81 02 0a ff ff 75 08 95 04 "
     "81 02 c0",
     true},
};

} // namespace

void runValueLookups(Checker &t, const Json &windowsVectors, const Json &devices)
{
    t.run("value lookups of the Windows vectors", [&] {
        for (const Json &v : windowsVectors.items()) {
            if (v["name"].asString() == "_legend")
                continue;
            // The value caps Windows listed for the vector's collection; the descriptor may have more.
            const size_t values =
                v["input_value_caps"].size() + v["output_value_caps"].size() + v["feature_value_caps"].size();
            compareDescriptor(t, v["name"].asString(), hexBytes(v["descriptor_hex"].asString()), values > 0);
        }
    });
    t.run("value lookups of the real devices", [&] {
        for (const Json &d : devices.items()) {
            size_t values = 0;
            for (const Json &tlc : d["top_level_collections"].items())
                values += size_t(tlc["windows_caps_estimate"]["number_input_value_caps"].asInt());
            compareDescriptor(t, d["name"].asString(), hexBytes(d["descriptor_hex"].asString()), values > 0);
        }
    });
    for (const BuiltDescriptor &d : kBuilt) {
        t.run(std::string("value lookups: ") + d.name, [&] {
            const Bytes descriptor = hexBytes(d.hex);
            if (auto c = parseOrFail(t, descriptor, 0)) // a descriptor that does not parse has failed already
                t.check(c->valueIndex[HidP_Input].everyPageIndexed == d.everyPageIndexed,
                        "every page indexed");
            compareDescriptor(t, d.name, descriptor, true);
        });
    }
}

} // namespace descriptortest
