// The cost of storing a cookie through the stand-in framework: the Monitor stores its countdown on every
// call, usually unchanged (SecondLevelMonitor 1) or changed (a countdown in progress).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <string>

#include "CairnAgfw.h"
#include "CairnHost.h"

namespace {

// A state directory of its own under /tmp (the disk the cookies would live on may differ), removed after.
class StateDir {
  public:
    StateDir() {
        char pattern[] = "/tmp/cairn-bench-XXXXXX";
        path_ = ::mkdtemp(pattern) != nullptr ? pattern : "";
        cairn::Reset();
        cairn::FrameworkSettings settings;
        settings.stateDir = path_;
        cairn::Configure(settings);
    }
    ~StateDir() {
        cairn::Reset();
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }

  private:
    std::string path_;
};

void Store(const wchar_t* text) {
    auto* value = static_cast<wchar_t*>(std::malloc((std::wcslen(text) + 1) * sizeof(wchar_t)));
    std::wcscpy(value, text);
    CairnAgSetCookie("sapABC_D00_kestrel_slmcounter", value);
}

void BM_StoreUnchangedCookie(benchmark::State& state) {
    StateDir dir;
    Store(L"1");
    for (auto _ : state) Store(L"1");
}
BENCHMARK(BM_StoreUnchangedCookie)->Unit(benchmark::kMicrosecond);

void BM_StoreChangedCookie(benchmark::State& state) {
    StateDir dir;
    bool odd = false;
    for (auto _ : state) Store((odd = !odd) ? L"2" : L"1");
}
BENCHMARK(BM_StoreChangedCookie)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
