// The agent frame end to end: what the library exports, how the entry points report and dump, startup
// against a cluster that fails, the entry-point timeouts, validation per entry point and configuration
// errors of the host, through cairnagent with the real agent library.
#include <gtest/gtest.h>
#include <stdio.h>
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

constexpr const char* kDumpStart = "*** Start of debug information dump for troubleshooting ***";
constexpr const char* kDumpEnd = "*** End of debug information dump for troubleshooting ***";

std::string GotTimeout(int seconds) {
    return "Got timeout for the entry point from cluster [" + std::to_string(seconds) + "].";
}

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.rfind(prefix, 0) == 0;
}

// The ids of a list of JSON messages, in order.
std::vector<int> Ids(const std::vector<Json>& messages) {
    std::vector<int> ids;
    for (const Json& m : messages) ids.push_back(m.value("id", -1));
    return ids;
}

std::vector<Json> StartupMessages(const E2EResult& r) {
    std::vector<Json> out;
    if (r.json.is_object() && r.json.contains("startup_messages"))
        for (const Json& m : r.json["startup_messages"]) out.push_back(m);
    return out;
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
                                             [&](const std::string& l) { return StartsWith(l, prefix); }));
}

size_t CountContaining(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }));
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
    // Lines the agent's startup and shutdown wrote to the type's debug log since offset lines.
    std::vector<std::string> TypeDebugLines(size_t from = 0) {
        std::vector<std::string> all = ReadLines(LogDir() + "/resources/@Kestrel.log");
        return std::vector<std::string>(all.begin() + static_cast<long>(std::min(from, all.size())),
                                        all.end());
    }
    size_t TypeDebugSize() { return TypeDebugLines().size(); }

    Instance& Central() {
        Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
        // Monitors of these tests need no second level; its tool runs would only cost time.
        SetAttr(in, "SecondLevelMonitor", "0");
        return in;
    }
};

// --- the library's face ---

// The host finds the agent's entry points only through CairnAgStartup; everything else stays inside the
// library, so no symbol of it can clash with the host's or another agent's.
TEST(AgentLibrary, ExportsOnlyCairnAgStartup) {
    const std::string command = std::string(KESTREL_FRAME_NM) + " -D --defined-only " + KESTREL_FRAME_AGENT;
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string text;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) text.append(buf, n);
    ASSERT_EQ(pclose(pipe), 0) << command;
    std::vector<std::string> functions;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        // "ADDRESS TYPE NAME". Only code symbols count (T/t text, W/w weak, i indirect): some linkers add the
        // absolute markers _edata, _end and __bss_start (types A, B, D), which are no functions.
        std::istringstream fields(line);
        std::string address, type, name;
        if (!(fields >> address >> type >> name)) continue;
        if (type == "T" || type == "t" || type == "W" || type == "w" || type == "i")
            functions.push_back(name);
    }
    EXPECT_EQ(functions, std::vector<std::string>{"CairnAgStartup"}) << text;
}

// --- reporting and dumps ---

// A SAPSID beginning with a digit: validation fails, so parsing fails, so Monitor answers unknown; the three
// messages come in the order the failure travels up, then the call's trace is dumped.
TEST_F(FrameE2E, InvalidSapsidReportsCheckParseMonitorThenDumps) {
    Instance& in = Central();
    SetAttr(in, "SAPSID", TomlString("1BC"));
    E2EResult r = Monitor(in);
    EXPECT_EQ(r.exitStatus, 1) << r.Describe();
    EXPECT_EQ(r.State(), "UNKNOWN") << r.Describe();
    EXPECT_EQ(r.Result("Monitor"), 2);

    const std::vector<Json> messages = r.Messages("Monitor");
    std::vector<int> own;
    size_t lastOwn = 0, firstDump = messages.size();
    for (size_t i = 0; i < messages.size(); ++i) {
        const int id = messages[i].value("id", -1);
        if (id == 20000) {
            firstDump = std::min(firstDump, i);
        } else {
            own.push_back(id);
            lastOwn = i;
            EXPECT_EQ(messages[i].value("severity", -1), 1) << id;
        }
    }
    EXPECT_EQ(own, (std::vector<int>{20147, 20142, 20135})) << r.Describe();
    EXPECT_LT(lastOwn, firstDump) << "the dump comes after the messages";
    EXPECT_EQ(r.MessageText(20147), "SAPSID [1BC] is NOT valid.");
    EXPECT_EQ(r.MessageText(20142), "CheckArgs Failed.");
    EXPECT_EQ(r.MessageText(20135), "Failed to parse the argument list for Monitor [2, 0x000000A0].");
    const std::vector<std::string> dump = DumpTexts(messages);
    ExpectOneFramedDump(dump, "Monitor");
    EXPECT_EQ(CountStartingWith(dump,
                                "The first letter in SAPSID [1BC] is either not an alphabet or not an "
                                "UPPER case character."),
              1u);
    EXPECT_EQ(CountStartingWith(dump, "Validating the arguments for Monitor."), 1u);

    // The agent log holds the same lines, in the same order, under the resource's name.
    std::vector<std::string> ids;
    for (const std::string& l : r.agentLog) {
        size_t at = l.find(" 55002-");
        if (at != std::string::npos) ids.push_back(l.substr(at + 7, 5));
    }
    ASSERT_GE(ids.size(), 3u + dump.size()) << r.Describe();
    EXPECT_EQ(std::vector<std::string>(ids.begin(), ids.begin() + 3),
              (std::vector<std::string>{"20147", "20142", "20135"}));
    EXPECT_EQ(static_cast<size_t>(std::count(ids.begin() + 3, ids.end(), "20000")), dump.size());
    EXPECT_TRUE(r.AgentLogHas(" ERROR 55002-20147 " + in.resource +
                              " CKestrelAttrib::_CheckArgs: SAPSID [1BC] is NOT valid."))
        << r.Describe();
    EXPECT_TRUE(r.AgentLogHas(kDumpStart)) << r.Describe();
}

// The shipped example runs as it stands once its directories point into the test's root.
TEST_F(FrameE2E, ShippedExampleConfigurationRuns) {
    std::string text = ReadFile(KESTREL_FRAME_EXAMPLE);
    ASSERT_FALSE(text.empty()) << KESTREL_FRAME_EXAMPLE;
    const std::string from = "/tmp/cairn-example";
    const std::string to = Root() + "/example";
    size_t replaced = 0;
    for (size_t at; (at = text.find(from)) != std::string::npos; ++replaced)
        text.replace(at, from.size(), to);
    ASSERT_GE(replaced, 2u) << "state_dir and log_dir";
    const std::string config = Root() + "/example.toml";
    ASSERT_TRUE(WriteFile(config, text));

    ProcResult bad = Exec(KESTREL_FRAME_CAIRNAGENT, {"--config", config, "--json", "monitor", "sap1BC_D00"});
    EXPECT_EQ(bad.exitStatus, 1) << bad.err;
    Json j = Json::parse(bad.out, nullptr, false);
    ASSERT_TRUE(j.is_object()) << bad.out << bad.err;
    EXPECT_EQ(j.value("state", ""), "UNKNOWN");
    ASSERT_EQ(j["calls"].size(), 1u);
    EXPECT_EQ(j["calls"][0].value("result", -1), 2);
    std::vector<int> own;
    for (const Json& m : j["calls"][0]["messages"])
        if (m.value("id", -1) != 20000) own.push_back(m.value("id", -1));
    EXPECT_EQ(own, (std::vector<int>{20147, 20142, 20135}));
    const std::string log = ReadFile(to + "/log/Kestrel.log");
    EXPECT_NE(log.find("55002-20147 sap1BC_D00 CKestrelAttrib::_CheckArgs: SAPSID [1BC] is NOT valid."),
              std::string::npos)
        << log;
    // The trace tag is on in the example: the call's trace lines reach the resource's debug log.
    const std::string debug = ReadFile(to + "/log/resources/sap1BC_D00.log");
    EXPECT_NE(debug.find(" DBG19 CKestrelAttrib::_CheckArgs "), std::string::npos) << debug;

    // The plausible resource: valid, nothing of it runs, so it is offline.
    ProcResult good =
        Exec(KESTREL_FRAME_CAIRNAGENT, {"--config", config, "--json", "monitor", "sapPRD_ASCS01"});
    EXPECT_EQ(good.exitStatus, 0) << good.out << good.err;
    j = Json::parse(good.out, nullptr, false);
    ASSERT_TRUE(j.is_object()) << good.out << good.err;
    EXPECT_EQ(j.value("state", ""), "OFFLINE") << good.out;
    // Its start service is not registered here: the failed query is reported, the state stays offline.
    ASSERT_EQ(j["calls"].size(), 1u);
    bool serviceFailure = false;
    for (const Json& m : j["calls"][0]["messages"])
        serviceFailure |=
            m.value("text", "") == "Failed to monitor the resource sapPRD_ASCS01 [2, 0x00000424].";
    EXPECT_TRUE(serviceFailure) << good.out;
}

// ResLogLevel decides the dump of a successful call, case-sensitively; Online repairs an unknown level.
TEST_F(FrameE2E, ResLogLevelDecidesTheDumpOfASuccessfulCall) {
    Instance& in = Central();
    SetAttr(in, "ResLogLevel", TomlString("trace"));
    E2EResult on = Online(in);
    EXPECT_EQ(on.exitStatus, 0) << on.Describe();
    EXPECT_EQ(on.State(), "ONLINE") << "the repair lets Online go on\n" << on.Describe();
    const std::vector<Json> onMessages = on.Messages("Online");
    const std::vector<int> ids = Ids(onMessages);
    auto at20173 = std::find(ids.begin(), ids.end(), 20173);
    auto at20174 = std::find(ids.begin(), ids.end(), 20174);
    ASSERT_NE(at20173, ids.end()) << on.Describe();
    ASSERT_NE(at20174, ids.end()) << on.Describe();
    EXPECT_LT(at20173, at20174);
    EXPECT_EQ(onMessages[static_cast<size_t>(at20173 - ids.begin())].value("severity", -1), 2);
    EXPECT_EQ(onMessages[static_cast<size_t>(at20174 - ids.begin())].value("severity", -1), 3);
    EXPECT_EQ(on.MessageText(20173), "ResLogLevel [trace] is invalid.");
    EXPECT_EQ(on.MessageText(20174), "Setting ResLogLevel to default Log Level [INFO].");
    EXPECT_FALSE(on.HasMessage(20131)) << on.Describe();
    EXPECT_TRUE(on.DebugHas("Online successful.")) << on.Describe();
    // Repaired to INFO: the successful Online dumps nothing; Monitor never repairs, and "trace" is no
    // TRACE either.
    EXPECT_TRUE(DumpTexts(on.Messages()).empty()) << on.Describe();

    for (const char* level : {"TRACE", "TRACETRACE"}) {
        SetAttr(in, "ResLogLevel", TomlString(level));
        E2EResult r = Monitor(in);
        EXPECT_EQ(r.State(), "ONLINE") << r.Describe();
        const std::vector<std::string> dump = DumpTexts(r.Messages("Monitor"));
        ExpectOneFramedDump(dump, level);
        EXPECT_EQ(CountStartingWith(dump, "Monitor successful."), 1u) << level;
        EXPECT_EQ(Ids(r.Messages("Monitor")).size(), dump.size()) << "nothing but the dump";
    }

    SetAttr(in, "ResLogLevel", TomlString("INFO"));
    E2EResult info = Monitor(in);
    EXPECT_EQ(info.State(), "ONLINE") << info.Describe();
    EXPECT_TRUE(DumpTexts(info.Messages()).empty()) << info.Describe();
    EXPECT_TRUE(info.DebugHas("Monitor successful.")) << info.Describe();

    // A failing entry point dumps whatever the level: Monitor with a ProcMon entry its type does not run.
    SetAttr(in, "ProcMon", TomlList({"disp+work.exe", "enserver.exe"}));
    E2EResult failed = Monitor(in);
    EXPECT_EQ(failed.State(), "UNKNOWN") << failed.Describe();
    EXPECT_TRUE(failed.HasMessage(20160)) << failed.Describe();
    ExpectOneFramedDump(DumpTexts(failed.Messages("Monitor")), "failed Monitor");
}

// --- startup against a failing cluster ---

// A cluster that opens at the fourth attempt: startup ends well, so it dumps nothing.
TEST_F(FrameE2E, ClusterOpeningLateStartsCleanly) {
    Instance& in = Central();
    E2EResult r = Monitor(in, {"CAIRN_FAULT_OPEN_FAILS=3"});
    EXPECT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.State(), "OFFLINE") << r.Describe();
    EXPECT_TRUE(DumpTexts(StartupMessages(r)).empty()) << r.out;
    const std::vector<std::string> startup = TypeDebugLines();
    EXPECT_EQ(CountContaining(startup, "CairnClusterOpenLocal() failed with error [6, 0x000006BA]"), 3u);
    EXPECT_EQ(CountContaining(startup, "CairnClusterOpenLocal() Success."), 1u);
    // Opened: the cluster's timeouts were read.
    EXPECT_EQ(r.DebugCount(GotTimeout(5015)), 1u) << r.Describe();
}

// A cluster that never opens: 32 attempts, a dump of startup's trace, and entry points that still run, with
// the default timeouts.
TEST_F(FrameE2E, ClusterNeverOpeningDumpsStartupAndKeepsDefaultTimeouts) {
    Instance& in = Central();
    E2EResult r = Monitor(in, {"CAIRN_FAULT_OPEN_FAILS=100"});
    EXPECT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.State(), "OFFLINE") << r.Describe();
    const std::vector<std::string> dump = DumpTexts(StartupMessages(r));
    ExpectOneFramedDump(dump, "startup");
    EXPECT_EQ(
        CountStartingWith(dump, "CairnClusterOpenLocal() failed with error [6, 0x000006BA] with message ["),
        32u)
        << r.out;
    EXPECT_EQ(CountStartingWith(dump, "CairnClusterOpenLocal() Success."), 0u);
    EXPECT_EQ(r.DebugCount(GotTimeout(60)), 1u) << r.Describe();

    E2EResult c = Run("clean", in.resource, true, {"CAIRN_FAULT_OPEN_FAILS=100"});
    EXPECT_EQ(c.exitStatus, 0) << c.Describe();
    EXPECT_EQ(c.DebugCount(GotTimeout(120)), 1u) << c.Describe();
}

// A failed read of MonitorTimeout stops the loading there: Online and Offline have the cluster's values,
// Monitor and Clean their defaults, and startup reports no failure.
TEST_F(FrameE2E, FailedMonitorTimeoutReadLeavesItAndCleanAtTheirDefaults) {
    Instance& in = Central();
    SetTypeAttr("CleanTimeout", "9000");
    const std::vector<std::string> fault{"CAIRN_FAULT_ATTR_READ=MonitorTimeout"};
    size_t from = TypeDebugSize();
    E2EResult m = Monitor(in, fault);
    EXPECT_EQ(m.exitStatus, 0) << m.Describe();
    EXPECT_EQ(m.DebugCount(GotTimeout(60)), 1u) << "configured 5015\n" << m.Describe();
    EXPECT_TRUE(DumpTexts(StartupMessages(m)).empty()) << m.out;
    const std::vector<std::string> startup = TypeDebugLines(from);
    EXPECT_EQ(CountContaining(startup,
                              "CairnObjGetAttribute() for MonitorTimeout failed with error [7, "
                              "0x0000054F] with message ["),
              1u);
    EXPECT_EQ(CountContaining(startup, "CairnObjRegister()"), 0u);

    E2EResult c = Run("clean", in.resource, true, fault);
    EXPECT_EQ(c.DebugCount(GotTimeout(120)), 1u) << "configured 9000\n" << c.Describe();

    E2EResult on = Online(in, fault);
    EXPECT_EQ(on.DebugCount(GotTimeout(10000)), 1u) << on.Describe();  // Online's own, as configured
    EXPECT_EQ(on.DebugCount(GotTimeout(60)), 1u) << on.Describe();     // the Monitor after it
}

// A failed registration is a startup failure: its trace is dumped. The timeouts were read before.
TEST_F(FrameE2E, FailedRegistrationDumpsStartupTrace) {
    Instance& in = Central();
    E2EResult r = Monitor(in, {"CAIRN_FAULT_REGISTER=CleanTimeout"});
    EXPECT_EQ(r.exitStatus, 0) << r.Describe();
    const std::vector<std::string> dump = DumpTexts(StartupMessages(r));
    ExpectOneFramedDump(dump, "startup");
    EXPECT_EQ(CountStartingWith(dump,
                                "CairnObjRegister() for CleanTimeout failed with error [7, 0x0000054F] "
                                "with message ["),
              1u)
        << r.out;
    EXPECT_EQ(CountStartingWith(dump, "CairnObjRegister() for"), 1u)
        << "no registration after the failed one";
    EXPECT_EQ(r.DebugCount(GotTimeout(5015)), 1u) << r.Describe();
}

// --- validation per entry point ---

TEST_F(FrameE2E, OnlineRefusesAFileAsSapHome) {
    Instance& in = Central();
    const std::string file = Root() + "/not-a-directory";
    ASSERT_TRUE(WriteFile(file, "x"));
    SetAttr(in, "SAPHome", TomlString(file));
    E2EResult r = Online(in);
    EXPECT_EQ(r.exitStatus, 1) << r.Describe();
    EXPECT_EQ(r.MessageText(20154), "SAPHome [" + file + "] does NOT exist.") << r.Describe();
    EXPECT_EQ(r.MessageText(20131), "Failed to parse the argument list for Online [2, 0x000000A0].");
    EXPECT_FALSE(r.DebugHas("Arguments validated successfully for Online.")) << r.Describe();
    EXPECT_TRUE(ProcessesUnderRoot().empty()) << "nothing was started";
}

// The account check logs on; an unknown account fails the log-on, and that failure is the rule's status
// (2 with 1326), so the message is 20171. "No such account" with a working check (20172) cannot happen:
// the check has no answer but "it logged on" or a failed log-on.
TEST_F(FrameE2E, OnlineRefusesAnUnknownSapAdminWithTheLogOnStatus) {
    Instance& in = Central();
    SetAttr(in, "SAPAdmin", TomlString("nosuchadm"));
    E2EResult r = Online(in);
    EXPECT_EQ(r.exitStatus, 1) << r.Describe();
    EXPECT_EQ(r.MessageText(20171), "SAPAdmin [nosuchadm] does NOT exist.") << r.Describe();
    EXPECT_FALSE(r.HasMessage(20172));
    EXPECT_EQ(r.MessageText(20131), "Failed to parse the argument list for Online [2, 0x0000052E].");
    EXPECT_TRUE(r.DebugHas("SAPAdmin [nosuchadm] does NOT exist [2, 0x0000052E].")) << r.Describe();
    EXPECT_TRUE(ProcessesUnderRoot().empty()) << "nothing was started";
}

TEST_F(FrameE2E, OfflineChecksNeitherInstTypeNorProcMon) {
    Instance& in = Central();
    SetAttr(in, "InstType", TomlString(""));
    SetAttr(in, "ProcMon", TomlList({}));
    E2EResult r = Run("offline", in.resource);
    EXPECT_TRUE(r.DebugHas("Arguments validated successfully for Offline.")) << r.Describe();
    EXPECT_FALSE(r.HasMessage(20142, "Offline")) << r.Describe();
    EXPECT_FALSE(r.HasMessage(20133)) << r.Describe();
    // Monitor checks both.
    EXPECT_TRUE(r.HasMessage(20158, "Monitor")) << r.Describe();
    EXPECT_EQ(r.Result("Monitor"), 2);
}

// Clean's validation leaves SAPHost and SAPHome to Clean itself, which reports them and still kills.
TEST_F(FrameE2E, CleanReportsSapHostAndSapHomeItselfAndGoesOn) {
    Instance& in = Central();
    ASSERT_TRUE(StartInstance(in));
    SetAttr(in, "SAPHost", TomlString(""));
    E2EResult r = Run("clean", in.resource);
    EXPECT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.State(), "CLEANED") << r.Describe();
    EXPECT_TRUE(r.DebugHas("Arguments validated successfully for Clean.")) << r.Describe();
    EXPECT_EQ(r.MessageText(20059), "SAPHost is empty. Continueing Clean operation ...") << r.Describe();
    EXPECT_FALSE(r.HasMessage(20137));
    EXPECT_TRUE(WaitFor([&] {
        for (const Proc& p : ProcessesUnderRoot())
            if (p.exe.rfind(in.instDir + "/exe/", 0) == 0 && p.exe.find("sapstartsrv") == std::string::npos)
                return false;
        return true;
    })) << "Clean killed the instance's processes";

    SetAttr(in, "SAPHost", TomlString(in.host));
    SetAttr(in, "SAPHome", TomlString(""));
    r = Run("clean", in.resource);
    EXPECT_EQ(r.State(), "CLEANED") << r.Describe();
    EXPECT_EQ(r.MessageText(20062), "SAPHome is empty. Continueing Clean operation ...") << r.Describe();
    EXPECT_FALSE(r.HasMessage(20137));

    const std::string missing = Root() + "/no/such/dir";
    SetAttr(in, "SAPHome", TomlString(missing));
    r = Run("clean", in.resource);
    EXPECT_EQ(r.State(), "CLEANED") << r.Describe();
    EXPECT_EQ(r.MessageText(20064),
              "SAPHome [" + missing + "] does NOT exist. Continueing Clean operation ...")
        << r.Describe();
    EXPECT_FALSE(r.HasMessage(20137));
}

// --- configuration errors of the host ---

// One line on standard error naming the file and what is wrong; the agent is never loaded, so it logs
// nothing.
TEST_F(FrameE2E, ConfigurationErrorsStopBeforeTheAgentLoads) {
    Instance& in = Central();
    WriteConfig();
    auto expectOneLine = [&](const ProcResult& p, const std::vector<std::string>& parts) {
        EXPECT_EQ(p.exitStatus, 2) << p.err;
        EXPECT_TRUE(p.out.empty()) << p.out;
        const std::string err = kestrel_test::StripWrapperNoise(p.err);
        ASSERT_FALSE(err.empty());
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(err.back(), '\n');
        EXPECT_TRUE(StartsWith(err, "cairnagent: ")) << err;
        for (const std::string& part : parts)
            EXPECT_NE(err.find(part), std::string::npos) << part << " in " << err;
    };
    expectOneLine(RunCairn({"--json", "monitor", "sapNOPE_D00"}), {"sapNOPE_D00"});

    SetAttr(in, "SecondLevelMonitor", TomlList({"1"}));
    WriteConfig();
    std::vector<std::string> lines = ReadLines(ConfigPath());
    size_t line = 0;
    for (size_t i = 0; i < lines.size(); ++i)
        if (StartsWith(lines[i], "SecondLevelMonitor = ")) line = i + 1;
    ASSERT_GT(line, 0u);
    expectOneLine(RunCairn({"--json", "monitor", in.resource}),
                  {ConfigPath() + ":" + std::to_string(line) + ": ",
                   "resources." + in.resource + ".SecondLevelMonitor: ", "expected an integer"});
    expectOneLine(RunCairn({"online", in.resource}), {"SecondLevelMonitor"});

    EXPECT_FALSE(std::filesystem::exists(LogDir() + "/Kestrel.log"));
    EXPECT_FALSE(std::filesystem::exists(LogDir() + "/resources/@Kestrel.log"));
}

}  // namespace
