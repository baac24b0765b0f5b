// Commands run as another account (docs/performance.md, "Commands as the SAP administrator"):
// - TernRunCommand of /bin/true as the test account kadm, beside a bare fork + setgid + setgroups + setuid
//   + execve + wait of the same program;
// - an entry-point-like sequence of N commands through CKestrelUtil::CreateAndGetExitCode (log-on, run,
//   output), once inside a TernLogonReuseScope and once without, with the PAM authentications counted.
//
// Needs root (the identity switch is real) and the test accounts: the program runs itself again with the
// NSS and PAM wrappers preloaded, as the tests do.
#include <benchmark/benchmark.h>
#include <grp.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "KestrelUtil.h"
#include "LibLogger.h"
#include "LibLogon.h"
#include "LibRunAs.h"
#include "LibWide.h"
#include "TestAccounts.h"

extern char** environ;

namespace {

using namespace kestrel_test;

constexpr const char* kProgram = "/bin/true";

double NowSeconds() {
    return ClockSeconds(CLOCK_MONOTONIC);
}

std::wstring AdminPassword() {
    return TernMbToWide(kAdmin.password);
}

// The least any runner has to do: fork, switch identity, exec, wait.
bool BareRun(const std::vector<gid_t>& groups) {
    char* argv[] = {const_cast<char*>(kProgram), nullptr};
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(kAdmin.gid) != 0 || ::setgroups(groups.size(), groups.data()) != 0 ||
            ::setuid(kAdmin.uid) != 0)
            ::_exit(126);
        ::execve(kProgram, argv, environ);  // the environment the runner hands on, wrappers included
        ::_exit(127);
    }
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0) {
    }
    return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_RunCommandAsAccount(benchmark::State& state) {
    TernAccount account;
    if (TernLogonUser(L"kadm", L"", AdminPassword(), TernLogonType::kInteractive, account).IsFailure())
        return state.SkipWithError("log-on of kadm failed");
    std::vector<gid_t> groups(account.groups.begin(), account.groups.end());
    TernRunOptions options;
    options.account = &account;
    options.commandLine = TernMbToWide(kProgram);
    std::vector<double> bare, runner, ratio;
    bool bareFirst = true;
    for (auto _ : state) {
        double b = 0, r = 0;
        for (int side = 0; side < 2; ++side) {
            const double t0 = NowSeconds();
            if ((side == 0) == bareFirst) {
                if (!BareRun(groups)) return state.SkipWithError("bare run failed");
                b = NowSeconds() - t0;
            } else {
                TernRunResult result;
                if (TernRunCommand(options, result).IsFailure() || result.exitCode != 0)
                    return state.SkipWithError("TernRunCommand failed");
                r = NowSeconds() - t0;
            }
        }
        bareFirst = !bareFirst;
        state.SetIterationTime(r);
        bare.push_back(b);
        runner.push_back(r);
        ratio.push_back(r / b);
    }
    state.counters["bare_us"] = Median(bare) * 1e6;
    state.counters["runner_us"] = Median(runner) * 1e6;
    state.counters["ratio"] = Median(ratio);
}
BENCHMARK(BM_RunCommandAsAccount)->UseManualTime()->MinTime(2.0)->Unit(benchmark::kMicrosecond);

// N commands as one entry point runs them: each one logs on and runs as the administrator.
bool Sequence(int commands) {
    for (int i = 0; i < commands; ++i) {
        std::wstring output;
        uint32_t exitCode = 1;
        if (CKestrelUtil::CreateAndGetExitCode(TernMbToWide(kProgram), L"", L"kadm", L"", AdminPassword(),
                                               output, exitCode, 60000)
                .IsFailure() ||
            exitCode != 0)
            return false;
    }
    TernLogger().EndThread();  // the entry point empties its trace queue at the end
    TernLogger().BeginThread();
    return true;
}

void BM_EntryPointCommands(benchmark::State& state) {
    const int commands = static_cast<int>(state.range(0));
    std::vector<double> without, with, ratio;
    uint64_t authWithout = 0, authWith = 0;
    bool reuseFirst = false;
    for (auto _ : state) {
        double w = 0, r = 0;
        for (int side = 0; side < 2; ++side) {
            const uint64_t a0 = TernLogonAuthentications();
            const double t0 = NowSeconds();
            if ((side == 0) == reuseFirst) {
                TernLogonReuseScope scope;
                if (!Sequence(commands)) return state.SkipWithError("a command failed");
                r = NowSeconds() - t0;
                authWith += TernLogonAuthentications() - a0;
            } else {
                if (!Sequence(commands)) return state.SkipWithError("a command failed");
                w = NowSeconds() - t0;
                authWithout += TernLogonAuthentications() - a0;
            }
        }
        reuseFirst = !reuseFirst;
        state.SetIterationTime(r);
        without.push_back(w);
        with.push_back(r);
        ratio.push_back(r / w);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["without_us"] = Median(without) * 1e6;
    state.counters["reused_us"] = Median(with) * 1e6;
    state.counters["ratio"] = Median(ratio);
    state.counters["auth_without"] = static_cast<double>(authWithout) / n;
    state.counters["auth_reused"] = static_cast<double>(authWith) / n;
}
BENCHMARK(BM_EntryPointCommands)
    ->Arg(1)
    ->Arg(3)
    ->Arg(6)
    ->UseManualTime()
    ->MinTime(1.0)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    int exitStatus = 0;
    if (RunWithTestIdentity(argc, argv, StandardAccounts(), &exitStatus)) return exitStatus;
    if (!IdentityWrappersActive() || ::geteuid() != 0) {
        std::fprintf(stderr, "kestrel_bench_runas: needs root and the test accounts (nss/pam wrappers)\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    TernLogger().BeginThread();
    benchmark::RunSpecifiedBenchmarks();
    TernLogger().EndThread();
    benchmark::Shutdown();
    return 0;
}
