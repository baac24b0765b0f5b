#include <time.h>

#include <cerrno>
#include <cstdlib>

#include "LibClock.h"

namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr uint64_t kEpochDeltaMs = 11644473600ULL * 1000ULL;

double ReadScale() {
#ifdef KESTREL_TEST_HOOKS
    const char* v = std::getenv("KESTREL_TIME_SCALE");
    if (v && *v) {
        char* end = nullptr;
        double f = std::strtod(v, &end);
        if (end && *end == '\0' && f >= 1.0 && f <= 1e6) return f;
    }
#endif
    return 1.0;
}

uint64_t RealNowMs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000ULL + static_cast<uint64_t>(ts.tv_nsec) / 1000000ULL;
}

uint64_t MonoNowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000ULL + static_cast<uint64_t>(ts.tv_nsec) / 1000000ULL;
}

struct Base {
    double scale = ReadScale();
    uint64_t wallAtStart = RealNowMs();
    uint64_t monoAtStart = MonoNowMs();
};

const Base& GetBase() {
    static const Base base;
    return base;
}

}  // namespace

double TernTimeScale() {
    return GetBase().scale;
}

TernUtcTime TernUtcNow() {
    time_t now = time(nullptr);
    tm t{};
    gmtime_r(&now, &t);
    return TernUtcTime{static_cast<unsigned>(t.tm_year + 1900), static_cast<unsigned>(t.tm_mon + 1),
                       static_cast<unsigned>(t.tm_mday),        static_cast<unsigned>(t.tm_hour),
                       static_cast<unsigned>(t.tm_min),         static_cast<unsigned>(t.tm_sec)};
}

uint64_t TernNowMs() {
    const Base& b = GetBase();
    if (b.scale == 1.0) return RealNowMs() + kEpochDeltaMs;
    uint64_t elapsed = MonoNowMs() - b.monoAtStart;
    return b.wallAtStart + kEpochDeltaMs + static_cast<uint64_t>(static_cast<double>(elapsed) * b.scale);
}

uint64_t TernRealMs(uint64_t nominalMs) {
    const Base& b = GetBase();
    if (b.scale == 1.0 || nominalMs == 0) return nominalMs;
    uint64_t r = static_cast<uint64_t>(static_cast<double>(nominalMs) / b.scale);
    return r == 0 ? 1 : r;
}

void TernSleep(uint32_t ms) {
    uint64_t real = TernRealMs(ms);
    timespec ts{static_cast<time_t>(real / 1000), static_cast<long>((real % 1000) * 1000000L)};
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
}
