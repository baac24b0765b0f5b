// The OCF adapter's monitor action as a whole process (what Pacemaker pays every interval) beside
// "cairnagent monitor" of the same online instance, with about 1,000 processes in the table. Both load the
// agent, run Monitor once (first level: processes and service; SecondLevelMonitor 0) and unload it; the
// adapter reads its parameters from the environment instead of a configuration file. Goal: at most 1.1x.
//
// Setup: a simulated ABAP instance (sapsim) in a temporary directory, run by this account (root), its start
// service in the embedded service manager, and idle children to fill the table.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "BenchSupport.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kTableSize = 1000;

// Runs argv with env (null: this process's) and waits; the exit status, -1 when it could not start.
int Run(const std::vector<std::string>& argv, const std::vector<std::string>* env = nullptr,
        std::string* out = nullptr) {
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (env != nullptr) {
        for (const std::string& e : *env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
    }
    int pipeFds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out != nullptr && pipe(pipeFds) == 0) {
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int started =
        posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env != nullptr ? envp.data() : environ);
    posix_spawn_file_actions_destroy(&actions);
    if (pipeFds[1] >= 0) close(pipeFds[1]);
    if (out != nullptr && pipeFds[0] >= 0) {
        char buffer[4096];
        for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
            out->append(buffer, static_cast<size_t>(n));
        close(pipeFds[0]);
    }
    if (started != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class Setup {
  public:
    bool Open(std::string& error) {
        char dir[] = "/tmp/kestrel-bench-ocf-XXXXXX";
        if (mkdtemp(dir) == nullptr) return Fail(error, "mkdtemp");
        root_ = dir;
        fs::permissions(root_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
        const std::string state = root_ + "/state";
        fs::create_directories(state + "/services");
        setenv("CAIRN_SERVICE_ROOT", (state + "/services").c_str(), 1);
        std::string printed;
        if (Run({KESTREL_BENCH_SAPSIM, "install", "--root", root_, "--sid", "QOC", "--instance", "DVEBMGS00",
                 "--type", "central", "--admin", "root", "--host", "benchhost"},
                nullptr, &printed) != 0)
            return Fail(error, "sapsim install failed");
        std::ostringstream config;
        config << "[cluster]\nstate_dir = \"" << state << "\"\nlog_dir = \"" << root_ << "/log\"\n\n"
               << "[types.Kestrel]\n\n[resources.sapQOC_DVEBMGS00]\ntype = \"Kestrel\"\n";
        ocfEnv_ = {"OCF_ROOT=/usr/lib/ocf",
                   "OCF_RESOURCE_INSTANCE=sapQOC_DVEBMGS00",
                   "OCF_RESKEY_CRM_meta_interval=120000",
                   "OCF_RESKEY_CRM_meta_timeout=62000",
                   "OCF_RESKEY_state_dir=" + state,
                   "OCF_RESKEY_log_dir=" + root_ + "/log",
                   "CAIRN_SERVICE_ROOT=" + state + "/services",
                   "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
        std::istringstream lines(printed);
        std::string kernel;
        for (std::string l; std::getline(lines, l);) {
            const size_t eq = l.find(" = ");
            if (eq == std::string::npos || l[0] == '#' || l[0] == '[') continue;
            std::string key = l.substr(0, eq), value = l.substr(eq + 3);
            if (key == "type") continue;
            if (key == "SecondLevelMonitor") value = "0";
            config << key << " = " << value << "\n";
            std::string plain;
            for (char c : value)
                if (c != '"' && c != '[' && c != ']' && c != ' ') plain += c;
            if (key == "SAPHome") kernel = plain;
            if (!plain.empty()) ocfEnv_.push_back("OCF_RESKEY_" + key + "=" + plain);
        }
        config_ = root_ + "/cluster.toml";
        std::ofstream(config_) << config.str();
        if (Run({KESTREL_BENCH_CAIRNAGENT, "--config", config_, "svc", "start", "SAPQOC_00"}) != 0)
            return Fail(error, "service start failed");
        if (Run({kernel + "/startsap.exe", "name=QOC", "nr=00", "sapdiahost=benchhost"}) != 0)
            return Fail(error, "startsap.exe failed");
        if (Run({KESTREL_BENCH_CAIRNAGENT, "--config", config_, "monitor", "sapQOC_DVEBMGS00"}, nullptr,
                &printed) != 0 ||
            printed.find("ONLINE") == std::string::npos)
            return Fail(error, "the instance is not online: " + printed);
        // Fill the table with idle children.
        size_t now = 0;
        for (const auto& e : fs::directory_iterator("/proc"))
            if (isdigit(static_cast<unsigned char>(e.path().filename().string()[0]))) ++now;
        const pid_t parent = getpid();
        for (; now < kTableSize; ++now) {
            const pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (getppid() != parent) _exit(0);
                for (;;) pause();
            }
            if (pid > 0) children_.push_back(pid);
        }
        return true;
    }

    void Close() {
        for (pid_t pid : children_) kill(pid, SIGKILL);
        for (pid_t pid : children_) waitpid(pid, nullptr, 0);
        children_.clear();
        if (root_.empty()) return;
        Run({KESTREL_BENCH_CAIRNAGENT, "--config", config_, "clean", "sapQOC_DVEBMGS00"});
        Run({KESTREL_BENCH_CAIRNAGENT, "--config", config_, "svc", "stop", "SAPQOC_00"});
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        std::error_code ec;
        fs::remove_all(root_, ec);
        root_.clear();
    }

    const std::string& Config() const { return config_; }
    const std::vector<std::string>& OcfEnvironment() const { return ocfEnv_; }

  private:
    bool Fail(std::string& error, const std::string& what) {
        error = what;
        return false;
    }
    std::string root_, config_;
    std::vector<std::string> ocfEnv_;
    std::vector<pid_t> children_;
};

Setup g_setup;

void BM_CairnagentMonitor(benchmark::State& state) {
    const std::vector<std::string> argv{KESTREL_BENCH_CAIRNAGENT, "--config", g_setup.Config(), "monitor",
                                        "sapQOC_DVEBMGS00"};
    for (auto _ : state) {
        if (Run(argv) != 0) state.SkipWithError("cairnagent monitor did not say ONLINE");
    }
}

void BM_OcfMonitor(benchmark::State& state) {
    const std::vector<std::string> argv{KESTREL_BENCH_OCF, "monitor"};
    for (auto _ : state) {
        if (Run(argv, &g_setup.OcfEnvironment()) != 0)
            state.SkipWithError("kestrel-ocf monitor did not answer 0");
    }
}

BENCHMARK(BM_CairnagentMonitor)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly();
BENCHMARK(BM_OcfMonitor)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly();

}  // namespace

int main(int argc, char** argv) {
    if (geteuid() != 0) {
        fprintf(stderr, "run as root (the instance's processes run as the administrator, here root)\n");
        return 2;
    }
    prctl(PR_SET_CHILD_SUBREAPER, 1);  // the instance's detached processes become ours to reap
    std::string error;
    if (!g_setup.Open(error)) {
        fprintf(stderr, "setup: %s\n", error.c_str());
        g_setup.Close();
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_setup.Close();
    return 0;
}
