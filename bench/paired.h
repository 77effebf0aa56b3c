// Ratios measured in interleaved pairs: the two sides of a ratio run back to back, in turns
// first, many times, so that whatever the machine does meanwhile (other builds, frequency steps, a
// cold cache) meets both sides of each pair alike. The ratio is the median of the pairs' ratios.
// Its spread is the range where the median lies with 95 % confidence (by the ranks of the pairs'
// ratios, which needs no assumption about their distribution): a reader (scripts/bench) judges a
// budget only when that whole range is on one side of it. The range narrows with more pairs, while
// the ratios of single pairs, whose quartiles are given too, scatter as much as the load makes them.
#pragma once

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace paired {

struct Spread {
    double median = 0;
    double low = 0, high = 0;            // the median's 95 % confidence range
    double quartile1 = 0, quartile3 = 0; // the middle half of the values
};

// Quantile q of `values` (sorted in place), linear between neighbours.
inline double quantile(std::vector<double> &values, double q)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const double at = q * double(values.size() - 1);
    const size_t below = size_t(at);
    const size_t above = std::min(below + 1, values.size() - 1);
    return values[below] + (values[above] - values[below]) * (at - double(below));
}

inline Spread spread(std::vector<double> values)
{
    Spread s;
    if (values.empty())
        return s;
    s.median = quantile(values, 0.5);
    s.quartile1 = quantile(values, 0.25);
    s.quartile3 = quantile(values, 0.75);
    // The median lies between the values of ranks n/2 -+ 0.98 sqrt(n) with 95 % confidence (the
    // normal approximation of the binomial count of values below it); too few values give their
    // whole range.
    const double n = double(values.size());
    const double below = std::floor((n - 1.96 * std::sqrt(n)) / 2);
    const size_t k = below > 0 ? size_t(below) : 0;
    s.low = values[k];
    s.high = values[values.size() - 1 - k];
    return s;
}

// CPU time of the calling thread, in nanoseconds.
inline double threadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e9 + double(now.tv_nsec);
}

struct Result {
    Spread ratio;      // a / b per pair
    Spread difference; // a - b per pair, nanoseconds per call
    double aNs = 0;    // median CPU time of one call of a
    double bNs = 0;    // the same of b
};

// Runs `pairs` pairs of a batch of `aCalls` calls of a() and a batch of `bCalls` calls of b(), in
// turns first, timing each batch by the thread's CPU clock.
template <class A, class B> Result run(int pairs, int aCalls, A &&a, int bCalls, B &&b)
{
    std::vector<double> ratios, differences, aTimes, bTimes;
    ratios.reserve(size_t(pairs));
    const auto batch = [](int calls, auto &fn) {
        const double start = threadCpuNs();
        for (int i = 0; i < calls; ++i)
            fn();
        return (threadCpuNs() - start) / calls;
    };
    for (int pair = 0; pair < pairs; ++pair) {
        double ta = 0, tb = 0;
        if (pair % 2 == 0) {
            ta = batch(aCalls, a);
            tb = batch(bCalls, b);
        } else {
            tb = batch(bCalls, b);
            ta = batch(aCalls, a);
        }
        aTimes.push_back(ta);
        bTimes.push_back(tb);
        ratios.push_back(ta / tb);
        differences.push_back(ta - tb);
    }
    return {spread(ratios), spread(differences), spread(aTimes).median, spread(bTimes).median};
}

} // namespace paired
