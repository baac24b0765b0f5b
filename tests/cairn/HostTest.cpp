// cairnagent end to end, with the fake agent: commands, output, exit codes, configuration errors, and what
// it writes and reads on root's behalf.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "LibPasswordCodec.h"
#include "TestSupport.h"

using Json = nlohmann::json;
using kestrel_test::Lines;
using kestrel_test::ProcResult;
using kestrel_test::ReadFile;
using kestrel_test::WriteFile;

namespace {

// cairnagent with args and input, in the test's environment without the CAIRN_* variables plus env.
ProcResult RunHost(const std::vector<std::string>& args, const std::string& input = "",
                   const std::vector<std::string>& env = {}) {
    return kestrel_test::RunProcess(
        {.program = CAIRN_TEST_HOST,
         .args = args,
         .input = input,
         .env = kestrel_test::EnvironmentWith(
             env, {"CAIRN_CONFIG", "CAIRN_FAULT_OPEN_FAILS", "CAIRN_FAULT_ATTR_READ", "CAIRN_FAULT_REGISTER",
                   "CAIRN_SERVICE_ROOT"})});
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

class HostTest : public ::testing::Test {
  protected:
    // The real type definition, pointed at the fake agent library, and a configuration with resource r1.
    void SetUp() override {
        std::string definition = ReadFile(CAIRN_TEST_TYPE_FILE);
        const std::string library = "library = \"libKestrel.so\"";
        const size_t at = definition.find(library);
        ASSERT_NE(at, std::string::npos);
        definition.replace(at, library.size(), std::string("library = \"") + CAIRN_TEST_FAKE_AGENT + "\"");
        std::filesystem::create_directory(dir_ / "agents");
        ASSERT_TRUE(WriteFile(dir_ / "agents/Kestrel.type.toml", definition));
        WriteConfig("");
    }
    // A valid configuration with resource r1, plus extra lines.
    void WriteConfig(const std::string& extra) {
        WriteFile(config_, "[cluster]\nstate_dir = \"state\"\nlog_dir = \"" + dir_ / "log" +
                               "\"\n\n[types.Kestrel]\nagent_dir = \"agents\"\nMonitorTimeout = \"45\"\n"
                               "debug_tags = [19]\n\n[resources.r1]\ntype = \"Kestrel\"\nSAPSID = \"ABC\"\n"
                               "SecondLevelMonitor = \"2\"\nProcMon = [\"disp+work\", \"msg_server\"]\n" +
                               extra);
    }
    ProcResult Host(std::vector<std::string> args) {
        args.insert(args.begin(), {"--config", config_});
        return RunHost(args);
    }

    kestrel_test::TempDir dir_;
    const std::string config_ = dir_ / "cluster.toml";
};

TEST_F(HostTest, StateCarriesAcrossRunsThroughCookies) {
    ProcResult run = Host({"monitor", "r1"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "r1: OFFLINE\n");
    EXPECT_EQ(run.err, "");  // INFO messages are not echoed without -v
    run = Host({"online", "r1"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "r1: ONLINE\n");
    EXPECT_EQ(Host({"monitor", "r1"}).out, "r1: ONLINE\n");
    // A damaged cookie is reported (while Monitor runs: the agent's category and the resource) and absent.
    WriteFile(dir_ / "state/cookies/r1_fake_state", "cairn-cookie 1 1 00000000\n1");
    run = Host({"monitor", "r1"});
    EXPECT_EQ(run.out, "r1: OFFLINE\n");
    EXPECT_NE(run.err.find("WARNING 55002-90001 r1 cairn: Cookie file " +
                           dir_ / "state/cookies/r1_fake_state" + " is damaged"),
              std::string::npos)
        << run.err;
    run = Host({"-v", "offline", "r1"});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, "r1: OFFLINE\n");
    EXPECT_NE(run.err.find("INFO 55002-20020 r1 FakeMonitor: Monitor: timeout [45], state [0]."),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("INFO 55002-20010 - FakeStartup: Started with timeouts [600, 600, 45, 120]."),
              std::string::npos);

    // The agent log and the debug log (tag 19 only) of those runs.
    std::string log = ReadFile(dir_ / "log/Kestrel.log");
    EXPECT_NE(log.find(" INFO 55002-20011 r1 FakeOnline: "), std::string::npos) << log;
    std::string debug = ReadFile(dir_ / "log/resources/r1.log");
    EXPECT_NE(debug.find("FakeAgent.cpp:"), std::string::npos) << debug;
    EXPECT_EQ(debug.find("DBG20"), std::string::npos);
    EXPECT_NE(ReadFile(dir_ / "log/resources/@Kestrel.log").find("Startup trace line."), std::string::npos);
}

// Exit status 1 when the aim is missed; a console message is echoed once.
TEST_F(HostTest, ExitStatusFollowsTheAim) {
    WriteConfig(
        "[resources.unk]\ntype = \"Kestrel\"\nSAPSID = \"UNK\"\n[resources.con]\ntype = \"Kestrel\"\n"
        "SAPSID = \"CON\"\n");
    ProcResult run = Host({"online", "unk"});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.out, "unk: UNKNOWN\n");
    EXPECT_EQ(Host({"monitor", "unk"}).exitStatus, 1);
    EXPECT_EQ(Host({"offline", "unk"}).exitStatus, 1);
    run = Host({"clean", "r1"});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, "r1: clean result 0 (cleaned)\n");
    run = Host({"clean", "r1", "--reason", "1"});  // the fake returns the reason as its result
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.out, "r1: clean result 1 (a process could not be killed)\n");

    run = Host({"online", "con"});
    EXPECT_EQ(run.exitStatus, 0);
    const size_t first = run.err.find("Console says hi.");
    ASSERT_NE(first, std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("Console says hi.", first + 1), std::string::npos) << run.err;
}

TEST_F(HostTest, JsonShapeAndEscaping) {
    // SAPHome is echoed verbatim by the fake's Online message.
    const std::string tricky = "q\"uote b\\ack\nnew\ttab \x01 \xC3\xBC \xE2\x82\xAC </script>";
    WriteConfig("SAPHome = \"q\\\"uote b\\\\ack\\nnew\\ttab \\u0001 \xC3\xBC \xE2\x82\xAC </script>\"\n");
    ProcResult run = Host({"--json", "online", "r1"});
    ASSERT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << "one object on one line";
    Json json = Json::parse(run.out);  // strict: broken escaping throws
    EXPECT_EQ(json["resource"], "r1");
    EXPECT_EQ(json["command"], "online");
    EXPECT_EQ(json["state"], "ONLINE");
    const Json& calls = json["calls"];
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0]["entry_point"], "Online");
    EXPECT_EQ(calls[1]["entry_point"], "Monitor");
    EXPECT_EQ(calls[1]["result"], 1);
    EXPECT_TRUE(calls[0]["duration_ms"].is_number());
    const Json& message = calls[0]["messages"].at(0);
    EXPECT_EQ(message["id"], 20011);
    EXPECT_EQ(message["severity"], 4);
    EXPECT_EQ(message["tag"], "FakeOnline");
    EXPECT_EQ(message["text"], tricky);
    EXPECT_EQ(json["startup_messages"].at(0)["id"], 20010);
    EXPECT_TRUE(json.contains("shutdown_messages"));

    run = Host({"--json", "clean", "r1", "--reason", "3"});
    json = Json::parse(run.out);
    EXPECT_EQ(json["state"], "NOT_CLEANED");
    EXPECT_EQ(json["calls"].at(0)["result"], 3);
}

TEST_F(HostTest, ConfigurationErrorsAreOneClearLine) {
    // Appended to the valid configuration, the command's resource, what the one line must contain.
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"[resources.r2\n", "r1", ":15:14: syntax error"},
        {"", "r9", "resources.r9: unknown resource (configured: r1)"},
        {"[resources.r2]\ntype = \"Nope\"\n", "r1", "resources.r2.type: unknown type 'Nope'"},
        {"[types.Nope]\n", "r1", "types.Nope: unknown type: no Nope.type.toml in"},
        {"[resources.r2]\nSAPSID = \"X\"\n", "r1", "resources.r2.type: missing"},
        {"EPProgramTimeout = \"15s\"\n", "r1",
         ":15: resources.r1.EPProgramTimeout: expected a 32-bit integer (or a string holding one), got "
         "\"15s\""},
        {"EPProgramTimeout = 4294967296\n", "r1", "resources.r1.EPProgramTimeout: expected"},
        {"EPProgramTimeout = true\n", "r1", "expected an integer (or a string holding one), got a boolean"},
        {"InstName = 0\n", "r1", "resources.r1.InstName: expected a string, got an integer"},
        {"[resources.r2]\ntype = \"Kestrel\"\nProcMon = \"x\"\n", "r1",
         "resources.r2.ProcMon: expected an array of strings, got a string"},
        {"[resources.r2]\ntype = \"Kestrel\"\nProcMon = [1]\n", "r1",
         "resources.r2.ProcMon: expected an array of strings, found an integer in it"},
        {"SAPSid = \"ABC\"\n", "r1", "resources.r1.SAPSid: unknown attribute of type Kestrel"},
        {"[nodes]\n", "r1", "nodes: unknown section"},
        {"[resources.\"a/b\"]\ntype = \"Kestrel\"\n", "r1", "resources.a/b: a resource name is"},
    };
    for (const auto& [config, resource, expected] : cases) {
        WriteConfig(config);
        ProcResult run = Host({"monitor", resource});
        EXPECT_EQ(run.exitStatus, 2) << expected;
        EXPECT_EQ(run.out, "") << expected;
        std::vector<std::string> lines = Lines(run.err);
        ASSERT_EQ(lines.size(), 1u) << expected << ": " << run.err;
        EXPECT_EQ(lines[0].rfind("cairnagent: " + config_, 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(expected), std::string::npos) << lines[0];
    }

    // Errors in [types] that need their own file content, and a missing file.
    WriteFile(config_, "[types.Kestrel]\nagent_dir = \"agents\"\nMonitorTimeout = -5\n");
    ProcResult run = Host({"monitor", "r1"});
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_NE(run.err.find(":3: types.Kestrel.MonitorTimeout: expected a non-negative integer"),
              std::string::npos)
        << run.err;
    WriteFile(config_, "[types.Kestrel]\nagent_dir = \"agents\"\nFooTimeout = 5\n");
    run = Host({"monitor", "r1"});
    EXPECT_NE(run.err.find("types.Kestrel.FooTimeout: unknown type attribute"), std::string::npos) << run.err;

    run = RunHost({"--config", dir_ / "absent.toml", "monitor", "r1"});
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.err,
              "cairnagent: " + dir_ / "absent.toml" + ": cannot read the file: No such file or directory\n");
    run = RunHost({"monitor", "r1"}, "", {"CAIRN_CONFIG=" + dir_ / "from-env.toml"});
    EXPECT_NE(run.err.find(dir_ / "from-env.toml"), std::string::npos) << "CAIRN_CONFIG is used";
}

TEST_F(HostTest, UsageErrors) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"frob"},
                                               {"monitor"},
                                               {"monitor", "r1", "r2"},
                                               {"clean", "r1", "--reason"},
                                               {"clean", "r1", "--reason", "-1"},
                                               {"--bogus", "monitor", "r1"}}) {
        ProcResult run = Host(args);
        EXPECT_EQ(run.exitStatus, 2) << testing::PrintToString(args);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err, "");
    }
}

TEST_F(HostTest, EncryptPassword) {
    ProcResult run = RunHost({"encrypt-password"}, "S3cret!#\n");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    ASSERT_EQ(run.out.back(), '\n');
    std::string encoded = run.out.substr(0, run.out.size() - 1);
    std::vector<char> buffer(encoded.begin(), encoded.end());
    buffer.push_back('\0');
    ASSERT_EQ(TernDecodePassword(buffer.data(), buffer.size()), 0);
    EXPECT_STREQ(buffer.data(), "S3cret!#");

    for (const std::string& bad : {std::string("with space\n"), std::string("tab\there\n"),
                                   std::string("del\x7F\n"), std::string(""), std::string("\n")}) {
        run = RunHost({"encrypt-password"}, bad);
        EXPECT_EQ(run.exitStatus, 2) << bad;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
    }
    run = RunHost({"encrypt-password"}, "a b\n");
    EXPECT_NE(run.err.find("character 2 of the password"), std::string::npos) << run.err;
}

// ---- what the host writes and reads on root's behalf: modes whatever the umask, state other accounts
// could change refused, configuration input bounded ----

using HardeningTest = HostTest;

TEST_F(HardeningTest, UnderUmask000NothingCreatedIsWritableByOthers) {
    mode_t saved = ::umask(0);  // inherited by the host
    ProcResult online = Host({"online", "r1"});
    ProcResult create = Host({"svc", "create", "s1", "--", "/bin/true"});
    ::umask(saved);
    ASSERT_EQ(online.exitStatus, 0) << online.err;
    ASSERT_EQ(create.exitStatus, 0) << create.err;

    size_t seen = 0;
    for (const char* top : {"state", "log"}) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_ / top)) {
            const std::string path = entry.path().string();
            const mode_t mode = ModeOf(path) & 07777;
            ++seen;
            EXPECT_EQ(mode & 022, 0u) << path << " has mode " << std::oct << mode;
            if (path.find("/services") != std::string::npos) continue;  // 0755 and 0644, checked below
            EXPECT_EQ(mode, S_ISDIR(ModeOf(path))                         ? 0750u
                            : path.find("/cookies/") != std::string::npos ? 0600u
                                                                          : 0640u)
                << path;
        }
    }
    EXPECT_GE(seen, 7u);  // state/cookies, a cookie, services, s1, service.toml, log files and resources/
    EXPECT_EQ(ModeOf(dir_ / "state") & 07777, 0750u);
    EXPECT_EQ(ModeOf(dir_ / "state/services/s1") & 07777, 0755u);
    EXPECT_EQ(ModeOf(dir_ / "state/services/s1/service.toml") & 07777, 0644u);
    EXPECT_EQ(ModeOf(dir_ / "log/Kestrel.log") & 07777, 0640u);
}

TEST_F(HardeningTest, LogFilesPlantedAsLinksOrFifosAreSkippedNotWrittenThrough) {
    const std::string secret = dir_ / "secret";
    WriteFile(secret, "root only\n");
    std::filesystem::create_directories(dir_ / "log/resources");
    ASSERT_EQ(::symlink(secret.c_str(), (dir_ / "log/Kestrel.log").c_str()), 0);
    ASSERT_EQ(::link(secret.c_str(), (dir_ / "log/resources/r1.log").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir_ / "log/resources/@Kestrel.log").c_str(), 0600), 0);
    ProcResult run = Host({"online", "r1"});  // would wait on the FIFO for ever if it were opened plainly
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(ReadFile(secret), "root only\n");
}

TEST_F(HardeningTest, StateOtherAccountsCouldChangeIsRefusedWithExit2) {
    ASSERT_EQ(Host({"monitor", "r1"}).exitStatus, 0);
    ASSERT_EQ(Host({"svc", "create", "s1", "--", "/bin/true"}).exitStatus, 0);
    // Path, mode and owner given to it, what the one line says.
    std::vector<std::tuple<std::string, mode_t, uid_t, std::string>> cases = {
        {dir_ / "state", 0777, ::geteuid(),
         ": cluster.state_dir: " + dir_ / "state" + " is writable by group or others (mode 0777)"},
        {dir_ / "state/services", 0775, ::geteuid(),
         "service registry " + dir_ / "state/services" + " is writable by group or others (mode 0775)"},
    };
    if (::geteuid() == 0) cases.push_back({dir_ / "state", 0750, 4242, " is owned by uid 4242, not root"});
    for (const auto& [path, mode, owner, expected] : cases) {
        SCOPED_TRACE(path);
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
        ASSERT_EQ(::chown(path.c_str(), owner, owner), 0);
        for (const std::vector<std::string>& command :
             {std::vector<std::string>{"monitor", "r1"}, std::vector<std::string>{"svc", "list"}}) {
            ProcResult run = Host(command);
            EXPECT_EQ(run.exitStatus, 2) << command[0];
            EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
            EXPECT_EQ(run.out, "");
        }
        ASSERT_EQ(::chmod(path.c_str(), 0750), 0);
        ASSERT_EQ(::chown(path.c_str(), ::geteuid(), ::getegid()), 0);
    }

    // A service folder opened to launch it is checked as well: one others can write is no service to run.
    ASSERT_EQ(::chmod((dir_ / "state/services/s1/service.toml").c_str(), 0666), 0);
    ProcResult start = Host({"svc", "start", "s1"});
    EXPECT_NE(start.exitStatus, 0);
    EXPECT_NE(start.err.find("access denied"), std::string::npos) << start.err;
    EXPECT_FALSE(std::filesystem::exists(dir_ / "state/services/s1/state"));
}

TEST_F(HardeningTest, ConfigurationThatIsNoBoundedRegularFileExits2AtOnce) {
    const std::string fifo = dir_ / "fifo.toml";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string big = dir_ / "big.toml";
    WriteFile(big, "");
    ASSERT_EQ(::truncate(big.c_str(), (16 << 20) + 1), 0);
    // The type definition is read with the same bounds.
    ASSERT_EQ(::truncate((dir_ / "agents/Kestrel.type.toml").c_str(), (16 << 20) + 1), 0);

    const std::pair<std::string, std::string> cases[] = {
        {"/dev/urandom", "/dev/urandom: cannot read the file: not a regular file"},
        {fifo, fifo + ": cannot read the file: not a regular file"},
        {dir_.Path(), dir_.Path() + ": cannot read the file: is a directory"},
        {big, big + ": cannot read the file: too large (16777217 bytes; at most 16777216)"},
        {config_, "Kestrel.type.toml: cannot read the file: too large (16777217 bytes; at most 16777216)"},
    };
    for (const auto& [file, expected] : cases) {
        ProcResult run = RunHost({"--config", file, "monitor", "r1"});
        EXPECT_EQ(run.exitStatus, 2) << file;
        EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
    }
}

}  // namespace
