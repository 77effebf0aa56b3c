// The value lookup index, built once per parse so that each per-report value lookup finds its field
// without walking the value caps stored before it.
#include <algorithm>

#include "collection.h"

namespace hidparse {
namespace {

// The last usage a slot answers for: the usages of its range that have a field.
uint32_t lastUsage(const ValueSlot &v)
{
    return uint32_t(v.usageMin) + std::min<uint32_t>(v.usageSpan, v.fieldCount - 1u);
}

struct PageExtent {
    uint16_t usagePage;
    uint32_t first, last;
};

// The pages that have value fields, in order of their first slot, with their lowest and highest
// usage that has one.
std::vector<PageExtent> pageExtents(const std::vector<ValueSlot> &slots)
{
    std::vector<PageExtent> extents;
    for (const ValueSlot &v : slots) {
        if (v.fieldCount == 0)
            continue;
        auto page = std::find_if(extents.begin(), extents.end(),
                                 [&](const PageExtent &e) { return e.usagePage == v.usagePage; });
        if (page == extents.end()) {
            extents.push_back(PageExtent{v.usagePage, v.usageMin, lastUsage(v)});
            continue;
        }
        page->first = std::min<uint32_t>(page->first, v.usageMin);
        page->last = std::max(page->last, lastUsage(v));
    }
    return extents;
}

} // namespace

ValueIndex buildValueIndex(const std::vector<ValueSlot> &slots)
{
    ValueIndex index;
    for (const PageExtent &extent : pageExtents(slots)) {
        const uint32_t count = extent.last - extent.first + 1;
        if (index.pageCount == kMaxIndexedValuePages || index.fields.size() + count > kMaxValueIndexEntries) {
            index.everyPageIndexed = false;
            continue;
        }
        ValuePageTable &page = index.pages[index.pageCount++];
        page = ValuePageTable{extent.usagePage, uint16_t(extent.first), count, uint32_t(index.fields.size())};
        index.fields.resize(index.fields.size() + count);
        ValueField *table = index.fields.data() + page.offset;
        for (size_t i = 0; i < slots.size(); ++i) {
            const ValueSlot &v = slots[i];
            if (v.usagePage != page.usagePage || v.fieldCount == 0)
                continue;
            for (uint32_t usage = v.usageMin; usage <= lastUsage(v); ++usage) {
                ValueField &field = table[usage - page.usageBase];
                if (field.slot != kNoValueSlot)
                    continue; // an earlier slot answers
                const uint32_t element = usage - v.usageMin;
                field = ValueField{v.bitPosition + element * v.bitSize, v.bitSize, v.linkCollection,
                                   uint16_t(i), v.reportId};
            }
        }
    }
    return index;
}

} // namespace hidparse
