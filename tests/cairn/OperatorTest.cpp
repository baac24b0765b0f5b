// The operator's commands end to end (status, explain, the progress line, --version, help): the real
// cairnagent and agent against sapsim instances.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "E2EHarness.h"

using namespace kestrel_e2e;

namespace {

class OperatorTest : public E2ETest {
  protected:
    std::vector<std::string> HostArgs(const std::vector<std::string>& args) {
        WriteConfig();
        std::vector<std::string> all{"--config", Root() + "/cluster.toml"};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
    // cairnagent with the PAM wrapper on (the agent logs on), output through pipes.
    ProcResult Cairn(const std::vector<std::string>& args) {
        return Exec(CAIRN_TEST_HOST, HostArgs(args), "", {}, static_cast<uid_t>(-1), static_cast<gid_t>(-1),
                    60000, true);
    }
    // cairnagent with standard output and standard error on a pseudo-terminal: everything it wrote there.
    std::string CairnOnTerminal(const std::vector<std::string>& args) {
        std::vector<std::string> argv{CAIRN_TEST_HOST};
        for (const std::string& a : HostArgs(args)) argv.push_back(a);
        std::vector<std::string> env = ChildEnvironment({}, true);
        std::vector<char*> cargv, cenv;
        for (std::string& a : argv) cargv.push_back(a.data());
        for (std::string& e : env) cenv.push_back(e.data());
        cargv.push_back(nullptr);
        cenv.push_back(nullptr);
        winsize size{};
        size.ws_col = 200;
        size.ws_row = 40;
        int master = -1;
        pid_t pid = forkpty(&master, nullptr, nullptr, &size);
        if (pid == 0) {
            execve(cargv[0], cargv.data(), cenv.data());
            _exit(127);
        }
        std::string out;
        char buffer[4096];
        for (long start = kestrel_test::NowMs(); pid > 0 && kestrel_test::NowMs() - start < 60000;) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 200) <= 0) continue;
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) break;  // EIO once the child and its descendants closed the terminal
            out.append(buffer, static_cast<size_t>(n));
        }
        if (pid > 0) waitpid(pid, nullptr, 0);
        if (master >= 0) close(master);
        return out;
    }
    pid_t ImagePid(const Instance& in, const std::string& image) {
        for (const Proc& p : ProcessesUnderRoot())
            if (p.exe == in.Image(image)) return p.pid;
        return -1;
    }
    static std::vector<std::string> RowsOf(const std::string& out) {
        std::vector<std::string> rows;
        for (const std::string& line : kestrel_test::Lines(out))
            if (!line.empty() && !line.starts_with("RESOURCE")) rows.push_back(line);
        return rows;
    }
};

TEST_F(OperatorTest, VersionAndHelp) {
    ProcResult r = Cairn({"--version"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "cairnagent " KESTREL_TEST_VERSION "\n");
    r = Cairn({"--json", "--version"});
    EXPECT_EQ(Json::parse(r.out, nullptr, false).value("version", ""), KESTREL_TEST_VERSION) << r.out;
    r = Cairn({"help", "status"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_TRUE(r.out.starts_with("usage: cairnagent [--config FILE] [--json] [-v] status [RES ...]"))
        << r.out;
    EXPECT_TRUE(Cairn({"help", "clean"})
                    .out.starts_with("usage: cairnagent [--config FILE] [--json] [-v] clean RES "
                                     "[--reason N]\n\nEnds every process"));
    r = Cairn({"help", "frobnicate"});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_TRUE(Contains(r.err, "help: unknown command 'frobnicate'")) << r.err;
}

// One ONLINE, one OFFLINE, one with a bad SAPSID (UNKNOWN with the agent's error) and a second ONLINE one:
// rows, JSON, exit statuses, and the Monitor calls overlapping in time.
TEST_F(OperatorTest, StatusMonitorsEveryResourceAtOnce) {
    Instance& up = Install({.instance = "DVEBMGS00", .type = "central", .sid = Sid(0)});
    Instance& up2 = Install({.instance = "DVEBMGS01", .type = "central", .sid = Sid(1)});
    Instance& down = Install({.instance = "DVEBMGS02", .type = "central", .sid = Sid(2)});
    Instance& bad = Install({.instance = "DVEBMGS03", .type = "central", .sid = Sid(3)});
    SetAttr(bad, "SAPSID", TomlString("1BC"));
    for (Instance* in : {&up, &up2}) {
        ASSERT_TRUE(StartInstance(*in));
        WriteControl(*in, "[sapinfo]\ndelay_ms = 1500\n");  // each Monitor lasts at least 1.5 s
    }

    ProcResult r = Cairn({"--json", "status"});
    EXPECT_EQ(r.exitStatus, 1) << r.err;
    Json rows = Json::parse(r.out, nullptr, false);
    ASSERT_TRUE(rows.is_array() && rows.size() == 4) << r.out;
    std::map<std::string, Json> by;
    long sum = 0;
    for (const Json& row : rows) {
        by[row["resource"]] = row;
        sum += row["duration_ms"].get<long>();
        EXPECT_EQ(row["version"], KESTREL_TEST_VERSION);
    }
    EXPECT_EQ(by[up.resource]["state"], "ONLINE");
    EXPECT_EQ(by[up.resource]["sid"], up.sid);
    EXPECT_EQ(by[up.resource]["instance"], "DVEBMGS00");
    EXPECT_TRUE(by[up.resource]["message"].is_null());
    EXPECT_EQ(by[down.resource]["state"], "OFFLINE");
    EXPECT_EQ(by[bad.resource]["state"], "UNKNOWN");
    EXPECT_EQ(by[bad.resource]["result"], 2);
    EXPECT_EQ(by[bad.resource]["message"]["severity"], 1) << r.out;
    EXPECT_TRUE(Contains(by[bad.resource]["message"]["text"], "SAPSID [1BC] is NOT valid.")) << r.out;
    // Sequential calls would take at least the sum of their durations.
    EXPECT_GE(sum, 3000);
    EXPECT_LT(r.ms, sum) << r.out;

    r = Cairn({"status", up.resource, bad.resource});
    EXPECT_EQ(r.exitStatus, 1);
    std::vector<std::string> lines = RowsOf(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_TRUE(lines[0].starts_with(up.resource + " ") && Contains(lines[0], " ONLINE ")) << r.out;
    EXPECT_TRUE(Contains(lines[1], " UNKNOWN ") && Contains(lines[1], "ERROR ")) << r.out;
    EXPECT_EQ(r.out.find("RESOURCE"), 0u) << r.out;

    r = Cairn({"status", up.resource, up2.resource});
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    r = Cairn({"status", "sapNONE_D99"});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_TRUE(Contains(r.err, "resources.sapNONE_D99: unknown resource")) << r.err;
}

// --watch repeats (rounds one after another without a terminal) until SIGINT, with the last round's status.
TEST_F(OperatorTest, StatusWatchRepeatsUntilInterrupted) {
    Instance& down = Install({.instance = "DVEBMGS00", .type = "central"});
    ProcResult r = kestrel_test::RunProcess({.program = CAIRN_TEST_HOST,
                                             .args = HostArgs({"status", "--watch", "0.1", down.resource}),
                                             .env = ChildEnvironment({}, true),
                                             .watch = [](pid_t pid, const std::string& out) {
                                                 size_t first = out.find("RESOURCE");
                                                 if (first != std::string::npos &&
                                                     out.find("RESOURCE", first + 1) != std::string::npos)
                                                     kill(pid, SIGINT);
                                             }});
    EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
    EXPECT_GE(RowsOf(r.out).size(), 2u) << r.out;
    EXPECT_FALSE(Contains(r.out, "\033[")) << "no terminal: nothing is redrawn";
}

// The dispatcher killed behind the cluster's back, then only the start service stopped: explain names
// what is missing, with tracing switched on for that call although the type has no debug tags.
TEST_F(OperatorTest, ExplainNamesTheMissingProcessAndTheStoppedService) {
    SetTypeAttr("debug_tags", "[]");
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    ASSERT_TRUE(StartInstance(in));
    pid_t disp = ImagePid(in, "disp+work.exe");
    ASSERT_GT(disp, 0);
    kill(disp, SIGKILL);
    ASSERT_TRUE(GoneSoon(disp));

    ProcResult r = Cairn({"explain", in.resource});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, in.resource + ": OFFLINE")) << r.out;
    EXPECT_TRUE(Contains(r.out, "ProcMon entries missing: DISP+WORK.EXE\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "  " + std::to_string(ImagePid(in, "msg_server.exe")) + "  " +
                                    in.Image("msg_server.exe") + "  e2eadm"))
        << r.out;
    EXPECT_TRUE(Contains(r.out, "Got procCount[4] and procmonCount[5]")) << r.out;
    EXPECT_TRUE(Contains(r.out,
                         "First level (processes and start service): ran, not online (no process of "
                         "ProcMon entry DISP+WORK.EXE)"))
        << r.out;
    EXPECT_TRUE(Contains(r.out, "Second level (SAP's tool): not run (the first level did not find")) << r.out;

    ASSERT_TRUE(StartSap(in));
    ASSERT_TRUE(StopService(in));
    r = Cairn({"--json", "explain", in.resource});
    Json j = Json::parse(r.out, nullptr, false);
    ASSERT_TRUE(j.is_object()) << r.out << r.err;
    EXPECT_EQ(j["state"], "OFFLINE");
    EXPECT_EQ(j["missing"], Json::array()) << r.out;
    EXPECT_EQ(j["service"]["name"], in.service);
    EXPECT_EQ(j["service"]["state"], "stopped");
    EXPECT_EQ(j["levels"]["first"]["why"], "the start service " + in.service + " is stopped") << r.out;
    EXPECT_EQ(j["messages"][0]["id"], 20074) << r.out;

    ASSERT_TRUE(StartService(in));
    r = Cairn({"--json", "explain", in.resource});
    j = Json::parse(r.out, nullptr, false);
    ASSERT_TRUE(j.is_object()) << r.out << r.err;
    EXPECT_EQ(j["state"], "ONLINE");
    EXPECT_EQ(j["levels"]["second"]["ran"], true) << r.out;
    ASSERT_EQ(j["tools"].size(), 1u) << r.out;
    EXPECT_TRUE(Contains(j["tools"][0]["command"], "/sapinfo.exe ashost=")) << r.out;
    EXPECT_EQ(j["tools"][0]["exit_code"], 0);
    EXPECT_EQ(j["levels"]["third"]["why"], "MonitorProgram is empty");
    EXPECT_TRUE(ReadFile(Root() + "/log/resources/" + in.resource + ".log").find("DBG19") !=
                std::string::npos);

    // With a countdown of 3 the third Monitor from here skips the second level.
    SetAttr(in, "SecondLevelMonitor", "3");
    for (int i = 0; i < 2; ++i) ASSERT_EQ(Cairn({"monitor", in.resource}).exitStatus, 0);
    r = Cairn({"explain", in.resource});
    EXPECT_TRUE(
        Contains(r.out, "Second level (SAP's tool): not run (the countdown (SLMCounter) was 2 and is now 1"))
        << r.out;
    EXPECT_TRUE(Contains(r.out, "Tools run: none\n")) << r.out;
}

// Online on a terminal: the progress line is drawn in place and cleared before the result; through a pipe,
// nothing of it.
TEST_F(OperatorTest, ProgressLineOnlyOnATerminal) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    WriteControl(in, "[startsap]\ndelay_ms = 700\n");
    std::string out = CairnOnTerminal({"-v", "online", in.resource});
    const size_t result = out.find(in.resource + ": ONLINE");
    ASSERT_NE(result, std::string::npos) << out;
    size_t draws = 0;
    for (size_t at = out.find("\r\033[KOnline " + in.resource); at < result;
         at = out.find("\r\033[KOnline " + in.resource, at + 1))
        ++draws;
    EXPECT_GE(draws, 2u) << out;
    EXPECT_TRUE(Contains(out, "s of 10000s left")) << out;
    // Each echoed message starts on a line of its own: the progress line was cleared before it.
    size_t echoes = 0;
    for (size_t at = out.find("INFO 55002-"); at != std::string::npos; at = out.find("INFO 55002-", at + 1)) {
        ++echoes;
        EXPECT_TRUE(at >= 4 && (out.compare(at - 4, 4, "\r\033[K") == 0 || out[at - 1] == '\n')) << out;
    }
    EXPECT_GT(echoes, 0u) << out;
    EXPECT_EQ(out.rfind("\r\033[K", result) + 4, result) << "the line is cleared just before the result";

    ASSERT_TRUE(Cairn({"offline", in.resource}).exitStatus == 0);
    ProcResult r = Cairn({"online", in.resource});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_FALSE(Contains(r.err, "\r")) << r.err;
}

}  // namespace
