// What the benchmarks share: clocks in seconds and the median of a sample.
#pragma once

#include <time.h>

#include <algorithm>
#include <vector>

// The clock's reading in seconds (CLOCK_MONOTONIC for wall time, CLOCK_THREAD_CPUTIME_ID for this thread's
// CPU time).
inline double ClockSeconds(clockid_t clock) {
    timespec t{};
    ::clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The median; 0 for an empty sample. A burst of load on a shared machine spoils single iterations, not this.
inline double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}
