// Feeds arbitrary bytes to the descriptor parser and every query. The input is split in two: the
// first byte says how much of the rest is the descriptor; what follows is a report, fitted to
// each report type's length the way the HID layer hands reports over.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "descriptor/descriptor.h"

namespace {

constexpr size_t kMaxCollectionsTried = 4;
constexpr size_t kMaxCapsQueried = 64;

void exerciseReport(const hidparse::Collection &c, HIDP_REPORT_TYPE type, const uint8_t *payload,
                    size_t payloadSize, uint16_t reportLength)
{
    std::vector<uint8_t> report(reportLength ? reportLength : 1, 0);
    for (size_t i = 0; i < report.size() && i < payloadSize; ++i)
        report[i] = payload[i];
    const ULONG length = reportLength;

    std::vector<HIDP_BUTTON_CAPS> buttons(kMaxCapsQueried);
    USHORT buttonCount = USHORT(buttons.size());
    hidparse::getButtonCaps(c, type, buttons.data(), &buttonCount);
    for (USHORT i = 0; i < buttonCount && i < buttons.size(); ++i) {
        const USAGE page = buttons[i].UsagePage;
        std::vector<USAGE> usages(hidparse::maxUsageListLength(c, type, page));
        ULONG n = ULONG(usages.size());
        hidparse::getUsages(c, type, page, 0, usages.data(), &n, report.data(), length);
        ULONG small = 1;
        USAGE one;
        hidparse::getUsages(c, type, page, buttons[i].LinkCollection, &one, &small, report.data(), length);
        std::vector<uint8_t> scratch(report);
        ULONG count = 1;
        hidparse::setUsages(c, type, page, 0, &buttons[i].Range.UsageMax, &count, scratch.data(), length);
    }
    std::vector<hidparse::UsageAndPage> all(hidparse::maxUsageListLength(c, type, 0));
    ULONG allCount = ULONG(all.size());
    hidparse::getUsagesEx(c, type, 0, all.data(), &allCount, report.data(), length);

    std::vector<HIDP_VALUE_CAPS> values(kMaxCapsQueried);
    USHORT valueCount = USHORT(values.size());
    hidparse::getValueCaps(c, type, values.data(), &valueCount);
    for (USHORT i = 0; i < valueCount && i < values.size(); ++i) {
        const HIDP_VALUE_CAPS &v = values[i];
        ULONG value = 0;
        hidparse::getUsageValue(c, type, v.UsagePage, 0, v.Range.UsageMin, &value, report.data(), length);
        hidparse::getUsageValue(c, type, v.UsagePage, v.LinkCollection, v.Range.UsageMax, &value,
                                report.data(), length);
        std::vector<uint8_t> array(size_t(v.BitSize) * v.ReportCount / 8 + 1);
        hidparse::getUsageValueArray(c, type, v.UsagePage, 0, v.Range.UsageMin, array.data(),
                                     USHORT(array.size()), report.data(), length);
    }
    std::vector<HIDP_DATA> data(hidparse::maxDataListLength(c, type));
    ULONG dataCount = ULONG(data.size());
    hidparse::getData(c, type, data.data(), &dataCount, report.data(), length);
    ULONG tooFew = dataCount / 2;
    hidparse::getData(c, type, data.data(), &tooFew, report.data(), length);
    std::vector<uint8_t> scratch(report);
    hidparse::initializeReportForId(c, type, report[0], scratch.data(), length);
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
    if (!hidparse::summarize(descriptor, descriptorSize, summary, error))
        return 0;
    for (size_t index = 0; index < summary.collections.size() && index < kMaxCollectionsTried; ++index) {
        auto c = hidparse::parseCollection(descriptor, descriptorSize, index, error);
        if (!c)
            __builtin_trap(); // summarize accepted the descriptor, so every collection must parse
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
