// The value lookup index, built once per parse so that each per-report value lookup finds its field
// without walking the value caps stored before it.
#include <algorithm>
#include <numeric>
#include <unordered_map>

#include "collection.h"
#include "steps.h"

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
    std::unordered_map<uint16_t, size_t> byPage; // a device may give every slot a page of its own
    size_t last = 0;                             // but slots tend to share the page of the one before
    for (const ValueSlot &v : slots) {
        countSteps(1);
        if (v.fieldCount == 0)
            continue;
        if (extents.empty() || extents[last].usagePage != v.usagePage) {
            const auto [page, added] = byPage.try_emplace(v.usagePage, extents.size());
            last = page->second;
            if (added) {
                extents.push_back(PageExtent{v.usagePage, v.usageMin, lastUsage(v)});
                continue;
            }
        }
        PageExtent &extent = extents[last];
        extent.first = std::min<uint32_t>(extent.first, v.usageMin);
        extent.last = std::max(extent.last, lastUsage(v));
    }
    return extents;
}

// The first entry at or after `i` that no slot has taken yet, halving the path on the way.
uint32_t firstFree(std::vector<uint32_t> &nextFree, uint32_t i)
{
    while (nextFree[i] != i) {
        countSteps(1);
        nextFree[i] = nextFree[nextFree[i]];
        i = nextFree[i];
    }
    return i;
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
        // An entry goes to the first slot with a field for its usage. Slots may cover the same
        // usages over and over, so the entries already taken are skipped, not visited again:
        // nextFree[e] leads to the first free entry at or after e (entry `count` stands for none).
        std::vector<uint32_t> nextFree(count + 1);
        std::iota(nextFree.begin(), nextFree.end(), 0u);
        for (size_t i = 0; i < slots.size(); ++i) {
            const ValueSlot &v = slots[i];
            countSteps(1);
            if (v.usagePage != page.usagePage || v.fieldCount == 0)
                continue;
            const uint32_t end = lastUsage(v) - page.usageBase + 1;
            for (uint32_t e = firstFree(nextFree, v.usageMin - page.usageBase); e < end;
                 e = firstFree(nextFree, e + 1)) {
                countSteps(1);
                const uint32_t element = e + page.usageBase - v.usageMin;
                table[e] = ValueField{v.bitPosition + element * v.bitSize, v.bitSize, v.linkCollection,
                                      uint16_t(i), v.reportId};
                nextFree[e] = e + 1;
            }
        }
    }
    return index;
}

ValueWalk buildValueWalk(const std::vector<ValueSlot> &slots)
{
    ValueWalk walk;
    for (const ValueSlot &v : slots) {
        countSteps(1);
        walk.usagePages.push_back(v.usagePage);
        walk.usageMins.push_back(v.usageMin);
        // At most 0xFFFF: a slot has at most that many fields.
        walk.fieldUsages.push_back(uint16_t(std::min<uint32_t>(uint32_t(v.usageSpan) + 1, v.fieldCount)));
        walk.reportIds.push_back(v.reportId);
    }
    return walk;
}

} // namespace hidparse
