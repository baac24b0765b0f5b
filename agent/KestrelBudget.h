// CKestrelBudget: the time budget of one operation on the agent's clock.
#pragma once

#include <cstdint>

#include "LibClock.h"

// timeinhand ms counted from the moment the budget is made (or from an explicit start).
class CKestrelBudget {
  public:
    explicit CKestrelBudget(uint32_t timeinhandMs) : start_(TernNowMs()), timeinhand_(timeinhandMs) {}
    CKestrelBudget(uint64_t startMs, uint32_t timeinhandMs) : start_(startMs), timeinhand_(timeinhandMs) {}

    uint64_t StartMs() const { return start_; }
    uint32_t TimeInHandMs() const { return timeinhand_; }
    // What is left now; 0 once the budget is spent (never negative).
    uint32_t RemainingMs() const { return Remaining(start_, timeinhand_, TernNowMs()); }

    // The arithmetic behind RemainingMs, for any clock reading: timeinhand - (now - start), at least 0
    // and below UINT32_MAX (which stands for "no limit" in waits).
    static uint32_t Remaining(uint64_t startMs, uint32_t timeinhandMs, uint64_t nowMs) {
        const int64_t r = static_cast<int64_t>(timeinhandMs) - static_cast<int64_t>(nowMs - startMs);
        if (r <= 0) return 0;
        return r >= static_cast<int64_t>(UINT32_MAX - 1) ? UINT32_MAX - 1 : static_cast<uint32_t>(r);
    }

  private:
    uint64_t start_;
    uint32_t timeinhand_;
};
