// The instance processes (disp+work.exe, jcontrol.exe, ...) and the stand-in for the SAP start service.
//
// They do no work: they exist until SIGTERM (or until the control file makes them exit), so that the
// process table shows them with the right image path and owner. jcontrol.exe starts its jlaunch.exe nodes.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "Sim.h"

extern char** environ;

namespace sapsim {

namespace {

constexpr long kChildGraceMs = 2000;

std::string ArgValue(const std::vector<std::string>& args, const std::string& prefix) {
    for (const std::string& a : args)
        if (a.rfind(prefix, 0) == 0) return a.substr(prefix.size());
    return "";
}

// A direct child of jcontrol.exe (jlaunch nodes stay in jcontrol's session, as they do for real).
pid_t SpawnChild(const std::string& path, const std::vector<std::string>& args) {
    std::vector<std::string> store = args;
    std::vector<char*> argv;
    for (std::string& a : store) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ResetSignalsBeforeExec();
        ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        ::execve(path.c_str(), argv.data(), environ);
        ::_exit(127);
    }
    return pid;
}

void ReapChildren(std::vector<pid_t>& children, const Instance& inst) {
    int status = 0;
    pid_t pid;
    while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0) {
        children.erase(std::remove(children.begin(), children.end(), pid), children.end());
        AppendLog(inst, "jcontrol.exe: node process " + std::to_string(pid) + " ended");
    }
}

void StopChildren(std::vector<pid_t>& children, const Instance& inst) {
    for (pid_t c : children) ::kill(c, SIGTERM);  // our own unreaped children: their pids cannot be reused
    long deadline = NowMs() + kChildGraceMs;
    while (!children.empty() && NowMs() < deadline) {
        ReapChildren(children, inst);
        if (!children.empty()) SleepMs(10);
    }
    for (pid_t c : children) ::kill(c, SIGKILL);
    for (pid_t c : children) ::waitpid(c, nullptr, 0);
    children.clear();
}

// Blocks until a termination signal or the time is up (timeoutMs < 0: no limit). Returns the signal, or 0
// for the time-out. SIGCHLD calls onChild.
template <typename F>
int WaitForEnd(const sigset_t& set, long timeoutMs, F onChild) {
    long deadline = timeoutMs >= 0 ? NowMs() + timeoutMs : -1;
    for (;;) {
        siginfo_t info{};
        int sig;
        if (deadline < 0) {
            sig = ::sigwaitinfo(&set, &info);
        } else {
            long left = std::max(0L, deadline - NowMs());
            timespec ts{left / 1000, (left % 1000) * 1000000L};
            sig = ::sigtimedwait(&set, &info, &ts);
            if (sig < 0 && errno == EAGAIN) return 0;
        }
        if (sig < 0) continue;  // EINTR
        if (sig == SIGCHLD) {
            onChild();
            continue;
        }
        return sig;
    }
}

sigset_t BlockEndSignals(bool ignoreTerm) {
    sigset_t set;
    ::sigemptyset(&set);
    for (int s : {SIGINT, SIGHUP, SIGCHLD}) ::sigaddset(&set, s);
    if (ignoreTerm) {
        struct sigaction ign {};
        ign.sa_handler = SIG_IGN;
        ::sigaction(SIGTERM, &ign, nullptr);
    } else {
        ::sigaddset(&set, SIGTERM);
    }
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
    return set;
}

}  // namespace

int RunImage(const std::string& image, const std::vector<std::string>& args) {
    const std::string profile = ArgValue(args, "pf=");
    if (profile.empty()) throw Failure{1, "usage: " + image + " pf=<profile>"};
    Instance inst = LoadProfile(profile);
    Control c = LoadControl(inst);
    const std::string node = ArgValue(args, "-nodename=");
    const std::string key = image == "jlaunch.exe" && !node.empty() ? node : image;
    ProcessControl pc = c.Process(key);
    sigset_t set = BlockEndSignals(pc.ignoreTerm);
    const std::string who =
        image + (node.empty() ? "" : " " + node) + " (pid " + std::to_string(::getpid()) + ")";
    AppendLog(inst, who + ": running");

    std::vector<pid_t> children;
    if (image == "jcontrol.exe") {
        const std::string jlaunch = Dirname(SelfExe()) + "/" + inst.FileName("jlaunch.exe");
        for (const std::string& n : c.Nodes()) {
            if (!c.ShouldStart(n, true)) continue;
            pid_t pid = SpawnChild(jlaunch, {jlaunch, "pf=" + profile, "-nodename=" + n});
            if (pid > 0) children.push_back(pid);
            AppendLog(inst, who + ": started node " + n + " (pid " + std::to_string(pid) + ")");
        }
    }
    int sig = WaitForEnd(set, pc.exitAfterMs, [&] { ReapChildren(children, inst); });
    if (sig == 0) {
        // A crash: jcontrol's nodes are left behind, as they would be.
        AppendLog(inst, who + ": exits with code " + std::to_string(pc.exitCode));
        return pc.exitCode;
    }
    StopChildren(children, inst);
    AppendLog(inst, who + ": stopped by signal " + std::to_string(sig));
    return 0;
}

int RunService(const std::vector<std::string>& args) {
    std::string root, sid, name;
    ParseInstanceOptions(args, root, sid, name, 1,
                         "usage: sapsim service --root DIR --sid SID --instance NAME");
    std::optional<Instance> inst;
    for (const Instance& i : FindInstances(root, Upper(sid)))
        if (i.name == Upper(name)) inst = i;
    if (!inst) throw Failure{1, "no instance " + Upper(sid) + " " + Upper(name) + " under " + root};
    ToolControl tc = LoadControl(*inst).Tool("service");
    sigset_t set = BlockEndSignals(tc.ignoreTerm);
    std::cerr << "sapsim service " << inst->ServiceName() << " running (pid " << ::getpid() << ")"
              << std::endl;
    if (tc.exitCode) {
        // A service that fails: it ends on its own after delay_ms.
        int sig = WaitForEnd(set, tc.delayMs, [] {});
        if (sig == 0) {
            std::cerr << "sapsim service " << inst->ServiceName() << " exits with code " << *tc.exitCode
                      << std::endl;
            return *tc.exitCode;
        }
    } else {
        WaitForEnd(set, -1, [] {});
    }
    std::cerr << "sapsim service " << inst->ServiceName() << " stopped" << std::endl;
    return 0;
}

}  // namespace sapsim
