// The agent frame end to end: what the library exports, how the entry points report and dump, startup
// against a cluster that fails, the entry-point timeouts, validation per entry point and configuration
// errors of the host, through cairnagent with the real agent library.
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

// --- the library's face ---

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

// --- reporting and dumps ---

// A SAPSID beginning with a digit: validation fails, so parsing fails, so Monitor answers unknown; the three
// errors come in the order the failure travels up, then the call's trace is dumped, in the JSON output and
// in the agent log under the resource's name.
TEST_F(FrameE2E, InvalidSapsidReportsCheckParseMonitorThenDumps) {
    Instance& in = Central();
    SetAttr(in, "SAPSID", TomlString("1BC"));
    E2EResult r = Monitor(in);
    EXPECT_EQ(r.exitStatus, 1) << r.Describe();
    EXPECT_EQ(r.State(), "UNKNOWN") << r.Describe();
    EXPECT_EQ(r.Result("Monitor"), 2);
    EXPECT_EQ(r.Ids("Monitor"), (std::vector<int>{20147, 20142, 20135})) << r.Describe();
    ExpectMessage(r, 20147, 1, "SAPSID [1BC] is NOT valid.");
    ExpectMessage(r, 20142, 1, "CheckArgs Failed.");
    ExpectMessage(r, 20135, 1, "Failed to parse the argument list for Monitor [2, 0x000000A0].");
    const std::vector<Json> messages = r.Messages("Monitor");
    ASSERT_GT(messages.size(), 3u);
    EXPECT_EQ(messages[3].value("id", -1), 20000) << "the dump comes after the messages";
    const std::vector<std::string> dump = DumpTexts(messages);
    ExpectOneFramedDump(dump, "Monitor");
    EXPECT_EQ(CountStartingWith(dump,
                                "The first letter in SAPSID [1BC] is either not an alphabet or not an "
                                "UPPER case character."),
              1u);
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
    EXPECT_NE(ReadFile(to + "/log/Kestrel.log")
                  .find("55002-20147 sap1BC_D00 CKestrelAttrib::_CheckArgs: SAPSID [1BC] is NOT valid."),
              std::string::npos);
    // The trace tag is on in the example: the call's trace lines reach the resource's debug log.
    EXPECT_NE(ReadFile(to + "/log/resources/sap1BC_D00.log").find(" DBG19 CKestrelAttrib::_CheckArgs "),
              std::string::npos);

    // The plausible resource: valid, nothing of it runs, so it is offline; its start service is not
    // registered here: the failed query is reported, the state stays offline.
    ProcResult good =
        Exec(KESTREL_FRAME_CAIRNAGENT, {"--config", config, "--json", "monitor", "sapPRD_ASCS01"});
    EXPECT_EQ(good.exitStatus, 0) << good.out << good.err;
    j = Json::parse(good.out, nullptr, false);
    ASSERT_TRUE(j.is_object()) << good.out << good.err;
    EXPECT_EQ(j.value("state", ""), "OFFLINE") << good.out;
    EXPECT_TRUE(Contains(good.out, "Failed to monitor the resource sapPRD_ASCS01 [2, 0x00000424]."))
        << good.out;
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

// --- startup against a failing cluster (the agent's unit tests cover every fault; this is the wiring) ---

// A cluster that opens at the fourth attempt starts cleanly; one that never opens is tried 32 times and
// dumps startup's trace, and entry points still run with the default timeouts; a failed read of
// MonitorTimeout leaves it at its default without a dump.
TEST_F(FrameE2E, StartupAgainstAFailingCluster) {
    Instance& in = Central();
    E2EResult r = Monitor(in, {"CAIRN_FAULT_OPEN_FAILS=3"});
    EXPECT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.State(), "OFFLINE") << r.Describe();
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

    r = Monitor(in, {"CAIRN_FAULT_ATTR_READ=MonitorTimeout"});
    EXPECT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.DebugCount(GotTimeout(60)), 1u) << "configured 5015\n" << r.Describe();
    EXPECT_TRUE(DumpTexts(r.Messages("startup")).empty()) << r.out;
}

// --- validation per entry point (the rules themselves are unit tests) ---

// Online refuses a file as SAPHome (20154) and an unknown SAPAdmin, whose failed log-on is the rule's
// status (20171 with 2, 1326), and starts nothing; Offline checks neither InstType nor ProcMon, Monitor does.
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
