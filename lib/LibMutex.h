// TernMutex: an unnamed process-local mutex.
#pragma once

#include <cstdint>
#include <mutex>

#include "KestrelStatus.h"

inline constexpr uint32_t kTernInfinite = 0xFFFFFFFFu;

class TernMutex {
  public:
    TernMutex() = default;
    TernMutex(const TernMutex&) = delete;
    TernMutex& operator=(const TernMutex&) = delete;

    // Waits up to timeoutMs (kTernInfinite: no limit). Failure: code 2 with error 258 on a time-out.
    CKestrelStatus Lock(uint32_t timeoutMs = kTernInfinite);
    void Unlock();

  private:
    std::timed_mutex mutex_;
};
