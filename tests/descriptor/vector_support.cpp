#include "vector_support.h"

namespace descriptortest {

HIDP_REPORT_TYPE reportType(const std::string &name)
{
    if (name == "input")
        return HidP_Input;
    if (name == "output")
        return HidP_Output;
    if (name == "feature")
        return HidP_Feature;
    return static_cast<HIDP_REPORT_TYPE>(3);
}

NTSTATUS statusFromName(const std::string &name)
{
    static const NTSTATUS known[] = {
        HIDP_STATUS_SUCCESS,
        HIDP_STATUS_NULL,
        HIDP_STATUS_INVALID_PREPARSED_DATA,
        HIDP_STATUS_INVALID_REPORT_TYPE,
        HIDP_STATUS_INVALID_REPORT_LENGTH,
        HIDP_STATUS_USAGE_NOT_FOUND,
        HIDP_STATUS_VALUE_OUT_OF_RANGE,
        HIDP_STATUS_BAD_LOG_PHY_VALUES,
        HIDP_STATUS_BUFFER_TOO_SMALL,
        HIDP_STATUS_INTERNAL_ERROR,
        HIDP_STATUS_I8042_TRANS_UNKNOWN,
        HIDP_STATUS_INCOMPATIBLE_REPORT_ID,
        HIDP_STATUS_NOT_VALUE_ARRAY,
        HIDP_STATUS_IS_VALUE_ARRAY,
        HIDP_STATUS_DATA_INDEX_NOT_FOUND,
        HIDP_STATUS_DATA_INDEX_OUT_OF_RANGE,
        HIDP_STATUS_BUTTON_NOT_PRESSED,
        HIDP_STATUS_REPORT_DOES_NOT_EXIST,
        HIDP_STATUS_NOT_IMPLEMENTED,
    };
    for (NTSTATUS s : known) {
        if (name == hidparse::statusName(s))
            return s;
    }
    return NTSTATUS(0x7fffffff);
}

Bytes hexBytes(const std::string &text)
{
    std::vector<unsigned char> out;
    testsupport::parseHex(text, out);
    return Bytes(out.begin(), out.end());
}

hidparse::CollectionPtr parseOrFail(Checker &t, const Bytes &descriptor, size_t index)
{
    std::string error;
    auto c = hidparse::parseCollection(descriptor.data(), descriptor.size(), index, error);
    t.check(c != nullptr, "descriptor does not parse: " + error);
    return c;
}

bool loadJson(const std::string &dataDir, const std::string &name, Json &out, std::string &error)
{
    std::string text;
    const std::string path = dataDir + "/" + name;
    if (!testsupport::readFile(path, text)) {
        error = "cannot read " + path;
        return false;
    }
    if (!Json::parse(text, out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

} // namespace descriptortest
