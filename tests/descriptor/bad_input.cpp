// Descriptors that must be refused: each with a reason naming what is wrong, without reading
// outside the buffer (the sanitizer builds and the fuzz target watch that part).
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
    t.run("null descriptor", [&] {
        hidparse::DescriptorSummary summary;
        std::string error;
        t.check(!hidparse::summarize(nullptr, 10, summary, error) && !error.empty(), "null data refused");
    });
}

} // namespace descriptortest
