// cairnagent demo end to end: the real agent, sapsim and the wrapper accounts, run as root. Each run gets
// its own TMPDIR, so "nothing left behind" is checked on exactly the demo's directory and processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "CairnTestSupport.h"

using cairn_test::ReadFile;
using cairn_test::RunHost;
using cairn_test::RunResult;
using cairn_test::TempDir;

namespace {

// Entries of dir made by the demo (RunHost's own .stdin/.stdout/.stderr are not).
std::vector<std::string> DemoDirectories(const TempDir& dir) {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        std::string name = entry.path().filename().string();
        if (name.rfind("kestrel-demo-", 0) == 0) out.push_back(name);
    }
    return out;
}

// Processes whose image lies under dir (the simulated SAP system's programs all do).
std::vector<std::string> ProcessesUnder(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code gone;
        std::string image = std::filesystem::read_symlink(entry.path() / "exe", gone).string();
        if (!gone && image.rfind(dir + "/", 0) == 0) out.push_back(pid + " " + image);
    }
    return out;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The output line that starts with prefix (after leading blanks), or "".
std::string LineAfter(const std::string& text, const std::string& marker, const std::string& prefix) {
    size_t at = text.find(marker);
    if (at == std::string::npos) return "";
    for (auto line : cairn_test::Lines(text.substr(at))) {
        line.erase(0, line.find_first_not_of(' '));
        if (line.rfind(prefix, 0) == 0) return line;
    }
    return "";
}

class DemoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the demo needs root (it runs processes as its own accounts)";
        // The demo's accounts must reach its directory inside ours.
        chmod(dir_.path().c_str(), 0755);
    }

    // Runs the demo with its directory under our temporary one; skips when the wrapper packages are missing.
    RunResult Demo(const std::map<std::string, std::string>& env = {}) {
        std::map<std::string, std::string> all{{"TMPDIR", dir_.path()}};
        all.insert(env.begin(), env.end());
        RunResult run = RunHost(dir_, {"demo"}, "", all);
        if (run.exitCode == 2 && Contains(run.err, "install the Debian package")) {
            skipped_ = run.err;
        }
        return run;
    }

    void ExpectNothingLeft() {
        EXPECT_EQ(ProcessesUnder(dir_.path()), std::vector<std::string>{});
        EXPECT_EQ(DemoDirectories(dir_), std::vector<std::string>{});
    }

    TempDir dir_;
    std::string skipped_;
};

TEST_F(DemoTest, TellsTheWholeStoryAndLeavesNothingBehind) {
    // The agent's 5 s rechecks (a Java server still starting) take 1 s; its budgets stay far above what
    // the simulated tools need.
    RunResult run = Demo({{"KESTREL_TIME_SCALE", "5"}});
    if (!skipped_.empty()) GTEST_SKIP() << skipped_;
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    const std::string& out = run.out;

    // The four resources come online, the replication server pointing at the enqueue server.
    EXPECT_TRUE(Contains(out, "EnqSrvResName sapDMO_ASCS02")) << out;
    for (const char* resource : {"sapDMO_ASCS02", "sapDMO_ERS03", "sapDMO_DVEBMGS00", "sapDMO_J01"}) {
        const std::string online = std::string("Online  ") + resource;
        EXPECT_TRUE(Contains(LineAfter(out, online, "ok"), "Online done; Monitor says ONLINE")) << out;
        EXPECT_TRUE(
            Contains(LineAfter(out, std::string("Offline ") + resource, "ok"), "Monitor says OFFLINE"))
            << out;
    }
    // Progress before the long steps, and the agent's own words while they run.
    EXPECT_TRUE(Contains(out, "then waits for sapinfo.exe to report the instance up ...")) << out;
    EXPECT_TRUE(Contains(out, "INFO     20006  The SAP Service [SAPDMO_00] started successfully.")) << out;
    EXPECT_TRUE(Contains(out, "INFO     20053  The SAP Service [SAPDMO_02] stopped successfully.")) << out;
    // Paths in the agent's messages are shown under $DEMO: the directory is named twice only, when it is
    // made and when it is removed.
    size_t named = 0;
    for (size_t at = out.find("/kestrel-demo-"); at != std::string::npos;
         at = out.find("/kestrel-demo-", at + 1))
        ++named;
    EXPECT_EQ(named, 2u) << out;

    // The failure: the dispatcher dies, Monitor sees it (and why), Clean cleans, Online repairs.
    EXPECT_TRUE(Contains(LineAfter(out, "kill -9 disp+work.exe", "ok"), "is gone")) << out;
    const std::string failed = "(the dispatcher is missing)";
    EXPECT_TRUE(Contains(LineAfter(out, failed, "trace"), "Got procCount[4] and procmonCount[5]")) << out;
    EXPECT_TRUE(Contains(LineAfter(out, failed, "ok"), "OFFLINE")) << out;
    EXPECT_TRUE(Contains(LineAfter(out, "Clean   sapDMO_DVEBMGS00", "ok"), "Clean result 0 (cleaned)"))
        << out;
    EXPECT_TRUE(Contains(LineAfter(out, "(nothing of the instance is left)", "ok"), "OFFLINE")) << out;
    EXPECT_TRUE(Contains(out, "[13] Online  sapDMO_DVEBMGS00")) << out;

    EXPECT_TRUE(Contains(LineAfter(out, "No process of the simulated system", "ok"), "none running")) << out;
    EXPECT_FALSE(Contains(out, "FAILED")) << out;
    EXPECT_TRUE(Contains(out, "Story: 18 steps, all as expected")) << out;
    EXPECT_TRUE(
        Contains(out, "Cleaned up: " + std::filesystem::canonical(dir_.path()).string() + "/kestrel-demo-"))
        << out;
    ExpectNothingLeft();
}

#ifdef KESTREL_TEST_HOOKS
TEST_F(DemoTest, StepsThatGoWrongMakeItFailAndItStillCleansUp) {
    // A million-fold time scale leaves every command of the agent about a millisecond: the start commands
    // time out, nothing comes online, and processes are left half started for the clean-up to find.
    RunResult run = Demo({{"KESTREL_TIME_SCALE", "1000000"}});
    if (!skipped_.empty()) GTEST_SKIP() << skipped_;
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "ERROR    20008  The SAP Instance start command [")) << run.out;
    EXPECT_TRUE(Contains(run.out, "FAILED Online done; Monitor says OFFLINE")) << run.out;
    EXPECT_TRUE(Contains(run.out, "not as expected")) << run.out;
    EXPECT_TRUE(Contains(run.out, "Cleaned up: ")) << run.out;
    ExpectNothingLeft();
}
#endif

TEST_F(DemoTest, CtrlCStopsAfterTheRunningStepAndCleansUp) {
    const std::string out = dir_ / "interrupted.out";
    pid_t pid = fork();
    if (pid == 0) {
        freopen(out.c_str(), "w", stdout);
        freopen((dir_ / "interrupted.err").c_str(), "w", stderr);
        setenv("TMPDIR", dir_.path().c_str(), 1);
        setenv("KESTREL_TIME_SCALE", "5", 1);
        execl(CAIRN_TEST_HOST, CAIRN_TEST_HOST, "demo", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    // Interrupt once the system is partly up: its processes must then be ended by the clean-up.
    bool partlyUp = false;
    for (int i = 0; i < 600 && !partlyUp; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        partlyUp = Contains(ReadFile(out), "[ 3] Online");
    }
    kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    const std::string text = ReadFile(out);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 2) GTEST_SKIP() << ReadFile(dir_ / "interrupted.err");
    ASSERT_TRUE(partlyUp) << text;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGINT) << text;
    EXPECT_TRUE(Contains(text, "Interrupted: the running step finishes")) << text;
    EXPECT_TRUE(Contains(text, "Story interrupted after ")) << text;
    EXPECT_FALSE(Contains(text, "[18] ")) << text;
    EXPECT_TRUE(Contains(text, "Cleaned up: ")) << text;
    ExpectNothingLeft();
}

TEST_F(DemoTest, WithoutSapsimNextToItItSaysSoAndExits2) {
    const std::string host = std::filesystem::canonical(dir_.path()).string() + "/cairnagent";
    std::filesystem::copy_file(CAIRN_TEST_HOST, host);
    const std::string err = dir_ / "copy.err";
    pid_t pid = fork();
    if (pid == 0) {
        freopen(err.c_str(), "w", stderr);
        execl(host.c_str(), host.c_str(), "demo", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
    const std::string message = ReadFile(err);
    EXPECT_EQ(
        message.rfind("cairnagent: demo: " + host.substr(0, host.size() - 10) + "sapsim not found: ", 0), 0u)
        << message;
    EXPECT_EQ(DemoDirectories(dir_), std::vector<std::string>{});
}

}  // namespace
