// A real single-node Pacemaker cluster runs an ABAP instance and an ASCS/ERS pair of the simulated system
// through the OCF adapter: a dispatcher killed behind the cluster's back is recovered; stopping everything
// through the cluster leaves nothing of the instances. corosync and pacemakerd run on a private configuration
// and go again with every file they wrote; the test refuses to run where a cluster runs or is configured.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "OcfHarness.h"

namespace fs = std::filesystem;

namespace kestrel_ocf_test {
namespace {

using kestrel_test::NowMs;
using Snapshot = std::map<std::string, struct stat>;

// Where the daemons write; what was there before stays (owner and mode put back), the rest goes.
Snapshot Take() {
    Snapshot out;
    auto add = [&](const fs::path& p) {
        struct stat st {};
        if (lstat(p.c_str(), &st) == 0) out[p.string()] = st;
    };
    add("/run/corosync.pid");
    for (const char* dir : {"/var/lib/pacemaker", "/var/lib/corosync", "/var/log/pacemaker",
                            "/var/log/corosync", "/run/crm", "/dev/shm"}) {
        add(dir);
        std::error_code ec;
        for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
            add(it->path());
    }
    return out;
}

// pids: the daemons of this test. In /dev/shm, which other clusters on the machine may share, only their IPC
// files ("qb-PID-..." with one of pids) go.
void Restore(const Snapshot& before, const std::set<std::string>& pids) {
    const Snapshot now = Take();
    auto ours = [&](const std::string& path) {
        if (path.rfind("/dev/shm/", 0) != 0) return true;
        for (const std::string& pid : pids)
            if (Contains(path, "-" + pid + "-")) return true;
        return false;
    };
    for (auto it = now.rbegin(); it != now.rend(); ++it) {
        auto was = before.find(it->first);
        std::error_code ec;
        if (was == before.end() && ours(it->first)) fs::remove_all(it->first, ec);
        if (was == before.end() || S_ISLNK(was->second.st_mode)) continue;
        chown(it->first.c_str(), was->second.st_uid, was->second.st_gid);
        chmod(it->first.c_str(), was->second.st_mode & 07777);
    }
}

// A corosync or pacemakerd in this network namespace (where their IPC lives), as "PID NAME"; else empty.
std::string RunningCluster() {
    std::error_code ec;
    auto netns = [&ec](const std::string& pid) {
        return fs::read_symlink("/proc/" + pid + "/ns/net", ec).string();
    };
    for (const auto& e : fs::directory_iterator("/proc", ec)) {
        const std::string pid = e.path().filename(), comm = kestrel_test::ReadFile("/proc/" + pid + "/comm");
        if ((comm == "corosync\n" || comm == "pacemakerd\n") && netns(pid) == netns("self"))
            return pid + " " + comm;
    }
    return {};
}

// Starts a daemon in a process group of its own, output to log.
pid_t Launch(const std::vector<std::string>& argv, const std::string& log) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// SIGTERM; after limitMs SIGKILL to its whole process group (the daemons it started); reaped.
void End(pid_t pid, long limitMs) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (const long end = NowMs() + limitMs; waitpid(pid, nullptr, WNOHANG) == 0; usleep(50000)) {
        if (NowMs() < end) continue;
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return;
    }
}

class Cluster : public OcfE2E {
  protected:
    void SetUp() override {
        if (const std::string running = RunningCluster(); !running.empty())
            GTEST_SKIP() << "a cluster runs on this machine (" << running << "): not disturbing it";
        if (fs::exists("/var/lib/pacemaker/cib/cib.xml"))
            GTEST_SKIP() << "a cluster is configured here (/var/lib/pacemaker/cib/cib.xml): not touching it";
        OcfE2E::SetUp();
        before_ = Take();
    }

    void TearDown() override {
        const std::set<std::string> daemons = Daemons();
        End(pacemakerd_, 60000);  // stops the resources first
        End(corosync_, 20000);
        if (!before_.empty()) Restore(before_, daemons);
        OcfE2E::TearDown();
    }

    // The cluster with a seeded CIB (a short dc-deadtime: the node is DC within seconds), up to the DC.
    void StartCluster(const std::string& resources, const std::string& constraints) {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        node_ = host;
        const std::string conf = Root() + "/corosync.conf", cib = "/var/lib/pacemaker/cib/cib.xml";
        ASSERT_TRUE(kestrel_test::WriteFile(
            conf,
            "totem {\n version: 2\n cluster_name: kestreltest\n transport: knet\n crypto_cipher: none\n"
            " crypto_hash: none\n}\nnodelist {\n node {\n  name: " +
                node_ +
                "\n  nodeid: 1\n  ring0_addr: 127.0.0.1\n }\n}\nquorum {\n provider: corosync_votequorum\n}\n"
                "logging {\n to_logfile: yes\n logfile: " +
                Root() + "/corosync.log\n to_syslog: no\n}\n"));
        ASSERT_TRUE(kestrel_test::WriteFile(
            cib,
            "<cib crm_feature_set=\"3.16.1\" validate-with=\"pacemaker-3.9\" epoch=\"1\" num_updates=\"0\" "
            "admin_epoch=\"0\"><configuration><crm_config><cluster_property_set id=\"o\">"
            "<nvpair id=\"o1\" name=\"dc-deadtime\" value=\"2s\"/>"
            "<nvpair id=\"o2\" name=\"stonith-enabled\" value=\"false\"/></cluster_property_set></crm_config>"
            "<nodes/><resources>" +
                resources + "</resources><constraints>" + constraints +
                "</constraints></configuration><status/></cib>\n",
            0600));
        struct stat dir {};
        ASSERT_EQ(stat("/var/lib/pacemaker/cib", &dir), 0);
        ASSERT_EQ(chown(cib.c_str(), dir.st_uid, dir.st_gid), 0);
        setenv("PCMK_logfile", (Root() + "/pacemaker.log").c_str(), 1);
        corosync_ = Launch({"/usr/sbin/corosync", "-f", "-c", conf}, Root() + "/corosync.out");
        pacemakerd_ = Launch({"/usr/sbin/pacemakerd", "-f"}, Root() + "/pacemakerd.out");
        const long started = NowMs();
        ASSERT_TRUE(
            WaitFor([&] { return Contains(Tool("crm_mon", {"-1"}), "Current DC: " + node_); }, 60000));
        upMs_ = NowMs() - started;
    }

    std::string Tool(const std::string& program, const std::vector<std::string>& args) {
        return kestrel_test::RunProcess({.program = "/usr/sbin/" + program, .args = args, .limitMs = 30000})
            .out;
    }
    bool RunningHere(const Instance& in) {
        return Contains(Tool("crm_resource", {"--resource", in.resource, "--locate"}),
                        "is running on: " + node_);
    }
    bool Runs(const Instance& in, const std::string& image) {
        const std::vector<Proc> procs = ProcessesUnderRoot();
        return std::any_of(procs.begin(), procs.end(),
                           [&](const Proc& p) { return p.exe == in.Image(image); });
    }

    // The primitive of an instance: its parameters, start and stop within 60 s, a monitor every second.
    std::string Primitive(const Instance& in) {
        std::string xml = "<primitive id=\"" + in.resource + "\" class=\"ocf\" provider=\"" + Provider() +
                          "\" type=\"Kestrel\"><instance_attributes id=\"" + in.resource + "-p\">";
        int n = 0;
        for (const std::string& p : Parameters(in))
            xml += "<nvpair id=\"" + in.resource + std::to_string(n++) + "\" name=\"" +
                   p.substr(0, p.find('=')) + "\" value=\"" + p.substr(p.find('=') + 1) + "\"/>";
        xml += "</instance_attributes><operations>";
        for (const char* op : {"start", "stop", "monitor"})
            xml += "<op id=\"" + in.resource + op + "\" name=\"" + op + "\" timeout=\"60s\" interval=\"" +
                   (std::string(op) == "monitor" ? "1s" : "0") + "\"/>";
        return xml + "</operations></primitive>";
    }

    std::string node_;
    long upMs_ = 0;

  private:
    // corosync, pacemakerd and pacemakerd's children.
    std::set<std::string> Daemons() const {
        std::set<std::string> out{std::to_string(corosync_), std::to_string(pacemakerd_)};
        std::error_code ec;
        for (const auto& e : fs::directory_iterator("/proc", ec)) {
            const std::string stat = kestrel_test::ReadFile(e.path().string() + "/stat");
            const size_t paren = stat.rfind(')');
            if (paren != std::string::npos && std::atoi(stat.c_str() + paren + 4) == pacemakerd_)
                out.insert(e.path().filename());
        }
        return out;
    }

    Snapshot before_;
    pid_t corosync_ = -1, pacemakerd_ = -1;
};

TEST_F(Cluster, RecoversAKilledDispatcherAndStopsEverything) {
    Instance& abap = Install({.instance = "DVEBMGS00", .type = "central"});
    Instance& ascs = Install({.instance = "ASCS01", .type = "enqueue", .sid = Sid(1)});
    Instance& ers =
        Install({.instance = "ERS02", .type = "enqrep", .sid = Sid(1), .enqsrvRes = ascs.resource});
    // The replication server rather not beside its enqueue server (one node: beside it all the same), after
    // it.
    ASSERT_NO_FATAL_FAILURE(
        StartCluster(Primitive(abap) + Primitive(ascs) + Primitive(ers),
                     "<rsc_colocation id=\"apart\" rsc=\"" + ers.resource + "\" with-rsc=\"" + ascs.resource +
                         "\" score=\"-1000\"/><rsc_order id=\"after\" first=\"" + ascs.resource +
                         "\" then=\"" + ers.resource + "\" kind=\"Optional\"/>"));
    const long started = NowMs();
    Tool("crm_resource", {"--wait", "-T", "60s"});  // until the cluster has nothing left to do
    for (const Instance* in : {&abap, &ascs, &ers})
        ASSERT_TRUE(RunningHere(*in)) << in->resource << Tool("crm_mon", {"-1"});
    EXPECT_TRUE(Runs(abap, "disp+work.exe") && Runs(ascs, "enserver.exe") && Runs(ers, "enrepserver.exe"));

    // Recovery: fail count 1, the monitor's answer in the agent log, stop (Offline) and start on this node.
    ASSERT_EQ(KillImage(abap, "disp+work.exe"), 1u);
    EXPECT_TRUE(WaitFor(
        [&] {
            return Contains(Tool("crm_failcount", {"--query", "-r", abap.resource, "-N", node_}), "value=1");
        },
        30000));
    EXPECT_TRUE(WaitFor([&] { return Actions(abap).size() == 3 && Runs(abap, "disp+work.exe"); }, 30000));
    EXPECT_EQ(Actions(abap), (std::vector<std::string>{kestrel_e2e::kStarted, kestrel_e2e::kShutdown,
                                                       kestrel_e2e::kStarted}));
    const std::string log = kestrel_test::ReadFile(Root() + "/log/Kestrel.log");
    const std::string answer = " " + abap.resource + " kestrel-ocf: monitor: OCF exit code 1 (";
    EXPECT_EQ(std::ranges::count_if(kestrel_test::Lines(log), [&](auto& l) { return Contains(l, answer); }),
              1)
        << log;
    EXPECT_TRUE(WaitFor([&] { return RunningHere(abap); }, 30000));

    Tool("crm_attribute", {"-t", "crm_config", "-n", "stop-all-resources", "-v", "true"});
    Tool("crm_resource", {"--wait", "-T", "60s"});
    for (const Instance* in : {&abap, &ascs, &ers}) EXPECT_FALSE(RunningHere(*in)) << in->resource;
    EXPECT_TRUE(WaitFor([&] { return ProcessesUnderRoot().empty(); }, 10000))
        << "processes of the instances left";
    for (const Instance* in : {&abap, &ascs, &ers}) EXPECT_EQ(ServiceState(*in), "STOPPED") << in->resource;
    std::printf("cluster up in %ld ms; scenario %ld ms\n", upMs_, NowMs() - started);
}

}  // namespace
}  // namespace kestrel_ocf_test
