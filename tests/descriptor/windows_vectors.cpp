// Every vector of windows-parser.json: the capability summary, the six capability arrays, the
// link collection nodes, the listed report decodings and every listed call with its result, as
// Windows answered them.
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>

#include "vector_support.h"

namespace descriptortest {
namespace {

template <class Record> using Getter = std::function<long long(const Record &)>;

#define FIELD(Record, name)                                                                                  \
    {                                                                                                        \
#name, [](const Record &r) -> long long { return r.name; }                                           \
    }
#define RANGE_FIELD(Record, name)                                                                            \
    {                                                                                                        \
#name, [](const Record &r) -> long long { return r.Range.name; }                                     \
    }
#define NOT_RANGE_FIELD(Record, name)                                                                        \
    {                                                                                                        \
#name, [](const Record &r) -> long long { return r.NotRange.name; }                                  \
    }

const std::map<std::string, Getter<HIDP_CAPS>> &capsFields()
{
    static const std::map<std::string, Getter<HIDP_CAPS>> fields = {
        FIELD(HIDP_CAPS, Usage),
        FIELD(HIDP_CAPS, UsagePage),
        FIELD(HIDP_CAPS, InputReportByteLength),
        FIELD(HIDP_CAPS, OutputReportByteLength),
        FIELD(HIDP_CAPS, FeatureReportByteLength),
        FIELD(HIDP_CAPS, NumberLinkCollectionNodes),
        FIELD(HIDP_CAPS, NumberInputButtonCaps),
        FIELD(HIDP_CAPS, NumberInputValueCaps),
        FIELD(HIDP_CAPS, NumberInputDataIndices),
        FIELD(HIDP_CAPS, NumberOutputButtonCaps),
        FIELD(HIDP_CAPS, NumberOutputValueCaps),
        FIELD(HIDP_CAPS, NumberOutputDataIndices),
        FIELD(HIDP_CAPS, NumberFeatureButtonCaps),
        FIELD(HIDP_CAPS, NumberFeatureValueCaps),
        FIELD(HIDP_CAPS, NumberFeatureDataIndices),
    };
    return fields;
}

// Fields common to button and value capabilities.
template <class Record> std::map<std::string, Getter<Record>> commonCapFields()
{
    return {
        FIELD(Record, UsagePage),
        FIELD(Record, ReportID),
        FIELD(Record, IsAlias),
        FIELD(Record, BitField),
        FIELD(Record, LinkCollection),
        FIELD(Record, LinkUsage),
        FIELD(Record, LinkUsagePage),
        FIELD(Record, IsRange),
        FIELD(Record, IsStringRange),
        FIELD(Record, IsDesignatorRange),
        FIELD(Record, IsAbsolute),
        RANGE_FIELD(Record, UsageMin),
        RANGE_FIELD(Record, UsageMax),
        RANGE_FIELD(Record, StringMin),
        RANGE_FIELD(Record, StringMax),
        RANGE_FIELD(Record, DesignatorMin),
        RANGE_FIELD(Record, DesignatorMax),
        RANGE_FIELD(Record, DataIndexMin),
        RANGE_FIELD(Record, DataIndexMax),
        NOT_RANGE_FIELD(Record, Usage),
        NOT_RANGE_FIELD(Record, StringIndex),
        NOT_RANGE_FIELD(Record, DesignatorIndex),
        NOT_RANGE_FIELD(Record, DataIndex),
    };
}

const std::map<std::string, Getter<HIDP_BUTTON_CAPS>> &buttonFields()
{
    static const auto fields = [] {
        auto f = commonCapFields<HIDP_BUTTON_CAPS>();
#if HIDP_BUTTON_CAPS_HAS_REPORT_COUNT
        f.insert(FIELD(HIDP_BUTTON_CAPS, ReportCount));
#endif
        return f;
    }();
    return fields;
}

const std::map<std::string, Getter<HIDP_VALUE_CAPS>> &valueFields()
{
    static const auto fields = [] {
        auto f = commonCapFields<HIDP_VALUE_CAPS>();
        f.insert({FIELD(HIDP_VALUE_CAPS, HasNull),
                  FIELD(HIDP_VALUE_CAPS, BitSize),
                  FIELD(HIDP_VALUE_CAPS, ReportCount),
                  {"UnitsExp", [](const HIDP_VALUE_CAPS &r) -> long long { return LONG(r.UnitsExp); }},
                  FIELD(HIDP_VALUE_CAPS, Units),
                  FIELD(HIDP_VALUE_CAPS, LogicalMin),
                  FIELD(HIDP_VALUE_CAPS, LogicalMax),
                  FIELD(HIDP_VALUE_CAPS, PhysicalMin),
                  FIELD(HIDP_VALUE_CAPS, PhysicalMax)});
        return f;
    }();
    return fields;
}

const std::map<std::string, Getter<HIDP_LINK_COLLECTION_NODE>> &nodeFields()
{
    static const std::map<std::string, Getter<HIDP_LINK_COLLECTION_NODE>> fields = {
        FIELD(HIDP_LINK_COLLECTION_NODE, LinkUsage),      FIELD(HIDP_LINK_COLLECTION_NODE, LinkUsagePage),
        FIELD(HIDP_LINK_COLLECTION_NODE, Parent),         FIELD(HIDP_LINK_COLLECTION_NODE, NumberOfChildren),
        FIELD(HIDP_LINK_COLLECTION_NODE, NextSibling),    FIELD(HIDP_LINK_COLLECTION_NODE, FirstChild),
        FIELD(HIDP_LINK_COLLECTION_NODE, CollectionType), FIELD(HIDP_LINK_COLLECTION_NODE, IsAlias),
    };
    return fields;
}

bool isPublicField(const std::string &key)
{
    return !key.empty() && key[0] != '_' && key.compare(0, 2, "x_") != 0;
}

// Compares every public field the vector lists. `skip` names fields left out on purpose.
template <class Record>
void compareRecord(Checker &t, const std::string &where, const Record &actual, const Json &expected,
                   const std::map<std::string, Getter<Record>> &fields,
                   const std::vector<std::string> &skip = {})
{
    for (const auto &[key, value] : expected.members()) {
        if (!isPublicField(key) || std::find(skip.begin(), skip.end(), key) != skip.end())
            continue;
#if !HIDP_BUTTON_CAPS_HAS_REPORT_COUNT
        if (key == "ReportCount" && std::is_same_v<Record, HIDP_BUTTON_CAPS>)
            continue; // the SDK's button record has no such field
#endif
        const auto f = fields.find(key);
        if (!t.check(f != fields.end(), where + ": no check for field " + key))
            continue;
        t.equal(f->second(actual), value.asInt(), where + "." + key);
    }
}

// win-dump-22 holds one collection of a device that has three. Windows shows LogicalMax 1 on its
// first input and first output value caps although the collection itself sets no Logical Maximum
// before them: the value is global state carried over from a collection of the device that the
// vector does not include, so a parser given this descriptor alone cannot reproduce it.
std::vector<std::string> knownDifferences(const std::string &vector, const char *list, size_t index)
{
    if (vector == "win-dump-22" && index == 0 &&
        (std::string(list) == "input_value_caps" || std::string(list) == "output_value_caps"))
        return {"LogicalMax"};
    return {};
}

template <class Record, class Query>
void compareCapList(Checker &t, const std::string &name, const Json &v, const char *list,
                    HIDP_REPORT_TYPE type, Query query, const std::map<std::string, Getter<Record>> &fields)
{
    const Json &expected = v[list];
    std::vector<Record> caps(expected.size() + 4);
    USHORT length = USHORT(caps.size());
    const NTSTATUS status = query(type, caps.data(), &length);
    if (expected.size() == 0) { // the vector lists none: then the status is the check
        t.equal(status, HIDP_STATUS_USAGE_NOT_FOUND, std::string(list) + " status (none expected)");
        t.equal(length, 0, std::string(list) + " count");
        return;
    }
    t.equal(status, HIDP_STATUS_SUCCESS, std::string(list) + " status");
    if (!t.equal(size_t(length), expected.size(), std::string(list) + " count"))
        return;
    for (size_t i = 0; i < expected.size(); ++i)
        compareRecord(t, std::string(list) + "[" + std::to_string(i) + "]", caps[i], expected[i], fields,
                      knownDifferences(name, list, i));
}

// Builds the report a call of test_hid_driver describes in words. The vector's report and caps say
// where each field lies.
class ReportBuilder {
public:
    ReportBuilder(const hidparse::Collection &c, const Json &v) : c_(c), v_(v)
    {
        HIDP_CAPS caps;
        hidparse::getCaps(c, &caps);
        inputLength_ = caps.InputReportByteLength;
        featureLength_ = caps.FeatureReportByteLength;
        if (v["reports"].size() > 0)
            inputReport_ = hexBytes(v["reports"][0]["report_hex"].asString());
    }

    // False when the description is not one this builder knows, or names a field the vector lacks.
    bool build(const Json &call, Bytes &report)
    {
        const std::string type = call["report_type"].asString();
        const std::string how = call["report"].asString();
        const std::string lengthRule = call["report_length"].asString();
        if (type == "input") {
            report = inputReport_;
            if (how == "initialized report with no key set") {
                hidparse::initializeReportForId(c_, HidP_Input, inputReport_[0], report.data(),
                                                ULONG(report.size()));
            } else if (how == "X field holds 0x80 (written as -128)") {
                if (!setInputField(report, 0x30, 0x80))
                    return false;
            } else if (how == "Z field holds 0x7fffffff") {
                if (!setInputField(report, 0x32, 0x7fffffff))
                    return false;
            } else if (!how.empty() && how != "same report") {
                return false;
            }
            if (lengthRule == "InputReportByteLength+1")
                report.push_back(0);
            return true;
        }
        if (type == "feature") {
            static const std::string fresh = "feature report, byte0=", again = "same, byte0 = ";
            if (how.rfind(fresh, 0) == 0) {
                feature_.assign(featureLength_, 0);
                feature_[0] = uint8_t(how[fresh.size()] - '0');
                feature_[1] = 0x05;
                feature_[2] = 0x10;
            } else if (how.rfind(again, 0) == 0) {
                feature_[0] = uint8_t(how[again.size()] - '0');
            } else if (how.rfind("ordinal range 1..10", 0) == 0) {
                // A fresh report of the range's report ID (1, or 0 without IDs), usage u in byte 21 + u - 1.
                feature_.assign(featureLength_, 0);
                feature_[0] = inputReport_[0];
                for (int u = 1; u <= 5; ++u)
                    feature_[20 + u] = uint8_t(u - 1);
            } else if (!how.empty() && how != "same") {
                return false;
            }
            report = feature_;
            if (lengthRule == "FeatureReportByteLength+1")
                report.push_back(0);
            return true;
        }
        report = inputReport_;
        return true;
    }

    Bytes inputReport() const { return inputReport_; }

private:
    // False when the vector lists no input value cap for the usage, or its field lies past the report.
    bool setInputField(Bytes &report, int usage, uint32_t value)
    {
        bool set = false;
        for (const Json &cap : v_["input_value_caps"].items()) {
            if (cap["UsagePage"].asInt() == 1 && cap["Usage"].asInt() == usage) {
                const uint32_t bit =
                    uint32_t(cap["x_BytePosition"].asInt() * 8 + cap["x_BitPosition"].asInt());
                const uint32_t size = uint32_t(cap["x_BitSize"].asInt());
                if (size == 0 || (bit + std::min<uint32_t>(size, 32) + 7) / 8 > report.size())
                    return false;
                set = true;
                for (uint32_t i = 0; i < size && i < 32; ++i) {
                    const uint32_t b = bit + i;
                    const uint8_t mask = uint8_t(1u << (b & 7));
                    report[b / 8] = (value >> i) & 1 ? report[b / 8] | mask : report[b / 8] & ~mask;
                }
            }
        }
        return set;
    }

    const hidparse::Collection &c_;
    const Json &v_;
    uint16_t inputLength_ = 0, featureLength_ = 0;
    Bytes inputReport_;
    Bytes feature_;
};

void runCall(Checker &t, const hidparse::Collection &c, ReportBuilder &builder, const Json &call,
             size_t index)
{
    const std::string fn = call["fn"].asString();
    const std::string where = "call " + std::to_string(index) + " " + fn;
    const HIDP_REPORT_TYPE type = reportType(call["report_type"].asString());
    const USAGE page = USAGE(call["usage_page"].asInt());
    const USHORT link = USHORT(call["link_collection"].asInt());
    const NTSTATUS expected = statusFromName(call["status"].asString());
    Bytes report;
    if (!t.check(builder.build(call, report),
                 where + ": cannot build the report described as " + call["report"].asString()))
        return;
    const ULONG reportLength = ULONG(report.size());

    // Every branch below follows the call's own fields in the vector, never an answer under test.
    if (fn == "HidP_GetUsages") {
        std::vector<USAGE> usages(256);
        ULONG length = call.has("usage_length_in") ? ULONG(call["usage_length_in"].asInt())
                                                   : hidparse::maxUsageListLength(c, type, page);
        t.equal(hidparse::getUsages(c, type, page, link, usages.data(), &length, report.data(), reportLength),
                expected, where + " status");
        t.equal(length, call["usage_length_out"].asInt(), where + " usage length");
    } else if (fn == "HidP_GetUsageValue") {
        const std::string usageText = call["usage"].asString();
        if (usageText == "1..5") {
            for (USAGE u = 1; u <= 5; ++u) {
                ULONG value = 0xdeadbeef;
                t.equal(hidparse::getUsageValue(c, type, page, link, u, &value, report.data(), reportLength),
                        expected, where + " status, usage " + std::to_string(u));
                t.equal(value, u - 1u, where + " value of usage " + std::to_string(u));
            }
            return;
        }
        const ULONG untouched = 0xdeadbeef;
        ULONG value = untouched;
        const NTSTATUS status = hidparse::getUsageValue(c, type, page, link, USAGE(call["usage"].asInt()),
                                                        &value, report.data(), reportLength);
        t.equal(status, expected, where + " status");
        if (call.has("value"))
            t.equal(value, call["value"].asInt(), where + " value");
        if (expected != HIDP_STATUS_SUCCESS)
            t.equal(value, untouched, where + " leaves the value untouched");
    } else if (fn == "HidP_GetUsageValueArray") {
        std::vector<uint8_t> buffer(256);
        const USHORT size =
            call.has("buffer_bytes") ? USHORT(call["buffer_bytes"].asInt()) : USHORT(buffer.size());
        t.equal(hidparse::getUsageValueArray(c, type, page, link, USAGE(call["usage"].asInt()), buffer.data(),
                                             size, report.data(), reportLength),
                expected, where + " status");
    } else if (fn == "HidP_MaxUsageListLength") {
        t.equal(hidparse::maxUsageListLength(c, type, page), call["result"].asInt(), where + " result");
    } else if (fn == "HidP_MaxDataListLength") {
        t.equal(hidparse::maxDataListLength(c, type), call["result"].asInt(), where + " result");
    } else if (fn == "HidP_GetButtonCaps" || fn == "HidP_GetSpecificButtonCaps") {
        std::vector<HIDP_BUTTON_CAPS> caps(64);
        USHORT length =
            call.has("caps_length_in") ? USHORT(call["caps_length_in"].asInt()) : USHORT(caps.size());
        const NTSTATUS status =
            fn == "HidP_GetButtonCaps"
                ? hidparse::getButtonCaps(c, type, caps.data(), &length)
                : hidparse::getSpecificButtonCaps(c, type, page, link, USAGE(call["usage"].asInt()),
                                                  caps.data(), &length);
        t.equal(status, expected, where + " status");
        if (call.has("caps_length_out"))
            t.equal(length, call["caps_length_out"].asInt(), where + " caps length");
    } else if (fn == "HidP_GetSpecificValueCaps") {
        std::vector<HIDP_VALUE_CAPS> caps(64);
        USHORT length = USHORT(caps.size());
        t.equal(hidparse::getSpecificValueCaps(c, type, page, link, USAGE(call["usage"].asInt()), caps.data(),
                                               &length),
                expected, where + " status");
        if (call.has("caps_length_out"))
            t.equal(length, call["caps_length_out"].asInt(), where + " caps length");
    } else if (fn == "HidP_SetUsages") {
        Bytes fresh = builder.inputReport();
        hidparse::initializeReportForId(c, type, fresh[0], fresh.data(), ULONG(fresh.size()));
        std::vector<USAGE> usages;
        for (const Json &u : call["usages"].items())
            usages.push_back(USAGE(u.asInt()));
        ULONG length = ULONG(usages.size());
        t.equal(hidparse::setUsages(c, type, page, link, usages.data(), &length, fresh.data(),
                                    ULONG(fresh.size())),
                expected, where + " status");
        // What Windows wrote, in the words of the vector: 1-based positions in declaration order.
        ULONG back = 8;
        std::vector<USAGE> on(8);
        hidparse::getUsages(c, type, page, link, on.data(), &back, fresh.data(), ULONG(fresh.size()));
        on.resize(back);
        std::sort(on.begin(), on.end());
        std::vector<USAGE> expectedOn(usages.begin(), usages.begin() + std::min<size_t>(usages.size(), 2));
        std::sort(expectedOn.begin(), expectedOn.end());
        t.equal(on, expectedOn, where + " usages written");
    } else if (fn == "HidP_InitializeReportForID") {
        HIDP_CAPS caps;
        hidparse::getCaps(c, &caps);
        const ULONG length = type == HidP_Output ? caps.OutputReportByteLength : caps.InputReportByteLength;
        Bytes buffer(length + 1);
        const ULONG passed = call["report_length"].asString().empty() ? length : length + 1;
        const UCHAR id = call.has("report_id") ? UCHAR(call["report_id"].asInt()) : builder.inputReport()[0];
        t.equal(hidparse::initializeReportForId(c, type, id, buffer.data(), passed), expected,
                where + " status");
    } else {
        t.check(false, where + ": no check for this function");
    }
}

USAGE hexUsage(const std::string &text)
{
    return USAGE(std::strtoul(text.c_str(), nullptr, 16));
}

// The decodings listed for a report: usages on per page and over all pages, values, data list.
void compareReport(Checker &t, const hidparse::Collection &c, const Json &r, size_t index)
{
    const std::string where = "report " + std::to_string(index);
    const Bytes report = hexBytes(r["report_hex"].asString());
    const HIDP_REPORT_TYPE type = reportType(r["report_type"].asString());
    const ULONG length = ULONG(report.size());
    const NTSTATUS expected =
        r.has("status") ? statusFromName(r["status"].asString()) : NTSTATUS(HIDP_STATUS_SUCCESS);
    // The decodings compared are the ones the vector lists; each `has` below asks the vector.

    for (const auto &[pageText, usages] : r["usages_on"].members()) {
        const USAGE page = hexUsage(pageText);
        std::vector<USAGE> list(hidparse::maxUsageListLength(c, type, page));
        ULONG count = ULONG(list.size());
        t.equal(hidparse::getUsages(c, type, page, 0, list.data(), &count, report.data(), length), expected,
                where + " usages of page " + pageText + " status");
        list.resize(std::min<size_t>(count, list.size()));
        std::vector<long long> want;
        for (const Json &u : usages.items())
            want.push_back(u.asInt());
        t.equal(std::vector<long long>(list.begin(), list.end()), want,
                where + " usages on, page " + pageText);
    }
    if (r.has("usages_ex")) {
        std::vector<hidparse::UsageAndPage> list(hidparse::maxUsageListLength(c, type, 0));
        ULONG count = ULONG(list.size());
        t.equal(hidparse::getUsagesEx(c, type, 0, list.data(), &count, report.data(), length), expected,
                where + " usages of all pages status");
        std::vector<long long> got, want;
        for (ULONG i = 0; i < count && i < list.size(); ++i) {
            got.push_back(list[i].UsagePage);
            got.push_back(list[i].Usage);
        }
        for (const Json &pair : r["usages_ex"].items()) {
            want.push_back(hexUsage(pair[0].asString()));
            want.push_back(pair[1].asInt());
        }
        t.equal(got, want, where + " usages on, all pages (page, usage pairs)");
    }
    for (const auto &[key, value] : r["values"].members()) {
        const size_t colon = key.find(':');
        const USAGE page = hexUsage(key.substr(0, colon));
        const USAGE usage = hexUsage(key.substr(colon + 1));
        ULONG raw = 0;
        t.equal(hidparse::getUsageValue(c, type, page, 0, usage, &raw, report.data(), length), expected,
                where + " value " + key + " status");
        t.equal(raw, value.asInt(), where + " value " + key);
    }
    if (r.has("get_data")) {
        std::vector<HIDP_DATA> list(hidparse::maxDataListLength(c, type));
        ULONG count = ULONG(list.size());
        t.equal(hidparse::getData(c, type, list.data(), &count, report.data(), length), expected,
                where + " data list status");
        std::vector<long long> got, want;
        for (ULONG i = 0; i < count && i < list.size(); ++i) {
            got.push_back(list[i].DataIndex);
            got.push_back(list[i].RawValue);
        }
        for (const Json &pair : r["get_data"].items()) {
            want.push_back(pair[0].asInt());
            want.push_back(pair[1].asInt());
        }
        t.equal(got, want, where + " data list (index, value pairs)");
    }
}

} // namespace

void runWindowsParserVectors(Checker &t, const Json &vectors)
{
    for (const Json &v : vectors.items()) {
        const std::string name = v["name"].asString();
        if (name == "_legend")
            continue;
        t.run(name, [&] {
            const Bytes descriptor = hexBytes(v["descriptor_hex"].asString());
            auto c = parseOrFail(t, descriptor, size_t(v["tlc_index"].asInt()));
            if (!c)
                return;
            HIDP_CAPS caps;
            t.equal(hidparse::getCaps(*c, &caps), HIDP_STATUS_SUCCESS, "getCaps status");
            compareRecord(t, "caps", caps, v["caps"], capsFields());

            const auto buttons = [&](HIDP_REPORT_TYPE type, HIDP_BUTTON_CAPS *out, USHORT *len) {
                return hidparse::getButtonCaps(*c, type, out, len);
            };
            const auto values = [&](HIDP_REPORT_TYPE type, HIDP_VALUE_CAPS *out, USHORT *len) {
                return hidparse::getValueCaps(*c, type, out, len);
            };
            compareCapList(t, name, v, "input_button_caps", HidP_Input, buttons, buttonFields());
            compareCapList(t, name, v, "input_value_caps", HidP_Input, values, valueFields());
            compareCapList(t, name, v, "output_button_caps", HidP_Output, buttons, buttonFields());
            compareCapList(t, name, v, "output_value_caps", HidP_Output, values, valueFields());
            compareCapList(t, name, v, "feature_button_caps", HidP_Feature, buttons, buttonFields());
            compareCapList(t, name, v, "feature_value_caps", HidP_Feature, values, valueFields());

            const Json &nodes = v["link_collection_nodes"];
            std::vector<HIDP_LINK_COLLECTION_NODE> actualNodes(nodes.size() + 1);
            ULONG nodeCount = ULONG(actualNodes.size());
            t.equal(hidparse::getLinkCollectionNodes(*c, actualNodes.data(), &nodeCount), HIDP_STATUS_SUCCESS,
                    "link collection nodes status");
            // Records are compared only when the counts agree; a count that differs has failed already.
            if (t.equal(size_t(nodeCount), nodes.size(), "link collection node count")) {
                for (size_t i = 0; i < nodes.size(); ++i)
                    compareRecord(t, "node[" + std::to_string(i) + "]", actualNodes[i], nodes[i],
                                  nodeFields());
            }

            for (size_t i = 0; i < v["reports"].size(); ++i)
                compareReport(t, *c, v["reports"][i], i);

            ReportBuilder builder(*c, v);
            for (size_t i = 0; i < v["calls"].size(); ++i)
                runCall(t, *c, builder, v["calls"][i], i);
        });
    }
}

} // namespace descriptortest
