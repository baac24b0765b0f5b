// cairnagent demo end to end: the real agent, sapsim and the wrapper accounts, run as root. Each run gets
// its own TMPDIR, so "nothing left behind" is checked on exactly the demo's directory and processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "TestSupport.h"

using kestrel_test::Contains;
using kestrel_test::ProcResult;
using kestrel_test::ReadFile;
using kestrel_test::TempDir;

namespace {

// The output line after marker that starts with prefix (after leading blanks), or "".
std::string LineAfter(const std::string& text, const std::string& marker, const std::string& prefix) {
    const size_t at = text.find(marker);
    for (auto line : kestrel_test::Lines(at == std::string::npos ? "" : text.substr(at))) {
        line.erase(0, line.find_first_not_of(' '));
        if (line.starts_with(prefix)) return line;
    }
    return "";
}

class DemoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the demo needs root (it runs processes as its own accounts)";
    }
    // Runs the demo with its directory under our temporary one; skips when the wrapper packages are missing.
    // watch (optional) sees the output so far and may signal the demo.
    ProcResult Demo(const std::string& timeScale, std::function<void(pid_t, const std::string&)> watch = {},
                    const std::string& host = CAIRN_TEST_HOST) {
        ProcResult run =
            kestrel_test::RunProcess({.program = host,
                                      .args = {"demo"},
                                      .env = kestrel_test::EnvironmentWith(
                                          {"TMPDIR=" + dir_.Path(), "KESTREL_TIME_SCALE=" + timeScale}),
                                      .limitMs = 280000,
                                      .watch = std::move(watch)});
        if (run.exitStatus == 2 && Contains(run.err, "install the Debian package")) skipped_ = run.err;
        return run;
    }
    // Entries of our directory made by the demo.
    std::vector<std::string> DemoDirectories() {
        std::vector<std::string> out;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))
            if (entry.path().filename().string().starts_with("kestrel-demo-")) out.push_back(entry.path());
        return out;
    }
    // No demo directory, and no process whose image lies under ours (the simulated system's all do).
    void ExpectNothingLeft() {
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            std::error_code gone;  // also for entries that are no process
            const std::string image = std::filesystem::read_symlink(entry.path() / "exe", gone).string();
            EXPECT_FALSE(!gone && image.starts_with(dir_.Path() + "/")) << entry.path() << " " << image;
        }
        EXPECT_EQ(DemoDirectories(), std::vector<std::string>{});
    }

    TempDir dir_;
    std::string skipped_;
};

TEST_F(DemoTest, TellsTheWholeStoryAndLeavesNothingBehind) {
    // The agent's 5 s rechecks (a Java server still starting) take 1 s; its budgets stay far above what
    // the simulated tools need.
    ProcResult run = Demo("5");
    if (!skipped_.empty()) GTEST_SKIP() << skipped_;
    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    const std::string& out = run.out;
    // The four resources come online, the replication server pointing at the enqueue server.
    EXPECT_TRUE(Contains(out, "EnqSrvResName sapDMO_ASCS02")) << out;
    for (const char* resource : {"sapDMO_ASCS02", "sapDMO_ERS03", "sapDMO_DVEBMGS00", "sapDMO_J01"}) {
        const std::string online = std::string("Online  ") + resource;
        EXPECT_TRUE(Contains(LineAfter(out, online, "ok"), "Online done; Monitor says ONLINE")) << out;
        EXPECT_TRUE(
            Contains(LineAfter(out, "Offline " + std::string(resource), "ok"), "Monitor says OFFLINE"))
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
        Contains(out, "Cleaned up: " + std::filesystem::canonical(dir_.Path()).string() + "/kestrel-demo-"))
        << out;
    ExpectNothingLeft();
}

#ifdef KESTREL_TEST_HOOKS
TEST_F(DemoTest, StepsThatGoWrongMakeItFailAndItStillCleansUp) {
    // A million-fold time scale leaves every command of the agent about a millisecond: the start commands
    // time out, nothing comes online, and processes are left half started for the clean-up to find.
    ProcResult run = Demo("1000000");
    if (!skipped_.empty()) GTEST_SKIP() << skipped_;
    EXPECT_EQ(run.exitStatus, 1) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "ERROR    20008  The SAP Instance start command [")) << run.out;
    EXPECT_TRUE(Contains(run.out, "FAILED Online done; Monitor says OFFLINE")) << run.out;
    EXPECT_TRUE(Contains(run.out, "not as expected")) << run.out;
    EXPECT_TRUE(Contains(run.out, "Cleaned up: ")) << run.out;
    ExpectNothingLeft();
}
#endif

TEST_F(DemoTest, CtrlCStopsAfterTheRunningStepAndCleansUp) {
    // Interrupt once the system is partly up: its processes must then be ended by the clean-up.
    bool partlyUp = false;
    ProcResult run = Demo("5", [&](pid_t pid, const std::string& out) {
        if (!partlyUp && Contains(out, "[ 3] Online")) {
            partlyUp = true;
            kill(pid, SIGINT);  // our unreaped child
        }
    });
    if (!skipped_.empty()) GTEST_SKIP() << skipped_;
    const std::string& text = run.out;
    ASSERT_TRUE(partlyUp) << text;
    EXPECT_EQ(run.exitStatus, 128 + SIGINT) << text;
    EXPECT_TRUE(Contains(text, "Interrupted: the running step finishes")) << text;
    EXPECT_TRUE(Contains(text, "Story interrupted after ")) << text;
    EXPECT_FALSE(Contains(text, "[18] ")) << text;
    EXPECT_TRUE(Contains(text, "Cleaned up: ")) << text;
    ExpectNothingLeft();
}

TEST_F(DemoTest, WithoutSapsimNextToItItSaysSoAndExits2) {
    const std::string host = std::filesystem::canonical(dir_.Path()).string() + "/cairnagent";
    std::filesystem::copy_file(CAIRN_TEST_HOST, host);
    ProcResult run = Demo("5", {}, host);
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(
        run.err.rfind("cairnagent: demo: " + host.substr(0, host.size() - 10) + "sapsim not found: ", 0), 0u)
        << run.err;
    EXPECT_EQ(DemoDirectories(), std::vector<std::string>{});
}

}  // namespace
