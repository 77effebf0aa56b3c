// Every report of devices.json, decoded as the input device decodes it: buttons on per usage page
// and the raw value of every value usage, compared by page and usage with the decodings of the
// real devices' reports.
#include <algorithm>
#include <map>
#include <set>
#include <tuple>

#include "vector_support.h"

namespace descriptortest {
namespace {

using Triple = std::tuple<long long, long long, long long>; // page, usage, raw

std::string tripleText(const Triple &v)
{
    return std::to_string(std::get<0>(v)) + ":" + std::to_string(std::get<1>(v)) + "=" +
           std::to_string(std::get<2>(v));
}

std::vector<std::string> texts(std::vector<Triple> values)
{
    std::sort(values.begin(), values.end());
    std::vector<std::string> out;
    for (const Triple &v : values)
        out.push_back(tripleText(v));
    return out;
}

// The report as the HID layer delivers it: report-ID byte first (0 without IDs), zero-padded.
bool deliveredReport(Checker &t, const std::string &where, const Json &r, bool usesIds, ULONG length,
                     Bytes &out)
{
    out = hexBytes(r["report_hex"].asString());
    if (!usesIds)
        out.insert(out.begin(), 0);
    if (!t.check(out.size() <= length, where + ": report longer than InputReportByteLength"))
        return false;
    out.resize(length, 0);
    return true;
}

// The buttons on of one page, sorted. The query's status is checked against `expected`; a page
// that answers no list decodes as no buttons on.
std::vector<long long> usagesOn(Checker &t, const std::string &where, const hidparse::Collection &c,
                                USAGE page, NTSTATUS expected, const Bytes &report)
{
    std::vector<USAGE> list(hidparse::maxUsageListLength(c, HidP_Input, page));
    ULONG count = ULONG(list.size());
    const NTSTATUS status =
        hidparse::getUsages(c, HidP_Input, page, 0, list.data(), &count, report.data(), ULONG(report.size()));
    t.equal(status, expected, where + " buttons status, page " + std::to_string(page));
    if (status != HIDP_STATUS_SUCCESS)
        return {};
    std::vector<long long> out(list.begin(), list.begin() + std::min<size_t>(count, list.size()));
    std::sort(out.begin(), out.end());
    return out;
}

void compareButtons(Checker &t, const std::string &where, const hidparse::Collection &c, const Json &expected,
                    const Bytes &report)
{
    std::vector<HIDP_BUTTON_CAPS> caps(256);
    USHORT count = USHORT(caps.size());
    const NTSTATUS capsStatus = hidparse::getButtonCaps(c, HidP_Input, caps.data(), &count);
    t.check(capsStatus == HIDP_STATUS_SUCCESS || (capsStatus == HIDP_STATUS_USAGE_NOT_FOUND && count == 0),
            where + " button caps status " + hidparse::statusName(capsStatus));
    count = std::min<USHORT>(count, USHORT(caps.size()));
    std::set<USAGE> pages = {0x09};
    for (USHORT i = 0; i < count; ++i)
        pages.insert(caps[i].UsagePage);

    std::map<long long, std::vector<long long>> want;
    for (const Json &u : expected["buttons_on"].items())
        want[0x09].push_back(u.asInt());
    for (const Json &u : expected["other_usages_on"].items())
        want[u["page"].asInt()].push_back(u["usage"].asInt());
    for (const auto &[page, usages] : want)
        pages.insert(USAGE(page));
    for (USAGE page : pages) {
        // A page without button caps is not found; one whose caps all belong to other reports is
        // of an incompatible report ID.
        bool pageFound = false, idFound = false;
        for (USHORT i = 0; i < count; ++i) {
            if (caps[i].UsagePage == page) {
                pageFound = true;
                idFound = idFound || report[0] == 0 || caps[i].ReportID == report[0];
            }
        }
        const NTSTATUS status = !pageFound ? HIDP_STATUS_USAGE_NOT_FOUND
                                : !idFound ? HIDP_STATUS_INCOMPATIBLE_REPORT_ID
                                           : HIDP_STATUS_SUCCESS;
        std::vector<long long> w = want[page];
        std::sort(w.begin(), w.end());
        t.equal(usagesOn(t, where, c, page, status, report), w,
                where + " buttons on, page " + std::to_string(page));
    }
}

void compareValues(Checker &t, const std::string &where, const hidparse::Collection &c, const Json &expected,
                   const Bytes &report)
{
    const ULONG length = ULONG(report.size());
    std::vector<HIDP_DATA> data(hidparse::maxDataListLength(c, HidP_Input));
    ULONG dataCount = ULONG(data.size());
    hidparse::getData(c, HidP_Input, data.data(), &dataCount, report.data(), length);
    std::map<USHORT, ULONG> byIndex;
    for (ULONG i = 0; i < dataCount && i < data.size(); ++i)
        byIndex[data[i].DataIndex] = data[i].RawValue;

    std::vector<HIDP_VALUE_CAPS> caps(256);
    USHORT count = USHORT(caps.size());
    hidparse::getValueCaps(c, HidP_Input, caps.data(), &count);
    std::vector<Triple> got;
    for (USHORT i = 0; i < count && i < caps.size(); ++i) {
        const HIDP_VALUE_CAPS &cap = caps[i];
        if (report[0] != 0 && cap.ReportID != report[0])
            continue;
        if (!cap.IsRange && cap.ReportCount > 1)
            continue; // a usage value array: compared element by element below
        for (unsigned k = 0; k <= unsigned(cap.Range.UsageMax - cap.Range.UsageMin); ++k) {
            const auto raw = byIndex.find(USHORT(cap.Range.DataIndexMin + k));
            if (t.check(raw != byIndex.end(),
                        where + " no data for usage " + std::to_string(cap.Range.UsageMin + k)))
                got.emplace_back(cap.UsagePage, cap.Range.UsageMin + k, raw->second);
        }
    }
    std::vector<Triple> want;
    std::map<std::pair<long long, long long>, std::set<long long>> rawsByUsage;
    for (const Json &v : expected["values"].items()) {
        want.emplace_back(v["page"].asInt(), v["usage"].asInt(), v["raw"].asInt());
        rawsByUsage[{v["page"].asInt(), v["usage"].asInt()}].insert(v["raw"].asInt());
    }
    t.equal(texts(got), texts(want), where + " values (page:usage=raw)");

    // The value query itself: a usage declared twice answers with one of its fields.
    for (const auto &[key, raws] : rawsByUsage) {
        ULONG raw = 0;
        const std::string name = std::to_string(key.first) + ":" + std::to_string(key.second);
        // The value is judged only after a successful query; a failed one has failed the case already.
        if (t.equal(hidparse::getUsageValue(c, HidP_Input, USAGE(key.first), 0, USAGE(key.second), &raw,
                                            report.data(), length),
                    HIDP_STATUS_SUCCESS, where + " value query status " + name))
            t.check(raws.count(raw) == 1, where + " value query " + name + " gave " + std::to_string(raw));
    }

    for (const Json &a : expected["value_arrays"].items()) {
        const USAGE page = USAGE(a["page"].asInt()), usage = USAGE(a["usage"].asInt());
        const std::string name = std::to_string(page) + ":" + std::to_string(usage);
        HIDP_VALUE_CAPS cap;
        USHORT one = 1;
        if (!t.equal(hidparse::getSpecificValueCaps(c, HidP_Input, page, 0, usage, &cap, &one),
                     HIDP_STATUS_SUCCESS, where + " value array cap " + name))
            continue;
        std::vector<uint8_t> buffer((cap.BitSize * cap.ReportCount + 7) / 8);
        t.equal(hidparse::getUsageValueArray(c, HidP_Input, page, 0, usage, buffer.data(),
                                             USHORT(buffer.size()), report.data(), length),
                HIDP_STATUS_SUCCESS, where + " value array status " + name);
        std::vector<long long> elements;
        for (unsigned e = 0; e < cap.ReportCount; ++e) {
            long long v = 0;
            for (unsigned b = 0; b < cap.BitSize && b < 32; ++b) {
                const unsigned bit = e * cap.BitSize + b;
                v |= (long long)((buffer[bit / 8] >> (bit % 8)) & 1) << b;
            }
            elements.push_back(v);
        }
        std::vector<long long> want;
        for (const Json &v : a["raw"].items())
            want.push_back(v.asInt());
        t.equal(elements, want, where + " value array " + name);
    }
}

void checkDevice(Checker &t, const Json &device)
{
    const Bytes descriptor = hexBytes(device["descriptor_hex"].asString());
    hidparse::DescriptorSummary summary;
    std::string error;
    if (!t.check(hidparse::summarize(descriptor.data(), descriptor.size(), summary, error),
                 "summary: " + error))
        return;
    const Json &tlcs = device["top_level_collections"];
    t.equal(summary.collections.size(), tlcs.size(), "number of top-level collections");
    for (size_t i = 0; i < tlcs.size() && i < summary.collections.size(); ++i) {
        const std::string where = "collection " + std::to_string(i);
        const hidparse::CollectionSummary &s = summary.collections[i];
        const Json &e = tlcs[i];
        t.equal(s.usagePage, e["usage_page"].asInt(), where + " usage page");
        t.equal(s.usage, e["usage"].asInt(), where + " usage");
        for (const Json &id : e["input_report_ids"].items()) {
            if (id.asInt() == 0) // the data's way of saying the device sends no report IDs
                t.check(!summary.usesReportIds, where + ": report IDs used although the device has none");
            else
                t.check(std::count(s.reportIds.begin(), s.reportIds.end(), id.asInt()) == 1,
                        where + ": report ID " + std::to_string(id.asInt()) + " missing");
        }
        auto c = parseOrFail(t, descriptor, i);
        if (!c)
            continue;
        HIDP_CAPS caps;
        hidparse::getCaps(*c, &caps);
        const Json &windows = e["windows_caps_estimate"];
        t.equal(caps.InputReportByteLength, windows["input_report_byte_length"].asInt(),
                where + " input length");
        t.equal(caps.NumberInputButtonCaps, windows["number_input_button_caps"].asInt(),
                where + " input buttons");
        t.equal(caps.NumberInputValueCaps, windows["number_input_value_caps"].asInt(),
                where + " input values");
        t.equal(s.inputReportByteLength, caps.InputReportByteLength, where + " summary input length");
        t.equal(s.featureReportByteLength, caps.FeatureReportByteLength, where + " summary feature length");
        t.equal(s.outputReportByteLength, caps.OutputReportByteLength, where + " summary output length");
    }

    const Json &reports = device["reports"];
    for (size_t i = 0; i < reports.size(); ++i) {
        const Json &r = reports[i];
        const std::string where = "report " + std::to_string(i) + " (" + r["label"].asString() + ")";
        auto c = parseOrFail(t, descriptor, size_t(r["collection_index"].asInt()));
        if (!c)
            continue;
        HIDP_CAPS caps;
        hidparse::getCaps(*c, &caps);
        Bytes report;
        if (!deliveredReport(t, where, r, summary.usesReportIds, caps.InputReportByteLength, report))
            continue;
        compareButtons(t, where, *c, r["expected"], report);
        compareValues(t, where, *c, r["expected"], report);
    }
}

} // namespace

void runDeviceReports(Checker &t, const Json &devices)
{
    for (const Json &device : devices.items())
        t.run(device["name"].asString(), [&] { checkDevice(t, device); });
}

} // namespace descriptortest
