// Monitor end to end: cairnagent monitor against sapsim instances with real processes and services. The
// decision tables themselves are unit tests; here one or two rows of each prove the wiring, with the ids,
// severities and texts of the messages the run emits.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "E2EHarness.h"

using namespace kestrel_e2e;

namespace {

constexpr int kCritical = 0, kError = 1, kWarning = 2;

class MonitorE2E : public E2ETest {
  protected:
    Instance& InstallAndStart(const InstallOptions& o) {
        Instance& in = Install(o);
        EXPECT_TRUE(StartInstance(in));
        if (o.arch == "java" || o.arch == "addin") WaitForImage(in, "jlaunch.exe", 2);  // dispatcher, server0
        return in;
    }
    // Scale 10: a budget of MonitorTimeout - 15 s takes a tenth of its seconds in real time; Back undoes it.
    void ShortBudget(const char* monitorTimeout = "25") {
        SetTimeScale(10);
        SetTypeAttr("MonitorTimeout", monitorTimeout);
    }
    void Back() {
        SetTimeScale(1000);
        SetTypeAttr("MonitorTimeout", "5015");
    }
    // The state and the exit status that goes with it (1 for unknown only).
    static void ExpectState(const E2EResult& r, const std::string& state) {
        EXPECT_EQ(r.State(), state) << r.Describe();
        EXPECT_EQ(r.exitStatus, state == "UNKNOWN" ? 1 : 0) << r.Describe();
    }
};

// Down, up, service stopped under running processes, everything down: OFFLINE, ONLINE (the second level
// with the instance's own tool agreeing), OFFLINE with 20074, OFFLINE without it.
struct Kind {
    const char* type;
    const char* arch;
    const char* instance;
};
class MonitorKinds : public MonitorE2E, public ::testing::WithParamInterface<Kind> {};

TEST_P(MonitorKinds, OnlineOnlyWithAllProcessesAndTheService) {
    const Kind k = GetParam();
    Instance& in = Install({.instance = k.instance, .type = k.type, .arch = k.arch});
    E2EResult r = Monitor(in);
    ExpectState(r, "OFFLINE");
    EXPECT_EQ(r.Ids("Monitor"), std::vector<int>{}) << r.Describe();

    ASSERT_TRUE(StartInstance(in));
    if (std::string(k.arch) == "addin") WaitForImage(in, "jlaunch.exe", 2);
    r = Monitor(in);
    ExpectState(r, "ONLINE");
    EXPECT_EQ(r.Result("Monitor"), 1);
    EXPECT_EQ(r.Ids("Monitor"), std::vector<int>{}) << r.Describe();
    EXPECT_EQ(r.DebugCount(kSecondLevelRan), 1u) << r.Describe();
    EXPECT_TRUE(r.DebugHas("Second Level Monitor returned Resource state as Online.")) << r.Describe();

    ASSERT_TRUE(StopService(in));
    r = Monitor(in);
    ExpectState(r, "OFFLINE");
    ExpectMessages(r, "Monitor", {{20074, kError, "The SAP Service [" + in.service + "] is NOT Running."}});
    EXPECT_EQ(r.DebugCount(kSecondLevelRan), 0u) << "no second level after a stopped service";

    ASSERT_TRUE(StopSap(in));
    r = Monitor(in);
    ExpectState(r, "OFFLINE");
    EXPECT_EQ(r.Ids("Monitor"), std::vector<int>{}) << "a stopped service turns only online into offline";
}

INSTANTIATE_TEST_SUITE_P(Kinds, MonitorKinds,
                         ::testing::Values(Kind{"central", "abap", "DVEBMGS00"},
                                           Kind{"dialog", "addin", "D05"}, Kind{"jenqrep", "none", "ERS11"}),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             return std::string(info.param.type) + "_" + info.param.arch;
                         });

// The first level refuses: a missing optional process, processes under another account, a ProcMon entry
// that is none of the programs the instance type runs.
TEST_F(MonitorE2E, FirstLevelCountsOnlyTheInstancesOwnProcesses) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    WriteControl(in, "[startsap]\nprocesses = [\"disp+work.exe\", \"msg_server.exe\", \"gwrd.exe\"]\n");
    ASSERT_TRUE(StartInstance(in));
    E2EResult r = Monitor(in);
    ExpectState(r, "OFFLINE");
    EXPECT_TRUE(r.DebugHas("igswd.exe process is defined in the ProcMon but NOT Running.")) << r.Describe();
    EXPECT_FALSE(r.DebugHas("gwrd.exe process is defined in the ProcMon but NOT Running.")) << r.Describe();
    EXPECT_TRUE(r.DebugHas("icman.exe process is defined in the ProcMon but NOT Running.")) << r.Describe();
    EXPECT_TRUE(r.DebugHas("Got procCount[3] and procmonCount[5] from GetProcessState.")) << r.Describe();

    ASSERT_TRUE(StopSap(in));
    WriteControl(in, "");
    ASSERT_TRUE(StartSap(in, kOtherAccount));
    r = Monitor(in);
    ExpectState(r, "OFFLINE");
    EXPECT_TRUE(r.DebugHas("User name [" + kOtherAccount.name + "] didn't match for process"))
        << r.Describe();
    EXPECT_TRUE(r.DebugHas("Got procCount[0] and procmonCount[5] from GetProcessState.")) << r.Describe();

    SetAttr(
        in, "ProcMon",
        TomlList({"disp+work.exe", "msg_server.exe", "igswd.exe", "gwrd.exe", "icman.exe", "enserver.exe"}));
    r = Monitor(in);
    ExpectState(r, "UNKNOWN");
    ExpectMessage(r, 20160, kError,
                  "Invalid process name in the ProcMon list [ENSERVER.EXE] for InstType [CENTRAL].");
    EXPECT_FALSE(r.DebugHas("Checking for the existence of processes listed in the ProcMon."))
        << r.Describe();
}

// Online stores the countdown N = 4, so the second level runs in cycles 1, 4, 5, 8 of the commands that
// follow (the Monitor of "online" is cycle 1); a cycle that finds the instance down leaves it alone.
TEST_F(MonitorE2E, SecondLevelCountdownAcrossCommands) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    SetAttr(in, "SecondLevelMonitor", "4");
    E2EResult on = Online(in);
    ASSERT_EQ(on.State(), "ONLINE") << on.Describe();
    std::vector<size_t> runs{on.DebugCount(kSecondLevelRan)};
    for (int cycle = 2; cycle <= 8; ++cycle) {
        E2EResult r = Monitor(in);
        ASSERT_EQ(r.State(), "ONLINE") << "cycle " << cycle << "\n" << r.Describe();
        runs.push_back(r.DebugCount(kSecondLevelRan));
    }
    EXPECT_EQ(runs, (std::vector<size_t>{1, 0, 0, 1, 1, 0, 0, 1}));
    ASSERT_TRUE(StopSap(in));
    E2EResult down = Monitor(in);
    EXPECT_EQ(down.State(), "OFFLINE");
    EXPECT_FALSE(down.DebugHas("SLMCounter")) << down.Describe();
    ASSERT_TRUE(StartSap(in));
    E2EResult next = Monitor(in);
    EXPECT_TRUE(next.DebugHas("Got SLMCounter [4] from cookie.")) << next.Describe();
}

// sapinfo's exit code decides (2 offline, 7 unknown); a tool that hangs is killed at the budget; a budget
// spent before the tool starts runs no tool at all.
TEST_F(MonitorE2E, SapinfoVerdictsAndTimeOuts) {
    Instance& in = InstallAndStart({.instance = "DVEBMGS00", .type = "central"});
    const std::string sapinfo = in.kernelDir + "/sapinfo.exe ashost=" + in.host + " sysnr=00";
    WriteControl(in, "[sapinfo]\nexit_code = 2\n");
    E2EResult r = Monitor(in);
    ExpectState(r, "OFFLINE");
    ExpectMessages(r, "Monitor", {{20099, kError, "sapinfo.exe returned with exitcode [2]."}});
    EXPECT_TRUE(r.DebugHas("Execute the command [" + sapinfo + "] to find the status of SAP Instance."));

    WriteControl(in, "[sapinfo]\nexit_code = 7\n");
    r = Monitor(in);
    ExpectState(r, "UNKNOWN");
    ExpectMessages(r, "Monitor", {{20101, kError, "sapinfo.exe returned with invalid exitcode [7]."}});

    ShortBudget();
    WriteControl(in, "[sapinfo]\ndelay_ms = 8000\n");
    r = Monitor(in);
    ExpectState(r, "UNKNOWN");
    ExpectMessages(r, "Monitor",
                   {{20084, kError, "The command [" + sapinfo + "] timed out."},
                    {20056, kError, "Failed to perform second level monitoring [7 0x00000102]."}});
    EXPECT_LT(r.ms, 6000) << "the agent waited for sapinfo instead of killing it";
    for (const Proc& p : ProcessesUnderRoot()) EXPECT_FALSE(Contains(p.exe, "sapinfo")) << p.exe;

    Back();
    // A sapinfo.exe that leaves a mark (where its account, the administrator, may write) when it runs.
    const std::string marker = Root() + "/markers/sapinfo", tool = in.kernelDir + "/sapinfo.exe";
    std::filesystem::create_directories(Root() + "/markers");
    ASSERT_EQ(chmod((Root() + "/markers").c_str(), 0777), 0);
    ASSERT_EQ(unlink(tool.c_str()), 0);  // never write through what may be a link
    ASSERT_TRUE(WriteFile(tool, "#!/bin/sh\necho ran >> " + marker + "\n", 0755));
    SetAttr(in, "EPProgramTimeout", "5015");  // as large as the Monitor timeout: no time left
    r = Monitor(in);
    ExpectState(r, "UNKNOWN");
    ExpectMessage(r, 20084, kError);
    EXPECT_FALSE(std::filesystem::exists(marker)) << "sapinfo was started";
}

// ensmon: replication configured without a replication server is online with 20102 (also on the console),
// 12 is offline.
TEST_F(MonitorE2E, EnsmonVerdictsByInstanceType) {
    Instance& enq = InstallAndStart({.instance = "ASCS01", .type = "enqueue"});
    WriteControl(enq, "[ensmon]\nreplication = true\n");
    E2EResult r = Monitor(enq);
    ExpectState(r, "ONLINE");
    const std::string noPartner = "Replication is enabled in server, but no repl. server is connected.";
    ExpectMessages(r, "Monitor", {{20102, kCritical, noPartner}, {20103, kCritical}});
    EXPECT_TRUE(Contains(r.err, noPartner)) << r.err;
    EXPECT_TRUE(r.DebugHas("Execute the command [" + enq.kernelDir + "/ensmon.exe pf=" + enq.profile +
                           " 2] to find the status of SAP Instance."));

    WriteControl(enq, "[ensmon]\nexit_code = 12\n");
    r = Monitor(enq);
    ExpectState(r, "OFFLINE");
    ExpectMessages(r, "Monitor", {{20104, kError, "ensmon.exe returned with exitcode [12]."}});
}

// jcmon: the real tool sees the live nodes; a stopped dispatcher is offline, a starting server unknown; its
// whole answer is read (a verdict behind more than a mebibyte or a zero byte counts). The tool is looked for
// under SAPMonHome, then SAPHome, then the instance's j2ee/os_libs. One that does not answer within the
// budget is killed, and what it wrote is not scanned.
TEST_F(MonitorE2E, JcmonVerdictsAndWhereTheToolIsFound) {
    Instance& in = InstallAndStart({.instance = "JC00", .type = "central", .arch = "java"});
    E2EResult r = Monitor(in);
    ExpectState(r, "ONLINE");
    EXPECT_TRUE(r.DebugHas("jcmon.exe indicates Dispatcher and atleast one J2EE Server is Running"))
        << r.Describe();
    EXPECT_FALSE(r.DebugHas("_RunEnsmonMonitorCheck. returned")) << "a run that worked reports no failure";

    // jcmon's menu answers cannot be pushed into its standard input: nothing runs, the state is unknown.
    r = Monitor(in, WithFaults({"KESTREL_E2E_WRITE_FAILS=20\n0\n0"}));
    ExpectState(r, "UNKNOWN");
    ExpectMessages(r, "Monitor",
                   {{20116, kError, "WriteFile failed to push the input for jcmon.exe into the stdin pipe."},
                    {20056, kError, "Failed to perform second level monitoring [2 0x0000054F]."}});

    WriteControl(in, "[jcmon]\nlines = " +
                         TomlList({"  0  dispatcher  11  Stopped", "  1  server0  12  Running"}) + "\n");
    r = Monitor(in);
    ExpectState(r, "OFFLINE");
    ExpectMessages(r, "Monitor", {{20122, kError}});

    WriteControl(in, "[jcmon]\nlines = " +
                         TomlList({"  0  dispatcher  11  Running", "  1  server0  12  Starting"}) + "\n");
    r = Monitor(in);
    ExpectState(r, "UNKNOWN");
    ExpectMessages(r, "Monitor", {{20124, kWarning}});
    EXPECT_EQ(r.DebugCount(kJcmonRan), 1u);

    const std::string filler(3u << 19, '-');  // 1.5 MiB in one line
    WriteControl(in, "[jcmon]\nlines = [\"  0  dispatcher  11  Running\", \"" + filler +
                         "\", \"\\u0000\", \"  1  server0  12  Running\"]\n");
    r = Monitor(in);
    EXPECT_EQ(r.State(), "ONLINE") << r.Describe().substr(0, 4096);

    WriteControl(in, "");
    const std::string monHome = Root() + "/monhome";
    std::filesystem::create_directories(monHome);
    chmod(monHome.c_str(), 0755);
    SetAttr(in, "SAPMonHome", TomlString(monHome));
    r = Monitor(in);
    ExpectState(r, "ONLINE");
    EXPECT_TRUE(
        r.DebugHas("The binary [" + monHome + "/jcmon.exe] does NOT exist. Checking in alternative path ..."))
        << r.Describe();
    EXPECT_TRUE(r.DebugHas("Executing the command [" + in.kernelDir + "/jcmon.exe pf=" + in.profile + "]"));
    ASSERT_EQ(unlink((in.kernelDir + "/jcmon.exe").c_str()), 0);
    r = Monitor(in);
    ExpectState(r, "ONLINE");
    EXPECT_TRUE(r.DebugHas("Executing the command [" + in.instDir + "/j2ee/os_libs/jcmon.exe pf="))
        << r.Describe();

    ShortBudget();
    WriteControl(in, "[jcmon]\ndelay_ms = 8000\n");
    r = Monitor(in);
    ExpectState(r, "UNKNOWN");
    ExpectMessages(r, "Monitor", {{20086, kError, "The jcmon.exe command timed out."}, {20056, kError}});
    for (const Proc& p : ProcessesUnderRoot()) EXPECT_FALSE(Contains(p.exe, "jcmon")) << p.exe;
}

// Add-In: sapinfo first, jcmon only when sapinfo did not say offline; the halves combine (the table is a
// unit test). Without sapinfo the ABAP half is a failure (20087, 20089) and jcmon decides.
TEST_F(MonitorE2E, AddInCombinesSapinfoAndJcmon) {
    Instance& in = InstallAndStart({.instance = "DVEBMGS00", .type = "central", .arch = "addin"});
    const std::string stopped =
        "[jcmon]\nlines = " + TomlList({"  0  dispatcher  11  Running", "  1  server0  12  Stopped"}) + "\n";
    WriteControl(in, stopped + "[sapinfo]\nexit_code = 2\n");
    E2EResult r = Monitor(in);
    ExpectState(r, "OFFLINE");
    EXPECT_EQ(r.DebugCount(kJcmonRan), 0u) << r.Describe();

    // sapinfo out of time: its own time-out message.
    ShortBudget();
    WriteControl(in, stopped + "[sapinfo]\ndelay_ms = 8000\n");
    r = Monitor(in);
    ExpectMessage(
        r, 20088, kError,
        "The command [" + in.kernelDir + "/sapinfo.exe ashost=" + in.host + " sysnr=00] timed out.");
    Back();
    WriteControl(in, stopped);
    ASSERT_EQ(unlink((in.kernelDir + "/sapinfo.exe").c_str()), 0);
    r = Monitor(in);
    ExpectState(r, "OFFLINE");
    ExpectMessages(r, "Monitor", {{20087, kError}, {20089, kError}, {20123, kError}});
}

// The user's monitor program: 110 online, 1 offline (20097), missing (20095, 20057), out of time (20096).
TEST_F(MonitorE2E, ThirdLevelMonitorProgram) {
    Instance& in = InstallAndStart({.instance = "DVEBMGS00", .type = "central"});
    SetAttr(in, "SecondLevelMonitor", "0");
    const std::string script = Root() + "/monprog.sh";
    ASSERT_TRUE(WriteFile(script, "#!/bin/sh\n[ \"$1\" = sleep ] && exec sleep 5\nexit \"$1\"\n", 0755));
    SetAttr(in, "MonitorProgram", TomlString(script + " 110"));
    E2EResult r = Monitor(in);
    ExpectState(r, "ONLINE");
    EXPECT_TRUE(r.DebugHas("MonitorProgram returned Online(110).")) << r.Describe();
    EXPECT_TRUE(r.DebugHas("SecondLevelMonitor is set to [0]. Skipping the Second Level Monitor."));
    EXPECT_EQ(r.Ids("Monitor"), std::vector<int>{});

    SetAttr(in, "MonitorProgram", TomlString(script + " 1"));
    r = Monitor(in);
    ExpectState(r, "OFFLINE");
    ExpectMessages(r, "Monitor", {{20097, kError}, {20058, kError}});

    const std::string missing = Root() + "/no-such-program";
    SetAttr(in, "MonitorProgram", TomlString(missing + " 110"));
    r = Monitor(in);
    ExpectState(r, "UNKNOWN");
    ExpectMessages(r, "Monitor",
                   {{20095, kError, "MonitorProgram [" + missing + "] does NOT exist."},
                    {20057, kError, "Failed to perform third level monitoring [2 0x000000A0]."},
                    {20136, kError}});

    ShortBudget();
    SetAttr(in, "MonitorProgram", TomlString(script + " sleep"));
    r = Monitor(in);
    ExpectState(r, "UNKNOWN");
    ExpectMessage(r, 20096, kError, "The MonitorProgram [" + script + " sleep] timed out.");
    ExpectMessage(r, 20057, kError, "Failed to perform third level monitoring [7 0x00000102].");
    EXPECT_LT(r.ms, 4500) << "the agent waited for the program instead of killing it";
}

// A SAPMonHome that is no directory (20076) and an empty SAPHost (20077, no failure) stop the ABAP second
// level; a Java instance never looks at SAPHost, and a missing InstProfile stops its jcmon (20081).
TEST_F(MonitorE2E, SecondLevelAttributeErrors) {
    Instance& abap = InstallAndStart({.instance = "DVEBMGS00", .type = "central"});
    Instance& java = InstallAndStart({.instance = "JC01", .type = "central", .arch = "java"});
    const std::string noDir = Root() + "/no/such/dir";
    SetAttr(abap, "SAPMonHome", TomlString(noDir));
    E2EResult r = Monitor(abap);
    ExpectState(r, "UNKNOWN");
    ExpectMessages(r, "Monitor",
                   {{20076, kError, "SAPMonHome [" + noDir + "] directory does NOT exist."},
                    {20056, kError, "Failed to perform second level monitoring [2 0x00000003]."}});
    EXPECT_FALSE(r.DebugHas("Execute the command [")) << "no tool may run";

    SetAttr(abap, "SAPMonHome", TomlString(abap.kernelDir));
    SetAttr(abap, "SAPHost", TomlString(""));
    r = Monitor(abap);
    ExpectState(r, "UNKNOWN");
    ExpectMessages(r, "Monitor", {{20077, kError, "SAPHost [] is NULL."}});

    SetAttr(java, "SAPHost", TomlString(""));
    r = Monitor(java);
    ExpectState(r, "ONLINE");
    EXPECT_EQ(r.DebugCount(kJcmonRan), 1u) << r.Describe();
    const std::string missing = java.profile + ".gone";
    SetAttr(java, "InstProfile", TomlString(missing));
    r = Monitor(java);
    ExpectState(r, "UNKNOWN");
    ExpectMessages(r, "Monitor",
                   {{20081, kError, "InstProfile [" + missing + "] does NOT exist."},
                    {20056, kError, "Failed to perform second level monitoring [2 0x000000A0]."}});
    EXPECT_EQ(r.DebugCount(kJcmonRan), 0u);
}

// Java: jcontrol.exe runs but its nodes are gone. Under Monitor the check sleeps and walks again while more
// than 20 s of a 60 s budget are left (seven passes when the walks take no time), then reports offline.
TEST_F(MonitorE2E, JavaWithoutLauncherIsRecheckedThenOffline) {
    ShortBudget("75");  // 60 s of budget
    Instance& in = Install({.instance = "JC00", .type = "central", .arch = "java"});
    // Down: neither jcontrol.exe nor a node, a row apart from "jcontrol.exe down, nodes up".
    E2EResult down = Monitor(in);
    ExpectState(down, "OFFLINE");
    EXPECT_TRUE(down.DebugHas("Some/All of the processes in the ProcMon are NOT Running."))
        << down.Describe();
    EXPECT_FALSE(down.DebugHas("jcontrol.exe process in the ProcMon is NOT Running.")) << down.Describe();

    WriteControl(in, "[process.dispatcher]\nexit_after_ms = 0\n[process.server0]\nexit_after_ms = 0\n");
    ASSERT_TRUE(StartInstance(in));
    // A node shows as jcontrol.exe until it has executed jlaunch.exe: wait until jcontrol saw both end.
    ASSERT_TRUE(WaitFor([&] { return SimLogCount(in, "jcontrol.exe: node process") >= 2; }));
    ASSERT_TRUE(WaitForNoImage("jlaunch.exe")) << "the nodes did not end";
    E2EResult r = Monitor(in);
    ExpectState(r, "OFFLINE");
    EXPECT_TRUE(r.DebugHas("All the processes in the ProcMon are Running. But no jlaunch.exe is Running."))
        << r.Describe();
    const size_t passes = r.DebugCount("Sleeping for [5]secs before rechecking for jlaunch.exe.");
    EXPECT_LE(passes, 7u) << r.Describe();
    EXPECT_GE(passes, 5u) << r.Describe();
    EXPECT_FALSE(r.DebugHas("Not enough time to recheck for jlaunch.exe.")) << r.Describe();
    EXPECT_EQ(r.DebugCount(kSecondLevelRan), 0u);
}

// Add-In: disp+work.exe runs but jcontrol.exe has crashed (its nodes live on): rechecked while more than
// 25 s of a 60 s budget remain (six passes), then offline.
TEST_F(MonitorE2E, AddInWithoutJcontrolIsRecheckedThenOffline) {
    ShortBudget("75");
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central", .arch = "addin"});
    WriteControl(in, "[process.\"jcontrol.exe\"]\nexit_after_ms = 300\n");
    ASSERT_TRUE(StartInstance(in));
    WaitForImage(in, "jlaunch.exe", 2);
    ASSERT_TRUE(WaitForNoImage("jcontrol.exe")) << "jcontrol.exe did not end";
    E2EResult r = Monitor(in);
    ExpectState(r, "OFFLINE");
    EXPECT_TRUE(r.DebugHas("jcontrol.exe is NOT Running.")) << r.Describe();
    const size_t passes = r.DebugCount("Sleeping for [5]secs before rechecking for jcontrol.exe.");
    EXPECT_LE(passes, 6u) << r.Describe();
    EXPECT_GE(passes, 5u) << r.Describe();
    EXPECT_FALSE(r.DebugHas("rechecking for jlaunch.exe"));
    EXPECT_EQ(r.DebugCount(kSecondLevelRan), 0u);
}

// ---------------------------------------------------------------------------------------------------
// The agent frame: what the library exports, how the entry points report and dump, startup against a
// cluster that fails, validation per entry point, through cairnagent with the real agent library.

constexpr const char* kDumpStart = "*** Start of debug information dump for troubleshooting ***";
constexpr const char* kDumpEnd = "*** End of debug information dump for troubleshooting ***";

std::string GotTimeout(int seconds) {
    return "Got timeout for the entry point from cluster [" + std::to_string(seconds) + "].";
}

// The dump lines (id 20000) of a list of messages: their texts, in order.
std::vector<std::string> DumpTexts(const std::vector<Json>& messages) {
    std::vector<std::string> texts;
    for (const Json& m : messages)
        if (m.value("id", -1) == 20000) texts.push_back(m.value("text", ""));
    return texts;
}

size_t CountStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(),
                                             [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

// A dump is one block: the start line, the trace lines, the end line.
void ExpectOneFramedDump(const std::vector<std::string>& dump, const std::string& what) {
    ASSERT_GE(dump.size(), 3u) << what;
    EXPECT_EQ(dump.front(), kDumpStart) << what;
    EXPECT_EQ(dump.back(), kDumpEnd) << what;
    EXPECT_EQ(CountStartingWith(dump, kDumpStart), 1u) << what;
    EXPECT_EQ(CountStartingWith(dump, kDumpEnd), 1u) << what;
}

class FrameE2E : public E2ETest {
  protected:
    Instance& Central() {
        Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
        // Monitors of these tests need no second level; its tool runs would only cost time.
        SetAttr(in, "SecondLevelMonitor", "0");
        return in;
    }
};

// The host finds the agent's entry points only through CairnAgStartup; everything else stays inside the
// library, so no symbol of it can clash with the host's or another agent's.
TEST(AgentLibrary, ExportsOnlyCairnAgStartup) {
    const ProcResult nm = kestrel_test::RunProcess(
        {.program = KESTREL_FRAME_NM, .args = {"-D", "--defined-only", KESTREL_FRAME_AGENT}});
    ASSERT_EQ(nm.exitStatus, 0) << nm.err;
    // "ADDRESS TYPE NAME". Only code symbols count (T/t text, W/w weak, i indirect): some linkers add the
    // absolute markers _edata, _end and __bss_start (types A, B, D), which are no functions.
    std::vector<std::string> functions;
    std::istringstream fields(nm.out);
    for (std::string address, type, name; fields >> address >> type >> name;)
        if (type == "T" || type == "t" || type == "W" || type == "w" || type == "i")
            functions.push_back(name);
    EXPECT_EQ(functions, std::vector<std::string>{"CairnAgStartup"}) << nm.out;
}

// The shipped example runs as it stands once its directories point into the test's root. Its first
// resource has a SAPSID beginning with a digit: validation fails, so parsing fails, so Monitor answers
// unknown; the three errors come in the order the failure travels up, then the call's trace is dumped, in
// the JSON output and in the agent log under the resource's name. The second is valid but its start
// service is not registered: the failed query is reported, the state stays offline.
TEST_F(FrameE2E, ShippedExampleConfigurationRuns) {
    std::string text = ReadFile(KESTREL_FRAME_EXAMPLE);
    const std::string from = "/tmp/cairn-example", to = Root() + "/example",
                      config = Root() + "/example.toml";
    size_t replaced = 0;
    for (size_t at; (at = text.find(from)) != std::string::npos; ++replaced)
        text.replace(at, from.size(), to);
    ASSERT_GE(replaced, 2u) << "state_dir and log_dir";
    ASSERT_TRUE(WriteFile(config, text));
    auto monitor = [&](const std::string& resource) {
        E2EResult r;
        static_cast<ProcResult&>(r) =
            Exec(KESTREL_FRAME_CAIRNAGENT, {"--config", config, "--json", "monitor", resource});
        r.json = Json::parse(r.out, nullptr, false);
        return r;
    };

    E2EResult r = monitor("sap1BC_D00");
    ExpectRun(r, 1, "UNKNOWN");
    EXPECT_EQ(r.Result("Monitor"), 2);
    ExpectMessages(r, "Monitor",
                   {{20147, kError, "SAPSID [1BC] is NOT valid."},
                    {20142, kError, "CheckArgs Failed."},
                    {20135, kError, "Failed to parse the argument list for Monitor [2, 0x000000A0]."}});
    const std::vector<Json> messages = r.Messages("Monitor");
    ASSERT_GT(messages.size(), 3u);
    EXPECT_EQ(messages[3].value("id", -1), 20000) << "the dump comes after the messages";
    const std::vector<std::string> dump = DumpTexts(messages);
    ExpectOneFramedDump(dump, "Monitor");
    EXPECT_EQ(CountStartingWith(dump,
                                "The first letter in SAPSID [1BC] is either not an alphabet or not an "
                                "UPPER case character."),
              1u);
    const std::string agentLog = ReadFile(to + "/log/Kestrel.log");
    EXPECT_TRUE(Contains(
        agentLog, " ERROR 55002-20147 sap1BC_D00 CKestrelAttrib::_CheckArgs: SAPSID [1BC] is NOT valid."))
        << agentLog;
    EXPECT_TRUE(Contains(agentLog, kDumpStart)) << agentLog;
    // The trace tag is on in the example: the call's trace lines reach the resource's debug log.
    EXPECT_TRUE(
        Contains(ReadFile(to + "/log/resources/sap1BC_D00.log"), " DBG19 CKestrelAttrib::_CheckArgs "));

    r = monitor("sapPRD_ASCS01");
    ExpectRun(r, 0, "OFFLINE");
    EXPECT_TRUE(Contains(r.out, "Failed to monitor the resource sapPRD_ASCS01 [2, 0x00000424].")) << r.out;
}

// ResLogLevel decides the dump of a successful call, case-sensitively; Online repairs an unknown level
// (20173, 20174); a failing entry point dumps whatever the level.
TEST_F(FrameE2E, ResLogLevelDecidesTheDumpOfASuccessfulCall) {
    Instance& in = Central();
    SetAttr(in, "ResLogLevel", TomlString("trace"));
    E2EResult on = Online(in);
    EXPECT_EQ(on.exitStatus, 0) << on.Describe();
    EXPECT_EQ(on.State(), "ONLINE") << "the repair lets Online go on\n" << on.Describe();
    ExpectMessage(on, 20173, 2, "ResLogLevel [trace] is invalid.");
    ExpectMessage(on, 20174, 3, "Setting ResLogLevel to default Log Level [INFO].");
    EXPECT_FALSE(on.HasMessage(20131)) << on.Describe();
    EXPECT_TRUE(DumpTexts(on.Messages()).empty()) << on.Describe();

    for (const char* level : {"TRACE", "TRACETRACE"}) {
        SetAttr(in, "ResLogLevel", TomlString(level));
        E2EResult r = Monitor(in);
        EXPECT_EQ(r.State(), "ONLINE") << r.Describe();
        const std::vector<std::string> dump = DumpTexts(r.Messages("Monitor"));
        ExpectOneFramedDump(dump, level);
        EXPECT_EQ(CountStartingWith(dump, "Monitor successful."), 1u) << level;
        EXPECT_EQ(r.Ids("Monitor"), std::vector<int>{}) << "nothing but the dump";
    }
    SetAttr(in, "ResLogLevel", TomlString("INFO"));
    E2EResult info = Monitor(in);
    EXPECT_TRUE(DumpTexts(info.Messages()).empty()) << info.Describe();
    EXPECT_TRUE(info.DebugHas("Monitor successful.")) << info.Describe();

    SetAttr(in, "ProcMon", TomlList({"disp+work.exe", "enserver.exe"}));
    E2EResult failed = Monitor(in);
    EXPECT_EQ(failed.State(), "UNKNOWN") << failed.Describe();
    ExpectOneFramedDump(DumpTexts(failed.Messages("Monitor")), "failed Monitor");
}

// Startup's wiring (the agent's unit tests cover every fault): a cluster that opens at the fourth attempt
// starts cleanly; one that never opens is tried 32 times and dumps startup's trace, and entry points still
// run with the default timeouts.
TEST_F(FrameE2E, StartupAgainstAFailingCluster) {
    Instance& in = Central();
    E2EResult r = Monitor(in, {"CAIRN_FAULT_OPEN_FAILS=3"});
    ExpectRun(r, 0, "OFFLINE");
    EXPECT_TRUE(DumpTexts(r.Messages("startup")).empty()) << r.out;
    EXPECT_EQ(r.DebugCount(GotTimeout(5015)), 1u) << r.Describe();

    r = Monitor(in, {"CAIRN_FAULT_OPEN_FAILS=100"});
    EXPECT_EQ(r.exitStatus, 0) << r.Describe();
    const std::vector<std::string> dump = DumpTexts(r.Messages("startup"));
    ExpectOneFramedDump(dump, "startup");
    EXPECT_EQ(
        CountStartingWith(dump, "CairnClusterOpenLocal() failed with error [6, 0x000006BA] with message ["),
        32u)
        << r.out;
    EXPECT_EQ(r.DebugCount(GotTimeout(60)), 1u) << r.Describe();
}

// Validation per entry point (the rules are unit tests): Online refuses a file as SAPHome (20154) and an
// unknown SAPAdmin, whose failed log-on is the rule's status (20171 with 2, 1326), and starts nothing;
// Offline checks neither InstType nor ProcMon, Monitor does.
TEST_F(FrameE2E, ValidationPerEntryPoint) {
    Instance& in = Central();
    const std::string file = Root() + "/not-a-directory";
    ASSERT_TRUE(WriteFile(file, "x"));
    SetAttr(in, "SAPHome", TomlString(file));
    E2EResult r = Online(in);
    EXPECT_EQ(r.exitStatus, 1) << r.Describe();
    EXPECT_EQ(r.Ids("Online"), (std::vector<int>{20154, 20142, 20131})) << r.Describe();
    ExpectMessage(r, 20154, 1, "SAPHome [" + file + "] does NOT exist.");
    ExpectMessage(r, 20131, 1, "Failed to parse the argument list for Online [2, 0x000000A0].");

    SetAttr(in, "SAPHome", TomlString(in.kernelDir));
    SetAttr(in, "SAPAdmin", TomlString("nosuchadm"));
    r = Online(in);
    EXPECT_EQ(r.exitStatus, 1) << r.Describe();
    ExpectMessage(r, 20171, 1, "SAPAdmin [nosuchadm] does NOT exist.");
    EXPECT_FALSE(r.HasMessage(20172));
    ExpectMessage(r, 20131, 1, "Failed to parse the argument list for Online [2, 0x0000052E].");
    EXPECT_TRUE(ProcessesUnderRoot().empty()) << "nothing was started";

    // A replication instance whose EnqSrvResName names no resource of the cluster (20182).
    Instance& rep =
        Install({.instance = "ERS04", .type = "enqrep", .sid = Sid(1), .enqsrvRes = "sapNOPE_ASCS99"});
    r = Online(rep);
    EXPECT_EQ(r.exitStatus, 1) << r.Describe();
    ExpectMessage(r, 20182, 1, "EnqSrvResName [sapNOPE_ASCS99] does NOT exist.");
    EXPECT_FALSE(r.HasMessage(20183));

    SetAttr(in, "SAPAdmin", TomlString(kAdminAccount.name));
    SetAttr(in, "InstType", TomlString(""));
    SetAttr(in, "ProcMon", TomlList({}));
    r = Run("offline", in.resource);
    EXPECT_TRUE(r.DebugHas("Arguments validated successfully for Offline.")) << r.Describe();
    EXPECT_FALSE(r.HasMessage(20142, "Offline")) << r.Describe();
    EXPECT_FALSE(r.HasMessage(20133)) << r.Describe();
    ExpectMessage(r, 20158, 1);  // the Monitor after Offline
    EXPECT_EQ(r.Result("Monitor"), 2);
}

}  // namespace
