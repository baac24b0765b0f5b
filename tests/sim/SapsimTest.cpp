// sapsim driven the way the agent drives it: tools run directly (fork/exec, no shell), results checked in
// /proc. Every test works in its own temporary root; TearDown kills and reaps whatever runs from it.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

const char* const kHost = "simhost";

long NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

struct RunResult {
    int exitCode = -1;  // -1 when ended by a signal
    int signal = 0;
    std::string output;  // standard output and standard error together
    long ms = 0;
    bool timedOut = false;
    bool eof = false;  // the output pipe closed: nothing was left holding it
};

// Runs a program with its output in one pipe, the way the agent does; kills it (SIGKILL) at the limit.
RunResult Exec(const std::string& path, const std::vector<std::string>& args, const std::string& input = "",
               long limitMs = 10000, uid_t uid = static_cast<uid_t>(-1), gid_t gid = static_cast<gid_t>(-1)) {
    std::vector<std::string> store{path};
    store.insert(store.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : store) argv.push_back(a.data());
    argv.push_back(nullptr);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return {};
    long start = NowMs();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        if (gid != static_cast<gid_t>(-1) && (setgroups(0, nullptr) != 0 || setgid(gid) != 0)) _exit(126);
        if (uid != static_cast<uid_t>(-1) && setuid(uid) != 0) _exit(126);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (!input.empty()) (void)!write(in[1], input.data(), input.size());
    close(in[1]);
    RunResult r;
    bool exited = false;
    int status = 0;
    char buf[65536];
    for (;;) {
        long left = start + limitMs - NowMs();
        if (left <= 0 && !r.timedOut) {
            r.timedOut = true;
            kill(pid, SIGKILL);  // still our unreaped child: the pid cannot have been reused
            waitpid(pid, &status, 0);
            exited = true;
            limitMs += 500;  // a short while more for the pipe to close
            continue;
        }
        if (left <= 0) break;
        pollfd p{out[0], POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(std::min(left, 50L)));
        if (n > 0) {
            ssize_t got = read(out[0], buf, sizeof buf);
            if (got <= 0) {
                r.eof = true;
                break;
            }
            r.output.append(buf, static_cast<size_t>(got));
        }
    }
    close(out[0]);
    if (!exited) waitpid(pid, &status, 0);
    r.ms = NowMs() - start;
    if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    return r;
}

std::string ReadText(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

struct Proc {
    pid_t pid;
    std::string exe;
    uid_t uid;
    std::string cmdline;
};

std::vector<Proc> ProcessesUnder(const std::string& root) {
    std::vector<Proc> out;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        char buf[4096];
        ssize_t n = readlink(("/proc/" + name + "/exe").c_str(), buf, sizeof buf - 1);
        if (n <= 0) continue;
        std::string exe(buf, static_cast<size_t>(n));
        if (exe.rfind(root + "/", 0) != 0) continue;
        struct stat st {};
        if (stat(("/proc/" + name).c_str(), &st) != 0) continue;
        std::string cmd = ReadText("/proc/" + name + "/cmdline");
        std::replace(cmd.begin(), cmd.end(), '\0', ' ');
        out.push_back({std::stoi(name), exe, st.st_uid, cmd});
    }
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> v;
    std::istringstream is(text);
    for (std::string l; std::getline(is, l);) v.push_back(l);
    return v;
}

bool Contains(const std::string& s, const std::string& what) {
    return s.find(what) != std::string::npos;
}

class SapsimTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Instance processes are reparented away from the tools: to us, so that we can reap them.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
    }

    void SetUp() override {
        char tmpl[] = "/tmp/sapsim-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = fs::canonical(tmpl).string();
        chmod(root_.c_str(), 0755);  // other accounts must reach the tree
        setenv("CAIRN_SERVICE_ROOT", (root_ + "/services").c_str(), 1);
    }

    void TearDown() override {
        for (int i = 0; i < 200; ++i) {
            std::vector<Proc> left = ProcessesUnder(root_);
            for (const Proc& p : left) {
                int fd = static_cast<int>(syscall(SYS_pidfd_open, p.pid, 0));
                if (fd >= 0) {
                    syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0);
                    close(fd);
                }
            }
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            if (left.empty()) break;
            usleep(10000);
        }
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    std::string Kernel(const std::string& sid = "ABC") const {
        return root_ + "/usr/sap/" + sid + "/SYS/exe/run";
    }
    std::string InstDir(const std::string& name, const std::string& sid = "ABC") const {
        return root_ + "/usr/sap/" + sid + "/" + name;
    }
    std::string Profile(const std::string& name, const std::string& sid = "ABC") const {
        return root_ + "/usr/sap/" + sid + "/SYS/profile/" + sid + "_" + name + "_" + kHost;
    }

    RunResult Install(const std::string& name, const std::string& type, std::vector<std::string> extra = {},
                      const std::string& sid = "ABC") {
        std::vector<std::string> a = {"install", "--root", root_, "--sid",  sid,  "--instance",
                                      name,      "--type", type,  "--host", kHost};
        a.insert(a.end(), extra.begin(), extra.end());
        return Exec(SAPSIM_PATH, a);
    }
    toml::table InstallOk(const std::string& name, const std::string& type,
                          std::vector<std::string> extra = {}, const std::string& sid = "ABC") {
        RunResult r = Install(name, type, extra, sid);
        EXPECT_EQ(r.exitCode, 0) << r.output;
        try {
            return toml::parse(r.output);
        } catch (const toml::parse_error& e) {
            ADD_FAILURE() << "install output is not TOML: " << e.description() << "\n" << r.output;
            return {};
        }
    }

    RunResult Tool(const std::string& tool, const std::vector<std::string>& args,
                   const std::string& input = "", long limitMs = 10000, const std::string& sid = "ABC") {
        return Exec(Kernel(sid) + "/" + tool, args, input, limitMs);
    }
    std::vector<std::string> StartArgs(const std::string& nr, const std::string& sid = "ABC") {
        return {"name=" + sid, "nr=" + nr, "sapdiahost=" + std::string(kHost)};
    }
    void Steer(const std::string& name, const std::string& toml, const std::string& sid = "ABC") {
        std::ofstream(InstDir(name, sid) + "/sapsim.toml") << toml;
    }
    std::vector<Proc> Running() const { return ProcessesUnder(root_); }
    bool WaitFor(const std::function<bool()>& cond, long ms = 3000) {
        for (long end = NowMs() + ms; NowMs() < end; usleep(5000))
            if (cond()) return true;
        return cond();
    }
    std::vector<std::string> Images(const std::string& dir) const {
        std::vector<std::string> v;
        for (const Proc& p : Running())
            if (fs::path(p.exe).parent_path() == dir) v.push_back(fs::path(p.exe).filename());
        std::sort(v.begin(), v.end());
        return v;
    }

    std::string root_;
};

const std::string kDialogue = "20\n0\n0";

// ------------------------------------------------------------------------------------------------ install

TEST_F(SapsimTest, InstallBuildsTreeRegistersServiceAndPrintsAttributes) {
    toml::table out = InstallOk("DVEBMGS00", "central");
    toml::node_view<toml::node> res = out["resources"]["sapABC_DVEBMGS00"];
    ASSERT_TRUE(res.is_table());
    EXPECT_EQ(res["type"].value_or(""s), "Kestrel");
    EXPECT_EQ(res["InstType"].value_or(""s), "central");
    EXPECT_EQ(res["SAPHome"].value_or(""s), Kernel());
    EXPECT_EQ(res["SAPMonHome"].value_or(""s), Kernel());
    EXPECT_EQ(res["SAPHost"].value_or(""s), kHost);
    EXPECT_EQ(res["InstProfile"].value_or(""s), Profile("DVEBMGS00"));
    // Local accounts belong to the host: the domain is its short name in upper case.
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string domain(host);
    domain = domain.substr(0, domain.find('.'));
    for (char& c : domain) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(res["SAPAdminDomain"].value_or("x"s), domain);
    std::vector<std::string> procMon;
    for (const toml::node& n : *res["ProcMon"].as_array()) procMon.push_back(n.value_or(""s));
    EXPECT_EQ(procMon, (std::vector<std::string>{"disp+work.exe", "msg_server.exe", "igswd.exe", "gwrd.exe",
                                                 "icman.exe"}));
    EXPECT_TRUE(fs::is_regular_file(Profile("DVEBMGS00")));

    // Real files, never symbolic links: /proc/PID/exe must name the image itself.
    std::vector<std::string> files;
    for (const char* t :
         {"startsap.exe", "stopsap.exe", "sapsrvkill.exe", "sapinfo.exe", "ensmon.exe", "jcmon.exe"})
        files.push_back(Kernel() + "/" + t);
    for (const std::string& i : procMon) files.push_back(InstDir("DVEBMGS00") + "/exe/" + i);
    for (const std::string& f : files) {
        struct stat st {};
        ASSERT_EQ(lstat(f.c_str(), &st), 0) << f;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << f;
        EXPECT_EQ(st.st_mode & 0755, 0755u) << f;
    }
    EXPECT_TRUE(fs::is_directory(InstDir("DVEBMGS00") + "/log"));

    toml::table svc = toml::parse_file(root_ + "/services/SAPABC_00/service.toml");
    const toml::array* exec = svc["exec"].as_array();
    ASSERT_NE(exec, nullptr);
    ASSERT_GE(exec->size(), 2u);
    EXPECT_EQ(access(exec->get(0)->value_or(""s).c_str(), X_OK), 0);
    EXPECT_EQ(exec->get(1)->value_or(""s), "service");
    EXPECT_EQ(svc["display_name"].value_or(""s), "SAPABC_00");

    RunResult again = Install("DVEBMGS00", "central");
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_TRUE(Contains(again.output, "--force")) << again.output;
    EXPECT_EQ(Install("DVEBMGS00", "central", {"--force"}).exitCode, 0);
    RunResult clash = Install("D00", "dialog");
    EXPECT_EQ(clash.exitCode, 1) << "instance number 00 is taken";
}

TEST_F(SapsimTest, InstallRejectsMalformedOptions) {
    struct Case {
        std::string name, type;
        std::vector<std::string> extra;
    };
    for (const Case& c : std::vector<Case>{{"DVEBMGS00", "bogus", {}},
                                           {"DVEBMGS", "central", {}},
                                           {"ASCS01", "enqueue", {"--arch", "java"}},
                                           {"D02", "dialog", {"--arch", "none"}},
                                           {"D03", "dialog", {"--host", "-bad"}},
                                           {"D04", "dialog", {"--unknown"}}}) {
        RunResult r = Install(c.name, c.type, c.extra);
        EXPECT_EQ(r.exitCode, 2) << c.name << " " << c.type << ": " << r.output;
        EXPECT_FALSE(r.output.empty());
    }
    EXPECT_EQ(Install("D05", "dialog", {}, "AB").exitCode, 2);
    EXPECT_FALSE(fs::exists(root_ + "/usr/sap/ABC/DVEBMGS00"));
}

TEST_F(SapsimTest, InstallLaysOutEveryTypeAndArchitectureInOneRoot) {
    struct Case {
        std::string sid, name, type, arch;
        std::vector<std::string> procMon;
    };
    std::vector<Case> cases = {
        {"ABC", "D10", "dialog", "abap", {"disp+work.exe", "igswd.exe", "gwrd.exe", "icman.exe"}},
        {"ABC", "JC11", "central", "java", {"jcontrol.exe"}},
        {"XYZ",
         "DVEBMGS12",
         "central",
         "addin",
         {"disp+work.exe", "jcontrol.exe", "msg_server.exe", "igswd.exe", "gwrd.exe", "icman.exe"}},
        {"ABC", "ASCS13", "enqueue", "", {"msg_server.exe", "enserver.exe"}},
        {"ABC", "ERS14", "enqrep", "", {"enrepserver.exe"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> extra;
        if (!c.arch.empty()) extra = {"--arch", c.arch};
        toml::table out = InstallOk(c.name, c.type, extra, c.sid);
        std::vector<std::string> procMon;
        if (const toml::array* a = out["resources"]["sap" + c.sid + "_" + c.name]["ProcMon"].as_array())
            for (const toml::node& n : *a) procMon.push_back(n.value_or(""s));
        EXPECT_EQ(procMon, c.procMon) << c.name;
        for (const std::string& i : c.procMon)
            EXPECT_TRUE(fs::is_regular_file(InstDir(c.name, c.sid) + "/exe/" + i));
        bool java = c.arch == "java" || c.arch == "addin";
        EXPECT_EQ(fs::is_regular_file(InstDir(c.name, c.sid) + "/j2ee/os_libs/jcmon.exe"), java) << c.name;
        EXPECT_EQ(fs::is_regular_file(InstDir(c.name, c.sid) + "/exe/jlaunch.exe"), java) << c.name;
    }
}

// ------------------------------------------------------------------------------------------------ start and
// stop

TEST_F(SapsimTest, StartsapStartsDetachedImagesAndStopsapEndsThem) {
    InstallOk("DVEBMGS00", "central");
    RunResult start = Tool("startsap.exe", StartArgs("00"));
    EXPECT_EQ(start.exitCode, 0) << start.output;
    EXPECT_TRUE(start.eof) << "an instance process holds the caller's pipe";
    EXPECT_LT(start.ms, 3000);

    const std::string exeDir = InstDir("DVEBMGS00") + "/exe";
    EXPECT_EQ(Images(exeDir), (std::vector<std::string>{"disp+work.exe", "gwrd.exe", "icman.exe", "igswd.exe",
                                                        "msg_server.exe"}));
    for (const Proc& p : Running()) {
        EXPECT_EQ(p.uid, geteuid()) << p.exe;
        EXPECT_NE(getsid(p.pid), getsid(0)) << p.exe << " is in the caller's session";
        EXPECT_TRUE(Contains(p.cmdline, "pf=" + Profile("DVEBMGS00"))) << p.cmdline;
    }
    EXPECT_EQ(Tool("sapinfo.exe", {"ashost=simhost", "sysnr=00"}).exitCode, 0);

    // A second start leaves the running processes alone.
    EXPECT_EQ(Tool("startsap.exe", StartArgs("00")).exitCode, 0);
    EXPECT_EQ(Running().size(), 5u);

    RunResult stop = Tool("stopsap.exe", StartArgs("00"));
    EXPECT_EQ(stop.exitCode, 0) << stop.output;
    EXPECT_TRUE(Running().empty());
    EXPECT_EQ(Tool("sapinfo.exe", {"ashost=simhost", "sysnr=00"}).exitCode, 2);
    EXPECT_EQ(Tool("stopsap.exe", StartArgs("00")).exitCode, 0) << "stopping a stopped instance";
}

TEST_F(SapsimTest, ToolsRejectMalformedArguments) {
    InstallOk("DVEBMGS00", "central");
    for (const char* tool : {"startsap.exe", "stopsap.exe"}) {
        for (const std::vector<std::string>& args :
             std::vector<std::vector<std::string>>{{"name=ABC", "nr=0", "sapdiahost=simhost"},
                                                   {"name=ABC nr=00 sapdiahost=simhost"},
                                                   {"name=ABC", "nr=00"},
                                                   {"name=ABC", "nr=00", "sapdiahost=simhost", "extra=1"},
                                                   {"name=ABC", "nr=00", "sapdiahost=otherhost"},
                                                   {"name=ABD", "nr=00", "sapdiahost=simhost"}}) {
            RunResult r = Tool(tool, args);
            EXPECT_EQ(r.exitCode, 1) << tool << " " << args[0];
            EXPECT_TRUE(Contains(r.output, tool)) << r.output;
        }
    }
    EXPECT_TRUE(Running().empty());
    EXPECT_EQ(Tool("sapsrvkill.exe", {"simhost-ABC-00"}).exitCode, 1);
    EXPECT_EQ(Tool("sapsrvkill.exe", {"simhost_ABC_00", "x"}).exitCode, 1);
    EXPECT_EQ(Tool("ensmon.exe", {"pf=" + Profile("DVEBMGS00")}).exitCode, 1);
    EXPECT_EQ(Tool("sapinfo.exe", {"ashost=simhost"}).exitCode, 1);
    EXPECT_EQ(Tool("sapinfo.exe", {"ashost=simhost", "sysnr=42"}).exitCode, 2) << "no such instance";
}

TEST_F(SapsimTest, SapsrvkillEndsJavaInstanceWithItsLaunchers) {
    InstallOk("JC01", "central", {"--arch", "java"});
    ASSERT_EQ(Tool("startsap.exe", StartArgs("01")).exitCode, 0);
    // A node shows jcontrol.exe's image until its exec: wait for the images themselves.
    EXPECT_TRUE(WaitFor([&] {
        return Images(InstDir("JC01") + "/exe") ==
               std::vector<std::string>{"jcontrol.exe", "jlaunch.exe", "jlaunch.exe"};
    }));
    RunResult r = Tool("sapsrvkill.exe", {"simhost_ABC_01"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(Running().empty());
}

TEST_F(SapsimTest, ImagesStartedFromKernelDirectoryBelongToTheirInstanceOnly) {
    InstallOk("ASCS01", "enqueue");
    InstallOk("ASCS02", "enqueue");
    Steer("ASCS01", "[startsap]\nfrom_sys = true\n");
    Steer("ASCS02", "[startsap]\nfrom_sys = true\n");
    ASSERT_EQ(Tool("startsap.exe", StartArgs("01")).exitCode, 0);
    ASSERT_EQ(Tool("startsap.exe", StartArgs("02")).exitCode, 0);
    EXPECT_EQ(Images(Kernel()),
              (std::vector<std::string>{"enserver.exe", "enserver.exe", "msg_server.exe", "msg_server.exe"}));
    EXPECT_EQ(Tool("ensmon.exe", {"pf=" + Profile("ASCS01"), "2"}).exitCode, 0);
    EXPECT_EQ(Tool("stopsap.exe", StartArgs("01")).exitCode, 0);
    EXPECT_EQ(Tool("ensmon.exe", {"pf=" + Profile("ASCS01"), "2"}).exitCode, 8);
    EXPECT_EQ(Tool("ensmon.exe", {"pf=" + Profile("ASCS02"), "2"}).exitCode, 0);
    EXPECT_EQ(Running().size(), 2u);
}

// ------------------------------------------------------------------------------------------------ monitors

TEST_F(SapsimTest, JcmonReportsLauncherStatesFromTheProcessTable) {
    InstallOk("J05", "dialog", {"--arch", "java"});
    const std::vector<std::string> pf = {"pf=" + Profile("J05")};
    auto rows = [&](const std::string& jcmon) {
        RunResult r = Exec(jcmon, pf, kDialogue);
        EXPECT_EQ(r.exitCode, 0) << r.output;
        std::vector<std::string> v;  // every line the agent's scan would look at
        for (const std::string& l : Lines(r.output))
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
    std::vector<std::string> down = rows(Kernel() + "/jcmon.exe");
    ASSERT_EQ(down.size(), 2u);
    EXPECT_EQ(state(down, "dispatcher"), "Stopped");
    EXPECT_EQ(state(down, "server0"), "Stopped");

    Steer("J05", "[process.server0]\nready_after_ms = 60000\n");
    ASSERT_EQ(Tool("startsap.exe", StartArgs("05")).exitCode, 0);
    const std::vector<std::string> all = {"jcontrol.exe", "jlaunch.exe", "jlaunch.exe"};
    ASSERT_TRUE(WaitFor([&] { return Images(InstDir("J05") + "/exe") == all; }));
    std::vector<std::string> starting = rows(Kernel() + "/jcmon.exe");
    EXPECT_EQ(state(starting, "dispatcher"), "Running");
    EXPECT_EQ(state(starting, "server0"), "Starting");

    Steer("J05", "");
    std::vector<std::string> up = rows(InstDir("J05") + "/j2ee/os_libs/jcmon.exe");
    EXPECT_EQ(state(up, "dispatcher"), "Running");
    EXPECT_EQ(state(up, "server0"), "Running");

    for (const Proc& p : Running())
        if (Contains(p.cmdline, "-nodename=server0")) kill(p.pid, SIGKILL);
    ASSERT_TRUE(WaitFor([&] { return state(rows(Kernel() + "/jcmon.exe"), "server0") == "Stopped"; }));
    EXPECT_EQ(state(rows(Kernel() + "/jcmon.exe"), "dispatcher"), "Running");
}

TEST_F(SapsimTest, JcmonRefusesAnyOtherDialogue) {
    InstallOk("J06", "dialog", {"--arch", "java"});
    for (const std::string& input : {std::string(""), std::string("20\n0\n0\n"), std::string("20\n0\n"),
                                     std::string("2\n0\n0"), std::string("20\r\n0\r\n0")}) {
        RunResult r = Tool("jcmon.exe", {"pf=" + Profile("J06")}, input);
        EXPECT_NE(r.exitCode, 0) << "input accepted: " << input;
        EXPECT_FALSE(Contains(r.output, "dispatcher")) << r.output;
        EXPECT_TRUE(Contains(r.output, "unexpected menu input")) << r.output;
    }
}

TEST_F(SapsimTest, EnsmonFollowsEnqueueAndReplicationServers) {
    InstallOk("ASCS01", "enqueue");
    InstallOk("ERS02", "enqrep");
    const std::vector<std::string> enq = {"pf=" + Profile("ASCS01"), "2"};
    const std::vector<std::string> rep = {"pf=" + Profile("ERS02"), "2"};
    EXPECT_EQ(Tool("ensmon.exe", enq).exitCode, 8);
    EXPECT_EQ(Tool("ensmon.exe", rep).exitCode, 8);
    ASSERT_EQ(Tool("startsap.exe", StartArgs("01")).exitCode, 0);
    EXPECT_EQ(Images(InstDir("ASCS01") + "/exe"),
              (std::vector<std::string>{"enserver.exe", "msg_server.exe"}));
    EXPECT_EQ(Tool("ensmon.exe", enq).exitCode, 0);

    Steer("ASCS01", "[ensmon]\nreplication = true\n");
    EXPECT_EQ(Tool("ensmon.exe", enq).exitCode, 4) << "replication configured, no replication server";
    ASSERT_EQ(Tool("startsap.exe", StartArgs("02")).exitCode, 0);
    EXPECT_EQ(Tool("ensmon.exe", enq).exitCode, 0);
    EXPECT_EQ(Tool("ensmon.exe", rep).exitCode, 0);

    ASSERT_EQ(Tool("stopsap.exe", StartArgs("01")).exitCode, 0);
    EXPECT_EQ(Tool("ensmon.exe", enq).exitCode, 8);
    EXPECT_EQ(Tool("ensmon.exe", rep).exitCode, 0) << "the replication server runs on";
}

// ------------------------------------------------------------------------------------------------ steering

TEST_F(SapsimTest, ControlFileOverridesExitCodeDelayAndOutput) {
    InstallOk("DVEBMGS00", "central");
    InstallOk("J01", "central", {"--arch", "java"});
    ASSERT_EQ(Tool("startsap.exe", StartArgs("00")).exitCode, 0);
    Steer("DVEBMGS00", "[sapinfo]\nexit_code = 3\ndelay_ms = 150\n");
    RunResult slow = Tool("sapinfo.exe", {"ashost=simhost", "sysnr=00"});
    EXPECT_EQ(slow.exitCode, 3);
    EXPECT_GE(slow.ms, 150);

    Steer("DVEBMGS00", "[sapinfo]\noutput_bytes = 3145728\n");
    RunResult flood = Tool("sapinfo.exe", {"ashost=simhost", "sysnr=00"});
    EXPECT_EQ(flood.exitCode, 0);
    EXPECT_GE(flood.output.size(), 3145728u);
    EXPECT_FALSE(Contains(flood.output, "server")) << "filler must not look like an answer";

    Steer("J01", "[jcmon]\nlines = [\"dispatcher Running\", \"server0 Stopped\"]\nexit_code = 1\n");
    RunResult verbatim = Tool("jcmon.exe", {"pf=" + Profile("J01")}, kDialogue);
    EXPECT_EQ(verbatim.output, "dispatcher Running\nserver0 Stopped\n");
    EXPECT_EQ(verbatim.exitCode, 1);

    Steer("DVEBMGS00", "[stopsap]\nact = false\nexit_code = 2\n");
    EXPECT_EQ(Tool("stopsap.exe", StartArgs("00")).exitCode, 2);
    EXPECT_EQ(Running().size(), 5u) << "act = false stops nothing";
}

TEST_F(SapsimTest, HungToolDiesOnSigkillAndLeavesNothing) {
    InstallOk("DVEBMGS00", "central");
    Steer("DVEBMGS00", "[startsap]\ndelay_ms = 60000\n");
    RunResult r = Tool("startsap.exe", StartArgs("00"), "", 300);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_TRUE(r.eof) << "something still holds the output pipe";
    EXPECT_LT(r.ms, 2000);
    EXPECT_TRUE(Running().empty());
}

TEST_F(SapsimTest, ControlFileStartsSomeProcessesAndEndsOthers) {
    InstallOk("DVEBMGS00", "central");
    Steer("DVEBMGS00",
          "[startsap]\nprocesses = [\"disp+work.exe\", \"msg_server.exe\"]\n"
          "[process.\"msg_server.exe\"]\nexit_after_ms = 100\nexit_code = 3\n");
    ASSERT_EQ(Tool("startsap.exe", StartArgs("00")).exitCode, 0);
    const std::string exeDir = InstDir("DVEBMGS00") + "/exe";
    EXPECT_EQ(Images(exeDir), (std::vector<std::string>{"disp+work.exe", "msg_server.exe"}));
    EXPECT_TRUE(WaitFor([&] { return Images(exeDir) == std::vector<std::string>{"disp+work.exe"}; }));

    InstallOk("J02", "dialog", {"--arch", "java"});
    Steer("J02", "[startsap]\nprocesses = [\"jcontrol.exe\", \"dispatcher\"]\n[jcontrol]\nservers = 2\n");
    ASSERT_EQ(Tool("startsap.exe", StartArgs("02")).exitCode, 0);
    ASSERT_TRUE(WaitFor([&] {
        return Images(InstDir("J02") + "/exe") == std::vector<std::string>{"jcontrol.exe", "jlaunch.exe"};
    }));
    RunResult jc = Tool("jcmon.exe", {"pf=" + Profile("J02")}, kDialogue);
    int stopped = 0;
    for (const std::string& l : Lines(jc.output))
        if (Contains(l, "server") && Contains(l, "Stopped")) ++stopped;
    EXPECT_EQ(stopped, 2) << jc.output;
}

TEST_F(SapsimTest, StopsapKillsProcessesThatIgnoreSigterm) {
    InstallOk("DVEBMGS00", "central");
    Steer("DVEBMGS00", "[process.\"disp+work.exe\"]\nignore_term = true\n[stopsap]\ngrace_ms = 50\n");
    ASSERT_EQ(Tool("startsap.exe", StartArgs("00")).exitCode, 0);
    RunResult stop = Tool("stopsap.exe", StartArgs("00"));
    EXPECT_EQ(stop.exitCode, 0) << stop.output;
    EXPECT_LT(stop.ms, 2000);
    EXPECT_TRUE(Running().empty());
}

TEST_F(SapsimTest, MalformedControlFileFailsLoudly) {
    InstallOk("DVEBMGS00", "central");
    for (const char* text : {"[sapinfo\nexit_code = 1\n", "[sapinfo]\nexitcode = 1\n",
                             "[sapinfo]\ndelay_ms = -5\n", "[sapinfo]\nprocesses = []\n", "[nosuchtool]\n"}) {
        Steer("DVEBMGS00", text);
        RunResult r = Tool("sapinfo.exe", {"ashost=simhost", "sysnr=00"});
        EXPECT_EQ(r.exitCode, 78) << text;
        EXPECT_TRUE(Contains(r.output, "sapsim.toml")) << r.output;
    }
}

// ------------------------------------------------------------------------------------------------ service,
// owners

TEST_F(SapsimTest, RegisteredServiceRunsUntilSigtermOrSteeredExit) {
    InstallOk("DVEBMGS00", "central");
    toml::table svc = toml::parse_file(root_ + "/services/SAPABC_00/service.toml");
    std::vector<std::string> exec;
    for (const toml::node& n : *svc["exec"].as_array()) exec.push_back(n.value_or(""s));
    ASSERT_FALSE(exec.empty());

    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (std::string& a : exec) argv.push_back(a.data());
        argv.push_back(nullptr);
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 1);
        dup2(devnull, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ASSERT_TRUE(WaitFor([&] { return !Running().empty(); }));
    usleep(50000);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the service ended on its own";
    kill(pid, SIGTERM);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    Steer("DVEBMGS00", "[service]\ndelay_ms = 20\nexit_code = 5\n");
    RunResult failing = Exec(exec[0], std::vector<std::string>(exec.begin() + 1, exec.end()), "", 3000);
    EXPECT_EQ(failing.exitCode, 5);
}

TEST_F(SapsimTest, FilesAndProcessesBelongToTheAdministrator) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to change owners";
    passwd* pw = getpwnam("nobody");
    if (pw == nullptr) GTEST_SKIP() << "no account nobody";
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    toml::table out = InstallOk("DVEBMGS00", "central", {"--admin", "nobody", "--service-user", "nobody"});
    EXPECT_EQ(out["resources"]["sapABC_DVEBMGS00"]["SAPAdmin"].value_or(""s), "nobody");
    for (const std::string& f : {Kernel() + "/startsap.exe", InstDir("DVEBMGS00") + "/exe/disp+work.exe",
                                 Profile("DVEBMGS00"), InstDir("DVEBMGS00") + "/work"}) {
        struct stat st {};
        ASSERT_EQ(stat(f.c_str(), &st), 0) << f;
        EXPECT_EQ(st.st_uid, uid) << f;
    }
    EXPECT_TRUE(Contains(ReadText(root_ + "/services/SAPABC_00/service.toml"), "user = \"nobody\""));

    RunResult start = Exec(Kernel() + "/startsap.exe", StartArgs("00"), "", 10000, uid, gid);
    ASSERT_EQ(start.exitCode, 0) << start.output;
    std::vector<Proc> procs = Running();
    EXPECT_EQ(procs.size(), 5u);
    for (const Proc& p : procs) EXPECT_EQ(p.uid, uid) << p.exe;
    RunResult stop = Exec(Kernel() + "/stopsap.exe", StartArgs("00"), "", 10000, uid, gid);
    EXPECT_EQ(stop.exitCode, 0) << stop.output;
    EXPECT_TRUE(Running().empty());
}

}  // namespace
