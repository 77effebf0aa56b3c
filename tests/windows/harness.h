// A minimal test harness for programs that run without Qt (the Windows build under wine): named
// cases, checks that report file and line, and a summary line "N passed, N failed".
#pragma once

#include <cstdio>

namespace harness {

struct State {
    int passed = 0;
    int failed = 0;
    int failuresInCase = 0;
};

inline State &state()
{
    static State s;
    return s;
}

inline bool check(bool ok, const char *expression, const char *file, int line)
{
    if (!ok) {
        ++state().failuresInCase;
        std::printf("  FAIL %s:%d: %s\n", file, line, expression);
    }
    return ok;
}

template <typename Case> void run(const char *name, Case testCase)
{
    state().failuresInCase = 0;
    testCase();
    if (state().failuresInCase == 0) {
        ++state().passed;
        std::printf("PASS %s\n", name);
    } else {
        ++state().failed;
        std::printf("FAIL %s\n", name);
    }
    std::fflush(stdout);
}

// Prints the summary and returns the process exit status.
inline int finish()
{
    std::printf("%d passed, %d failed\n", state().passed, state().failed);
    return state().failed == 0 ? 0 : 1;
}

} // namespace harness

#define CHECK(expression) harness::check(static_cast<bool>(expression), #expression, __FILE__, __LINE__)
