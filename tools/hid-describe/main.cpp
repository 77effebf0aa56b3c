// hid-describe: prints, as one JSON object, what the HID parser answers for one top-level
// collection of a report descriptor, and decodes input reports the way the input device does.
//
//   hid-describe [--collection N] [--report HEX]... (DESCRIPTOR_HEX | --file PATH | /dev/hidrawN)
//
// --file reads the descriptor as raw bytes (as sysfs's report_descriptor holds it), or as hex
// text when the file holds nothing but hex digits and white space. A descriptor that cannot be
// parsed, or arguments that make no sense, end with one line on stderr and exit status 2.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "descriptor/descriptor.h"

#ifdef __linux__
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kExitError = 2;

[[noreturn]] void die(const std::string &message)
{
    std::fprintf(stderr, "hid-describe: %s\n", message.c_str());
    std::exit(kExitError);
}

bool parseHex(const std::string &text, Bytes &out)
{
    out.clear();
    int high = -1;
    for (unsigned char c : text) {
        if (std::isspace(c))
            continue;
        if (!std::isxdigit(c))
            return false;
        const int v = std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(uint8_t(high << 4 | v));
            high = -1;
        }
    }
    return high < 0;
}

Bytes readFile(const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        die("cannot open " + path + ": " + std::strerror(errno));
    Bytes data;
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && data.size() <= hidparse::kMaxDescriptorSize)
        data.insert(data.end(), buf, buf + n);
    std::fclose(f);
    const bool text = !data.empty() && std::all_of(data.begin(), data.end(), [](uint8_t c) {
        return std::isxdigit(c) || std::isspace(c);
    });
    Bytes hex;
    if (text && parseHex(std::string(data.begin(), data.end()), hex))
        return hex;
    return data;
}

Bytes readHidraw(const std::string &path)
{
#ifdef __linux__
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        die("cannot open " + path + ": " + std::strerror(errno));
    int size = 0;
    hidraw_report_descriptor descriptor;
    if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0 || size < 0 || size > HID_MAX_DESCRIPTOR_SIZE) {
        const int error = errno;
        ::close(fd);
        die("cannot read the descriptor size of " + path + ": " + std::strerror(error));
    }
    descriptor.size = uint32_t(size);
    if (::ioctl(fd, HIDIOCGRDESC, &descriptor) < 0) {
        const int error = errno;
        ::close(fd);
        die("cannot read the descriptor of " + path + ": " + std::strerror(error));
    }
    ::close(fd);
    return Bytes(descriptor.value, descriptor.value + size);
#else
    die("reading " + path + " needs Linux hidraw");
#endif
}

// A minimal JSON writer: fields separated as they are added.
class Json {
public:
    std::string text;

    void open(char bracket) { separate(), text += bracket, first_ = true; }
    void close(char bracket) { text += bracket, first_ = false; }
    void key(const std::string &name)
    {
        separate();
        text += '"' + name + "\": ";
        first_ = true; // the value follows without a comma
    }
    void number(long long v) { separate(), text += std::to_string(v); }
    void string(const std::string &s)
    {
        separate();
        text += '"';
        for (char c : s) {
            if (c == '"' || c == '\\')
                text += '\\';
            text += c;
        }
        text += '"';
    }
    void field(const std::string &name, long long v) { key(name), number(v); }
    // The next field or element starts on a new line with this indentation.
    void newline(const char *indent = "\n  ") { pendingBreak_ = indent; }

private:
    void separate()
    {
        if (!first_)
            text += pendingBreak_.empty() ? ", " : ",";
        text += pendingBreak_;
        pendingBreak_.clear();
        first_ = false;
    }
    bool first_ = true;
    std::string pendingBreak_;
};

template <class Record> void commonFields(Json &j, const Record &c)
{
    j.field("UsagePage", c.UsagePage);
    j.field("ReportID", c.ReportID);
    j.field("IsAlias", c.IsAlias);
    j.field("BitField", c.BitField);
    j.field("LinkCollection", c.LinkCollection);
    j.field("LinkUsage", c.LinkUsage);
    j.field("LinkUsagePage", c.LinkUsagePage);
    j.field("IsRange", c.IsRange);
    j.field("IsStringRange", c.IsStringRange);
    j.field("IsDesignatorRange", c.IsDesignatorRange);
    j.field("IsAbsolute", c.IsAbsolute);
    if (c.IsRange) {
        j.field("UsageMin", c.Range.UsageMin);
        j.field("UsageMax", c.Range.UsageMax);
        j.field("DataIndexMin", c.Range.DataIndexMin);
        j.field("DataIndexMax", c.Range.DataIndexMax);
    } else {
        j.field("Usage", c.NotRange.Usage);
        j.field("DataIndex", c.NotRange.DataIndex);
    }
}

void valueFields(Json &j, const HIDP_VALUE_CAPS &c)
{
    commonFields(j, c);
    j.field("HasNull", c.HasNull);
    j.field("BitSize", c.BitSize);
    j.field("ReportCount", c.ReportCount);
    j.field("UnitsExp", LONG(c.UnitsExp));
    j.field("Units", c.Units);
    j.field("LogicalMin", c.LogicalMin);
    j.field("LogicalMax", c.LogicalMax);
    j.field("PhysicalMin", c.PhysicalMin);
    j.field("PhysicalMax", c.PhysicalMax);
}

std::vector<HIDP_BUTTON_CAPS> buttonCaps(const hidparse::Collection &c, HIDP_REPORT_TYPE type, USHORT count)
{
    std::vector<HIDP_BUTTON_CAPS> caps(count);
    hidparse::getButtonCaps(c, type, caps.data(), &count);
    caps.resize(std::min<size_t>(count, caps.size()));
    return caps;
}

std::vector<HIDP_VALUE_CAPS> valueCaps(const hidparse::Collection &c, HIDP_REPORT_TYPE type, USHORT count)
{
    std::vector<HIDP_VALUE_CAPS> caps(count);
    hidparse::getValueCaps(c, type, caps.data(), &count);
    caps.resize(std::min<size_t>(count, caps.size()));
    return caps;
}

void decodeReport(Json &j, const hidparse::Collection &c, const HIDP_CAPS &caps, bool usesIds,
                  const std::string &hex)
{
    Bytes report;
    if (!parseHex(hex, report))
        die("report is not hex bytes: " + hex);
    if (!usesIds)
        report.insert(report.begin(), 0);
    if (report.size() > caps.InputReportByteLength)
        die("report \"" + hex + "\" is longer than the input report (" +
            std::to_string(caps.InputReportByteLength) + " bytes with the report-ID byte)");
    report.resize(caps.InputReportByteLength, 0);
    const ULONG length = ULONG(report.size());

    j.open('{');
    j.key("report");
    j.string(hex);
    j.key("buttons");
    j.open('{');
    std::vector<USAGE> pages;
    for (const HIDP_BUTTON_CAPS &b : buttonCaps(c, HidP_Input, caps.NumberInputButtonCaps)) {
        if (std::find(pages.begin(), pages.end(), b.UsagePage) != pages.end())
            continue;
        pages.push_back(b.UsagePage);
        std::vector<USAGE> usages(hidparse::maxUsageListLength(c, HidP_Input, b.UsagePage));
        ULONG count = ULONG(usages.size());
        if (hidparse::getUsages(c, HidP_Input, b.UsagePage, 0, usages.data(), &count, report.data(),
                                length) != HIDP_STATUS_SUCCESS)
            count = 0;
        j.key(std::to_string(b.UsagePage));
        j.open('[');
        for (ULONG i = 0; i < count; ++i)
            j.number(usages[i]);
        j.close(']');
    }
    j.close('}');
    j.key("values");
    j.open('[');
    for (const HIDP_VALUE_CAPS &v : valueCaps(c, HidP_Input, caps.NumberInputValueCaps)) {
        for (uint32_t usage = v.Range.UsageMin; usage <= v.Range.UsageMax; ++usage) {
            ULONG raw = 0;
            const NTSTATUS status = hidparse::getUsageValue(c, HidP_Input, v.UsagePage, 0, USAGE(usage), &raw,
                                                            report.data(), length);
            j.open('{');
            j.field("page", v.UsagePage);
            j.field("usage", usage);
            if (status == HIDP_STATUS_SUCCESS) {
                j.field("raw", raw);
            } else {
                j.key("status");
                j.string(hidparse::statusName(status));
            }
            j.close('}');
        }
    }
    j.close(']');
    j.close('}');
}

void usage()
{
    die("usage: hid-describe [--collection N] [--report HEX]... (DESCRIPTOR_HEX | --file PATH | "
        "/dev/hidrawN)");
}

} // namespace

int main(int argc, char **argv)
{
    size_t collection = 0;
    std::vector<std::string> reports;
    std::string hexText, file, device;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--collection" && hasValue) {
            char *end = nullptr;
            const unsigned long n = std::strtoul(argv[++i], &end, 10);
            if (!end || *end || !std::isdigit(static_cast<unsigned char>(argv[i][0])))
                die(std::string("collection is not a number: ") + argv[i]);
            collection = n;
        } else if (arg == "--report" && hasValue) {
            reports.push_back(argv[++i]);
        } else if (arg == "--file" && hasValue) {
            file = argv[++i];
        } else if (arg.rfind("/dev/", 0) == 0) {
            device = arg;
        } else if (arg.rfind("--", 0) == 0) {
            usage();
        } else {
            hexText += arg + " ";
        }
    }
    if (int(!hexText.empty()) + int(!file.empty()) + int(!device.empty()) != 1)
        usage();

    Bytes descriptor;
    if (!file.empty())
        descriptor = readFile(file);
    else if (!device.empty())
        descriptor = readHidraw(device);
    else if (!parseHex(hexText, descriptor))
        die("descriptor is not hex bytes");

    hidparse::DescriptorSummary summary;
    std::string error;
    if (!hidparse::summarize(descriptor.data(), descriptor.size(), summary, error))
        die("cannot parse the descriptor: " + error);
    auto c = hidparse::parseCollection(descriptor.data(), descriptor.size(), collection, error);
    if (!c)
        die("cannot parse the descriptor: " + error);
    HIDP_CAPS caps;
    hidparse::getCaps(*c, &caps);

    Json j;
    j.open('{');
    j.field("collections", long(summary.collections.size()));
    j.field("collection", long(collection));
    j.newline();
    j.key("caps");
    j.open('{');
    j.field("Usage", caps.Usage);
    j.field("UsagePage", caps.UsagePage);
    j.field("InputReportByteLength", caps.InputReportByteLength);
    j.field("OutputReportByteLength", caps.OutputReportByteLength);
    j.field("FeatureReportByteLength", caps.FeatureReportByteLength);
    j.field("NumberLinkCollectionNodes", caps.NumberLinkCollectionNodes);
    j.field("NumberInputButtonCaps", caps.NumberInputButtonCaps);
    j.field("NumberInputValueCaps", caps.NumberInputValueCaps);
    j.field("NumberInputDataIndices", caps.NumberInputDataIndices);
    j.field("NumberOutputButtonCaps", caps.NumberOutputButtonCaps);
    j.field("NumberOutputValueCaps", caps.NumberOutputValueCaps);
    j.field("NumberOutputDataIndices", caps.NumberOutputDataIndices);
    j.field("NumberFeatureButtonCaps", caps.NumberFeatureButtonCaps);
    j.field("NumberFeatureValueCaps", caps.NumberFeatureValueCaps);
    j.field("NumberFeatureDataIndices", caps.NumberFeatureDataIndices);
    j.close('}');

    struct TypeInfo {
        const char *name;
        HIDP_REPORT_TYPE type;
        USHORT buttons, values;
    } const types[] = {
        {"input", HidP_Input, caps.NumberInputButtonCaps, caps.NumberInputValueCaps},
        {"output", HidP_Output, caps.NumberOutputButtonCaps, caps.NumberOutputValueCaps},
        {"feature", HidP_Feature, caps.NumberFeatureButtonCaps, caps.NumberFeatureValueCaps},
    };
    for (const TypeInfo &t : types) {
        j.newline();
        j.key(std::string(t.name) + "_button_caps");
        j.open('[');
        for (const HIDP_BUTTON_CAPS &b : buttonCaps(*c, t.type, t.buttons)) {
            j.newline("\n    ");
            j.open('{');
            commonFields(j, b);
            j.close('}');
        }
        j.close(']');
        j.newline();
        j.key(std::string(t.name) + "_value_caps");
        j.open('[');
        for (const HIDP_VALUE_CAPS &v : valueCaps(*c, t.type, t.values)) {
            j.newline("\n    ");
            j.open('{');
            valueFields(j, v);
            j.close('}');
        }
        j.close(']');
    }
    j.newline();
    j.key("reports");
    j.open('[');
    for (const std::string &r : reports) {
        j.newline("\n    ");
        decodeReport(j, *c, caps, summary.usesReportIds, r);
    }
    j.close(']');
    j.text += "\n";
    j.close('}');
    std::printf("%s\n", j.text.c_str());
    return 0;
}
