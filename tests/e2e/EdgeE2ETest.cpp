// Time-outs and error paths of Offline and Clean end to end: sapsim instances whose tools and start
// service are steered to hang, refuse or fail. Budgets are small and time is scaled (10: the 5 s pauses
// take 0.5 s, a 10 s budget 1 s), so a wait that runs out costs about a second of real time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "E2EHarness.h"

using namespace kestrel_e2e;

namespace {

constexpr int kError = 1, kWarning = 2, kInfo = 4;

class EdgeE2E : public E2ETest {
  protected:
    void SetUp() override {
        E2ETest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        SetTimeScale(10);
    }
    // Everything that runs from the instance's directory, its start service included, is gone within 3 s.
    bool InstanceGoneSoon(const Instance& in) {
        return WaitFor(
            [&] {
                for (const Proc& p : ProcessesUnderRoot())
                    if (p.exe.rfind(in.instDir + "/", 0) == 0) return false;
                return true;
            },
            3000);
    }
};

// stopsap.exe ends everything but the start service ignores SIGTERM: the service stop runs out of time
// (20052), Kill then ends the service's process with the rest, the shutdown is recorded and Offline succeeds.
TEST_F(EdgeE2E, OfflineWhoseServiceWillNotStopTimesOutThenKillsAndRecords) {
    SetTypeAttr("OfflineTimeout", "30");  // 15 s of budget: 1.5 s real
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    WriteControl(in, "[service]\nignore_term = true\n");
    ASSERT_TRUE(StartInstance(in));
    E2EResult r = Run("offline", in.resource);
    ASSERT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.State(), "OFFLINE");
    EXPECT_EQ(r.Result("Offline"), 0) << r.Describe();
    EXPECT_EQ(r.Ids("Offline"), (std::vector<int>{20051, 20052})) << r.Describe();
    ExpectMessage(r, 20052, kError, "SAP Service Stop [" + in.service + "] timed out.");
    EXPECT_EQ(TraceCount(r, "CKestrel::Offline", "Successfully cleaned up the resource for SAP Instance."),
              1u)
        << r.Describe();
    EXPECT_TRUE(InstanceGoneSoon(in));
    EXPECT_EQ(ServiceState(in), "STOPPED");
    EXPECT_EQ(Actions(in), std::vector<std::string>{kShutdown});
    EXPECT_LT(r.ms, 8000) << "the service wait did not end at the budget";
}

// The service's registry entry has lost its configuration under the running instance, so the first check's
// service query fails: Offline logs that (20045) and goes through its whole stop sequence.
TEST_F(EdgeE2E, OfflineGoesOnAfterAFailedProcessLevelCheck) {
    SetTypeAttr("OfflineTimeout", "60");
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    ASSERT_TRUE(StartInstance(in));
    const std::string config = StateDir() + "/services/" + in.service + "/service.toml";
    ASSERT_EQ(rename(config.c_str(), (config + ".lost").c_str()), 0);
    E2EResult r = Run("offline", in.resource);
    ASSERT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.Result("Offline"), 0) << r.Describe();
    EXPECT_EQ(r.Ids("Offline"), (std::vector<int>{20045, 20051})) << r.Describe();
    ExpectMessage(r, 20045, kError, "Process level check failed before calling Offline.");
    EXPECT_EQ(SimLogCount(in, "stopsap: stopping"), 1u);
    EXPECT_EQ(TraceCount(r, "CKestrel::Offline", "Failed to stop the SAP service."), 1u) << r.Describe();
    EXPECT_TRUE(InstanceGoneSoon(in));
    EXPECT_EQ(Actions(in), std::vector<std::string>{kShutdown});
}

// sapsrvkill.exe hangs: killed at the budget (20067); the service stop and Kill still end every process.
TEST_F(EdgeE2E, CleanAfterASapsrvkillThatOutlivesTheBudgetStillStopsAndKills) {
    SetTypeAttr("CleanTimeout", "25");  // 10 s of budget: 1 s real
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    ASSERT_TRUE(StartInstance(in));
    WriteControl(in, "[sapsrvkill]\ndelay_ms = 8000\n");
    E2EResult r = Run("clean", in.resource);
    ASSERT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.State(), "CLEANED");
    ExpectMessage(r, 20067, kError,
                  "Graceful shutdown of SAP Instance [" + in.kernelDir + "/sapsrvkill.exe " + in.host + "_" +
                      in.sid + "_" + in.nr +
                      "] timed out. Continueing to kill all the process for this SAP Instance.");
    for (int id : {20068, 20069, 20070, 20071}) EXPECT_FALSE(r.HasMessage(id)) << id;
    // The spent budget leaves the stop no time to wait: whether the service is seen gone at once is a race.
    EXPECT_TRUE(r.HasMessage(20072) || r.HasMessage(20073)) << r.Describe();
    EXPECT_TRUE(InstanceGoneSoon(in));
    EXPECT_TRUE(WaitForNoImage("sapsrvkill.exe"));
    EXPECT_EQ(Actions(in), std::vector<std::string>{kCleaned});
    EXPECT_LT(r.ms, 6000);
}

// A budget spent before Clean begins (CleanTimeout = EPProgramTimeout): the service stop is still asked,
// with a limit of 0, and times out (20072) against a service that ignores SIGTERM; Kill still ends it all.
TEST_F(EdgeE2E, CleanWithTheBudgetSpentStillAsksTheServiceToStopAndKills) {
    SetTypeAttr("CleanTimeout", "15");
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    WriteControl(in, "[service]\nignore_term = true\n");
    ASSERT_TRUE(StartInstance(in));
    E2EResult r = Run("clean", in.resource);
    ASSERT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.State(), "CLEANED");
    EXPECT_EQ(TraceCount(r, "CKestrelUtil::StopService",
                         "StopService called with service [" + in.service + "] and timeout [0]."),
              1u)
        << r.Describe();
    ExpectMessage(r, 20072, kError, "SAP Service Stop [" + in.service + "] timed out.");
    EXPECT_FALSE(r.HasMessage(20073));
    EXPECT_TRUE(InstanceGoneSoon(in)) << "Kill must end the processes and the service that ignored SIGTERM";
    EXPECT_EQ(ServiceState(in), "STOPPED");
    EXPECT_EQ(Actions(in), std::vector<std::string>{kCleaned});
}

// sapsrvkill.exe "succeeds" without ending anything, with 62 to 63 s left: the wait checks at R and
// R - 25 s, then R - 45 s (17 s) is too little: 20070 and 20071 both say 17 seconds.
TEST_F(EdgeE2E, CleanWaitAfterAGracefulShutdownThatEndsNothingCountsDownByFixedSteps) {
    SetTimeScale(5);                    // the window below is 1 s of agent time: 200 ms real
    SetTypeAttr("CleanTimeout", "78");  // 63 s of budget
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    ASSERT_TRUE(StartInstance(in));
    WriteControl(in, "[sapsrvkill]\nact = false\n");
    E2EResult r = Run("clean", in.resource);
    ASSERT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.Ids("Clean"), (std::vector<int>{20070, 20071, 20073})) << r.Describe();
    ExpectMessage(r, 20070, kWarning,
                  "Not enough time [17]secs to recheck the status after graceful shutdown in clean.");
    ExpectMessage(r, 20071, kWarning, "Not enough time [17]secs to delay after graceful shutdown in clean.");
    ExpectMessage(r, 20073, kInfo);
    EXPECT_EQ(TraceCount(r, "CKestrel::GetResourceState", "Got procCount["), 2u) << r.Describe();
    EXPECT_TRUE(InstanceGoneSoon(in));
    EXPECT_EQ(Actions(in), std::vector<std::string>{kCleaned});
}

}  // namespace
