// cairnagent demo.
//
// Two processes. The first (the supervisor) checks the prerequisites, creates the temporary directory with
// the demo's accounts (files read by libnss-wrapper and libpam-wrapper) and runs cairnagent again with the
// wrappers preloaded, since they only work when loaded before the process starts. That second process
// installs the simulated SAP system with sapsim, writes the configuration and tells the story with the agent
// loaded in-process, as the other commands load it. Whatever becomes of it (success, failure, a crash, an
// interruption), the supervisor then ends every process still running from the directory and removes it.
// The supervisor is a child subreaper, so the detached SAP processes are its children and are reaped.
#include "HostDemo.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "CairnHost.h"
#include "HostAgent.h"
#include "LibPasswordCodec.h"
#include "LibProcess.h"
#include "LibProcessList.h"
#include "LibSCM.h"
#include "LibService.h"
#include "LibWide.h"

extern char** environ;

namespace cairn::host {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Set in the environment of the second process: the demo directory.
constexpr const char* kRootVar = "CAIRN_DEMO_ROOT";

// The system's names and accounts. Uids and SID differ from those of the tests (kadm 47001.., SID ABC), as
// the agent's process checks look at the whole process table: a test running at the same time must
// neither be counted nor killed by the demo's agent, nor the other way round.
constexpr const char* kSid = "DMO";
constexpr const char* kAdmin = "dmoadm";
constexpr const char* kPassword = "Demo-pass-1";
constexpr uint32_t kGid = 47100;
constexpr uint32_t kAdminUid = 47101;
constexpr uint32_t kFirstServiceUid = 47110;

// Generous against a slow machine, small enough that a stuck step cannot hold the demo for long.
constexpr int kEntryPointTimeout = 60;

struct Instance {
    const char* name;  // InstName
    const char* type;  // sapsim --type
    const char* arch;  // sapsim --arch
    const char* what;
    const char* upTool;  // what Online waits for

    std::string Number() const { return std::string(name).substr(std::strlen(name) - 2); }
    std::string Resource() const { return std::string("sap") + kSid + "_" + name; }
    // Each start service runs under an account of its own: the clean-up before Online and the kill of
    // Clean end every process of the SID's kernel directory owned by the instance's accounts, and the
    // simulated start services run from there, so instances sharing a service account would end each
    // other's services.
    std::string ServiceUser() const { return std::string("dmosvc") + Number(); }
    std::string ServiceName() const { return std::string("SAP") + kSid + "_" + Number(); }
};

// Online order; Offline goes the other way.
const Instance kInstances[] = {
    {"ASCS02", "enqueue", "none", "enqueue server", "ensmon.exe to report the enqueue server up"},
    {"ERS03", "enqrep", "none", "enqueue replication server", "ensmon.exe to report the replication up"},
    {"DVEBMGS00", "central", "abap", "ABAP central instance", "sapinfo.exe to report the instance up"},
    {"J01", "central", "java", "Java central instance",
     "jcmon.exe to report the J2EE servers running (it rechecks every 5 s)"},
};
const Instance& kAbap = kInstances[2];
const Instance& kEnqueue = kInstances[0];

std::string Seconds(Clock::duration elapsed) {
    char buffer[32];
    snprintf(buffer, sizeof buffer, "%.2f s", std::chrono::duration<double>(elapsed).count());
    return buffer;
}

bool WriteFile(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    out.close();
    return out.good() && chmod(path.c_str(), mode) == 0;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string TomlString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// ---- Processes under the demo directory -------------------------------------------------------------

// Every process whose image lies under dir. With kill set, each is sent SIGKILL through the pidfd it was
// inspected through. Zombies have no image and are not listed.
std::vector<std::pair<uint32_t, std::string>> ProcessesUnder(const std::string& dir, bool kill) {
    std::vector<std::pair<uint32_t, std::string>> found;
    TernProcessList list;
    if (list.Open().IsFailure()) return found;
    const std::string prefix = dir + "/";
    uint32_t pid = 0;
    for (CKestrelStatus walk = list.GetFirst(pid); walk.IsSuccess(); walk = list.GetNext(pid)) {
        TernProcess process;
        std::wstring image;
        if (process.Open(pid, false, TernProcess::kAccessAll).IsFailure() ||
            process.GetExeName(image).IsFailure()) {
            continue;
        }
        std::string path = TernWideToMb(image);
        if (path.compare(0, prefix.size(), prefix) != 0) continue;
        if (kill) process.Terminate();
        found.emplace_back(pid, path);
    }
    return found;
}

// ---- The accounts -----------------------------------------------------------------------------------

// The directory holding libnss_wrapper.so and libpam_wrapper.so (Debian: the multiarch library directory).
bool FindWrappers(std::string& libDir, std::string& error) {
    std::vector<std::string> candidates;
    std::error_code ignored;
    for (const fs::directory_entry& entry : fs::directory_iterator("/usr/lib", ignored)) {
        std::string name = entry.path().filename().string();
        if (entry.is_directory(ignored) && name.size() > 10 && name.ends_with("-linux-gnu"))
            candidates.push_back(entry.path().string());
    }
    candidates.push_back("/usr/lib64");
    candidates.push_back("/usr/lib");
    auto present = [](const std::string& path) {
        std::error_code unreadable;
        return fs::exists(path, unreadable);
    };
    const char* missing = "libnss_wrapper.so";
    for (const std::string& dir : candidates) {
        if (!present(dir + "/libnss_wrapper.so")) continue;
        missing = "libpam_wrapper.so";
        if (!present(dir + "/libpam_wrapper.so") || !present(dir + "/pam_wrapper/pam_matrix.so")) continue;
        libDir = dir;
        return true;
    }
    error = std::string("demo: ") + missing +
            " not found: the demo's accounts need it; install the Debian package " +
            (std::strcmp(missing, "libnss_wrapper.so") == 0 ? "libnss-wrapper" : "libpam-wrapper") +
            " (apt-get install libnss-wrapper libpam-wrapper)";
    return false;
}

// passwd, group, the PAM password file and the PAM services, in root. Homes are created and given to
// their accounts, so processes running as them can start there.
bool WriteAccounts(const std::string& root, const std::string& libDir, std::string& error) {
    std::string passwd = "root:x:0:0:root:/root:/bin/bash\n";
    std::string members = kAdmin;
    auto add = [&](const std::string& name, uint32_t uid, const std::string& gecos, const char* shell) {
        const std::string home = root + "/home/" + name;
        std::error_code failed;
        fs::create_directories(home, failed);
        if (failed || chown(home.c_str(), uid, kGid) != 0) return false;
        passwd += name + ":x:" + std::to_string(uid) + ":" + std::to_string(kGid) + ":" + gecos + ":" + home +
                  ":" + shell + "\n";
        return true;
    };
    // The administrator logs on interactively (a login shell); the service accounts are service-only.
    bool ok = add(kAdmin, kAdminUid, "SAP administrator", "/bin/sh");
    uint32_t uid = kFirstServiceUid;
    for (const Instance& instance : kInstances) {
        ok = ok && add(instance.ServiceUser(), uid++, "start service of " + instance.Resource(),
                       "/usr/sbin/nologin");
        members += "," + instance.ServiceUser();
    }
    const std::string group = "root:x:0:\nsapsys:x:" + std::to_string(kGid) + ":" + members + "\n";
    const std::string matrix = libDir + "/pam_wrapper/pam_matrix.so";
    const std::string deny = libDir + "/security/pam_deny.so";
    const std::string service = "auth required " + matrix + " passdb=" + root + "/passdb\n" +
                                "account required " + matrix + " passdb=" + root + "/passdb\n";
    // Every other service is refused (PAM also complains at each start when "other" is missing).
    const std::string other = "auth required " + deny + "\naccount required " + deny + "\n";
    std::error_code ignored;
    fs::create_directories(root + "/pam.d", ignored);
    // passwd and group are read by every process of the system through the wrapper; passdb only by root.
    if (!ok || !WriteFile(root + "/passwd", passwd, 0644) || !WriteFile(root + "/group", group, 0644) ||
        !WriteFile(root + "/passdb", std::string(kAdmin) + ":" + kPassword + ":kestrel\n", 0600) ||
        !WriteFile(root + "/pam.d/kestrel", service, 0644) ||
        !WriteFile(root + "/pam.d/other", other, 0644)) {
        error = "demo: cannot write the accounts in " + root;
        return false;
    }
    return true;
}

// The environment of the second process: ours, with the wrappers preloaded and pointed at the demo's files.
std::vector<std::string> DemoEnvironment(const std::string& root) {
    std::vector<std::string> own = {
        "LD_PRELOAD=libnss_wrapper.so:libpam_wrapper.so",
        "NSS_WRAPPER_PASSWD=" + root + "/passwd",
        "NSS_WRAPPER_GROUP=" + root + "/group",
        "PAM_WRAPPER=1",
        "PAM_WRAPPER_SERVICE_DIR=" + root + "/pam.d",
        "CAIRN_SERVICE_ROOT=" + root + "/state/services",
        "CAIRN_SERVICE_MANAGER=embedded",  // the demo's start services are in its own registry
        std::string(kRootVar) + "=" + root,
        // Sanitizer builds: the runtime must accept not coming first, and the wrappers must not load libc
        // with RTLD_DEEPBIND (see docs/testing.md).
        "NSS_WRAPPER_DISABLE_DEEPBIND=1",
        "PAM_WRAPPER_DISABLE_DEEPBIND=1",
        "UID_WRAPPER_DISABLE_DEEPBIND=1",
    };
    std::string asan = "ASAN_OPTIONS=verify_asan_link_order=0";
    if (const char* options = getenv("ASAN_OPTIONS"); options != nullptr && *options != '\0')
        asan = std::string("ASAN_OPTIONS=") + options + ":verify_asan_link_order=0";
    own.push_back(asan);
    std::set<std::string> replaced;
    for (const std::string& entry : own) replaced.insert(entry.substr(0, entry.find('=') + 1));
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text(*entry);
        if (replaced.count(text.substr(0, text.find('=') + 1)) == 0) env.push_back(text);
    }
    env.insert(env.end(), own.begin(), own.end());
    return env;
}

// ---- The supervisor ---------------------------------------------------------------------------------

// Ends every process under root until none is left (a process may still start one while it is being
// ended), reaping our children. Returns how many were ended.
size_t EndProcessesUnder(const std::string& root) {
    size_t ended = 0;
    for (int quiet = 0, round = 0; quiet < 2 && round < 100; ++round) {
        size_t found = ProcessesUnder(root, true).size();
        ended += found;
        quiet = found == 0 ? quiet + 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
    return ended;
}

// The demo's accounts must reach their homes and the files the wrappers read, all in the demo directory.
bool ReachableByAll(const std::string& base, std::string& error) {
    std::error_code failed;
    fs::path dir = fs::canonical(base, failed);
    if (failed) {
        error = "demo: the temporary directory " + base + " cannot be used: " + failed.message();
        return false;
    }
    for (;; dir = dir.parent_path()) {
        struct stat info {};
        if (stat(dir.c_str(), &info) == 0 && (info.st_mode & S_IXOTH) == 0) {
            error = "demo: the demo's accounts cannot reach a directory in " + base + ": " + dir.string() +
                    " is not searchable by others; set TMPDIR to one they can reach";
            return false;
        }
        if (dir == dir.root_path()) return true;
    }
}

int Supervise(CommandContext& context) {
    if (geteuid() != 0) {
        return UsageError(
            "demo: must run as root: the simulated SAP processes run under the demo's own accounts");
    }
    const std::string sapsim = context.exeDir() + "/sapsim";
    if (access(sapsim.c_str(), X_OK) != 0) {
        return UsageError("demo: " + sapsim +
                          " not found: the demo needs the simulated SAP system next to cairnagent "
                          "(build the sapsim target)");
    }
    std::string libDir;
    std::string error;
    if (!FindWrappers(libDir, error)) return UsageError(error);

    const char* tmp = getenv("TMPDIR");
    const std::string base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    if (!ReachableByAll(base, error)) return UsageError(error);
    std::string pattern = base + "/kestrel-demo-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        return UsageError("demo: cannot create a directory like " + pattern + ": " + strerror(errno));
    }
    std::error_code ignored;
    // sapsim and the agent work with canonical paths; so does the directory everybody is told about.
    const std::string root = fs::canonical(pattern, ignored).string();
    auto removeRoot = [&] {
        std::error_code failed;
        fs::remove_all(root, failed);
        return !failed;
    };
    // The accounts traverse it to their homes and the files the wrappers read.
    chmod(root.c_str(), 0755);
    if (!WriteAccounts(root, libDir, error)) {
        removeRoot();
        return UsageError(error);
    }

    std::vector<std::string> env = DemoEnvironment(root);
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string self = "cairnagent", verbose = "-v", command = "demo";
    std::vector<char*> argv{self.data()};
    if (context.options().verbose) argv.push_back(verbose.data());
    argv.push_back(command.data());
    argv.push_back(nullptr);

    // Signals are taken with sigtimedwait, so none is lost between two waits; the child gets them forwarded
    // (it runs in its own process group, so a Ctrl-C reaches it exactly once, through us).
    sigset_t handled, previous;
    sigemptyset(&handled);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&handled, signal);
    pthread_sigmask(SIG_BLOCK, &handled, &previous);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    sigset_t none;
    sigemptyset(&none);

    pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve("/proc/self/exe", argv.data(), envp.data());
        _exit(127);
    }
    int exitCode = 1;
    if (child < 0) {
        fprintf(stderr, "cairnagent: demo: cannot start the demo process: %s\n", strerror(errno));
    } else {
        setpgid(child, child);
        for (bool running = true; running;) {
            timespec tick{0, 200 * 1000 * 1000};
            int signal = sigtimedwait(&handled, nullptr, &tick);
            if (signal == SIGINT || signal == SIGTERM || signal == SIGHUP) kill(child, signal);
            int status = 0;
            for (pid_t reaped; (reaped = waitpid(-1, &status, WNOHANG)) > 0;) {
                if (reaped != child) continue;
                exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                running = false;
            }
        }
        if (exitCode == 127) fprintf(stderr, "cairnagent: demo: cannot run /proc/self/exe again\n");
    }

    size_t ended = EndProcessesUnder(root);
    const bool removed = removeRoot();
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    std::string line = "Cleaned up: ";
    if (ended > 0) line += std::to_string(ended) + " leftover process(es) ended, ";
    line += removed ? root + " removed." : "could not remove " + root + ".";
    printf("%s\n", line.c_str());
    fflush(stdout);
    if (!removed && exitCode == 0) exitCode = 1;
    return exitCode;
}

// ---- The story --------------------------------------------------------------------------------------

// The first SIGINT, SIGTERM or SIGHUP lets the running step finish and skips the rest; a second one ends
// the process at once (the supervisor still cleans up).
std::atomic<int> g_interrupt{0};

class Story {
  public:
    Story(std::string root, std::string exeDir, bool verbose)
        : root_(std::move(root)), exeDir_(std::move(exeDir)), verbose_(verbose) {}

    int Run() {
        const Clock::time_point started = Clock::now();
        bool ready = Setup();
        if (ready) Tell();
        if (agent_) agent_->Unload();
        SetMessageListener(nullptr);
        StopServices();

        if (!ready) {
            Print("The demo could not be set up.");
        } else {
            std::string line = g_interrupt != 0
                                   ? "Story interrupted after " + std::to_string(steps_) + " steps"
                                   : "Story: " + std::to_string(steps_) + " steps";
            line += failures_.empty() ? ", all as expected"
                                      : ", " + std::to_string(failures_.size()) + " not as expected";
            line += ", in " + Seconds(Clock::now() - started) + ".";
            for (const std::string& failure : failures_) line += "\n  " + failure;
            Print(line);
        }
        if (g_interrupt != 0) return 128 + g_interrupt;
        return ready && failures_.empty() ? kExitOk : kExitNotAchieved;
    }

  private:
    // ---- output ----

    void Print(const std::string& text) {
        std::lock_guard<std::mutex> lock(printMutex_);
        fputs((text + "\n").c_str(), stdout);
        fflush(stdout);
    }

    // The demo directory is long and in every path: shown as $DEMO.
    std::string Shorten(std::string text) const {
        for (size_t at; (at = text.find(root_)) != std::string::npos;)
            text.replace(at, root_.size(), "$DEMO");
        return text;
    }

    // Messages that tell the story: warnings and worse, notices, and what Online, Offline and Clean report
    // about starting and stopping. -v shows every message.
    bool Shows(const LogMessage& message) const {
        // Console messages have already reached standard error through the framework.
        if (message.console) return false;
        if (verbose_ || message.severity <= 3) return true;
        return message.severity == 4 && !message.resource.empty() &&
               (message.tag == "CKestrel::Online" || message.tag == "CKestrel::Offline" ||
                message.tag == "CKestrel::Clean");
    }

    void OnMessage(const LogMessage& message) {
        if (!Shows(message)) return;
        std::string text;
        for (char c : Shorten(message.text))
            text += c == '\n' ? std::string("\n                      ") : std::string(1, c);
        char head[64];
        snprintf(head, sizeof head, "       %-8s %5u  ", SeverityName(message.severity).c_str(), message.id);
        Print(head + text);
    }

    // ---- steps ----

    void Section(const std::string& title) {
        if (g_interrupt == 0) Print("\n" + title);
    }

    // Runs one numbered step: its title and what it waits for, the agent's messages as they come, a line
    // every 5 s while it lasts, then its outcome. body returns whether the outcome was the expected one
    // and sets the outcome text.
    void Step(const std::string& title, const std::string& waitingFor,
              const std::function<bool(std::string&)>& body) {
        if (g_interrupt != 0) return;
        ++steps_;
        char number[16];
        snprintf(number, sizeof number, "[%2d] ", steps_);
        Print(number + title);
        if (!waitingFor.empty()) Print("       " + waitingFor + " ...");
        const Clock::time_point started = Clock::now();
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::thread ticker([&] {
            std::unique_lock<std::mutex> lock(mutex);
            while (!done.wait_for(lock, std::chrono::seconds(5), [&] { return finished; })) {
                Print("       ... still waiting (" + Seconds(Clock::now() - started) + ")");
            }
        });
        std::string outcome;
        const bool expected = body(outcome);
        {
            std::lock_guard<std::mutex> lock(mutex);
            finished = true;
        }
        done.notify_one();
        ticker.join();
        Print(std::string("     ") + (expected ? "ok    " : "FAILED") + " " + outcome + " (" +
              Seconds(Clock::now() - started) + ")");
        if (!expected) failures_.push_back(number + title + ": " + outcome);
    }

    CallRecord Call(EntryPoint entryPoint, const Instance& instance) {
        const std::string resource = instance.Resource();
        return agent_->Call(entryPoint, resource, BuildArguments(*type_, config_->resources.at(resource)));
    }

    static const char* State(const CallRecord& monitor) {
        return monitor.result == 0 ? "OFFLINE" : monitor.result == 1 ? "ONLINE" : "UNKNOWN";
    }

    // Online or Offline, then Monitor (as the online and offline commands do): Online and Offline report
    // trouble in the log only, Monitor tells whether they achieved their aim.
    void Transition(EntryPoint entryPoint, const Instance& instance, const std::string& waitingFor) {
        const bool online = entryPoint == EntryPoint::Online;
        Step(
            std::string(online ? "Online  " : "Offline ") + instance.Resource() + "  (" + instance.what + ")",
            waitingFor, [&](std::string& outcome) {
                Call(entryPoint, instance);
                const char* state = State(Call(EntryPoint::Monitor, instance));
                outcome = std::string(online ? "Online" : "Offline") + " done; Monitor says " + state;
                return std::strcmp(state, online ? "ONLINE" : "OFFLINE") == 0;
            });
    }

    // Monitor, with the trace lines that show its three levels deciding: the process check's count and
    // verdict, the start service, SAP's tool, the user's program.
    void Monitor(const Instance& instance, const char* expected, const std::string& why = "") {
        Step("Monitor " + instance.Resource() + why, "", [&](std::string& outcome) {
            const std::string debugLog = root_ + "/log/resources/" + instance.Resource() + ".log";
            std::error_code missing;
            const uintmax_t offset = fs::file_size(debugLog, missing);
            const char* state = State(Call(EntryPoint::Monitor, instance));
            for (const std::string& line : MonitorTraces(debugLog, missing ? 0 : offset)) Print(line);
            outcome = state;
            if (std::strcmp(state, expected) != 0) outcome += std::string(", expected ") + expected;
            return std::strcmp(state, expected) == 0;
        });
    }

    // The trace lines of the debug log from offset on that tell how Monitor decided, formatted for output.
    std::vector<std::string> MonitorTraces(const std::string& debugLog, uintmax_t offset) const {
        static const char* const kTold[] = {
            "Got procCount[",      "are Running.",         "are NOT Running.",
            "but NOT Running.",    "The SAP Service [",    "Execute the command",
            "jcmon.exe indicates", "skipping Third Level", "Process level check returned"};
        std::vector<std::string> out;
        std::ifstream in(debugLog, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset));
        // "YYYY-MM-DD HH:MM:SS.mmm DBG19 FUNCTION [FILE:LINE] TEXT"
        for (std::string line; std::getline(in, line);) {
            if (line.size() < 30 || line.compare(24, 6, "DBG19 ") != 0) continue;
            const size_t text = line.find("] ", 30);
            if (text == std::string::npos) continue;
            for (const char* told : kTold) {
                if (line.find(told, text) != std::string::npos) {
                    out.push_back("       trace    " + Shorten(line.substr(text + 2)));
                    break;
                }
            }
        }
        return out;
    }

    void Tell() {
        Section("1. Bring the system online, enqueue server first.");
        for (const Instance& instance : kInstances) {
            Transition(EntryPoint::Online, instance,
                       "Online starts service " + instance.ServiceName() +
                           " and startsap.exe, then waits for " + instance.upTool);
        }
        Section("2. The cluster monitors every instance (processes, start service, and SAP's own tools).");
        for (const Instance& instance : kInstances) Monitor(instance, "ONLINE");

        Section("3. A failure behind the cluster's back: the ABAP dispatcher dies.");
        const std::string dispatcher =
            root_ + "/sap/usr/sap/" + kSid + "/" + kAbap.name + "/exe/disp+work.exe";
        Step("kill -9 disp+work.exe of " + kAbap.Resource(), "",
             [&](std::string& outcome) { return KillAndWait(dispatcher, outcome); });
        Monitor(kAbap, "OFFLINE", "  (the dispatcher is missing)");
        Step("Clean   " + kAbap.Resource(),
             "Clean runs sapsrvkill.exe, stops service " + kAbap.ServiceName() + " and kills what is left",
             [&](std::string& outcome) {
                 CallRecord clean = Call(EntryPoint::Clean, kAbap);
                 outcome = "Clean result " + std::to_string(clean.result) +
                           (clean.result == 0 ? " (cleaned)" : " (a process could not be killed)");
                 return clean.result == 0;
             });
        Monitor(kAbap, "OFFLINE", "  (nothing of the instance is left)");
        Transition(EntryPoint::Online, kAbap,
                   "Online starts service " + kAbap.ServiceName() +
                       " and startsap.exe again, then waits for " + kAbap.upTool);

        Section("4. Take the system offline, enqueue server last.");
        for (auto it = std::rbegin(kInstances); it != std::rend(kInstances); ++it) {
            Transition(EntryPoint::Offline, *it,
                       "Offline runs stopsap.exe, then stops service " + it->ServiceName() +
                           " and ends what is left");
        }
        Step("No process of the simulated system is left", "", [&](std::string& outcome) {
            auto left = ProcessesUnder(root_ + "/sap", false);
            for (int i = 0; i < 40 && !left.empty(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                left = ProcessesUnder(root_ + "/sap", false);
            }
            outcome = left.empty()
                          ? "none running"
                          : std::to_string(left.size()) + " still running, e.g. " + Shorten(left[0].second);
            return left.empty();
        });
    }

    // Kills the process running image (there must be one) and waits for it to be gone.
    bool KillAndWait(const std::string& image, std::string& outcome) {
        TernProcessList list;
        uint32_t pid = 0;
        if (list.Open().IsFailure()) {
            outcome = "cannot read the process table";
            return false;
        }
        for (CKestrelStatus walk = list.GetFirst(pid); walk.IsSuccess(); walk = list.GetNext(pid)) {
            TernProcess process;
            std::wstring path;
            if (process.Open(pid, false, TernProcess::kAccessAll).IsFailure() ||
                process.GetExeName(path).IsFailure() || TernWideToMb(path) != image) {
                continue;
            }
            if (process.Terminate().IsFailure()) {
                outcome = "cannot kill pid " + std::to_string(pid);
                return false;
            }
            bool alive = true;
            for (int i = 0; i < 100 && alive; ++i) {
                if (process.IsAlive(alive).IsFailure()) break;
                if (alive) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            outcome = "pid " + std::to_string(pid) +
                      (alive ? " still running" : " is gone; the cluster was not told");
            return !alive;
        }
        outcome = "no process runs " + Shorten(image);
        return false;
    }

    // ---- setup ----

    bool Setup() {
        Print("Kestrel demo: the agent (libKestrel.so) keeps a simulated SAP system " + std::string(kSid) +
              " highly available.");
        Print("Setting up in " + root_ + " ($DEMO below).");
        std::string encoded;
        TernEncodePassword(kPassword, encoded);

        std::string config =
            "# Written by cairnagent demo.\n[cluster]\nstate_dir = " + TomlString(root_ + "/state") +
            "\nlog_dir = " + TomlString(root_ + "/log") + "\n\n[types.Kestrel]\n";
        for (const char* timeout : {"OnlineTimeout", "OfflineTimeout", "MonitorTimeout", "CleanTimeout"})
            config += std::string(timeout) + " = " + std::to_string(kEntryPointTimeout) + "\n";
        // Trace lines go to $DEMO/log/resources/<resource>.log; Monitor steps show some of them.
        config += "debug_tags = [19]\n";
        for (const Instance& instance : kInstances) {
            std::vector<std::string> args = {
                "install",     "--root",      root_ + "/sap", "--sid",          kSid,
                "--instance",  instance.name, "--type",       instance.type,    "--arch",
                instance.arch, "--admin",     kAdmin,         "--service-user", instance.ServiceUser(),
                "--password",  encoded};
            if (std::strcmp(instance.type, "enqrep") == 0) {
                args.push_back("--enqsrv-res");
                args.push_back(kEnqueue.Resource());
            }
            std::string block;
            if (!RunSapsim(args, block)) return false;
            config += "\n" + block;
        }
        const std::string configFile = root_ + "/cluster.toml";
        if (!WriteFile(configFile, config, 0600)) {
            Print("cannot write " + configFile);
            return false;
        }

        GlobalOptions options;
        options.configPath = configFile;
        options.verbose = verbose_;
        context_ = std::make_unique<CommandContext>(options, exeDir_);
        config_ = context_->Config();
        if (config_ == nullptr) return false;
        type_ = &config_->types.at("Kestrel");

        Print("  accounts   " + std::string(kAdmin) +
              " (SAP administrator; PAM checks its password), dmosvc00 to dmosvc03 (start services),");
        Print(
            "             from files in $DEMO read by libnss-wrapper and libpam-wrapper: the machine's "
            "accounts are untouched");
        Print(
            "  instances  (sapsim: real processes in /proc, SAP's tools, start services of the embedded "
            "service manager)");
        for (const Instance& instance : kInstances) {
            const ResourceConfig& resource = config_->resources.at(instance.Resource());
            std::string procMon;
            if (auto it = resource.values.find("ProcMon"); it != resource.values.end()) {
                for (const std::string& image : it->second) procMon += " " + image;
            }
            char line[256];
            snprintf(line, sizeof line, "             %-18s %-27s ProcMon%s", instance.Resource().c_str(),
                     instance.what, procMon.c_str());
            std::string text = line;
            if (std::strcmp(instance.type, "enqrep") == 0) text += ", EnqSrvResName " + kEnqueue.Resource();
            Print(text);
        }
        Print("  config     $DEMO/cluster.toml (timeouts " + std::to_string(kEntryPointTimeout) +
              " s); agent log $DEMO/log/Kestrel.log");
        Print(verbose_
                  ? "  shown      every agent-log message (-v)"
                  : "  shown      the agent-log messages of severity NOTICE or worse, and the INFO ones of "
                    "Online, Offline and Clean (-v: all)");

        SetMessageListener([this](const LogMessage& message) { OnMessage(message); });
        std::string error;
        agent_ = LoadedAgent::Load(*type_, error);
        if (agent_ == nullptr) {
            Print("cairnagent: " + error);
            return false;
        }
        return true;
    }

    // sapsim install with args; its standard output (the resource's configuration block) into block.
    // Standard error stays ours, so its complaints reach the reader.
    bool RunSapsim(const std::vector<std::string>& args, std::string& block) {
        const std::string program = exeDir_ + "/sapsim";
        const std::string output = root_ + "/install.out";
        std::vector<std::string> owned{program};
        owned.insert(owned.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : owned) argv.push_back(arg.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, signal);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        pid_t pid = 0;
        int failed = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        int status = 0;
        if (failed == 0) {
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        block = ReadFile(output);
        unlink(output.c_str());
        if (failed != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            Print("sapsim install of " + args[6] + " failed" +
                  (failed != 0 ? std::string(": ") + strerror(failed) : ""));
            return false;
        }
        return true;
    }

    // Services still running (after a failed or interrupted story) are stopped as the manager stops them.
    void StopServices() {
        for (const Instance& instance : kInstances) {
            TernService service;
            const std::wstring name = TernMbToWide(instance.ServiceName());
            bool running = false;
            if (service.Open(name.c_str(), TernService::kAllAccess, nullptr, TernSCM::kAllAccess)
                    .IsFailure() ||
                service.IsServiceRunning(running).IsFailure() || !running) {
                continue;
            }
            service.Stop();
            service.WaitForStop(10000);
            Print("Clean-up: stopped service " + instance.ServiceName() + ", which was still running.");
        }
    }

    const std::string root_;
    const std::string exeDir_;
    const bool verbose_;
    std::mutex printMutex_;
    std::unique_ptr<CommandContext> context_;
    const HostConfig* config_ = nullptr;
    const TypeDefinition* type_ = nullptr;
    std::unique_ptr<LoadedAgent> agent_;
    int steps_ = 0;
    std::vector<std::string> failures_;
};

int TellStory(CommandContext& context, const std::string& root) {
    // Only this process logs on through PAM; pam_wrapper, loaded here already, stays. The programs it starts
    // (sapsim, SAP's tools and processes) need the accounts but not PAM, and every process that loads
    // pam_wrapper makes a directory of its own in /tmp, which stays there when the process is killed.
    setenv("LD_PRELOAD", "libnss_wrapper.so", 1);
    // Signals go to one thread that waits for them; every other thread (the agent's included) has them
    // blocked, so no sleep or wait of the agent is cut short.
    sigset_t handled;
    sigemptyset(&handled);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&handled, signal);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);
    std::atomic<bool> over{false};
    std::thread watcher([&] {
        while (!over) {
            timespec tick{0, 200 * 1000 * 1000};
            int signal = sigtimedwait(&handled, nullptr, &tick);
            if (signal <= 0) continue;
            if (g_interrupt.exchange(signal) == 0) {
                fputs("\nInterrupted: the running step finishes, then everything is cleaned up.\n", stdout);
                fflush(stdout);
            } else {
                fputs("\nInterrupted again: leaving now; the clean-up follows.\n", stdout);
                fflush(stdout);
                _exit(128 + signal);
            }
        }
    });
    int exitCode = Story(root, context.exeDir(), context.options().verbose).Run();
    over = true;
    watcher.join();
    return exitCode;
}

}  // namespace

int RunDemo(CommandContext& context, const std::vector<std::string>& args) {
    if (!args.empty()) return UsageError("demo: unexpected argument '" + args[0] + "'");
    if (context.options().json) return UsageError("demo: --json is not supported");
    if (!context.options().configPath.empty())
        return UsageError("demo: --config is not used: the demo writes its own configuration");
    const char* root = getenv(kRootVar);
    const char* preload = getenv("LD_PRELOAD");
    if (root != nullptr && preload != nullptr && strstr(preload, "libnss_wrapper") != nullptr &&
        strstr(preload, "libpam_wrapper") != nullptr) {
        return TellStory(context, root);
    }
    return Supervise(context);
}

}  // namespace cairn::host
