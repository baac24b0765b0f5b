// Time-outs and error paths end to end: cairnagent against sapsim instances whose tools, processes and
// start service are steered to hang, refuse or fail. Budgets are small and time is scaled, so a wait that
// runs out costs about a second of real time.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "E2EHarness.h"

using namespace kestrel_e2e;

namespace {

// The number in "...[N]..." right after prefix, -1 when the text does not start with it.
int NumberAfter(const std::string& text, const std::string& prefix) {
    if (text.rfind(prefix, 0) != 0) return -1;
    return std::atoi(text.c_str() + prefix.size());
}

// Index of the first line of this run's debug log that contains text (the size when none does).
size_t FirstLine(const E2EResult& r, const std::string& text) {
    for (size_t i = 0; i < r.debugLog.size(); ++i)
        if (Contains(r.debugLog[i], text)) return i;
    return r.debugLog.size();
}

class EdgeE2E : public E2ETest {
  protected:
    void SetUp() override {
        E2ETest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        // A scale of 10 turns the 5 s pauses into 0.5 s and a 10 s budget into 1 s: a tool that hangs is
        // cut off quickly, while a tool that works (tens of milliseconds) uses little of a budget.
        SetTimeScale(10);
    }

    std::string ServiceRegistryDir(const Instance& in) const {
        return StateDir() + "/services/" + in.service;
    }

    // Live processes of the instance: everything that runs from its directory, its start service included.
    std::vector<Proc> InstanceProcs(const Instance& in) const {
        std::vector<Proc> out;
        for (const Proc& p : ProcessesUnderRoot())
            if (p.exe.rfind(in.instDir + "/", 0) == 0) out.push_back(p);
        return out;
    }
    std::vector<Proc> ProcsNamed(const std::string& name) const {
        std::vector<Proc> out;
        for (const Proc& p : ProcessesUnderRoot())
            if (Contains(p.exe, "/" + name)) out.push_back(p);
        return out;
    }
    bool InstanceGoneSoon(const Instance& in) {
        return WaitFor([&] { return InstanceProcs(in).empty(); }, 3000);
    }

    // The action lines of the instance's SAP log file, in order.
    std::vector<std::string> Actions(const Instance& in) {
        std::vector<std::string> out;
        for (const std::string& l : ReadLines(in.SapLogPath()))
            if (l.rfind("Action: ", 0) == 0) out.push_back(l);
        return out;
    }

    std::string SapinfoCommand(const Instance& in) const {
        return in.kernelDir + "/sapinfo.exe ashost=" + in.host + " sysnr=" + in.nr;
    }
    std::string SrvkillCommand(const Instance& in) const {
        return in.kernelDir + "/sapsrvkill.exe " + in.host + "_" + in.sid + "_" + in.nr;
    }
};

// ---------------------------------------------------------------------------------------------------
// Offline

// stopsap.exe ends everything but the start service ignores SIGTERM: the service stop runs out of time,
// Kill then ends the service's process with the rest, the shutdown is recorded and Offline succeeds.
TEST_F(EdgeE2E, OfflineWhoseServiceWillNotStopTimesOutThenKillsAndRecords) {
    SetTypeAttr("OfflineTimeout", "30");  // 15 s of budget: 1.5 s real
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    WriteControl(in, "[service]\nignore_term = true\n");
    ASSERT_TRUE(StartInstance(in));
    E2EResult r = Run("offline", in.resource);
    ASSERT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.State(), "OFFLINE");
    EXPECT_EQ(r.Result("Offline"), 0) << r.Describe();
    EXPECT_EQ(r.MessageText(20051), "The SAP Instance stopped successfully with exitcode [0].");
    EXPECT_EQ(r.MessageText(20052), "SAP Service Stop [" + in.service + "] timed out.") << r.Describe();
    EXPECT_FALSE(r.HasMessage(20053));
    EXPECT_LT(MessageIndex(r, 20051), MessageIndex(r, 20052));
    // The clean-up ran after the time-out and ended the service's process: nothing of the instance is left.
    EXPECT_EQ(TraceCount(r, "CKestrel::Offline", "Successfully cleaned up the resource for SAP Instance."),
              1u)
        << r.Describe();
    EXPECT_FALSE(r.HasMessage(20054));
    EXPECT_FALSE(r.HasMessage(20055));
    EXPECT_TRUE(InstanceGoneSoon(in));
    EXPECT_EQ(ServiceState(in), "STOPPED");
    EXPECT_EQ(Actions(in), std::vector<std::string>{kShutdown});
    EXPECT_LT(r.ms, 8000) << "the service wait did not end at the budget";
}

// The service's registry entry has lost its configuration under the running instance, so the service
// query of the first check fails: Offline logs that and goes through its whole stop sequence.
TEST_F(EdgeE2E, OfflineGoesOnAfterAFailedProcessLevelCheck) {
    SetTypeAttr("OfflineTimeout", "60");
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    ASSERT_TRUE(StartInstance(in));
    const std::string config = ServiceRegistryDir(in) + "/service.toml";
    ASSERT_EQ(rename(config.c_str(), (config + ".lost").c_str()), 0);
    E2EResult r = Run("offline", in.resource);
    ASSERT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.Result("Offline"), 0) << r.Describe();
    EXPECT_EQ(r.MessageText(20045), "Process level check failed before calling Offline.") << r.Describe();
    EXPECT_FALSE(r.HasMessage(20047)) << "a failed check is not an offline instance";
    EXPECT_EQ(r.MessageText(20051), "The SAP Instance stopped successfully with exitcode [0].");
    EXPECT_LT(MessageIndex(r, 20045), MessageIndex(r, 20051));
    EXPECT_EQ(SimLogCount(in, "stopsap: stopping"), 1u);
    // The service stop fails too (no such service), but not by time: neither 20052 nor 20053.
    EXPECT_FALSE(r.HasMessage(20052));
    EXPECT_FALSE(r.HasMessage(20053));
    EXPECT_EQ(TraceCount(r, "CKestrel::Offline", "Failed to stop the SAP service."), 1u) << r.Describe();
    // Kill ends what the lost service left running.
    EXPECT_TRUE(InstanceGoneSoon(in));
    EXPECT_EQ(Actions(in), std::vector<std::string>{kShutdown});
}

// ---------------------------------------------------------------------------------------------------
// Online time-outs

// startsap.exe does not return within the budget: it is killed, Online fails with 20008 and never waits.
TEST_F(EdgeE2E, OnlineKillsAStartsapThatOutlivesTheBudget) {
    SetTypeAttr("OnlineTimeout", "25");  // 10 s of budget: 1 s real
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    WriteControl(in, "[startsap]\ndelay_ms = 8000\n");
    E2EResult r = Online(in);
    EXPECT_EQ(r.exitStatus, 1) << r.Describe();
    EXPECT_EQ(r.State(), "OFFLINE");
    EXPECT_TRUE(r.HasMessage(20006, "Online")) << r.Describe();
    EXPECT_EQ(r.MessageText(20008),
              "The SAP Instance start command [" + ToolCommand(in, "startsap.exe") + "] timed out.")
        << r.Describe();
    EXPECT_FALSE(r.HasMessage(20009));
    EXPECT_FALSE(r.HasMessage(20011));
    EXPECT_TRUE(Contains(r.MessageText(20132), "0x00000102")) << r.MessageText(20132);
    EXPECT_EQ(TraceCount(r, "CKestrel::Online", "Checking the status of SAP Instance"), 0u) << r.Describe();
    EXPECT_FALSE(r.DebugHas("Initializing the SLMCounter")) << "no step after the start command runs";
    EXPECT_LT(r.ms, 6000) << "the agent waited for startsap.exe instead of killing it";
    EXPECT_TRUE(ProcsNamed("startsap.exe").empty());
    EXPECT_EQ(SimLogCount(in, "startsap: starting"), 0u);
    EXPECT_TRUE(Actions(in).empty());
}

// sapinfo.exe hangs on the first check of the wait: killed at its 10 s, 20015, Online still succeeds, but
// without a record, since the instance was never seen up.
TEST_F(EdgeE2E, OnlineSapinfoThatTimesOutEndsTheWaitWithoutRecord) {
    SetTypeAttr("OnlineTimeout", "60");  // 45 s: the start leaves well over 10 s for one sapinfo run
    SetTypeAttr("MonitorTimeout", "60");
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    WriteControl(in, "[sapinfo]\ndelay_ms = 8000\n");
    E2EResult r = Online(in);
    ASSERT_TRUE(r.json.is_object()) << r.Describe();
    EXPECT_EQ(r.Result("Online"), 0) << r.Describe();
    EXPECT_FALSE(r.HasMessage(20132)) << "the wait phase never fails Online\n" << r.Describe();
    EXPECT_TRUE(r.HasMessage(20011, "Online"));
    const std::string sapinfo = SapinfoCommand(in);
    EXPECT_EQ(
        TraceCount(r, "CKestrel::Online", "Checking the status of SAP Instance with the command [" + sapinfo),
        1u)
        << r.Describe();
    EXPECT_EQ(r.MessageText(20015), "The command [" + sapinfo + "] timed out.") << r.Describe();
    EXPECT_EQ(TraceCount(r, "CKestrel::Online", "failed with error code [7 0x00000102]."), 1u)
        << r.Describe();
    for (int id : {20016, 20017, 20018}) EXPECT_FALSE(r.HasMessage(id, "Online")) << id;
    EXPECT_EQ(TraceCount(r, "CKestrel::Online", "Going to sleep"), 0u) << "a time-out ends the wait";
    EXPECT_TRUE(Actions(in).empty());
    EXPECT_TRUE(ProcsNamed("sapinfo.exe").empty());
}

// An Add-In instance with under 10 s left when the wait begins: 20025, neither sapinfo nor jcmon runs,
// and the start is recorded all the same.
TEST_F(EdgeE2E, AddInOnlineWithoutTimeForSapinfoSkipsToTheRecord) {
    SetTimeScale(5);
    SetTypeAttr("OnlineTimeout", "24");  // 9 s of budget (1.8 s real) for the start and the wait
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central", .arch = "addin"});
    E2EResult r = Online(in);
    ASSERT_TRUE(r.json.is_object()) << r.Describe();
    EXPECT_EQ(r.Result("Online"), 0) << r.Describe();
    EXPECT_TRUE(r.HasMessage(20011, "Online")) << r.Describe();
    const std::string text = r.MessageText(20025);
    const int secs = NumberAfter(text, "Not enough time [");
    EXPECT_GE(secs, 0) << r.Describe();
    EXPECT_LE(secs, 8);
    EXPECT_EQ(text, "Not enough time [" + std::to_string(secs) + "] to run the command [" +
                        SapinfoCommand(in) + "].");
    for (int id = 20026; id <= 20034; ++id) EXPECT_FALSE(r.HasMessage(id, "Online")) << id;
    EXPECT_EQ(TraceCount(r, "CKestrel::Online", "Checking the status of SAP Instance"), 0u);
    // cairnagent follows Online with a Monitor, whose second level runs jcmon: only Online's part counts.
    const size_t logged = FirstLine(r, "Adding the Online information to the SAP log file.");
    ASSERT_LT(logged, r.debugLog.size()) << r.Describe();
    for (size_t i = 0; i < logged; ++i) EXPECT_FALSE(Contains(r.debugLog[i], kJcmonRan)) << r.debugLog[i];
    EXPECT_EQ(Actions(in), std::vector<std::string>{kStarted});
}

// ---------------------------------------------------------------------------------------------------
// Clean

// sapsrvkill.exe hangs: killed at the budget (20067); the service stop and Kill still run and end every
// process of the instance, which sapsrvkill never touched.
TEST_F(EdgeE2E, CleanAfterASapsrvkillThatOutlivesTheBudgetStillStopsAndKills) {
    SetTypeAttr("CleanTimeout", "25");  // 10 s of budget: 1 s real
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    ASSERT_TRUE(StartInstance(in));
    WriteControl(in, "[sapsrvkill]\ndelay_ms = 8000\n");
    E2EResult r = Run("clean", in.resource);
    ASSERT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.State(), "CLEANED");
    EXPECT_EQ(r.MessageText(20067),
              "Graceful shutdown of SAP Instance [" + SrvkillCommand(in) +
                  "] timed out. Continueing to kill all the process for this SAP Instance.")
        << r.Describe();
    for (int id : {20068, 20069, 20070, 20071}) EXPECT_FALSE(r.HasMessage(id)) << id;
    EXPECT_EQ(SimLogCount(in, "sapsrvkill: killing"), 0u);
    EXPECT_EQ(TraceCount(r, "CKestrel::Clean", "Going to stop the SAP Service [" + in.service + "]."), 1u);
    // The spent budget leaves the stop no time to wait for; whether the service is seen gone at once is a
    // race, but one of the two verdicts is logged.
    EXPECT_TRUE(r.HasMessage(20072) || r.HasMessage(20073)) << r.Describe();
    EXPECT_EQ(TraceCount(r, "CKestrel::Clean", "Succesfully Cleaned the resource for SAP Instance."), 1u)
        << r.Describe();
    EXPECT_TRUE(InstanceGoneSoon(in));
    EXPECT_TRUE(ProcsNamed("sapsrvkill.exe").empty());
    EXPECT_NE(ServiceState(in), "RUNNING");
    EXPECT_EQ(Actions(in), std::vector<std::string>{kCleaned});
    EXPECT_LT(r.ms, 6000);
}

// A budget spent before Clean begins (CleanTimeout = EPProgramTimeout): the service stop is still asked,
// with a limit of 0, and times out against a service that ignores SIGTERM; Kill still ends everything.
TEST_F(EdgeE2E, CleanWithTheBudgetSpentStillAsksTheServiceToStopAndKills) {
    SetTypeAttr("CleanTimeout", "15");
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    WriteControl(in, "[service]\nignore_term = true\n");
    ASSERT_TRUE(StartInstance(in));
    ASSERT_FALSE(InstanceProcs(in).empty());
    E2EResult r = Run("clean", in.resource);
    ASSERT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.State(), "CLEANED");
    EXPECT_EQ(TraceCount(r, "CKestrelUtil::StopService",
                         "StopService called with service [" + in.service + "] and timeout [0]."),
              1u)
        << r.Describe();
    EXPECT_EQ(r.MessageText(20072), "SAP Service Stop [" + in.service + "] timed out.") << r.Describe();
    EXPECT_FALSE(r.HasMessage(20073));
    EXPECT_EQ(TraceCount(r, "CKestrel::Clean", "Succesfully Cleaned the resource for SAP Instance."), 1u)
        << r.Describe();
    EXPECT_TRUE(InstanceGoneSoon(in)) << "Kill must end the processes and the service that ignored SIGTERM";
    EXPECT_EQ(ServiceState(in), "STOPPED");
    EXPECT_EQ(Actions(in), std::vector<std::string>{kCleaned});
}

// sapsrvkill.exe "succeeds" without ending anything, with 62 to 63 s left: the wait checks at R and
// R - 25 s, then R - 45 s (17 s) is too little: 20070 and 20071 both say 17 seconds. One 5 s pause.
TEST_F(EdgeE2E, CleanWaitAfterAGracefulShutdownThatEndsNothingCountsDownByFixedSteps) {
    SetTimeScale(5);                    // the window below is 1 s of agent time: 200 ms real
    SetTypeAttr("CleanTimeout", "78");  // 63 s of budget
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    ASSERT_TRUE(StartInstance(in));
    WriteControl(in, "[sapsrvkill]\nact = false\n");
    E2EResult r = Run("clean", in.resource);
    ASSERT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(SimLogCount(in, "sapsrvkill: killing"), 0u);
    EXPECT_FALSE(r.HasMessage(20067));
    EXPECT_FALSE(r.HasMessage(20068));
    EXPECT_FALSE(r.HasMessage(20069)) << "nothing went: the checks must not say stopped";
    // Two process checks in the wait (Kill walks by itself), two countdown steps, one pause.
    EXPECT_EQ(TraceCount(r, "CKestrel::GetResourceState", "Got procCount["), 2u) << r.Describe();
    EXPECT_EQ(TraceCount(r, "CKestrel::Clean", "Going to sleep for [5]secs before rechecking the status."),
              2u);
    const std::string recheck = r.MessageText(20070), delay = r.MessageText(20071);
    EXPECT_EQ(recheck, "Not enough time [17]secs to recheck the status after graceful shutdown in clean.")
        << r.Describe();
    EXPECT_EQ(delay, "Not enough time [17]secs to delay after graceful shutdown in clean.");
    EXPECT_LT(MessageIndex(r, 20070), MessageIndex(r, 20071));
    // Then the service stop and Kill do the work.
    EXPECT_TRUE(r.HasMessage(20073, "Clean")) << r.Describe();
    EXPECT_TRUE(InstanceGoneSoon(in));
    EXPECT_EQ(Actions(in), std::vector<std::string>{kCleaned});
}

// ---------------------------------------------------------------------------------------------------
// Monitor

// SecondLevelMonitor 0: every online cycle stores 0 in the countdown and goes straight to the monitor
// program; sapinfo (which would say offline) never runs. Set positive again, the countdown restarts at N
// with a second-level run.
TEST_F(EdgeE2E, SecondLevelMonitorZeroStoresZeroAndGoesStraightToTheThirdLevel) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    ASSERT_TRUE(StartInstance(in));
    const std::string program = Root() + "/monprog.sh";
    const std::string marker = MarkerScript(program, "monprog-ran", 110);
    SetAttr(in, "MonitorProgram", TomlString(program));
    SetAttr(in, "SecondLevelMonitor", "3");
    E2EResult first = Monitor(in);  // no cookie yet: reads 1, stores 3
    ASSERT_EQ(first.State(), "ONLINE") << first.Describe();
    ASSERT_TRUE(first.DebugHas("Setting SLMCounter to [3].")) << first.Describe();

    WriteControl(in, "[sapinfo]\nexit_code = 2\n");
    SetAttr(in, "SecondLevelMonitor", "0");
    for (int cycle = 1; cycle <= 2; ++cycle) {
        E2EResult r = Monitor(in);
        EXPECT_EQ(r.State(), "ONLINE") << "cycle " << cycle << "\n" << r.Describe();
        EXPECT_TRUE(r.DebugHas("SecondLevelMonitor is set to [0]. Skipping the Second Level Monitor."))
            << r.Describe();
        EXPECT_TRUE(r.DebugHas("SetSLMCounter called with slmcounter [0]")) << r.Describe();
        EXPECT_FALSE(r.DebugHas("Getting the SLMCounter.")) << "the countdown is not read";
        EXPECT_EQ(r.DebugCount(kSecondLevelRan), 0u);
        EXPECT_EQ(r.DebugCount(kThirdLevelRan), 1u);
        EXPECT_FALSE(r.HasMessage(20099));
    }
    EXPECT_EQ(ReadLines(marker).size(), 3u);

    // The stored 0 restarts the countdown at N = 2, with a second-level run (sapinfo: offline).
    SetAttr(in, "SecondLevelMonitor", "2");
    E2EResult again = Monitor(in);
    EXPECT_TRUE(again.DebugHas("Got SLMCounter [0] from cookie.")) << again.Describe();
    EXPECT_TRUE(again.DebugHas("Setting SLMCounter to [1]."));
    EXPECT_EQ(again.DebugCount(kSecondLevelRan), 1u);
    EXPECT_EQ(again.State(), "OFFLINE");
    EXPECT_TRUE(again.HasMessage(20099));
    EXPECT_EQ(ReadLines(marker).size(), 3u) << "an offline second level stops before the program";
}

// A SAPMonHome that is no directory: 20076, code 2 / error 3, Monitor reports it (20056) and succeeds with
// the state unknown; no tool runs.
TEST_F(EdgeE2E, SecondLevelWithSAPMonHomeNotADirectory) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    ASSERT_TRUE(StartInstance(in));
    for (const std::string& monHome : {in.profile, Root() + "/no/such/dir"}) {
        SetAttr(in, "SAPMonHome", TomlString(monHome));
        E2EResult r = Monitor(in);
        EXPECT_EQ(r.State(), "UNKNOWN") << r.Describe();
        EXPECT_EQ(r.MessageText(20076), "SAPMonHome [" + monHome + "] directory does NOT exist.")
            << r.Describe();
        EXPECT_EQ(r.MessageText(20056), "Failed to perform second level monitoring [2 0x00000003].")
            << r.Describe();
        EXPECT_LT(MessageIndex(r, 20076), MessageIndex(r, 20056));
        EXPECT_TRUE(r.DebugHas("SAPMonHome directory NOT found.")) << r.Describe();
        EXPECT_FALSE(r.DebugHas("Execute the command [")) << "no tool may run";
        EXPECT_EQ(r.DebugCount(kThirdLevelRan), 0u);
        // Monitor's own status is success: the failure is the second level's only.
        EXPECT_FALSE(r.HasMessage(20057));
    }
}

// An empty SAPHost: Monitor's validation does not look at it, the ABAP second level stops at it (20077 with
// an empty placeholder, state unknown, no failure); a Java instance never looks at SAPHost.
TEST_F(EdgeE2E, EmptySAPHostStopsTheAbapSecondLevelButNotTheJavaOne) {
    Instance& abap = Install({.instance = "DVEBMGS00", .type = "central"});
    Instance& java = Install({.instance = "JC01", .type = "central", .arch = "java"});
    ASSERT_TRUE(StartInstance(abap));
    ASSERT_TRUE(StartInstance(java));
    WaitForImage(java, "jlaunch.exe", 2);
    SetAttr(abap, "SAPHost", TomlString(""));
    SetAttr(java, "SAPHost", TomlString(""));

    E2EResult r = Monitor(abap);
    EXPECT_EQ(r.State(), "UNKNOWN") << r.Describe();
    EXPECT_EQ(r.MessageText(20077), "SAPHost [] is NULL.") << r.Describe();
    EXPECT_TRUE(r.DebugHas("SAPHost [] is NULL."));
    EXPECT_FALSE(r.HasMessage(20056)) << "an empty SAPHost is no failure of the second level";
    EXPECT_FALSE(r.DebugHas("Execute the command ["));
    EXPECT_EQ(r.DebugCount(kThirdLevelRan), 0u);

    E2EResult j = Monitor(java);
    EXPECT_EQ(j.State(), "ONLINE") << j.Describe();
    EXPECT_FALSE(j.HasMessage(20077));
    EXPECT_EQ(j.DebugCount(kJcmonRan), 1u) << j.Describe();
}

// A Java instance whose InstProfile file is gone: 20081, code 2 / error 160, unknown; jcmon does not run.
TEST_F(EdgeE2E, JavaSecondLevelWithAMissingInstProfile) {
    Instance& in = Install({.instance = "JC00", .type = "central", .arch = "java"});
    ASSERT_TRUE(StartInstance(in));
    WaitForImage(in, "jlaunch.exe", 2);
    const std::string missing = in.profile + ".gone";
    SetAttr(in, "InstProfile", TomlString(missing));
    E2EResult r = Monitor(in);
    EXPECT_EQ(r.State(), "UNKNOWN") << r.Describe();
    EXPECT_EQ(r.MessageText(20081), "InstProfile [" + missing + "] does NOT exist.") << r.Describe();
    EXPECT_TRUE(r.DebugHas("InstProfile [" + missing + "] is NOT valid.")) << r.Describe();
    EXPECT_EQ(r.MessageText(20056), "Failed to perform second level monitoring [2 0x000000A0].")
        << r.Describe();
    EXPECT_FALSE(r.HasMessage(20080));
    EXPECT_EQ(r.DebugCount(kJcmonRan), 0u);
}

// Add-In: disp+work.exe runs but jcontrol.exe has crashed (its nodes live on). Under Monitor the check
// sleeps and walks again while more than 25 s of a 60 s budget remain (six passes), then says offline.
TEST_F(EdgeE2E, AddInWithoutJcontrolIsRecheckedWhileTimeRemains) {
    SetTypeAttr("MonitorTimeout", "75");  // 60 s of budget
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central", .arch = "addin"});
    WriteControl(in, "[process.\"jcontrol.exe\"]\nexit_after_ms = 300\n");
    ASSERT_TRUE(StartInstance(in));
    WaitForImage(in, "jlaunch.exe", 2);
    ASSERT_TRUE(WaitForNoImage("jcontrol.exe")) << "jcontrol.exe did not end";
    E2EResult r = Monitor(in);
    EXPECT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.State(), "OFFLINE") << r.Describe();
    EXPECT_TRUE(r.DebugHas("jcontrol.exe is NOT Running.")) << r.Describe();
    // Six passes when the walks take no time (the remaining time after pass k is 55 - 5k s); each walk's
    // real time, scaled, shortens what is left.
    const size_t passes = r.DebugCount("Sleeping for [5]secs before rechecking for jcontrol.exe.");
    EXPECT_LE(passes, 6u) << r.Describe();
    EXPECT_GE(passes, 5u) << r.Describe();
    EXPECT_EQ(r.DebugCount("Some of the critical processes are NOT Running."), passes);
    EXPECT_FALSE(r.DebugHas("Not enough time to recheck for jcontrol.exe.")) << r.Describe();
    EXPECT_FALSE(r.DebugHas("rechecking for jlaunch.exe"));
    EXPECT_EQ(r.DebugCount(kSecondLevelRan), 0u);
}

// jcontrol.exe comes back while the check waits: the next walk finds everything and Monitor goes on to an
// online verdict.
TEST_F(EdgeE2E, AddInJcontrolThatComesBackDuringTheRecheckIsOnline) {
    SetTypeAttr("MonitorTimeout", "75");
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central", .arch = "addin"});
    WriteControl(
        in,
        "[startsap]\nprocesses = [\"disp+work.exe\", \"msg_server.exe\", \"igswd.exe\", \"gwrd.exe\", "
        "\"icman.exe\"]\n");
    ASSERT_TRUE(StartInstance(in));
    WriteControl(in, "");
    // Starts jcontrol.exe (and its nodes) once the first pause has begun.
    std::atomic<bool> started{false};
    std::thread late([&] {
        WaitFor(
            [&] {
                return Contains(ReadFile(LogDir() + "/resources/" + in.resource + ".log"),
                                "Sleeping for [5]secs before rechecking for jcontrol.exe.");
            },
            10000);
        started = StartSap(in);
    });
    E2EResult r = Monitor(in);
    late.join();
    ASSERT_TRUE(started);
    EXPECT_EQ(r.State(), "ONLINE") << r.Describe();
    const size_t passes = r.DebugCount("Sleeping for [5]secs before rechecking for jcontrol.exe.");
    EXPECT_GE(passes, 1u) << r.Describe();
    EXPECT_LE(passes, 6u);
    EXPECT_EQ(r.DebugCount(kSecondLevelRan), 1u) << r.Describe();
}

}  // namespace
