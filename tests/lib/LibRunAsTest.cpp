#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "LibLogon.h"
#include "LibRunAs.h"
#include "LibWide.h"
#include "TestAccounts.h"

namespace {

using namespace kestrel_test;
namespace fs = std::filesystem;

// A temporary directory that goes with the test.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "kestrel-runas-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
        chmod(path_.c_str(), 0777);  // the test account writes here too
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

std::wstring W(const std::string& s) {
    return TernMbToWide(s);
}

// TernRunCommand, with the wrappers' own complaints removed from the output.
CKestrelStatus RunQuiet(const TernRunOptions& options, TernRunResult& result) {
    CKestrelStatus st = TernRunCommand(options, result);
    result.output = StripWrapperNoise(result.output);
    return st;
}

CKestrelStatus RunLine(const std::string& command, TernRunResult& result, uint32_t timeoutMs = 20000,
                       const TernAccount* account = nullptr) {
    TernRunOptions options;
    options.commandLine = W(command);
    options.timeoutMs = timeoutMs;
    options.account = account;
    return RunQuiet(options, result);
}

size_t OpenDescriptors() {
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

bool ProcessGone(pid_t pid) {
    return !fs::exists("/proc/" + std::to_string(pid));
}

TEST(TernRunCommand, ExitCodesOfNormalAndSignalDeath) {
    struct Case {
        const char* command;
        uint32_t exitCode;
    };
    const Case cases[] = {
        {"/bin/sh -c \"exit 0\"", 0},
        {"/bin/sh -c \"exit 3\"", 3},
        {"sh -c \"exit 255\"", 255},  // found on PATH
        {"/bin/sh -c \"kill -TERM $$\"", 128 + SIGTERM},
        {"/bin/sh -c \"kill -KILL $$\"", 128 + SIGKILL},
    };
    for (const Case& c : cases) {
        TernRunResult result;
        CKestrelStatus st = RunLine(c.command, result);
        ASSERT_TRUE(st.IsSuccess()) << c.command << " " << st.GetError();
        EXPECT_EQ(result.exitCode, c.exitCode) << c.command;
    }
}

TEST(TernRunCommand, OutputJoinsStdoutAndStderrAndMayBeEmpty) {
    TernRunResult result;
    ASSERT_TRUE(RunLine("/bin/sh -c \"echo out; echo err 1>&2; echo out2\"", result).IsSuccess());
    EXPECT_EQ(result.output, "out\nerr\nout2\n");
    EXPECT_FALSE(result.outputCut);

    TernRunResult empty;
    ASSERT_TRUE(RunLine("/bin/true", empty).IsSuccess());
    EXPECT_EQ(empty.output, "");
    EXPECT_EQ(empty.exitCode, 0u);
}

TEST(TernRunCommand, ArgumentsArriveAsSplitWithoutAShell) {
    TempDir dir;
    TernRunResult result;
    // printf gets its arguments verbatim: quotes grouped, $ and ; untouched.
    ASSERT_TRUE(RunLine("/usr/bin/printf \"[%s]\" \"a b\" $HOME;x \"q\\\"q\" \"\"", result).IsSuccess());
    EXPECT_EQ(result.output, "[a b][$HOME;x][q\"q][]");
}

TEST(TernRunCommand, WorkingDirectoryGivenOrInherited) {
    TempDir dir;
    TernRunOptions options;
    options.commandLine = L"/bin/pwd";
    options.timeoutMs = 20000;
    options.workDir = W(dir.Path());
    TernRunResult result;
    ASSERT_TRUE(RunQuiet(options, result).IsSuccess());
    EXPECT_EQ(result.output, fs::canonical(dir.Path()).string() + "\n");

    options.workDir.clear();
    TernRunResult inherited;
    ASSERT_TRUE(RunQuiet(options, inherited).IsSuccess());
    EXPECT_EQ(inherited.output, fs::current_path().string() + "\n");

    options.workDir = W(dir.Path() + "/missing");
    TernRunResult missing;
    CKestrelStatus st = RunQuiet(options, missing);
    EXPECT_EQ(st.GetCode(), 2);
    EXPECT_EQ(st.GetError(), 267u);
    EXPECT_EQ(missing.failedStep, TernRunStep::kStart);
}

TEST(TernRunCommand, StandardInputBytesOrNothing) {
    TernRunOptions options;
    options.commandLine = L"/bin/cat";
    options.timeoutMs = 20000;
    options.input = std::string("20\n0\n0", 6);
    TernRunResult result;
    ASSERT_TRUE(RunQuiet(options, result).IsSuccess());
    EXPECT_EQ(result.output, "20\n0\n0");

    // Without input the child reads end of input at once (no hang on the agent's own stdin).
    options.input.reset();
    TernRunResult none;
    ASSERT_TRUE(RunQuiet(options, none).IsSuccess());
    EXPECT_EQ(none.output, "");

    // Bigger than one default pipe: the pipe is grown.
    options.input = std::string(200000, 'x');
    TernRunResult big;
    ASSERT_TRUE(RunQuiet(options, big).IsSuccess());
    EXPECT_EQ(big.output.size(), 200000u);
}

TEST(TernRunCommand, OutputBeyondThePipeDoesNotStallAndIsCutAtTheBound) {
    TernRunResult result;
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(RunLine("/usr/bin/head -c 5000000 /dev/zero", result, 20000).IsSuccess());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output.size(), kTernDefaultMaxOutput);
    EXPECT_TRUE(result.outputCut);
    EXPECT_EQ(result.droppedBytes, 5000000u - kTernDefaultMaxOutput);

    TernRunOptions options;
    options.commandLine = L"/usr/bin/head -c 300000 /dev/zero";
    options.timeoutMs = 20000;
    options.maxOutput = 2u << 20;
    TernRunResult whole;
    ASSERT_TRUE(RunQuiet(options, whole).IsSuccess());
    EXPECT_EQ(whole.output.size(), 300000u);
    EXPECT_FALSE(whole.outputCut);
}

TEST(TernRunCommand, TimeOutKillsTheWholeGroupAndReapsTheChild) {
    // Orphaned descendants come to this process, so the test can see how they ended and reap them.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    TempDir dir;
    std::string pids = dir.Path() + "/pids";
    TernRunResult result;
    result.exitCode = 77;
    auto start = std::chrono::steady_clock::now();
    CKestrelStatus st =
        RunLine("/bin/sh -c \"sleep 30 & echo $$ $! > " + pids + "; echo started; wait\"", result, 300);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(st.GetCode(), 7);
    EXPECT_EQ(st.GetError(), 258u);
    EXPECT_EQ(result.failedStep, TernRunStep::kWait);
    EXPECT_EQ(result.exitCode, 77u);
    EXPECT_LT(elapsed, std::chrono::seconds(5));

    pid_t shell = 0, sleeper = 0;
    std::ifstream(pids) >> shell >> sleeper;
    ASSERT_GT(shell, 0);
    ASSERT_GT(sleeper, 0);
    EXPECT_TRUE(ProcessGone(shell)) << "the child was left as a zombie or running";
    int status = 0;
    pid_t reaped = 0;
    for (int i = 0; i < 500 && reaped == 0; ++i) {
        reaped = waitpid(sleeper, &status, WNOHANG);
        if (reaped == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(reaped, sleeper) << "the grandchild was not killed";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST(TernRunCommand, StartFailuresStartNothing) {
    TernRunResult result;
    CKestrelStatus st = RunLine("/nonexistent/prog arg", result);
    EXPECT_EQ(st.GetCode(), 2);
    EXPECT_EQ(st.GetError(), 2u);
    EXPECT_EQ(result.failedStep, TernRunStep::kStart);

    st = RunLine("no-such-program-on-path", result);
    EXPECT_EQ(st.GetError(), 2u);

    st = RunLine("   ", result);
    EXPECT_EQ(st.GetError(), 87u);

    TernRunOptions options;
    options.commandLine = L"/bin/cat";
    options.input = std::string(512u << 20, 'x');  // more than any pipe holds
    st = RunQuiet(options, result);
    EXPECT_EQ(st.GetError(), 87u);
    EXPECT_EQ(result.failedStep, TernRunStep::kPipes);
    int status;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "a child was left to reap";
}

TEST(TernRunCommand, NoDescriptorReachesTheChildOrLeaks) {
    // A descriptor opened without close-on-exec, as other code in the agent might.
    int stray = open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 0);
    size_t before = OpenDescriptors();
    TernRunResult result;
    ASSERT_TRUE(RunLine("/bin/sh -c \"ls /proc/$$/fd\"", result).IsSuccess());
    EXPECT_EQ(result.output, "0\n1\n2\n");
    TernRunResult failed;
    RunLine("/nonexistent", failed);
    TernRunResult timedOut;
    RunLine("/bin/sleep 30", timedOut, 50);
    EXPECT_EQ(OpenDescriptors(), before);
    close(stray);
}

TEST(TernRunCommand, StepsAreReportedInOrder) {
    std::vector<TernRunStep> steps;
    TernRunOptions options;
    options.commandLine = L"/bin/true";
    options.onStepDone = [&](TernRunStep s) { steps.push_back(s); };
    TernRunResult result;
    ASSERT_TRUE(RunQuiet(options, result).IsSuccess());
    EXPECT_EQ(steps, (std::vector<TernRunStep>{TernRunStep::kEnvironment, TernRunStep::kPipes,
                                               TernRunStep::kStart, TernRunStep::kWait}));
}

class TernRunAsAccountTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!IdentityWrappersActive()) GTEST_SKIP() << "test identity (nss/pam wrappers) not active";
        ASSERT_TRUE(TernLogonUser(L"kadm", L"", W(kAdmin.password), TernLogonType::kInteractive, account_)
                        .IsSuccess());
    }
    TernAccount account_;
};

TEST_F(TernRunAsAccountTest, RunsReallyAsTheAccountWithItsGroups) {
    if (!IsRoot()) GTEST_SKIP() << "switching to another account needs root";
    TernRunResult result;
    ASSERT_TRUE(RunLine("/bin/sh -c \"id -u; id -g; id -G\"", result, 20000, &account_).IsSuccess());
    EXPECT_EQ(result.output.substr(0, result.output.find('\n')), "47001");
    EXPECT_NE(result.output.find("\n47000\n"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find(" 0"), std::string::npos) << "root's groups kept: " << result.output;

    // Its home is its working directory on request, and files it makes are its own.
    TernRunOptions options;
    options.account = &account_;
    options.commandLine = L"/bin/sh -c \"touch mine; stat -c %u mine\"";
    options.workDir = W(account_.home);
    TernRunResult made;
    ASSERT_TRUE(RunQuiet(options, made).IsSuccess());
    EXPECT_EQ(made.output, "47001\n");
}

TEST_F(TernRunAsAccountTest, EnvironmentNamesTheAccountAndHoldsNoPassword) {
    if (!IsRoot()) GTEST_SKIP() << "switching to another account needs root";
    setenv("KESTREL_TEST_MARK", "kept", 1);
    TernRunResult result;
    ASSERT_TRUE(RunLine("/usr/bin/env", result, 20000, &account_).IsSuccess());
    unsetenv("KESTREL_TEST_MARK");
    const std::string& env = result.output;
    for (const std::string& line :
         {"HOME=" + account_.home, std::string("USER=kadm"), std::string("LOGNAME=kadm"),
          std::string("SHELL=/bin/sh"), std::string("KESTREL_TEST_MARK=kept")}) {
        EXPECT_NE(env.find("\n" + line + "\n"), std::string::npos) << line << " missing in\n" << env;
    }
    EXPECT_EQ(env.find("Adm1n"), std::string::npos);
    EXPECT_EQ(env.find("\nUSER=root\n"), std::string::npos);
}

TEST_F(TernRunAsAccountTest, ANonRootAgentRunsOnlyAsItself) {
    if (IsRoot()) GTEST_SKIP() << "checks the refusal a non-root agent gives";
    TernRunResult result;
    CKestrelStatus st = RunLine("/bin/true", result, 20000, &account_);
    EXPECT_EQ(st.GetError(), 1314u);
}

}  // namespace
