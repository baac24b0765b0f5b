// Monitor end to end: cairnagent monitor against sapsim instances with real processes and services.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "E2EHarness.h"

using namespace kestrel_e2e;

namespace {

class MonitorE2E : public E2ETest {
  protected:
    Instance& InstallAndStart(const InstallOptions& o) {
        Instance& in = Install(o);
        EXPECT_TRUE(StartInstance(in));
        if (o.arch == "java" || o.arch == "addin")
            WaitForImage(in, "jlaunch.exe", 2);  // dispatcher and server0
        return in;
    }

    // A monitor program: exits with its first argument, or sleeps first when asked to.
    std::string MonitorScript() {
        const std::string path = Root() + "/monprog.sh";
        EXPECT_TRUE(WriteFile(path, "#!/bin/sh\n[ \"$1\" = sleep ] && exec sleep 5\nexit \"$1\"\n", 0755));
        return path;
    }

    // A running central instance whose only check past the first level is the program (command line).
    Instance& WithMonitorProgram(const std::string& program) {
        Instance& in = InstallAndStart({.instance = "DVEBMGS00", .type = "central"});
        SetAttr(in, "SecondLevelMonitor", "0");
        SetAttr(in, "MonitorProgram", TomlString(program));
        return in;
    }

    // 10 s of Monitor budget that take 1 s of real time: a tool that hangs is cut off quickly.
    void ShortMonitorBudget() {
        SetTimeScale(10);
        SetTypeAttr("MonitorTimeout", "25");
    }

    void ExpectNothingRunning(const std::string& image) {
        for (const Proc& p : ProcessesUnderRoot()) EXPECT_EQ(p.exe.find(image), std::string::npos) << p.exe;
    }
};

// A parameterised MonitorE2E over a table of cases.
template <class Case>
class MonitorTable : public MonitorE2E, public ::testing::WithParamInterface<Case> {};

// Cases that carry their own name print and are named by it.
template <class Case>
requires requires(const Case& c) {
    std::string(c.name);
}
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}
struct ByName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
        return info.param.name;
    }
};

// The state, the exit status that goes with it (1 for unknown only) and, when given, the message; of the
// ids, none but that message is among the run's.
void ExpectVerdict(const E2EResult& r, const std::string& state, int message,
                   std::initializer_list<int> ids = {}) {
    EXPECT_EQ(r.State(), state) << r.Describe();
    EXPECT_EQ(r.exitStatus, state == "UNKNOWN" ? 1 : 0) << r.Describe();
    if (message) {
        EXPECT_TRUE(r.HasMessage(message)) << r.Describe();
    }
    for (int id : ids) EXPECT_EQ(r.HasMessage(id), id == message) << id << "\n" << r.Describe();
}

// --- first level: every architecture and instance type ---

struct Kind {
    const char* type;
    const char* arch;
    const char* instance;
};
void PrintTo(const Kind& k, std::ostream* os) {
    *os << k.type << "/" << k.arch << " " << k.instance;
}

using MonitorKinds = MonitorTable<Kind>;

// Down, up, service stopped under running processes, everything down: OFFLINE, ONLINE, OFFLINE (20074),
// OFFLINE. The second level (SecondLevelMonitor 1 as installed) runs with the instance's own tool each time
// the first level finds it online, so ONLINE means that tool agreed.
TEST_P(MonitorKinds, OnlineOnlyWithAllProcessesAndTheService) {
    const Kind k = GetParam();
    Instance& in = Install({.instance = k.instance, .type = k.type, .arch = k.arch});

    E2EResult r = Monitor(in);
    EXPECT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.State(), "OFFLINE") << r.Describe();
    EXPECT_FALSE(r.HasMessage(20074));

    ASSERT_TRUE(StartInstance(in));
    if (std::string(k.arch) == "java" || std::string(k.arch) == "addin") WaitForImage(in, "jlaunch.exe", 2);
    r = Monitor(in);
    EXPECT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.State(), "ONLINE") << r.Describe();
    EXPECT_EQ(r.Result("Monitor"), 1);
    EXPECT_TRUE(r.DebugHas("All the processes in the ProcMon are Running.")) << r.Describe();
    EXPECT_EQ(r.DebugCount(kSecondLevelRan), 1u) << r.Describe();
    EXPECT_TRUE(r.DebugHas("Second Level Monitor returned Resource state as Online.")) << r.Describe();

    ASSERT_TRUE(StopService(in));
    r = Monitor(in);
    EXPECT_EQ(r.State(), "OFFLINE") << r.Describe();
    EXPECT_TRUE(r.HasMessage(20074)) << r.Describe();
    EXPECT_EQ(r.MessageText(20074), "The SAP Service [" + in.service + "] is NOT Running.");
    EXPECT_EQ(r.DebugCount(kSecondLevelRan), 0u) << "no second level after a stopped service";

    ASSERT_TRUE(StopSap(in));
    r = Monitor(in);
    EXPECT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.State(), "OFFLINE") << r.Describe();
    EXPECT_FALSE(r.HasMessage(20074)) << "a stopped service turns only online into offline";
}

INSTANTIATE_TEST_SUITE_P(
    AllKinds, MonitorKinds,
    ::testing::Values(Kind{"central", "abap", "DVEBMGS00"}, Kind{"dialog", "abap", "D01"},
                      Kind{"central", "java", "JC02"}, Kind{"dialog", "java", "J03"},
                      Kind{"central", "addin", "DVEBMGS04"}, Kind{"dialog", "addin", "D05"},
                      Kind{"enqueue", "none", "ASCS06"}, Kind{"aenqueue", "none", "ASCS07"},
                      Kind{"jenqueue", "none", "SCS08"}, Kind{"enqrep", "none", "ERS09"},
                      Kind{"aenqrep", "none", "ERS10"}, Kind{"jenqrep", "none", "ERS11"}),
    [](const ::testing::TestParamInfo<Kind>& info) {
        return std::string(info.param.type) + "_" + info.param.arch;
    });

// --- first level: the decision table ---

using OptionalProcess = MonitorTable<const char*>;

// An instance short of one optional process is offline, and the check names the missing one.
TEST_P(OptionalProcess, MissingOptionalProcessIsOffline) {
    const std::string missing = GetParam();
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    std::string list;
    for (const char* p : {"disp+work.exe", "msg_server.exe", "igswd.exe", "gwrd.exe", "icman.exe"})
        if (p != missing) list += std::string(list.empty() ? "" : ", ") + "\"" + p + "\"";
    WriteControl(in, "[startsap]\nprocesses = [" + list + "]\n");
    ASSERT_TRUE(StartInstance(in));
    E2EResult r = Monitor(in);
    EXPECT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.State(), "OFFLINE") << r.Describe();
    EXPECT_TRUE(r.DebugHas(missing + " process is defined in the ProcMon but NOT Running.")) << r.Describe();
    EXPECT_TRUE(r.DebugHas("Got procCount[4] and procmonCount[5] from GetProcessState.")) << r.Describe();
}

INSTANTIATE_TEST_SUITE_P(Each, OptionalProcess, ::testing::Values("igswd.exe", "gwrd.exe", "icman.exe"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string n = info.param;
                             return n.substr(0, n.find('.'));
                         });

// Processes started from the kernel directory (with the instance's profile) belong to a central instance
// but never to a dialog instance.
TEST_F(MonitorE2E, ProcessesFromSysCountForCentralButNotForDialog) {
    Instance& dialog = Install({.instance = "D01", .type = "dialog"});
    Instance& central = Install({.instance = "DVEBMGS02", .type = "central", .sid = Sid(1)});
    WriteControl(dialog, "[startsap]\nfrom_sys = true\n");
    WriteControl(central, "[startsap]\nfrom_sys = true\n");
    ASSERT_TRUE(StartInstance(dialog));
    ASSERT_TRUE(StartInstance(central));
    size_t fromSys = 0;
    for (const Proc& p : ProcessesUnderRoot())
        if (p.exe.rfind(dialog.kernelDir + "/", 0) == 0 && p.exe.find("sapsim") == std::string::npos)
            ++fromSys;
    ASSERT_EQ(fromSys, 4u) << "the dialog instance's four images run from the kernel directory";

    E2EResult d = Monitor(dialog);
    EXPECT_EQ(d.State(), "OFFLINE") << d.Describe();
    EXPECT_FALSE(d.DebugHas("Found [SYS] in the exe name")) << d.Describe();
    EXPECT_TRUE(d.DebugHas("Got procCount[0] and procmonCount[4] from GetProcessState.")) << d.Describe();

    E2EResult c = Monitor(central);
    EXPECT_EQ(c.State(), "ONLINE") << c.Describe();
    EXPECT_TRUE(c.DebugHas("Found [SYS] in the exe name")) << c.Describe();
}

// A ProcMon entry that is none of the nine SAP programs never counts: Monitor refuses the list before it
// walks the process table, so such an instance is never reported online, even with every process up.
TEST_F(MonitorE2E, UnknownProcMonEntryNeverCounts) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    SetAttr(in, "ProcMon",
            TomlList({"work.exe", "disp+work.exe", "msg_server.exe", "igswd.exe", "gwrd.exe", "icman.exe"}));
    ASSERT_TRUE(StartInstance(in));
    E2EResult r = Monitor(in);
    EXPECT_EQ(r.State(), "UNKNOWN") << r.Describe();
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.MessageText(20160),
              "Invalid process name in the ProcMon list [WORK.EXE] for InstType [CENTRAL].")
        << r.Describe();
    EXPECT_FALSE(r.DebugHas("Checking for the existence of processes listed in the ProcMon."))
        << r.Describe();

    // One of the nine that the instance type does not run is refused the same way.
    SetAttr(
        in, "ProcMon",
        TomlList({"disp+work.exe", "msg_server.exe", "igswd.exe", "gwrd.exe", "icman.exe", "enserver.exe"}));
    r = Monitor(in);
    EXPECT_EQ(r.State(), "UNKNOWN") << r.Describe();
    EXPECT_TRUE(r.HasMessage(20160)) << r.Describe();
}

// Processes of the instance under an account that is neither SAPAdmin nor SAPServiceUser never count.
TEST_F(MonitorE2E, ProcessesUnderAnotherAccountNeverCount) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    ASSERT_TRUE(StartService(in));
    ASSERT_TRUE(StartSap(in, kOtherAccount));
    E2EResult r = Monitor(in);
    EXPECT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.State(), "OFFLINE") << r.Describe();
    EXPECT_TRUE(r.DebugHas("User name [" + kOtherAccount.name + "] didn't match for process"))
        << r.Describe();
    EXPECT_TRUE(r.DebugHas("Got procCount[0] and procmonCount[5] from GetProcessState.")) << r.Describe();
}

// --- second-level countdown across separate monitor commands ---

TEST_F(MonitorE2E, CountdownAfterOnlineRunsSecondLevelInCycles1458) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    SetAttr(in, "SecondLevelMonitor", "4");
    // online = Online (which stores 4) and then the first monitor cycle.
    E2EResult on = Online(in);
    ASSERT_EQ(on.State(), "ONLINE") << on.Describe();
    std::vector<size_t> runs{on.DebugCount(kSecondLevelRan)};
    for (int cycle = 2; cycle <= 8; ++cycle) {
        E2EResult r = Monitor(in);
        ASSERT_EQ(r.State(), "ONLINE") << "cycle " << cycle << "\n" << r.Describe();
        runs.push_back(r.DebugCount(kSecondLevelRan));
    }
    EXPECT_EQ(runs, (std::vector<size_t>{1, 0, 0, 1, 1, 0, 0, 1}));
}

TEST_F(MonitorE2E, CountdownFromNeverStoredCookieRunsSecondLevelInCycles1256) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    SetAttr(in, "SecondLevelMonitor", "4");
    ASSERT_TRUE(StartInstance(in));
    std::vector<size_t> runs;
    std::vector<std::string> read;
    for (int cycle = 1; cycle <= 6; ++cycle) {
        E2EResult r = Monitor(in);
        ASSERT_EQ(r.State(), "ONLINE") << "cycle " << cycle << "\n" << r.Describe();
        runs.push_back(r.DebugCount(kSecondLevelRan));
    }
    EXPECT_EQ(runs, (std::vector<size_t>{1, 1, 0, 0, 1, 1}));
    // A cycle that finds the instance down leaves the countdown alone.
    ASSERT_TRUE(StopSap(in));
    E2EResult down = Monitor(in);
    EXPECT_EQ(down.State(), "OFFLINE");
    EXPECT_FALSE(down.DebugHas("SLMCounter")) << down.Describe();
    ASSERT_TRUE(StartSap(in));
    E2EResult next = Monitor(in);
    EXPECT_TRUE(next.DebugHas("Got SLMCounter [3] from cookie.")) << next.Describe();
    EXPECT_EQ(next.DebugCount(kSecondLevelRan), 0u);
}

// --- second level: SAP's tools ---

// A tool's or program's exit code and the verdict it gives.
struct ExitCase {
    const char* code;
    const char* state;
    int message;  // 0: none
};
void PrintTo(const ExitCase& k, std::ostream* os) {
    *os << "exit " << k.code;
}
std::string ExitName(const ::testing::TestParamInfo<ExitCase>& info) {
    return "exit" + std::string(info.param.code);
}

using SapinfoExit = MonitorTable<ExitCase>;

TEST_P(SapinfoExit, MapsToState) {
    const ExitCase c = GetParam();
    Instance& in = InstallAndStart({.instance = "DVEBMGS00", .type = "central"});
    WriteControl(in, "[sapinfo]\nexit_code = " + std::string(c.code) + "\n");
    E2EResult r = Monitor(in);
    ExpectVerdict(r, c.state, c.message, {20099, 20100, 20101});
    EXPECT_TRUE(r.DebugHas("Execute the command [" + in.kernelDir + "/sapinfo.exe ashost=" + in.host +
                           " sysnr=00] to find the status of SAP Instance."))
        << r.Describe();
    if (c.message) {
        const std::string text = c.message == 20101 ? "sapinfo.exe returned with invalid exitcode ["
                                                    : "sapinfo.exe returned with exitcode [";
        EXPECT_EQ(r.MessageText(c.message), text + c.code + "].");
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, SapinfoExit,
                         ::testing::Values(ExitCase{"0", "ONLINE", 0}, ExitCase{"1", "UNKNOWN", 20100},
                                           ExitCase{"2", "OFFLINE", 20099}, ExitCase{"7", "UNKNOWN", 20101}),
                         ExitName);

struct EnsmonCase {
    const char* type;
    const char* instance;
    int code;  // -1: the real tool decides (replication configured, no replication server)
    const char* state;
    int message;
};
void PrintTo(const EnsmonCase& k, std::ostream* os) {
    *os << k.type << " exit " << k.code;
}

using EnsmonExit = MonitorTable<EnsmonCase>;

TEST_P(EnsmonExit, MapsToStateByInstanceType) {
    const EnsmonCase c = GetParam();
    Instance& in = InstallAndStart({.instance = c.instance, .type = c.type});
    WriteControl(in, c.code < 0 ? "[ensmon]\nreplication = true\n"
                                : "[ensmon]\nexit_code = " + std::to_string(c.code) + "\n");
    E2EResult r = Monitor(in);
    ExpectVerdict(r, c.state, c.message);
    EXPECT_TRUE(r.DebugHas("Execute the command [" + in.kernelDir + "/ensmon.exe pf=" + in.profile +
                           " 2] to find the status of SAP Instance."))
        << r.Describe();
    if (c.message == 20102) {
        // The replication warning also reaches the operator's console.
        EXPECT_NE(r.err.find("Replication is enabled in server, but no repl. server is connected."),
                  std::string::npos)
            << r.err;
        EXPECT_TRUE(r.AgentLogHas("20103")) << r.Describe();
    }
    if (c.message == 20104) {
        EXPECT_EQ(r.MessageText(20104),
                  "ensmon.exe returned with exitcode [" + std::to_string(c.code) + "].");
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, EnsmonExit,
                         ::testing::Values(EnsmonCase{"enqueue", "ASCS01", 0, "ONLINE", 0},
                                           EnsmonCase{"enqueue", "ASCS01", -1, "ONLINE", 20102},
                                           EnsmonCase{"aenqueue", "ASCS01", 4, "ONLINE", 20102},
                                           EnsmonCase{"jenqueue", "SCS01", 8, "OFFLINE", 20104},
                                           EnsmonCase{"enqueue", "ASCS01", 12, "OFFLINE", 20104},
                                           EnsmonCase{"enqueue", "ASCS01", 5, "UNKNOWN", 20105},
                                           EnsmonCase{"enqrep", "ERS02", 0, "ONLINE", 0},
                                           EnsmonCase{"aenqrep", "ERS02", 8, "UNKNOWN", 20106},
                                           EnsmonCase{"jenqrep", "ERS02", 4, "UNKNOWN", 20107},
                                           EnsmonCase{"enqrep", "ERS02", 12, "UNKNOWN", 20107}),
                         [](const ::testing::TestParamInfo<EnsmonCase>& info) {
                             return std::string(info.param.type) + "_" +
                                    (info.param.code < 0 ? "real4" : std::to_string(info.param.code));
                         });

// jcmon's answer, scanned line by line for "dispatcher", "server", "Running", "Stopped" (case-sensitive).
struct JcmonCase {
    const char* name;
    std::vector<std::string> lines;
    const char* state;
    int message;
};

using JcmonOutput = MonitorTable<JcmonCase>;

TEST_P(JcmonOutput, MapsToState) {
    const JcmonCase& c = GetParam();
    Instance& in = InstallAndStart({.instance = "JC00", .type = "central", .arch = "java"});
    WriteControl(in, "[jcmon]\nlines = " + TomlList(c.lines) + "\n");
    E2EResult r = Monitor(in);
    ExpectVerdict(r, c.state, c.message, {20122, 20123, 20124});
    EXPECT_EQ(r.DebugCount(kJcmonRan), 1u) << r.Describe();
}

INSTANTIATE_TEST_SUITE_P(
    Lines, JcmonOutput,
    ::testing::Values(
        JcmonCase{"BothRunning", {"  0  dispatcher  11  Running", "  1  server0  12  Running"}, "ONLINE", 0},
        JcmonCase{"ServerFirst",
                  {"  1  server0  12  Running", "menu", "  0  dispatcher  11  Running"},
                  "ONLINE",
                  0},
        JcmonCase{"DispatcherStopped",
                  {"  0  dispatcher  11  Stopped", "  1  server0  12  Running"},
                  "OFFLINE",
                  20122},
        JcmonCase{"AllServersStopped",
                  {"  0  dispatcher  11  Running", "  1  server0  12  Stopped", "  2  server1  13  Stopped"},
                  "OFFLINE",
                  20123},
        JcmonCase{"OneServerRunning",
                  {"  0  dispatcher  11  Running", "  1  server0  12  Stopped", "  2  server1  13  Running"},
                  "ONLINE",
                  0},
        JcmonCase{"ServerStarting",
                  {"  0  dispatcher  11  Running", "  1  server0  12  Starting"},
                  "UNKNOWN",
                  20124},
        JcmonCase{"CapitalisedWordsIgnored",
                  {"  0  Dispatcher  11  Running", "  1  Server0  12  Running"},
                  "UNKNOWN",
                  20124},
        JcmonCase{"EmptyOutput", {}, "UNKNOWN", 20124}),
    ByName());

// The real jcmon reports the live nodes: a stopped server node turns the instance offline.
TEST_F(MonitorE2E, JcmonSeesTheRealNodes) {
    Instance& in = InstallAndStart({.instance = "JC00", .type = "central", .arch = "java"});
    E2EResult up = Monitor(in);
    EXPECT_EQ(up.State(), "ONLINE") << up.Describe();
    EXPECT_TRUE(up.DebugHas("jcmon.exe indicates Dispatcher and atleast one J2EE Server is Running"))
        << up.Describe();
}

TEST_F(MonitorE2E, JcmonFoundUnderSAPHomeWhenSAPMonHomeLacksIt) {
    Instance& in = InstallAndStart({.instance = "JC00", .type = "central", .arch = "java"});
    const std::string monHome = Root() + "/monhome";
    std::filesystem::create_directories(monHome);
    chmod(monHome.c_str(), 0755);
    SetAttr(in, "SAPMonHome", TomlString(monHome));
    E2EResult r = Monitor(in);
    EXPECT_EQ(r.State(), "ONLINE") << r.Describe();
    EXPECT_TRUE(
        r.DebugHas("The binary [" + monHome + "/jcmon.exe] does NOT exist. Checking in alternative path ..."))
        << r.Describe();
    EXPECT_TRUE(r.DebugHas("Executing the command [" + in.kernelDir + "/jcmon.exe pf=" + in.profile + "]"))
        << r.Describe();

    // Neither directory has it: the instance's own copy under j2ee/os_libs is used.
    ASSERT_EQ(unlink((in.kernelDir + "/jcmon.exe").c_str()), 0);
    r = Monitor(in);
    EXPECT_EQ(r.State(), "ONLINE") << r.Describe();
    EXPECT_TRUE(r.DebugHas("Executing the command [" + in.instDir + "/j2ee/os_libs/jcmon.exe pf="))
        << r.Describe();
}

// Add-In: sapinfo first, jcmon only when sapinfo did not say offline; the halves combine.
struct AddinCase {
    const char* name;
    int sapinfo;  // exit code; -1: sapinfo.exe missing
    std::vector<std::string> jcmon;
    const char* state;
    bool jcmonRuns;
};

using AddinCombination = MonitorTable<AddinCase>;

TEST_P(AddinCombination, CombinesSapinfoAndJcmon) {
    const AddinCase& c = GetParam();
    Instance& in = InstallAndStart({.instance = "DVEBMGS00", .type = "central", .arch = "addin"});
    std::string control = "[jcmon]\nlines = " + TomlList(c.jcmon) + "\n";
    if (c.sapinfo >= 0) control += "[sapinfo]\nexit_code = " + std::to_string(c.sapinfo) + "\n";
    WriteControl(in, control);
    if (c.sapinfo < 0) {
        ASSERT_EQ(unlink((in.kernelDir + "/sapinfo.exe").c_str()), 0);
    }
    E2EResult r = Monitor(in);
    EXPECT_EQ(r.State(), c.state) << r.Describe();
    EXPECT_EQ(r.DebugCount(kJcmonRan), c.jcmonRuns ? 1u : 0u) << r.Describe();
    if (c.sapinfo < 0) {
        EXPECT_TRUE(r.HasMessage(20087)) << r.Describe();
        EXPECT_TRUE(r.HasMessage(20089)) << r.Describe();
    }
}

const std::vector<std::string> kJRunning{"  0  dispatcher  11  Running", "  1  server0  12  Running"};
const std::vector<std::string> kJStopped{"  0  dispatcher  11  Running", "  1  server0  12  Stopped"};
const std::vector<std::string> kJOther{"  0  dispatcher  11  Running", "  1  server0  12  Starting"};

INSTANTIATE_TEST_SUITE_P(Rows, AddinCombination,
                         ::testing::Values(AddinCase{"AbapOfflineSkipsJcmon", 2, kJRunning, "OFFLINE", false},
                                           AddinCase{"BothOnline", 0, kJRunning, "ONLINE", true},
                                           AddinCase{"AbapOnlineJavaOffline", 0, kJStopped, "UNKNOWN", true},
                                           AddinCase{"AbapOnlineJavaUnknown", 0, kJOther, "UNKNOWN", true},
                                           AddinCase{"AbapUnknownJavaOnline", 1, kJRunning, "UNKNOWN", true},
                                           AddinCase{"AbapUnknownJavaOffline", 1, kJStopped, "OFFLINE", true},
                                           AddinCase{"AbapUnknownJavaUnknown", 7, kJOther, "UNKNOWN", true},
                                           AddinCase{"SapinfoMissingJavaOffline", -1, kJStopped, "OFFLINE",
                                                     true}),
                         ByName());

// --- third level: the user's monitor program ---

using MonitorProgramExit = MonitorTable<ExitCase>;

TEST_P(MonitorProgramExit, MapsToState) {
    const ExitCase c = GetParam();
    E2EResult r = Monitor(WithMonitorProgram(MonitorScript() + " " + c.code));
    ExpectVerdict(r, c.state, c.message);
    if (std::string(c.state) == "ONLINE") {
        EXPECT_TRUE(r.DebugHas("MonitorProgram returned Online(110).")) << r.Describe();
        EXPECT_FALSE(r.HasMessage(20058));
    } else {
        EXPECT_TRUE(r.HasMessage(20058)) << r.Describe();
    }
    EXPECT_FALSE(r.HasMessage(20057)) << "the program ran: no failure";
}

INSTANTIATE_TEST_SUITE_P(Codes, MonitorProgramExit,
                         ::testing::Values(ExitCase{"0", "ONLINE", 0}, ExitCase{"110", "ONLINE", 0},
                                           ExitCase{"1", "OFFLINE", 20097}, ExitCase{"100", "OFFLINE", 20097},
                                           ExitCase{"2", "UNKNOWN", 20098}),
                         ExitName);

TEST_F(MonitorE2E, MissingMonitorProgramIsAFailure) {
    const std::string missing = Root() + "/no-such-program";
    E2EResult r = Monitor(WithMonitorProgram(missing + " 110"));
    ExpectVerdict(r, "UNKNOWN", 0);
    EXPECT_EQ(r.MessageText(20095), "MonitorProgram [" + missing + "] does NOT exist.") << r.Describe();
    EXPECT_EQ(r.MessageText(20057), "Failed to perform third level monitoring [2 0x000000A0].")
        << r.Describe();
}

TEST_F(MonitorE2E, MonitorProgramThatOutlivesTheBudgetTimesOut) {
    ShortMonitorBudget();
    const std::string program = MonitorScript() + " sleep";
    E2EResult r = Monitor(WithMonitorProgram(program));
    EXPECT_EQ(r.State(), "UNKNOWN") << r.Describe();
    EXPECT_EQ(r.MessageText(20096), "The MonitorProgram [" + program + "] timed out.") << r.Describe();
    EXPECT_EQ(r.MessageText(20057), "Failed to perform third level monitoring [7 0x00000102].")
        << r.Describe();
    EXPECT_LT(r.ms, 4500) << "the agent waited for the program instead of killing it";
}

// --- second-level tools out of time ---

struct ToolCase {
    const char* name;
    InstallOptions install;
    const char* tool;  // its image without ".exe", also its section of the control file
    int timedOut;      // the message of its time-out
    std::string (*timedOutText)(const Instance&);
    const char* markerState;  // the state when it exits 0 without output
};
const ToolCase kSapinfo{"Sapinfo",
                        {.instance = "DVEBMGS00", .type = "central"},
                        "sapinfo",
                        20084,
                        [](const Instance& in) {
                            return "The command [" + in.kernelDir + "/sapinfo.exe ashost=" + in.host +
                                   " sysnr=00] timed out.";
                        },
                        "ONLINE"};
const ToolCase kJcmon{"Jcmon",
                      {.instance = "JC00", .type = "central", .arch = "java"},
                      "jcmon",
                      20086,
                      [](const Instance&) { return std::string("The jcmon.exe command timed out."); },
                      "UNKNOWN"};

class ToolOutOfTime : public MonitorTable<ToolCase> {
  protected:
    void ExpectTimedOut(const E2EResult& r, const Instance& in) {
        EXPECT_EQ(r.State(), "UNKNOWN") << r.Describe();
        EXPECT_EQ(r.MessageText(GetParam().timedOut), GetParam().timedOutText(in)) << r.Describe();
        EXPECT_EQ(r.MessageText(20056), "Failed to perform second level monitoring [7 0x00000102].")
            << r.Describe();
    }
};

// A tool that does not answer within the budget is killed: code 7 / 258, unknown, nothing left running.
TEST_P(ToolOutOfTime, HangingToolIsKilledAtTheBudget) {
    const ToolCase& c = GetParam();
    ShortMonitorBudget();
    Instance& in = InstallAndStart(c.install);
    WriteControl(in, "[" + std::string(c.tool) + "]\ndelay_ms = 8000\n");
    E2EResult r = Monitor(in);
    ExpectTimedOut(r, in);
    EXPECT_LT(r.ms, 6000) << "the agent waited for " << c.tool << " instead of killing it";
    ExpectNothingRunning(c.tool);
}

// EPProgramTimeout as large as the Monitor timeout, or beyond it, leaves no time: the tool is not started
// at all and the second level reports a time-out.
TEST_P(ToolOutOfTime, SpentBudgetStartsNoTool) {
    const ToolCase& c = GetParam();
    Instance& in = InstallAndStart(c.install);
    const std::string tool = std::string(c.tool) + ".exe";
    const std::string marker = MarkerScript(in.kernelDir + "/" + tool, in.sid + "-" + tool, 0);
    for (const char* spent : {"5015", "6000"}) {  // equal to MonitorTimeout, beyond it
        SetAttr(in, "EPProgramTimeout", spent);
        SCOPED_TRACE(std::string("EPProgramTimeout ") + spent);
        ExpectTimedOut(Monitor(in), in);
        EXPECT_FALSE(std::filesystem::exists(marker)) << c.tool << " was started";
    }
    // The marker tool itself works: with a budget it runs.
    SetAttr(in, "EPProgramTimeout", "15");
    E2EResult ok = Monitor(in);
    EXPECT_EQ(ok.State(), c.markerState) << ok.Describe();
    EXPECT_TRUE(std::filesystem::exists(marker));
}

INSTANTIATE_TEST_SUITE_P(Tools, ToolOutOfTime, ::testing::Values(kSapinfo, kJcmon), ByName());

// jcontrol.exe runs but its nodes are gone: under Monitor the check sleeps and walks again while more than
// 20 s of a 60 s budget are left (seven passes), then reports offline without the "not enough time" verdict.
TEST_F(MonitorE2E, JavaWithoutLauncherIsRecheckedThenOffline) {
    SetTimeScale(10);                     // 5 s sleeps take 0.5 s: the seven passes cost 3.5 s
    SetTypeAttr("MonitorTimeout", "75");  // 60 s of budget
    Instance& in = Install({.instance = "JC00", .type = "central", .arch = "java"});
    WriteControl(in, "[process.dispatcher]\nexit_after_ms = 0\n[process.server0]\nexit_after_ms = 0\n");
    ASSERT_TRUE(StartInstance(in));
    // jcontrol starts its nodes after it runs, and a node shows as jcontrol.exe until it has executed
    // jlaunch.exe: wait until jcontrol has seen both nodes end, not only until no jlaunch.exe shows.
    ASSERT_TRUE(WaitFor([&] { return SimLogCount(in, "jcontrol.exe: node process") >= 2; }))
        << "the nodes did not end";
    ASSERT_TRUE(WaitForNoImage("jlaunch.exe")) << "the nodes did not end";
    E2EResult r = Monitor(in);
    EXPECT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.State(), "OFFLINE") << r.Describe();
    EXPECT_TRUE(r.DebugHas("All the processes in the ProcMon are Running. But no jlaunch.exe is Running."))
        << r.Describe();
    // Seven passes when the walks take no time; each walk's real time, scaled, shortens what is left.
    const size_t passes = r.DebugCount("Sleeping for [5]secs before rechecking for jlaunch.exe.");
    EXPECT_LE(passes, 7u) << r.Describe();
    EXPECT_GE(passes, 5u) << r.Describe();
    EXPECT_EQ(r.DebugCount("Some of the critical processes are NOT Running."), passes);
    EXPECT_FALSE(r.DebugHas("Not enough time to recheck for jlaunch.exe.")) << r.Describe();
    EXPECT_EQ(r.DebugCount(kSecondLevelRan), 0u);
}

}  // namespace
