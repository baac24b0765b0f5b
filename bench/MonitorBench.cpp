// The first-level monitor of one online ABAP central instance, its process-table scan alone and the whole
// level (scan + SAP service query), against
// the machine's own process table (idle) and tables of about 100, 1000 and 5000 processes, timed beside a
// baseline that does only the unavoidable work: list /proc's numeric entries and read each process's image
// path once.
//
// Setup: a fake instance under a temporary directory (its images are copies of kestrel_bench_idle, run by
// this account), its start service in the embedded service manager, and idle children to fill the table.
// The resource debug log is off (no log implementation writes), as in the agent with ResLogLevel INFO:
// trace lines are only queued, and the queue is emptied after every call as the entry point does.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "AgentArgs.h"
#include "BenchSupport.h"
#include "FakeCairn.h"
#include "Kestrel.h"
#include "KestrelAttrib.h"
#include "LibLogger.h"
#include "LibProcess.h"
#include "LibSCM.h"
#include "LibService.h"
#include "LibServiceRegistry.h"
#include "LibWide.h"

namespace {

namespace fs = std::filesystem;

// Not the tests' SID (ABC): simulated instances of tests running beside the benchmark would be matched by
// the walk and have their owners read, which a machine with one instance does not do. Nor a SID found in
// the filler processes' image path (this program's).
constexpr const char* kSid = "QAS";
constexpr const char* kInstance = "DVEBMGS00";
constexpr const char* kResource = "sapQAS_DVEBMGS00";
constexpr const wchar_t* kServiceName = L"SAPQAS_00";
constexpr const char* kImages[] = {"disp+work.exe", "msg_server.exe", "igswd.exe", "gwrd.exe", "icman.exe"};
constexpr uint32_t kBudgetMs = 60000;

bool IsPidName(const char* n) {
    if (*n == '\0') return false;
    for (; *n; ++n)
        if (*n < '0' || *n > '9') return false;
    return true;
}

size_t CountProcesses() {
    size_t n = 0;
    if (DIR* d = ::opendir("/proc")) {
        while (dirent* e = ::readdir(d)) n += IsPidName(e->d_name);
        ::closedir(d);
    }
    return n;
}

// The unavoidable work of any walk: the numeric entries of /proc and one readlink of each image. Returns
// the number of entries.
size_t BaselineWalk() {
    DIR* d = ::opendir("/proc");
    if (d == nullptr) return 0;
    size_t entries = 0;
    char link[sizeof(dirent::d_name) + 16];
    char path[PATH_MAX];
    while (dirent* e = ::readdir(d)) {
        if (!IsPidName(e->d_name)) continue;
        ++entries;
        std::snprintf(link, sizeof link, "/proc/%s/exe", e->d_name);
        // Kernel threads have no image: their readlink fails, as it does in the monitor's walk.
        benchmark::DoNotOptimize(::readlink(link, path, sizeof path));
        benchmark::DoNotOptimize(path);
    }
    ::closedir(d);
    return entries;
}

std::string ReadExe(pid_t pid) {
    char path[PATH_MAX];
    const ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), path, sizeof path);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

void Reap(pid_t pid) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Records the trace lines of one checked call; disabled (writes nothing) while timing.
class LineCollector : public TernLogImpl {
  public:
    void Write(const char*, uint32_t, const char*, const wchar_t* text) override {
        if (enabled_) lines.emplace_back(text);
    }
    std::vector<std::wstring> lines;
};
LineCollector g_collector;

// Everything the benchmark starts; torn down by Close (also on a failed setup).
class Environment {
  public:
    bool Open(std::string& error) {
        char tmpl[] = "/tmp/kestrel-bench-XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) return Fail(error, "mkdtemp: " + std::string(std::strerror(errno)));
        root_ = tmpl;
        const fs::path sap = root_ / "usr" / "sap" / kSid;
        const fs::path exe = sap / kInstance / "exe";
        const fs::path kernel = sap / "SYS" / "exe" / "run";
        std::error_code ec;
        fs::create_directories(exe, ec);
        fs::create_directories(kernel, ec);
        fs::create_directories(sap / "SYS" / "profile", ec);
        if (ec) return Fail(error, "create directories: " + ec.message());

        const fs::path idle = fs::read_symlink("/proc/self/exe", ec).parent_path() / "kestrel_bench_idle";
        for (const char* image : kImages) fs::copy_file(idle, exe / image, ec);
        if (!ec) fs::copy_file(idle, kernel / "sapstartsrv", ec);
        if (ec) return Fail(error, "copy " + idle.string() + ": " + ec.message());

        const std::string host = TernWideToMb(TernHostShortNameUpper());
        const fs::path profile = sap / "SYS" / "profile" / (std::string(kSid) + "_" + kInstance + "_" + host);
        if (FILE* f = std::fopen(profile.c_str(), "w")) std::fclose(f);

        // The start service, registered and started in a service manager of our own.
        const fs::path services = root_ / "services";
        ::setenv("CAIRN_SERVICE_ROOT", services.c_str(), 1);
        TernServiceConfig config;
        config.keyName = TernWideToMb(kServiceName);
        config.exec = {(kernel / "sapstartsrv").string(), std::to_string(::getpid())};
        CKestrelStatus st = TernServiceRegistry::Create(config);
        if (st.IsFailure()) return Fail(error, "service create failed: " + std::to_string(st.GetError()));
        registered_ = true;
        st = service_.Open(kServiceName, TernService::kAllAccess, nullptr, TernSCM::kAllAccess);
        if (st.IsSuccess()) st = service_.Start();
        if (st.IsFailure()) return Fail(error, "service start failed: " + std::to_string(st.GetError()));

        // The instance's processes, each watching this process so that none outlives it.
        const std::string self = std::to_string(::getpid());
        for (const char* image : kImages) {
            const std::string path = (exe / image).string();
            const pid_t pid = ::fork();
            if (pid < 0) return Fail(error, "fork: " + std::string(std::strerror(errno)));
            if (pid == 0) {
                char* const argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>(self.c_str()),
                                      nullptr};
                ::execv(path.c_str(), argv);
                ::_exit(127);
            }
            instance_.push_back(pid);
            // Counted only once it runs its own image.
            for (int i = 0; i < 500 && ReadExe(pid) != path; ++i) ::usleep(10000);
            if (ReadExe(pid) != path) return Fail(error, "instance process " + path + " did not start");
        }

        // The attribute record as the framework hands it over for Monitor.
        fake_cairn::Reset();
        fake_cairn::Get().typeAttributes = {{"MonitorTimeout", 60}};
        const passwd* pw = ::getpwuid(::geteuid());
        if (pw == nullptr) return Fail(error, "the running account has no name");
        AgentArgs a;
        a.SAPSID = kSid;
        a.SAPHome = a.SAPMonHome = kernel.string();
        a.SAPHost = TernWideToMb(TernToUpper(TernMbToWide(host)));
        a.ProcMon.assign(std::begin(kImages), std::end(kImages));
        a.SAPServiceUser = a.SAPAdmin = pw->pw_name;
        a.SAPAdminDomain = host;
        a.InstType = "central";
        a.InstName = kInstance;
        a.InstProfile = profile.string();
        a.SecondLevelMonitor = "0";
        CKestrelStatus parsed;
        attrib_.Parse(parsed, KEP_MONITOR, kResource, a.Vector(), true);
        if (parsed.IsFailure())
            return Fail(error, "attribute record rejected: " + std::to_string(parsed.GetCode()));
        return true;
    }

    // Fills the process table up to about target processes with idle children of this process.
    bool Grow(size_t target, std::string& error) {
        const size_t now = CountProcesses();
        const pid_t parent = ::getpid();
        for (size_t n = now; n < target; ++n) {
            const pid_t pid = ::fork();
            if (pid < 0) return Fail(error, "fork: " + std::string(std::strerror(errno)));
            if (pid == 0) {
                // Only async-signal-safe calls: end with the parent, then wait.
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (::getppid() != parent) ::_exit(0);
                for (;;) ::pause();
            }
            children_.push_back(pid);
        }
        return true;
    }

    void Close() {
        for (std::vector<pid_t>* group : {&children_, &instance_}) {
            for (pid_t pid : *group) ::kill(pid, SIGKILL);
            for (pid_t pid : *group) Reap(pid);
            group->clear();
        }
        if (service_.IsValid()) {
            service_.Stop();
            service_.WaitForStop(10000);
            service_.Close();
        }
        if (registered_) TernServiceRegistry::Delete(TernWideToMb(kServiceName));
        registered_ = false;
        if (!root_.empty()) {
            std::error_code ec;
            fs::remove_all(root_, ec);
            root_.clear();
        }
    }

    CKestrelAttrib& Attrib() { return attrib_; }
    const std::vector<pid_t>& Instance() const { return instance_; }
    const std::vector<pid_t>& Children() const { return children_; }
    uint32_t ServicePid() {
        TernServiceStatus s;
        return service_.QueryStatus(s).IsSuccess() ? s.pid : 0;
    }

  private:
    bool Fail(std::string& error, const std::string& what) {
        error = what;
        return false;
    }

    fs::path root_;
    bool registered_ = false;
    TernService service_;
    std::vector<pid_t> instance_;
    std::vector<pid_t> children_;
    CKestrelAttrib attrib_;
};

Environment g_env;

// The process-table scan alone (the walk of the first level, without the service query).
uint64_t Scan() {
    CKestrel kestrel;
    kestrel.SetCurrentEP(KCUR_MONITOR);
    uint64_t procCount = 0, procmonCount = 0;
    int32_t arch = 0;
    kestrel.GetProcessState(g_env.Attrib(), procCount, procmonCount, arch);
    TernLogger().EndThread();
    return procCount;
}

uint32_t FirstLevel() {
    CKestrel kestrel;
    kestrel.SetCurrentEP(KCUR_MONITOR);
    uint32_t state = KSTATE_UNKNOWN;
    kestrel._FirstLevelMonitor(g_env.Attrib(), state, kBudgetMs);
    TernLogger().EndThread();
    return state;
}

// One call with its trace lines recorded: the instance is online, every process got its image line, and
// owners were read only for processes whose image lies in the instance's directories.
bool CheckOnce(std::string& error) {
    g_collector.lines.clear();
    g_collector.SetEnabled(true);
    const uint32_t state = FirstLevel();
    g_collector.SetEnabled(false);
    if (state != KSTATE_ONLINE)
        return (error = "the instance is not online: " + std::to_string(state), false);

    std::map<uint32_t, std::wstring> images;
    std::set<uint32_t> ownerReads;
    for (const std::wstring& line : g_collector.lines) {
        unsigned pid = 0;
        if (std::swscanf(line.c_str(), L"GetProcessUserName called with pid [%u].", &pid) == 1) {
            ownerReads.insert(pid);
            continue;
        }
        const size_t at = line.rfind(L"] from GetExeName for the process with PID [");
        if (line.starts_with(L"Got [") && at != std::wstring::npos)
            images[static_cast<uint32_t>(std::wcstoul(line.c_str() + at + 44, nullptr, 10))] =
                line.substr(5, at - 5);
    }
    for (pid_t pid : g_env.Children())
        if (!images.contains(static_cast<uint32_t>(pid)))
            return (error = "no image line for child " + std::to_string(pid), false);
    const std::wstring marker = L"/USR/SAP/" + TernMbToWide(kSid) + L"/";
    for (uint32_t pid : ownerReads) {
        auto it = images.find(pid);
        if (it == images.end() || TernToUpper(it->second).find(marker) == std::wstring::npos)
            return (error = "owner read for a process outside the instance: " + std::to_string(pid), false);
    }
    std::vector<uint32_t> own(g_env.Instance().begin(), g_env.Instance().end());
    own.push_back(g_env.ServicePid());
    for (uint32_t pid : own)
        if (!ownerReads.contains(pid))
            return (error = "no owner read for instance process " + std::to_string(pid), false);
    return true;
}

// CPU time of this thread (user and system), in seconds. Both sides only compute and call into the kernel
// (/proc lives in memory), so on an idle machine this is their wall time; on a shared one it leaves out
// the time other processes held the CPU.
double ThreadSeconds() {
    return ClockSeconds(CLOCK_THREAD_CPUTIME_ID);
}

struct Result {
    int64_t size;
    double procs, baselineUs, scanUs, firstUs, scanRatio, ratio;
};
std::vector<Result> g_results;

void BM_FirstLevelMonitor(benchmark::State& state) {
    const auto target = static_cast<size_t>(state.range(0));
    std::string error;
    static int64_t checked = -1;
    if (!g_env.Grow(target, error)) return state.SkipWithError(error.c_str());
    if (checked != state.range(0)) {
        if (!CheckOnce(error)) return state.SkipWithError(error.c_str());
        checked = state.range(0);
    }
    std::vector<double> baseline, scan, first, scanRatio, ratio;
    double procs = 0;
    int turn = 0;
    for (auto _ : state) {
        // Rotating order, so that no side always finds /proc's entries warm.
        double t[3] = {0, 0, 0};
        for (int k = 0; k < 3; ++k) {
            const int side = (turn + k) % 3;
            const double t0 = ThreadSeconds();
            if (side == 0) {
                procs += static_cast<double>(BaselineWalk());
            } else if (side == 1) {
                benchmark::DoNotOptimize(Scan());
            } else if (FirstLevel() != KSTATE_ONLINE) {
                return state.SkipWithError("the instance went offline");
            }
            t[side] = ThreadSeconds() - t0;
        }
        turn = (turn + 1) % 3;
        state.SetIterationTime(t[2]);
        baseline.push_back(t[0]);
        scan.push_back(t[1]);
        first.push_back(t[2]);
        scanRatio.push_back(t[1] / t[0]);
        ratio.push_back(t[2] / t[0]);
    }
    // Medians: a burst of load on a shared machine spoils single iterations, not the result.
    const Result r{state.range(0),         procs / static_cast<double>(state.iterations()),
                   Median(baseline) * 1e6, Median(scan) * 1e6,
                   Median(first) * 1e6,    Median(scanRatio),
                   Median(ratio)};
    state.counters["procs"] = r.procs;
    state.counters["baseline_us"] = r.baselineUs;
    state.counters["scan_us"] = r.scanUs;
    state.counters["first_level_us"] = r.firstUs;
    state.counters["scan_ratio"] = r.scanRatio;
    state.counters["ratio"] = r.ratio;
    g_results.push_back(r);
}
// 0: idle, only the machine's own processes and the instance (runs first, before any filler starts).
BENCHMARK(BM_FirstLevelMonitor)
    ->Arg(0)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(5000)
    ->UseManualTime()
    ->MinTime(2.0)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    rlimit procs{};
    if (::getrlimit(RLIMIT_NPROC, &procs) == 0 && procs.rlim_cur != RLIM_INFINITY && procs.rlim_cur < 5500) {
        std::fprintf(stderr,
                     "kestrel_bench_monitor: needs room for about 5500 processes (ulimit -u is %llu)\n",
                     static_cast<unsigned long long>(procs.rlim_cur));
        return 1;
    }
    TernLogger().BeginThread();
    TernLogger().SetLogImpl(&g_collector);

    std::string error;
    if (!g_env.Open(error)) {
        std::fprintf(stderr, "kestrel_bench_monitor: setup failed: %s\n", error.c_str());
        g_env.Close();
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    g_env.Close();
    benchmark::Shutdown();

    // The last run of each size is the one reported above.
    std::map<int64_t, Result> last;
    for (const Result& r : g_results) last[r.size] = r;
    std::printf(
        "\nMedians of thread CPU time per call. scan: the process-table walk; first level: the walk and the\n"
        "service query. Ratios: medians of each side / baseline per iteration.\n");
    std::printf("%8s %8s %12s %9s %11s %15s %11s\n", "target", "procs", "baseline_us", "scan_us",
                "scan_ratio", "first_level_us", "first_ratio");
    for (const auto& [size, r] : last)
        std::printf("%8lld %8.0f %12.1f %9.1f %11.2f %15.1f %11.2f\n", static_cast<long long>(size), r.procs,
                    r.baselineUs, r.scanUs, r.scanRatio, r.firstUs, r.ratio);
    return 0;
}
