// A real single-node Pacemaker cluster runs the simulated SAP system through the OCF adapter: an ABAP
// instance and an enqueue server with its replication server. A dispatcher killed behind the cluster's back
// is recovered (monitor failure, stop, start); stopping everything through the cluster leaves nothing of the
// instances. The test brings corosync and pacemakerd up on a private configuration and takes them down again,
// with every file they wrote; it refuses to run where a cluster already runs or is configured.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>

#include "OcfHarness.h"

namespace fs = std::filesystem;

namespace kestrel_ocf_test {
namespace {

using kestrel_test::Contains;
using kestrel_test::NowMs;

// Where the daemons write; what was there before is kept (and its owner and mode put back).
const char* const kDaemonDirs[] = {"/var/lib/pacemaker", "/var/lib/corosync", "/var/log/pacemaker",
                                   "/var/log/corosync",  "/run/crm",          "/dev/shm"};
const char* const kDaemonFiles[] = {"/run/corosync.pid"};

std::string NetNamespace(const std::string& pid) {
    char buffer[128];
    const ssize_t n = readlink(("/proc/" + pid + "/ns/net").c_str(), buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// The pid of a corosync or pacemakerd that shares this process's network namespace (their IPC lives there),
// else empty.
std::string RunningCluster() {
    const std::string mine = NetNamespace("self");
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc", ec)) {
        const std::string pid = e.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string comm = kestrel_test::ReadFile("/proc/" + pid + "/comm");
        comm = comm.substr(0, comm.find('\n'));
        if ((comm == "corosync" || comm == "pacemakerd") && NetNamespace(pid) == mine)
            return pid + " " + comm;
    }
    return {};
}

struct Entry {
    uid_t uid;
    gid_t gid;
    mode_t mode;
};

std::map<std::string, Entry> Snapshot() {
    std::map<std::string, Entry> out;
    auto add = [&](const std::string& path) {
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0) out[path] = {st.st_uid, st.st_gid, st.st_mode};
    };
    for (const char* file : kDaemonFiles) add(file);
    for (const char* dir : kDaemonDirs) {
        add(dir);
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(dir, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
            add(it->path());
    }
    return out;
}

// Removes what is not in before (deepest first) and puts back owners and modes.
void Restore(const std::map<std::string, Entry>& before) {
    const std::map<std::string, Entry> now = Snapshot();
    for (auto it = now.rbegin(); it != now.rend(); ++it) {
        auto was = before.find(it->first);
        std::error_code ec;
        if (was == before.end()) {
            fs::remove_all(it->first, ec);
        } else if (was->second.uid != it->second.uid || was->second.gid != it->second.gid ||
                   was->second.mode != it->second.mode) {
            lchown(it->first.c_str(), was->second.uid, was->second.gid);
            if (!S_ISLNK(was->second.mode)) chmod(it->first.c_str(), was->second.mode & 07777);
        }
    }
}

pid_t Launch(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const std::string& log) {
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    return pid;
}

// Ends a daemon: SIGTERM, then SIGKILL after limitMs; reaps it.
void End(pid_t pid, long limitMs) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    const long end = NowMs() + limitMs;
    while (waitpid(pid, nullptr, WNOHANG) == 0) {
        if (NowMs() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return;
        }
        usleep(50000);
    }
}

class Cluster : public OcfE2E {
  protected:
    void SetUp() override {
        if (const std::string running = RunningCluster(); !running.empty())
            GTEST_SKIP() << "a cluster runs on this machine (" << running << "): not disturbing it";
        if (fs::exists("/var/lib/pacemaker/cib/cib.xml"))
            GTEST_SKIP() << "a cluster is configured on this machine (/var/lib/pacemaker/cib/cib.xml): not "
                            "touching it";
        OcfE2E::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        before_ = Snapshot();
        snapshotTaken_ = true;
    }

    void TearDown() override {
        // The cluster stops its resources as it goes down; then the daemons, then their files.
        End(pacemakerd_, 60000);
        End(corosync_, 20000);
        KillDaemonsLeft();
        if (snapshotTaken_) Restore(before_);
        OcfE2E::TearDown();
    }

    // Brings the cluster up with the CIB given (its configuration section) and waits until the node is the
    // DC. A short dc-deadtime keeps this to a few seconds.
    void StartCluster(const std::string& resources, const std::string& constraints) {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        node_ = host;
        const std::string conf = Root() + "/corosync.conf";
        ASSERT_TRUE(kestrel_test::WriteFile(
            conf,
            "totem {\n version: 2\n cluster_name: kestreltest\n transport: knet\n crypto_cipher: none\n"
            " crypto_hash: none\n}\nnodelist {\n node {\n  name: " +
                node_ +
                "\n  nodeid: 1\n  ring0_addr: 127.0.0.1\n }\n}\nquorum {\n provider: corosync_votequorum\n}\n"
                "logging {\n to_logfile: yes\n logfile: " +
                Root() + "/corosync.log\n to_syslog: no\n to_stderr: no\n}\n"));
        const std::string cib =
            "<cib crm_feature_set=\"3.16.1\" validate-with=\"pacemaker-3.9\" epoch=\"1\" num_updates=\"0\" "
            "admin_epoch=\"0\">\n<configuration>\n<crm_config><cluster_property_set id=\"opts\">"
            "<nvpair id=\"o1\" name=\"dc-deadtime\" value=\"2s\"/>"
            "<nvpair id=\"o2\" name=\"stonith-enabled\" value=\"false\"/>"
            "<nvpair id=\"o3\" name=\"cluster-recheck-interval\" value=\"5s\"/>"
            "</cluster_property_set></crm_config>\n<nodes/>\n<resources>\n" +
            resources + "</resources>\n<constraints>" + constraints +
            "</constraints>\n</configuration>\n<status/>\n</cib>\n";
        const std::string cibPath = "/var/lib/pacemaker/cib/cib.xml";
        ASSERT_TRUE(kestrel_test::WriteFile(cibPath, cib, 0600));
        struct stat dir {};
        ASSERT_EQ(stat("/var/lib/pacemaker/cib", &dir), 0);
        ASSERT_EQ(chown(cibPath.c_str(), dir.st_uid, dir.st_gid), 0);

        const std::vector<std::string> env =
            kestrel_test::EnvironmentWith({"PCMK_logfile=" + Root() + "/pacemaker.log"});
        corosync_ = Launch({"/usr/sbin/corosync", "-f", "-c", conf}, env, Root() + "/corosync.out");
        pacemakerd_ = Launch({"/usr/sbin/pacemakerd", "-f"}, env, Root() + "/pacemakerd.out");
        const long started = NowMs();
        ASSERT_TRUE(WaitFor(
            [&] { return Contains(Tool("/usr/sbin/crm_mon", {"-1"}).out, "Current DC: " + node_); }, 60000))
            << kestrel_test::ReadFile(Root() + "/pacemakerd.out");
        upMs_ = NowMs() - started;
    }

    ProcResult Tool(const std::string& program, const std::vector<std::string>& args) {
        return kestrel_test::RunProcess({.program = program, .args = args, .cwd = Root(), .limitMs = 30000});
    }

    bool RunningHere(const std::string& resource) {
        return Contains(Tool("/usr/sbin/crm_resource", {"--resource", resource, "--locate"}).out,
                        "is running on: " + node_);
    }

    std::string FailCount(const std::string& resource) {
        return Tool("/usr/sbin/crm_failcount", {"--query", "-r", resource, "-N", node_}).out;
    }

    std::string Primitive(const Instance& in, const std::vector<std::string>& parameters) {
        std::string xml = "<primitive id=\"" + in.resource + "\" class=\"ocf\" provider=\"" + Provider() +
                          "\" type=\"Kestrel\">\n<instance_attributes id=\"" + in.resource + "-p\">";
        int n = 0;
        for (const std::string& p : parameters) {
            const size_t eq = p.find('=');
            xml += "<nvpair id=\"" + in.resource + "-p" + std::to_string(n++) + "\" name=\"" +
                   p.substr(0, eq) + "\" value=\"" + p.substr(eq + 1) + "\"/>";
        }
        return xml + "</instance_attributes>\n<operations>" + "<op id=\"" + in.resource +
               "-start\" name=\"start\" interval=\"0\" timeout=\"60s\"/>" + "<op id=\"" + in.resource +
               "-stop\" name=\"stop\" interval=\"0\" timeout=\"60s\"/>" + "<op id=\"" + in.resource +
               "-monitor\" name=\"monitor\" interval=\"1s\" timeout=\"20s\"/>" +
               "</operations>\n</primitive>\n";
    }

    const std::string& Node() const { return node_; }
    long UpMs() const { return upMs_; }

  private:
    // Daemons a killed pacemakerd left behind became the test's children (it is a subreaper).
    void KillDaemonsLeft() {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator("/proc", ec)) {
            const std::string pid = e.path().filename();
            if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
            const std::string stat = kestrel_test::ReadFile("/proc/" + pid + "/stat");
            const size_t paren = stat.rfind(')');
            if (paren == std::string::npos) continue;
            const pid_t parent = std::atoi(stat.c_str() + paren + 4);
            if (parent != getpid()) continue;
            char exe[512] = {};
            if (readlink(("/proc/" + pid + "/exe").c_str(), exe, sizeof exe - 1) <= 0) continue;
            if (Contains(exe, "/pacemaker") || Contains(exe, "corosync")) {
                kill(std::atoi(pid.c_str()), SIGKILL);
                waitpid(std::atoi(pid.c_str()), nullptr, 0);
            }
        }
    }

    std::map<std::string, Entry> before_;
    bool snapshotTaken_ = false;
    pid_t corosync_ = -1, pacemakerd_ = -1;
    std::string node_;
    long upMs_ = 0;
};

TEST_F(Cluster, RecoversAKilledDispatcherAndStopsEverything) {
    Instance& abap = Install({.instance = "DVEBMGS00", .type = "central"});
    Instance& ascs = Install({.instance = "ASCS01", .type = "enqueue", .sid = Sid(1)});
    Instance& ers =
        Install({.instance = "ERS02", .type = "enqrep", .sid = Sid(1), .enqsrvRes = ascs.resource});
    const std::string resources = Primitive(abap, Parameters(abap)) + Primitive(ascs, Parameters(ascs)) +
                                  Primitive(ers, Parameters(ers));
    // The replication server rather not beside its enqueue server (one node here: beside it all the same),
    // started after it.
    const std::string constraints = "<rsc_colocation id=\"ers-apart\" rsc=\"" + ers.resource +
                                    "\" with-rsc=\"" + ascs.resource +
                                    "\" score=\"-1000\"/><rsc_order id=\"ascs-first\" first=\"" +
                                    ascs.resource + "\" then=\"" + ers.resource + "\" kind=\"Optional\"/>";
    ASSERT_NO_FATAL_FAILURE(StartCluster(resources, constraints));
    const long started = NowMs();
    for (const Instance* in : {&abap, &ascs, &ers})
        ASSERT_TRUE(WaitFor([&] { return RunningHere(in->resource); }, 60000))
            << in->resource << "\n"
            << Tool("/usr/sbin/crm_mon", {"-1"}).out;
    EXPECT_TRUE(ServiceRunning(abap));

    ASSERT_EQ(KillImage(abap, "disp+work.exe"), 1u);
    EXPECT_TRUE(WaitFor([&] { return Contains(FailCount(abap.resource), "value=1"); }, 30000))
        << FailCount(abap.resource) << Tool("/usr/sbin/crm_mon", {"-1"}).out;
    EXPECT_TRUE(WaitFor(
        [&] {
            for (const Proc& p : ProcessesUnderRoot())
                if (p.exe == abap.Image("disp+work.exe")) return RunningHere(abap.resource);
            return false;
        },
        30000))
        << Tool("/usr/sbin/crm_mon", {"-1"}).out;
    // Recovery: the monitor's answer in the agent log, then stop (Offline) and start on the same node.
    EXPECT_TRUE(WaitFor([&] { return Actions(abap).size() == 3; }, 30000))
        << kestrel_test::ReadFile(Root() + "/log/Kestrel.log");
    EXPECT_EQ(Actions(abap), (std::vector<std::string>{kestrel_e2e::kStarted, kestrel_e2e::kShutdown,
                                                       kestrel_e2e::kStarted}));
    EXPECT_EQ(AgentLogCount(" " + abap.resource + " kestrel-ocf: monitor: OCF exit code 1 ("), 1u)
        << kestrel_test::ReadFile(Root() + "/log/Kestrel.log");
    EXPECT_EQ(Actions(ers), std::vector<std::string>{kestrel_e2e::kStarted})
        << kestrel_test::ReadFile(Root() + "/log/Kestrel.log");

    ASSERT_EQ(Tool("/usr/sbin/crm_attribute", {"-t", "crm_config", "-n", "stop-all-resources", "-v", "true"})
                  .exitStatus,
              0);
    for (const Instance* in : {&abap, &ascs, &ers})
        EXPECT_TRUE(WaitFor([&] { return !RunningHere(in->resource); }, 60000)) << in->resource;
    EXPECT_TRUE(WaitFor([&] { return ProcessesUnderRoot().empty(); }, 10000))
        << "processes of the instances left";
    for (const Instance* in : {&abap, &ascs, &ers}) EXPECT_EQ(ServiceState(*in), "STOPPED") << in->resource;
    RecordProperty("cluster_up_ms", std::to_string(UpMs()));
    RecordProperty("scenario_ms", std::to_string(NowMs() - started));
    std::printf("cluster up in %ld ms; scenario %ld ms\n", UpMs(), NowMs() - started);
}

}  // namespace
}  // namespace kestrel_ocf_test
