// Work counting. Builds that define HIDPARSE_COUNT_STEPS (the descriptor tests and the descriptor
// fuzz target) count the parser's and the queries' work in steps: a field read from a report, a
// capability or value slot looked at, an item read, an index entry filled. A cost that grows
// faster than the description it works on shows as a step count, which, unlike a clock, is the
// same on every machine and every run. Other builds count nothing and pay nothing.
#pragma once

#include <cstdint>

namespace hidparse {

#ifdef HIDPARSE_COUNT_STEPS
// Steps of this thread so far.
inline thread_local uint64_t stepCount = 0;
#endif

inline void countSteps([[maybe_unused]] uint64_t steps)
{
#ifdef HIDPARSE_COUNT_STEPS
    stepCount += steps;
#endif
}

} // namespace hidparse
