// sapsim driven the way the agent drives it: tools run directly (fork/exec, no shell) as the instance's
// administrator, results checked in /proc. The e2e harness gives each test its own temporary root, SIDs and
// accounts, and kills and reaps whatever runs from the root in TearDown.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "E2EHarness.h"

using namespace kestrel_e2e;
namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

const std::string kDialogue = "20\n0\n0";

using kestrel_test::Lines;

class SapsimTest : public E2ETest {
  protected:
    // sapsim install with just the options given (no administrator, no password).
    ProcResult RawInstall(const std::string& name, const std::string& type,
                          const std::vector<std::string>& extra = {}, const std::string& sid = "") {
        std::vector<std::string> a = {"install",    "--root", Root(),   "--sid", sid.empty() ? Sid() : sid,
                                      "--instance", name,     "--type", type,    "--host",
                                      Host()};
        a.insert(a.end(), extra.begin(), extra.end());
        return RunSapsim(a);
    }
    // The attribute as sapsim printed it, a string's quotes removed.
    static std::string Attr(const Instance& in, const std::string& key) {
        for (const auto& kv : in.attributes)
            if (kv.first == key)
                return kv.second.size() >= 2 && kv.second[0] == '"'
                           ? kv.second.substr(1, kv.second.size() - 2)
                           : kv.second;
        return "<none>";
    }
    // A tool of the kernel directory, run as the administrator with the output of both streams.
    ProcResult Tool(const Instance& in, const std::string& tool, const std::vector<std::string>& args,
                    const std::string& input = "", long limitMs = 10000) {
        return AsAdmin(in.kernelDir + "/" + tool, args, input, limitMs);
    }
    ProcResult AsAdmin(const std::string& program, const std::vector<std::string>& args,
                       const std::string& input = "", long limitMs = 10000) {
        ProcResult r = Exec(program, args, input, {}, kAdminAccount.uid, kAdminAccount.gid, limitMs);
        r.out += r.err;
        return r;
    }
    static std::vector<std::string> StartArgs(const Instance& in) {
        return {"name=" + in.sid, "nr=" + in.nr, "sapdiahost=" + in.host};
    }
    int Sapinfo(const Instance& in, const std::string& nr = "") {
        return Tool(in, "sapinfo.exe", {"ashost=" + in.host, "sysnr=" + (nr.empty() ? in.nr : nr)})
            .exitStatus;
    }
    int Ensmon(const Instance& in) { return Tool(in, "ensmon.exe", {"pf=" + in.profile, "2"}).exitStatus; }
    std::vector<std::string> Images(const std::string& dir) const {
        std::vector<std::string> v;
        for (const Proc& p : ProcessesUnderRoot())
            if (fs::path(p.exe).parent_path() == dir) v.push_back(fs::path(p.exe).filename());
        std::sort(v.begin(), v.end());
        return v;
    }
    std::string ExeDir(const Instance& in) const { return in.instDir + "/exe"; }
};

TEST_F(SapsimTest, InstallBuildsTreeRegistersServiceAndPrintsAttributes) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    EXPECT_EQ(in.resource, "sap" + in.sid + "_DVEBMGS00");
    EXPECT_EQ(in.profile, Root() + "/usr/sap/" + in.sid + "/SYS/profile/" + in.sid + "_DVEBMGS00_" + Host());
    char host[256] = {};  // local accounts belong to the host: the domain is its short name in upper case
    gethostname(host, sizeof host - 1);
    std::string domain = std::string(host).substr(0, std::string(host).find('.'));
    std::transform(domain.begin(), domain.end(), domain.begin(), ::toupper);
    EXPECT_EQ(Attr(in, "SAPAdminDomain"), domain);
    EXPECT_EQ(Attr(in, "type"), "Kestrel");
    EXPECT_EQ(Attr(in, "InstType"), "central");
    EXPECT_EQ(Attr(in, "SAPHome"), Root() + "/usr/sap/" + in.sid + "/SYS/exe/run");
    EXPECT_EQ(Attr(in, "SAPMonHome"), in.kernelDir);
    EXPECT_EQ(Attr(in, "SAPHost"), Host());
    EXPECT_EQ(Attr(in, "SAPAdmin"), kAdminAccount.name);
    const std::vector<std::string> procMon{"disp+work.exe", "msg_server.exe", "igswd.exe", "gwrd.exe",
                                           "icman.exe"};
    EXPECT_EQ(Attr(in, "ProcMon"), TomlList(procMon));

    // Real files owned by the administrator, never symbolic links: /proc/PID/exe must name the image itself.
    std::vector<std::string> files{in.profile, in.instDir + "/work"};
    for (const char* t :
         {"startsap.exe", "stopsap.exe", "sapsrvkill.exe", "sapinfo.exe", "ensmon.exe", "jcmon.exe"})
        files.push_back(in.kernelDir + "/" + t);
    for (const std::string& i : procMon) files.push_back(in.Image(i));
    for (const std::string& f : files) {
        struct stat st {};
        ASSERT_EQ(lstat(f.c_str(), &st), 0) << f;
        EXPECT_TRUE(S_ISREG(st.st_mode) || f == in.instDir + "/work") << f;
        EXPECT_EQ(st.st_mode & 0755, f == in.profile ? 0644u : 0755u) << f;
        EXPECT_EQ(st.st_uid, kAdminAccount.uid) << f;
    }
    EXPECT_TRUE(fs::is_directory(in.instDir + "/log"));

    toml::table svc = toml::parse_file(StateDir() + "/services/" + in.service + "/service.toml");
    const toml::array* exec = svc["exec"].as_array();
    ASSERT_NE(exec, nullptr);
    ASSERT_GE(exec->size(), 2u);
    EXPECT_EQ(access(exec->get(0)->value_or(""s).c_str(), X_OK), 0);
    EXPECT_EQ(exec->get(1)->value_or(""s), "service");
    EXPECT_EQ(svc["display_name"].value_or(""s), in.service);
    EXPECT_EQ(svc["user"].value_or(""s), kAdminAccount.name);

    ProcResult again = RawInstall("DVEBMGS00", "central", {}, in.sid);
    EXPECT_EQ(again.exitStatus, 1);
    EXPECT_TRUE(Contains(again.err + again.out, "--force")) << again.err;
    EXPECT_EQ(RawInstall("DVEBMGS00", "central", {"--force"}, in.sid).exitStatus, 0);
    EXPECT_EQ(RawInstall("D00", "dialog", {}, in.sid).exitStatus, 1) << "instance number 00 is taken";
}

TEST_F(SapsimTest, StartsapStartsDetachedImagesAndStopsapEndsThem) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    ProcResult start = Tool(in, "startsap.exe", StartArgs(in));
    EXPECT_EQ(start.exitStatus, 0) << start.out;
    EXPECT_TRUE(start.closed) << "an instance process holds the caller's pipe";
    EXPECT_LT(start.ms, 3000);

    EXPECT_EQ(Images(ExeDir(in)), (std::vector<std::string>{"disp+work.exe", "gwrd.exe", "icman.exe",
                                                            "igswd.exe", "msg_server.exe"}));
    for (const Proc& p : ProcessesUnderRoot()) {
        EXPECT_EQ(p.uid, kAdminAccount.uid) << p.exe;
        EXPECT_NE(getsid(p.pid), getsid(0)) << p.exe << " is in the caller's session";
        EXPECT_TRUE(Contains(p.cmdline, "pf=" + in.profile)) << p.cmdline;
    }
    EXPECT_EQ(Sapinfo(in), 0);

    // A second start leaves the running processes alone.
    EXPECT_EQ(Tool(in, "startsap.exe", StartArgs(in)).exitStatus, 0);
    EXPECT_EQ(ProcessesUnderRoot().size(), 5u);

    ProcResult stop = Tool(in, "stopsap.exe", StartArgs(in));
    EXPECT_EQ(stop.exitStatus, 0) << stop.out;
    EXPECT_TRUE(ProcessesUnderRoot().empty());
    EXPECT_EQ(Sapinfo(in), 2);
    EXPECT_EQ(Tool(in, "stopsap.exe", StartArgs(in)).exitStatus, 0) << "stopping a stopped instance";
}

// Malformed arguments and steering files are refused loudly; a hung tool dies on SIGKILL and leaves nothing.
TEST_F(SapsimTest, ToolsRefuseMalformedInputAndAHungOneLeavesNothing) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    const std::string name = "name=" + in.sid, host = "sapdiahost=" + in.host;
    for (const char* tool : {"startsap.exe", "stopsap.exe"}) {
        for (const std::vector<std::string>& args :
             std::vector<std::vector<std::string>>{{name + " nr=00 " + host},
                                                   {name, "nr=00", "sapdiahost=otherhost"},
                                                   {"name=" + Sid(1), "nr=00", host}}) {
            ProcResult r = Tool(in, tool, args);
            EXPECT_EQ(r.exitStatus, 1) << tool << " " << args[0];
            EXPECT_TRUE(Contains(r.out, tool)) << r.out;
        }
    }
    EXPECT_TRUE(ProcessesUnderRoot().empty());
    EXPECT_EQ(Tool(in, "sapsrvkill.exe", {in.host + "-" + in.sid + "-00"}).exitStatus, 1);
    EXPECT_EQ(Tool(in, "sapsrvkill.exe", {in.host + "_" + in.sid + "_00", "x"}).exitStatus, 1);
    EXPECT_EQ(Tool(in, "ensmon.exe", {"pf=" + in.profile}).exitStatus, 1);
    EXPECT_EQ(Tool(in, "sapinfo.exe", {"ashost=" + in.host}).exitStatus, 1);
    EXPECT_EQ(Sapinfo(in, "42"), 2) << "no such instance";
    for (const char* text : {"[sapinfo\nexit_code = 1\n", "[sapinfo]\nexitcode = 1\n",
                             "[sapinfo]\ndelay_ms = -5\n", "[sapinfo]\nprocesses = []\n", "[nosuchtool]\n"}) {
        WriteControl(in, text);
        ProcResult r = Tool(in, "sapinfo.exe", {"ashost=" + in.host, "sysnr=00"});
        EXPECT_EQ(r.exitStatus, 78) << text;
        EXPECT_TRUE(Contains(r.out, "sapsim.toml")) << r.out;
    }

    WriteControl(in, "[startsap]\ndelay_ms = 60000\n");
    ProcResult r = Tool(in, "startsap.exe", StartArgs(in), "", 300);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.exitStatus, 128 + SIGKILL);
    EXPECT_TRUE(r.closed) << "something still holds the output pipe";
    EXPECT_LT(r.ms, 2000);
    EXPECT_TRUE(ProcessesUnderRoot().empty());
}

TEST_F(SapsimTest, JcmonReportsLauncherStatesFromTheProcessTable) {
    Instance& in = Install({.instance = "J05", .type = "dialog", .arch = "java"});
    auto rows = [&](const std::string& jcmon) {
        ProcResult r = AsAdmin(jcmon, {"pf=" + in.profile}, kDialogue);
        EXPECT_EQ(r.exitStatus, 0) << r.out;
        std::vector<std::string> v;  // every line the agent's scan would look at
        for (const std::string& l : Lines(r.out))
            if (Contains(l, "dispatcher") || Contains(l, "server")) v.push_back(l);
        return v;
    };
    auto state = [](const std::vector<std::string>& v, const std::string& node) -> std::string {
        for (const std::string& l : v)
            if (Contains(l, " " + node + " "))
                for (const char* s : {"Running", "Stopped", "Starting"})
                    if (Contains(l, s)) return s;
        return "?";
    };
    const std::string jcmon = in.kernelDir + "/jcmon.exe";
    std::vector<std::string> down = rows(jcmon);
    ASSERT_EQ(down.size(), 2u);
    EXPECT_EQ(state(down, "dispatcher"), "Stopped");
    EXPECT_EQ(state(down, "server0"), "Stopped");

    WriteControl(in, "[process.server0]\nready_after_ms = 60000\n");
    ASSERT_EQ(Tool(in, "startsap.exe", StartArgs(in)).exitStatus, 0);
    const std::vector<std::string> all = {"jcontrol.exe", "jlaunch.exe", "jlaunch.exe"};
    ASSERT_TRUE(WaitFor([&] { return Images(ExeDir(in)) == all; }));
    std::vector<std::string> starting = rows(jcmon);
    EXPECT_EQ(state(starting, "dispatcher"), "Running");
    EXPECT_EQ(state(starting, "server0"), "Starting");

    WriteControl(in, "");
    std::vector<std::string> up = rows(in.instDir + "/j2ee/os_libs/jcmon.exe");
    EXPECT_EQ(state(up, "dispatcher"), "Running");
    EXPECT_EQ(state(up, "server0"), "Running");

    for (const Proc& p : ProcessesUnderRoot())
        if (Contains(p.cmdline, "-nodename=server0")) kill(p.pid, SIGKILL);
    ASSERT_TRUE(WaitFor([&] { return state(rows(jcmon), "server0") == "Stopped"; }));
    EXPECT_EQ(state(rows(jcmon), "dispatcher"), "Running");

    // Any other dialogue than the exact six bytes is refused.
    for (const std::string& input : {std::string(""), std::string("20\n0\n0\n"), std::string("20\n0\n"),
                                     std::string("2\n0\n0"), std::string("20\r\n0\r\n0")}) {
        ProcResult r = Tool(in, "jcmon.exe", {"pf=" + in.profile}, input);
        EXPECT_NE(r.exitStatus, 0) << "input accepted: " << input;
        EXPECT_FALSE(Contains(r.out, "dispatcher")) << r.out;
        EXPECT_TRUE(Contains(r.out, "unexpected menu input")) << r.out;
    }
}

TEST_F(SapsimTest, EnsmonFollowsEnqueueAndReplicationServers) {
    Instance& enq = Install({.instance = "ASCS01", .type = "enqueue"});
    Instance& rep = Install({.instance = "ERS02", .type = "enqrep"});
    EXPECT_EQ(Ensmon(enq), 8);
    EXPECT_EQ(Ensmon(rep), 8);
    ASSERT_EQ(Tool(enq, "startsap.exe", StartArgs(enq)).exitStatus, 0);
    EXPECT_EQ(Images(ExeDir(enq)), (std::vector<std::string>{"enserver.exe", "msg_server.exe"}));
    EXPECT_EQ(Ensmon(enq), 0);

    WriteControl(enq, "[ensmon]\nreplication = true\n");
    EXPECT_EQ(Ensmon(enq), 4) << "replication configured, no replication server";
    ASSERT_EQ(Tool(rep, "startsap.exe", StartArgs(rep)).exitStatus, 0);
    EXPECT_EQ(Ensmon(enq), 0);
    EXPECT_EQ(Ensmon(rep), 0);

    ASSERT_EQ(Tool(enq, "stopsap.exe", StartArgs(enq)).exitStatus, 0);
    EXPECT_EQ(Ensmon(enq), 8);
    EXPECT_EQ(Ensmon(rep), 0) << "the replication server runs on";
}

TEST_F(SapsimTest, RegisteredServiceRunsUntilSigtermOrSteeredExit) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    toml::table svc = toml::parse_file(StateDir() + "/services/" + in.service + "/service.toml");
    std::vector<std::string> exec;
    for (const toml::node& n : *svc["exec"].as_array()) exec.push_back(n.value_or(""s));
    ASSERT_FALSE(exec.empty());
    // It stays up on its own (three polls after it shows), then SIGTERM ends it with 0.
    int polls = 0;
    bool terminated = false;
    ProcResult r =
        kestrel_test::RunProcess({.program = exec[0],
                                  .args = std::vector<std::string>(exec.begin() + 1, exec.end()),
                                  .env = ChildEnvironment({}, false),
                                  .limitMs = 10000,
                                  .watch = [&](pid_t pid, const std::string&) {
                                      if (terminated || ProcessesUnderRoot().empty() || ++polls < 3) return;
                                      kill(pid, SIGTERM);  // our unreaped child
                                      terminated = true;
                                  }});
    EXPECT_TRUE(terminated) << "the service ended on its own";
    EXPECT_EQ(r.exitStatus, 0) << r.err;

    WriteControl(in, "[service]\ndelay_ms = 20\nexit_code = 5\n");
    EXPECT_EQ(Exec(exec[0], std::vector<std::string>(exec.begin() + 1, exec.end()), "", {}, -1, -1, 3000)
                  .exitStatus,
              5);
}

}  // namespace
