// The one clock and sleep facility of the agent.
//
// Production: the real clock. Builds with KESTREL_TEST_HOOKS read KESTREL_TIME_SCALE once (a factor > 1,
// e.g. 1000): sleeps and limits then last 1/factor of their nominal time in real time, and the clock runs
// factor times faster, so the agent's time-budget arithmetic sees the nominal durations.
#pragma once

#include <cstdint>

// Milliseconds since 1601-01-01 UTC (the system time in 100 ns units divided by 10000).
uint64_t TernNowMs();
// Sleeps for ms nominal milliseconds.
void TernSleep(uint32_t ms);
// Converts a nominal duration into the real one it lasts (at least 1 ms for a non-zero duration).
uint64_t TernRealMs(uint64_t nominalMs);
// The active time factor (1 in production).
double TernTimeScale();

// The real current time in UTC, broken down (never scaled: it is written into records people read).
struct TernUtcTime {
    unsigned year, month, day, hour, minute, second;  // month 1..12
};
TernUtcTime TernUtcNow();
