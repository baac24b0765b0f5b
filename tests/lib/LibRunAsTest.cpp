// Commands run directly or as an account: exit codes, output, input, working directory, start failures, what
// the command inherits, and the same under strain (a thousand runs, shell syntax, a limit outlived with
// descendants, a reused PID).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LibClock.h"
#include "LibLogon.h"
#include "LibProcess.h"
#include "LibRunAs.h"
#include "LibWide.h"
#include "PlatformTestSupport.h"
#include "TestAccounts.h"

namespace {

using namespace kestrel_test;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// True when this process has no child at all, running or zombie.
bool NoChildLeft() {
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

TernRunOptions Command(const std::string& line, std::optional<std::string> input = std::nullopt,
                       const TernAccount* account = nullptr) {
    TernRunOptions options;
    options.commandLine = TernMbToWide(line);
    options.input = std::move(input);
    options.account = account;
    return options;
}

// TernRunCommand, with the wrappers' own complaints removed from the output.
CKestrelStatus RunQuiet(const TernRunOptions& options, TernRunResult& result) {
    CKestrelStatus st = TernRunCommand(options, result);
    result.output = StripWrapperNoise(result.output);
    return st;
}

CKestrelStatus RunLine(const std::string& command, TernRunResult& result, uint32_t timeoutMs = 20000,
                       const TernAccount* account = nullptr, const std::string& workDir = "") {
    TernRunOptions options = Command(command, std::nullopt, account);
    options.workDir = TernMbToWide(workDir);
    options.timeoutMs = timeoutMs;
    return RunQuiet(options, result);
}

// The test account, when the wrappers serve it and this process may switch to it.
bool AdminAccount(TernAccount& account) {
    return IdentityWrappersActive() && IsRoot() &&
           TernLogonUser(TernMbToWide(kAdmin.name), L"", TernMbToWide(kAdmin.password),
                         TernLogonType::kInteractive, account)
               .IsSuccess();
}

// waitpid for a child that ends within ms: its PID, 0 when it lives on, -1 when it is no child of ours.
pid_t ReapWithin(pid_t pid, int& status, int ms) {
    pid_t reaped = 0;
    for (int n = 0; n < ms / 5 && reaped == 0; ++n) {
        reaped = waitpid(pid, &status, WNOHANG);
        if (reaped == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return reaped;
}

TEST(TernRunCommand, StepsInputAndOutputUpToItsBound) {
    std::vector<TernRunStep> steps;
    TernRunResult empty, cat, none, big, cut, whole;
    TernRunOptions stepped = Command("/bin/true");
    stepped.onStepDone = [&](TernRunStep s) { steps.push_back(s); };
    ASSERT_TRUE(RunQuiet(stepped, empty).IsSuccess());
    EXPECT_EQ(empty.output, "");
    EXPECT_EQ(steps, (std::vector<TernRunStep>{TernRunStep::kEnvironment, TernRunStep::kPipes,
                                               TernRunStep::kStart, TernRunStep::kWait}));
    // Input is passed byte for byte; without input the child reads end of input at once (not the agent's
    // own stdin); input bigger than one default pipe grows the pipe.
    ASSERT_TRUE(RunQuiet(Command("/bin/cat", std::string("20\n0\n0", 6)), cat).IsSuccess());
    EXPECT_EQ(cat.output, "20\n0\n0");
    ASSERT_TRUE(RunQuiet(Command("/bin/cat"), none).IsSuccess());
    EXPECT_EQ(none.output, "");
    ASSERT_TRUE(RunQuiet(Command("/bin/cat", std::string(200000, 'x')), big).IsSuccess());
    EXPECT_EQ(big.output.size(), 200000u);

    // Output beyond the bound does not stall the command and is cut there.
    const auto start = Clock::now();
    ASSERT_TRUE(RunLine("/usr/bin/head -c 5000000 /dev/zero", cut).IsSuccess());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(cut.exitCode, 0u);
    EXPECT_EQ(cut.output.size(), kTernDefaultMaxOutput);
    EXPECT_TRUE(cut.outputCut);
    EXPECT_EQ(cut.droppedBytes, 5000000u - kTernDefaultMaxOutput);
    TernRunOptions bigger = Command("/usr/bin/head -c 300000 /dev/zero");
    bigger.maxOutput = 2u << 20;
    ASSERT_TRUE(RunQuiet(bigger, whole).IsSuccess());
    EXPECT_EQ(whole.output.size(), 300000u);
    EXPECT_FALSE(whole.outputCut);
}

TEST(TernRunCommand, StartFailuresStartNothing) {
    tern_test::CaptureTraces();
    TempDir dir;
    struct Case {
        std::string command, workDir;
        uint32_t error;
    };
    for (const Case& c : {Case{"/nonexistent/prog arg", "", 2}, Case{"no-such-program-on-path", "", 2},
                          Case{"/bin/pwd", dir / "missing", 267}}) {
        TernRunResult result;
        CKestrelStatus st = RunLine(c.command, result, 20000, nullptr, c.workDir);
        EXPECT_EQ(st.GetCode(), 2) << c.command;
        EXPECT_EQ(st.GetError(), c.error) << c.command;
        EXPECT_EQ(result.failedStep, TernRunStep::kStart) << c.command;
    }
    EXPECT_TRUE(tern_test::HasTrace(L"(267) chdir failed.")) << tern_test::TracesText();
    // A bare name is looked up in the PATH the command gets (this process's, without an account).
    TernRunResult result;
    ASSERT_TRUE(WriteFile(dir / "kestrel-probe", "#!/bin/sh\necho probed\n", 0755));
    const std::string path = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", (dir.Path() + ":" + path).c_str(), 1);
    CKestrelStatus st = RunLine("kestrel-probe", result);
    setenv("PATH", path.c_str(), 1);
    ASSERT_TRUE(st.IsSuccess()) << st.GetError();
    EXPECT_EQ(result.output, "probed\n");
    EXPECT_EQ(RunLine("   ", result).GetError(), 87u);
    // More input than any pipe holds.
    EXPECT_EQ(RunQuiet(Command("/bin/cat", std::string(512u << 20, 'x')), result).GetError(), 87u);
    EXPECT_EQ(result.failedStep, TernRunStep::kPipes);
    EXPECT_TRUE(NoChildLeft());
}

TEST(TernRunAsAccount, RunsReallyAsTheAccountWithItsGroupsAndEnvironment) {
    if (!IdentityWrappersActive()) GTEST_SKIP() << "needs the test identity";
    TernAccount account;
    ASSERT_TRUE(
        TernLogonUser(L"kadm", L"", TernMbToWide(kAdmin.password), TernLogonType::kInteractive, account)
            .IsSuccess());
    TernRunResult result;
    if (!IsRoot()) {  // a non-root agent runs commands only as itself
        EXPECT_EQ(RunLine("/bin/true", result, 20000, &account).GetError(), 1314u);
        return;
    }
    // Its home is its working directory on request, and files it makes are its own.
    ASSERT_TRUE(RunLine("/bin/sh -c \"id -u; id -g; id -G; touch mine; stat -c %u mine\"", result, 20000,
                        &account, account.home)
                    .IsSuccess());
    EXPECT_EQ(result.output.substr(0, result.output.find('\n')), "47001");
    EXPECT_NE(result.output.find("\n47000\n"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find(" 0"), std::string::npos) << "root's groups kept: " << result.output;
    EXPECT_TRUE(result.output.ends_with("\n47001\n")) << "the file is not the account's: " << result.output;

    // The environment names the account (its HOME replaces the agent's) and holds no password.
    setenv("KESTREL_TEST_MARK", "kept", 1);
    const char* home = getenv("HOME");
    const std::string savedHome = home ? home : "";
    setenv("HOME", "/agent-home", 1);
    TernRunResult envRun;
    ASSERT_TRUE(RunLine("/usr/bin/env", envRun, 20000, &account).IsSuccess());
    unsetenv("KESTREL_TEST_MARK");
    home ? setenv("HOME", savedHome.c_str(), 1) : unsetenv("HOME");
    const std::string env = "\n" + envRun.output;
    for (const std::string& line :
         {"HOME=" + account.home, std::string("USER=kadm"), std::string("LOGNAME=kadm"),
          std::string("SHELL=/bin/sh"), std::string("KESTREL_TEST_MARK=kept")})
        EXPECT_NE(env.find("\n" + line + "\n"), std::string::npos) << line << " missing in\n" << env;
    for (const char* absent : {"\nHOME=/agent-home\n", "Adm1n", "\nUSER=root\n"})
        EXPECT_EQ(env.find(absent), std::string::npos) << absent << " in\n" << env;
}

// Every way a run can end, a thousand times over (as the test account too, when it can): afterwards this
// process holds exactly the descriptors it held before and has no child left, zombie or not.
TEST(TernRunCommandRobustness, ThousandCommandsLeaveNoZombieAndNoDescriptor) {
    TempDir dir(0777);
    TernAccount account;
    const bool asAccount = AdminAccount(account);
    ASSERT_TRUE(NoChildLeft());
    TernRunResult warmUp;  // the NSS wrapper keeps its group file open from the first group lookup on
    ASSERT_TRUE(!asAccount || RunLine("/bin/true", warmUp, 20000, &account).IsSuccess());
    // A descriptor opened without close-on-exec, as other code in the agent might: no child sees it.
    const int stray = open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 0);
    const std::vector<std::string> before = OpenDescriptors();
    TernRunResult fds;
    ASSERT_TRUE(RunLine("/bin/sh -c \"ls /proc/$$/fd\"", fds).IsSuccess());
    EXPECT_EQ(fds.output, "0\n1\n2\n");

    struct Row {
        std::string command;
        uint32_t timeoutMs, error, exitCode;
        std::string output, workDir;
    };
    const Row rows[] = {
        {"/bin/true", 20000, 0, 0, "", ""},
        {"/usr/bin/printf out", 20000, 0, 0, "out", ""},
        {"/bin/sh -c \"exit 3\"", 20000, 0, 3, "", ""},
        {"sh -c \"exit 255\"", 20000, 0, 255, "", ""},  // found on PATH
        {"/bin/sh -c \"kill -TERM $$\"", 20000, 0, 128 + SIGTERM, "", ""},
        {"/bin/sh -c \"kill -KILL $$\"", 20000, 0, 128 + SIGKILL, "", ""},
        {"/nonexistent/program", 20000, 2, 0, "", ""},      // refused before anything is started
        {"/bin/true", 20000, 267, 0, "", dir / "missing"},  // fails in the child before the program runs
        {"/bin/pwd", 20000, 0, 0, fs::canonical(dir.Path()).string() + "\n", dir.Path()},
        {"/bin/sh -c \"echo child; echo err 1>&2\"", 20000, 0, 0, "child\nerr\n", ""},
    };
    const Row timedOut{"/bin/sleep 30", 20, 258, 0, "", ""};  // the limit runs out: killed and reaped
    for (int i = 0; i < 1000; ++i) {
        const Row& r = i % 90 == 5 ? timedOut : rows[i % 10];
        TernRunResult result;
        CKestrelStatus st =
            RunLine(r.command, result, r.timeoutMs, asAccount && i % 3 == 0 ? &account : nullptr, r.workDir);
        ASSERT_EQ(st.GetError(), r.error) << i << " " << r.command;
        ASSERT_EQ(st.IsSuccess(), r.error == 0) << i;
        ASSERT_EQ(result.exitCode, r.exitCode) << i << " " << r.command;
        ASSERT_EQ(result.output, r.output) << i << " " << r.command;
    }
    EXPECT_EQ(OpenDescriptors(), before);
    close(stray);
    EXPECT_TRUE(NoChildLeft());
}

// Shell syntax in a command line is plain text: every token reaches the program as it stands, nothing is
// substituted, piped, redirected or expanded.
TEST(TernRunCommandRobustness, ShellSyntaxReachesTheProgramAsLiteralArguments) {
    TempDir dir(0777);
    ASSERT_TRUE(WriteFile(dir / "only-file", ""));
    std::string command = "/usr/bin/printf \"[%s]\\n\"", expected;
    for (const std::string a : {"a;b", ";", "c|d", "|", "$(id)", "`id`", "x`uname`y", "&&", "e&f", ">", "out",
                                "2>&1", "<", "*", "~", "$$", "'q'", "#hash", "$(touch${IFS}pwned)"}) {
        command += " " + a;
        expected += "[" + a + "]\n";
    }
    // Quoted groups keep their blanks and reach the program as one argument too; \" is a quote, "" empty.
    command += " \"$(echo x) | cat > out2\" $HOME;x \"q\\\"q\" \"\"";
    expected += "[$(echo x) | cat > out2]\n[$HOME;x]\n[q\"q]\n[]\n";
    TernAccount account;
    const bool asAccount = AdminAccount(account);
    TernRunResult result;
    ASSERT_TRUE(RunLine(command, result, 20000, asAccount ? &account : nullptr, dir.Path()).IsSuccess());
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, expected);
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(dir.Path())) files.push_back(e.path().filename());
    EXPECT_EQ(files, std::vector<std::string>{"only-file"}) << "a redirection or substitution ran";
}

// An errno left at EINTR by an earlier interrupted call makes no loop repeat a call that succeeded, and a
// command that closes its output but runs on is waited for without spinning.
TEST(TernRunCommandRobustness, StaleErrnoAndAClosedOutputNeitherRepeatNorSpin) {
    TernRunResult r;
    errno = EINTR;
    ASSERT_TRUE(RunLine("/bin/echo hi", r).IsSuccess());
    EXPECT_EQ(r.output, "hi\n");
    TernProcess self;
    ASSERT_TRUE(self.Open(static_cast<uint32_t>(getpid()), false, TernProcess::kAccessQuery).IsSuccess());
    bool alive = false;
    errno = EINTR;
    ASSERT_TRUE(self.IsAlive(alive).IsSuccess());
    EXPECT_TRUE(alive);

    auto cpuSeconds = [] {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
    };
    const double cpu0 = cpuSeconds();
    ASSERT_TRUE(RunLine("/bin/sh -c \"exec >/dev/null 2>&1; sleep 0.5\"", r).IsSuccess());
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_LT(cpuSeconds() - cpu0, 0.1) << "the wait spun after the output closed";
}

// A command that outlives its limit is killed with everything it started (its child and grandchild), and
// the call returns within 100 ms of the limit.
TEST(TernRunCommandRobustness, TimedOutCommandDiesWithItsChildrenAtTheLimit) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);  // orphaned descendants come here to be reaped
    TernAccount account;
    std::vector<const TernAccount*> runAs{nullptr};
    if (AdminAccount(account)) runAs.push_back(&account);
    for (const TernAccount* as : runAs) {
        SCOPED_TRACE(as ? "as the test account" : "as the test");
        TernRunResult result;
        result.exitCode = 77;
        const auto limitMs = static_cast<long long>(TernRealMs(300));
        const auto start = Clock::now();
        CKestrelStatus st = RunLine(
            "/bin/sh -c \"echo $$; sleep 30 & echo $!; /bin/sh -c 'sleep 31 & echo $!; wait' & echo $!; "
            "wait\"",
            result, 300, as);
        const auto elapsedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_EQ(st.GetCode(), 7);
        EXPECT_EQ(st.GetError(), 258u);
        EXPECT_EQ(result.exitCode, 77u) << "no exit code after a time-out";
        EXPECT_EQ(result.failedStep, TernRunStep::kWait);
        EXPECT_GE(elapsedMs + 1, limitMs);
        EXPECT_LT(elapsedMs, limitMs + 100);

        std::vector<pid_t> pids;
        std::istringstream lines(result.output);
        for (long pid; lines >> pid;) pids.push_back(static_cast<pid_t>(pid));
        ASSERT_EQ(pids.size(), 4u) << "shell, sleep, inner shell, inner sleep: " << result.output;
        EXPECT_FALSE(fs::exists("/proc/" + std::to_string(pids[0]))) << "the command was left behind";
        for (size_t i = 1; i < pids.size(); ++i) {
            int status = 0;
            pid_t reaped = ReapWithin(pids[i], status, 1000);
            if (reaped == 0) kill(pids[i], SIGKILL), waitpid(pids[i], &status, 0);
            // ECHILD: killed together with its parent shell, which reaped it before dying itself (a living
            // orphan would have come to this subreaper). Its PID may already be reused.
            if (reaped < 0 && errno == ECHILD) continue;
            EXPECT_EQ(reaped, pids[i]) << "descendant " << pids[i] << " survived the limit";
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << pids[i];
        }
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    tern_test::ReapEnded();
}

// What a command inherits from the process that starts it: not its death (a tool dies with the agent that
// ran it, also after an identity switch), not its ignored signals, not its blocked signals.
TEST(TernRunCommandInheritance, ToolIsKilledWithTheProcessThatRanItAlsoAfterAnIdentitySwitch) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);  // the orphaned tool comes here to be reaped
    TernAccount admin;
    const bool asAdmin = AdminAccount(admin);
    const TernAccount* const accounts[] = {nullptr, &admin};  // the agent's own, then kadm when possible
    for (const TernAccount* account : accounts) {
        TempDir dir(0777);
        const std::string pidFile = dir / "pid";
        pid_t runner = fork();
        if (runner == 0) {
            TernRunResult result;
            TernRunCommand(
                Command("/bin/sh -c \"echo $$ > " + pidFile + "; exec sleep 60\"", std::nullopt, account),
                result);
            _exit(0);
        }
        pid_t tool = 0;
        for (int i = 0; i < 1000 && !(std::ifstream(pidFile) >> tool); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        kill(runner, SIGKILL);
        waitpid(runner, nullptr, 0);
        ASSERT_GT(tool, 0);
        int status = 0;
        const pid_t reaped = ReapWithin(tool, status, 10000);
        if (reaped != tool) kill(tool, SIGKILL), waitpid(tool, nullptr, 0);
        ASSERT_EQ(reaped, tool) << "the tool outlived the process that ran it";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        if (!asAdmin) break;
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST(TernRunCommandInheritance, CommandStartsWithDefaultDispositionsAndNothingBlocked) {
    const auto oldUsr1 = signal(SIGUSR1, SIG_IGN), oldTerm = signal(SIGTERM, [](int) {});
    sigset_t blocked, saved;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR2);
    sigaddset(&blocked, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &blocked, &saved);
    TernRunResult result;
    CKestrelStatus st = TernRunCommand(Command("/bin/grep -E \"^Sig(Ign|Blk)\" /proc/self/status"), result);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    signal(SIGUSR1, oldUsr1);
    signal(SIGTERM, oldTerm);
    ASSERT_TRUE(st.IsSuccess()) << st.GetError();
    EXPECT_EQ(result.output, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

// Body run as the first process of a new PID namespace, where nothing else forks: returns "" when a handle
// opened on a process that has ended and been reaped can no longer reach the process that got its PID.
std::string PidReuseBody() {
    auto forkPaused = [] {
        const pid_t pid = fork();
        if (pid == 0)
            for (;;) pause();
        return pid;
    };
    int status = 0;
    const pid_t old = forkPaused();
    TernProcess stale;
    CKestrelStatus st = stale.Open(static_cast<uint32_t>(old), false, TernProcess::kAccessTerminate);
    kill(old, SIGKILL);
    waitpid(old, &status, 0);
    if (st.IsFailure()) return "open of the first process failed: " + std::to_string(st.GetError());
    // The next fork gets the PID that just became free.
    if (!(std::ofstream("/proc/sys/kernel/ns_last_pid") << (old - 1)).flush())
        return "cannot write ns_last_pid";
    const pid_t fresh = forkPaused();
    if (fresh != old)
        return "the PID was not reused: " + std::to_string(old) + " then " + std::to_string(fresh);

    bool alive = true;
    if (!stale.IsAlive(alive).IsSuccess() || alive) return "the stale handle reports its process alive";
    st = stale.Terminate();
    if (st.GetCode() != 2 || st.GetError() != 87)
        return "Terminate through the stale handle gave " + std::to_string(st.GetCode()) + "/" +
               std::to_string(st.GetError());
    std::wstring path;
    if (stale.GetExeName(path).GetError() != 87 || !path.empty())
        return "the stale handle read the new process's image";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a signal sent would have ended it by now
    if (waitpid(fresh, &status, WNOHANG) != 0) return "the process with the reused PID was killed";
    // The check is not vacuous: a handle on the new process does reach it.
    TernProcess current;
    if (!current.Open(static_cast<uint32_t>(fresh), false, TernProcess::kAccessTerminate).IsSuccess() ||
        !current.Terminate().IsSuccess())
        return "open or Terminate of the new process failed";
    waitpid(fresh, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL ? "" : "the new process did not die of SIGKILL";
}

TEST(TernProcessPidReuse, StaleHandleNeverSignalsTheProcessThatGotItsPid) {
    if (!IsRoot()) GTEST_SKIP() << "a new PID namespace and ns_last_pid need root";
    // The helper enters a new PID namespace for its children (this process keeps its own); its child is
    // the namespace's first process and runs the body. When that one ends, the kernel kills whatever is
    // left in the namespace, so nothing outlives the test.
    const pid_t helper = fork();
    ASSERT_GE(helper, 0);
    if (helper == 0) {
        if (unshare(CLONE_NEWPID) != 0) _exit(77);
        const pid_t init = fork();
        if (init == 0) {
            const std::string failure = PidReuseBody();
            if (!failure.empty()) std::fprintf(stderr, "%s\n", failure.c_str());
            _exit(failure.empty() ? 0 : 1);
        }
        int status = 0;
        _exit(init > 0 && waitpid(init, &status, 0) == init && WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(helper, &status, 0), helper);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "unshare(CLONE_NEWPID) refused";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the reason is written above";
}

}  // namespace
