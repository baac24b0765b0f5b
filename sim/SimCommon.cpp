// Shared pieces of sapsim: profiles, the control file, the process table, starting and ending processes.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "LibProcStat_linux.h"
#include "Sim.h"

extern char** environ;

namespace sapsim {

Fd& Fd::operator=(Fd&& o) noexcept {
    if (this != &o) Reset(o.Release());
    return *this;
}

int Fd::Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

namespace {
struct Naming {
    const char* name;
    const char* linux;
    const char* alternative;  // also accepted as the Linux name ("" when none)
};
constexpr Naming kNamings[] = {
    {"startsap.exe", "startsap", ""},
    {"stopsap.exe", "stopsap", ""},
    {"sapinfo.exe", "sapinfo", ""},
    {"ensmon.exe", "ensmon", ""},
    {"jcmon.exe", "jcmon", ""},
    {"sapsrvkill.exe", "sapsrvkill", ""},
    {"disp+work.exe", "disp+work", ""},
    {"jcontrol.exe", "jcontrol", ""},
    {"jlaunch.exe", "jlaunch", ""},
    {"igswd.exe", "igswd_mt", ""},
    {"gwrd.exe", "gwrd", ""},
    {"icman.exe", "icman", ""},
    {"msg_server.exe", "msg_server", ""},
    {"enserver.exe", "enq_server", "enserver"},
    {"enrepserver.exe", "enq_replicator", "enrepserver"},
    {"sapstartsrv.exe", "sapstartsrv", ""},
};
}  // namespace

std::string LinuxName(const std::string& name) {
    for (const Naming& n : kNamings)
        if (name == n.name) return n.linux;
    return name;
}

std::string CanonicalName(const std::string& fileName) {
    for (const Naming& n : kNamings)
        if (fileName == n.linux || fileName == n.alternative) return n.name;
    return fileName;
}

bool IsEnqueueType(const std::string& t) {
    return t == "enqueue" || t == "aenqueue" || t == "jenqueue";
}
bool IsReplicationType(const std::string& t) {
    return t == "enqrep" || t == "aenqrep" || t == "jenqrep";
}

const char* ArchName(Arch a) {
    switch (a) {
        case Arch::Abap:
            return "abap";
        case Arch::Java:
            return "java";
        case Arch::AddIn:
            return "addin";
        case Arch::None:
            break;
    }
    return "none";
}

std::optional<Arch> ParseArch(const std::string& s) {
    for (Arch a : {Arch::None, Arch::Abap, Arch::Java, Arch::AddIn})
        if (s == ArchName(a)) return a;
    return std::nullopt;
}

std::vector<std::string> Instance::Images() const {
    if (IsEnqueueType(type)) return {"msg_server.exe", "enserver.exe"};
    if (IsReplicationType(type)) return {"enrepserver.exe"};
    std::vector<std::string> v;
    if (arch == Arch::Abap || arch == Arch::AddIn) v.push_back("disp+work.exe");
    if (arch == Arch::Java || arch == Arch::AddIn) v.push_back("jcontrol.exe");
    if (arch == Arch::Abap || arch == Arch::AddIn) {
        if (type == "central") v.push_back("msg_server.exe");
        for (const char* s : {"igswd.exe", "gwrd.exe", "icman.exe"}) v.push_back(s);
    }
    return v;
}

// ---------------------------------------------------------------------------------------------- helpers

std::string Basename(const std::string& path) {
    size_t p = path.rfind('/');
    return p == std::string::npos ? path : path.substr(p + 1);
}

std::string Dirname(const std::string& path) {
    size_t p = path.rfind('/');
    if (p == std::string::npos) return ".";
    return p == 0 ? "/" : path.substr(0, p);
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool IEquals(const std::string& a, const std::string& b) {
    return Lower(a) == Lower(b);
}

static std::string ReadLink(const std::string& path) {
    std::string buf(1024, '\0');
    for (;;) {
        ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0) return "";
        if (static_cast<size_t>(n) < buf.size()) return buf.substr(0, static_cast<size_t>(n));
        buf.resize(buf.size() + 1024);
    }
}

std::string SelfExe() {
    return ReadLink("/proc/self/exe");
}

void SleepMs(long ms) {
    if (ms <= 0) return;
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

long NowMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

void WriteAll(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = ::write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a reader that went away is not our problem
        done += static_cast<size_t>(n);
    }
}

void FloodOutput(long bytes) {
    // 64-byte lines without any word that a reader of the tools' output looks for.
    std::string line = "sapsim filler";
    line.resize(63, '.');
    line += '\n';
    std::string block;
    while (block.size() < 65536) block += line;
    while (bytes > 0) {
        size_t n = std::min<size_t>(static_cast<size_t>(bytes), block.size());
        WriteAll(1, block.substr(0, n));
        bytes -= static_cast<long>(n);
    }
}

std::string TomlQuote(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void AppendLog(const Instance& inst, const std::string& line) {
    Fd fd(::open((inst.WorkDir() + "/sapsim.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (fd.Valid()) WriteAll(fd.Get(), line + "\n");
}

// ---------------------------------------------------------------------------------------------- profiles

Instance LoadProfile(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw Failure{1, "cannot read the profile " + path};
    std::map<std::string, std::string> kv;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        auto trim = [](std::string s) {
            size_t b = s.find_first_not_of(" \t\r");
            size_t e = s.find_last_not_of(" \t\r");
            return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
        };
        kv[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
    }
    Instance inst;
    inst.sid = kv["SAPSYSTEMNAME"];
    inst.name = kv["INSTANCE_NAME"];
    inst.host = kv["SAPLOCALHOST"];
    inst.type = kv["sapsim/instance_type"];
    std::optional<Arch> arch = ParseArch(kv["sapsim/architecture"]);
    inst.replication = kv["enque/server/replication"] == "true";
    inst.linuxNames = kv["sapsim/linux_names"] == "true";
    const std::string dir = kv["DIR_INSTANCE"];
    const std::string tail = "/usr/sap/" + inst.sid + "/" + inst.name;
    if (inst.sid.empty() || inst.name.size() < 3 || inst.host.empty() || !arch ||
        std::find(kTypes.begin(), kTypes.end(), inst.type) == kTypes.end() || dir.size() <= tail.size() ||
        dir.compare(dir.size() - tail.size(), tail.size(), tail) != 0)
        throw Failure{1, "the profile " + path + " is not a sapsim instance profile"};
    inst.arch = *arch;
    inst.root = dir.substr(0, dir.size() - tail.size());
    return inst;
}

std::vector<Instance> FindInstances(const std::string& root, const std::string& sid) {
    std::vector<std::string> sids;
    if (!sid.empty()) {
        sids.push_back(sid);
    } else if (DIR* d = ::opendir((root + "/usr/sap").c_str())) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') sids.emplace_back(e->d_name);
        ::closedir(d);
    }
    std::vector<Instance> out;
    for (const std::string& s : sids) {
        const std::string profDir = root + "/usr/sap/" + s + "/SYS/profile";
        DIR* d = ::opendir(profDir.c_str());
        if (d == nullptr) continue;
        std::vector<std::string> files;
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n.rfind(s + "_", 0) == 0) files.push_back(profDir + "/" + n);
        }
        ::closedir(d);
        std::sort(files.begin(), files.end());
        for (const std::string& f : files) {
            try {
                out.push_back(LoadProfile(f));
            } catch (const Failure&) {
                // not one of ours: ignore
            }
        }
    }
    return out;
}

std::string RootOfKernelProgram() {
    // <root>/usr/sap/<SID>/SYS/exe/run/<program>
    std::string dir = Dirname(SelfExe());
    std::string d = dir;
    for (const char* part : {"run", "exe", "SYS"}) {
        if (Basename(d) != part)
            throw Failure{1, "this program must run from <root>/usr/sap/<SID>/SYS/exe/run, not " + dir};
        d = Dirname(d);
    }
    d = Dirname(d);  // <SID>
    if (Basename(d) != "sap" || Basename(Dirname(d)) != "usr")
        throw Failure{1, "this program must run from <root>/usr/sap/<SID>/SYS/exe/run, not " + dir};
    return Dirname(Dirname(d));
}

// ---------------------------------------------------------------------------------------------- control file

ToolControl Control::Tool(const std::string& name) const {
    auto it = tools.find(name);
    return it == tools.end() ? ToolControl{} : it->second;
}

ProcessControl Control::Process(const std::string& key) const {
    auto it = processes.find(key);
    return it == processes.end() ? ProcessControl{} : it->second;
}

std::vector<std::string> Control::Nodes() const {
    std::vector<std::string> v{"dispatcher"};
    for (int i = 0; i < servers; ++i) v.push_back("server" + std::to_string(i));
    return v;
}

bool Control::ShouldStart(const std::string& what, bool isNode) const {
    if (!startOnly) return true;
    const std::vector<std::string>& l = *startOnly;
    if (isNode) {
        // Nodes are started with jcontrol.exe unless the list names some of them.
        std::vector<std::string> nodes = Nodes();
        bool namesNodes = std::any_of(l.begin(), l.end(), [&](const std::string& s) {
            return std::find(nodes.begin(), nodes.end(), s) != nodes.end();
        });
        if (!namesNodes) return true;
    }
    return std::find(l.begin(), l.end(), what) != l.end();
}

namespace {

struct ControlReader {
    std::string file;

    [[noreturn]] void Bad(const std::string& where, const std::string& what) const {
        throw Failure{78, "control file " + file + ": " + where + ": " + what};
    }
    long Int(const toml::node& n, const std::string& where, long min) const {
        std::optional<int64_t> v = n.value<int64_t>();
        if (!v || !n.is_integer() || *v < min) Bad(where, "expected an integer >= " + std::to_string(min));
        return static_cast<long>(*v);
    }
    bool Bool(const toml::node& n, const std::string& where) const {
        if (!n.is_boolean()) Bad(where, "expected true or false");
        return *n.value<bool>();
    }
    std::vector<std::string> Strings(const toml::node& n, const std::string& where) const {
        const toml::array* a = n.as_array();
        if (a == nullptr) Bad(where, "expected an array of strings");
        std::vector<std::string> v;
        for (const toml::node& e : *a) {
            if (!e.is_string()) Bad(where, "expected an array of strings");
            v.push_back(*e.value<std::string>());
        }
        return v;
    }
};

}  // namespace

Control LoadControl(const Instance& inst) {
    Control c;
    const std::string file = inst.ControlFile();
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return c;
    ControlReader r{file};
    toml::table t;
    try {
        t = toml::parse_file(file);
    } catch (const toml::parse_error& e) {
        std::ostringstream os;
        os << e.description() << " (line " << e.source().begin.line << ")";
        throw Failure{78, "control file " + file + ": " + os.str()};
    }
    static const std::vector<std::string> toolNames = {"startsap", "stopsap",    "sapinfo", "ensmon",
                                                       "jcmon",    "sapsrvkill", "service"};
    for (auto&& [k, v] : t) {
        const std::string key(k.str());
        if (key == "process") {
            const toml::table* pt = v.as_table();
            if (pt == nullptr) r.Bad(key, "expected a table of processes");
            for (auto&& [pk, pv] : *pt) {
                const std::string pname(pk.str());
                const toml::table* p = pv.as_table();
                if (p == nullptr) r.Bad("process." + pname, "expected a table");
                ProcessControl pc;
                for (auto&& [fk, fv] : *p) {
                    const std::string f(fk.str());
                    const std::string where = "process." + pname + "." + f;
                    if (f == "ignore_term")
                        pc.ignoreTerm = r.Bool(fv, where);
                    else if (f == "exit_after_ms")
                        pc.exitAfterMs = r.Int(fv, where, 0);
                    else if (f == "exit_code")
                        pc.exitCode = static_cast<int>(r.Int(fv, where, 0));
                    else if (f == "ready_after_ms")
                        pc.readyAfterMs = r.Int(fv, where, 0);
                    else
                        r.Bad(where, "unknown key");
                }
                c.processes[pname] = pc;
            }
            continue;
        }
        if (key == "jcontrol") {
            const toml::table* jt = v.as_table();
            if (jt == nullptr) r.Bad(key, "expected a table");
            for (auto&& [fk, fv] : *jt) {
                const std::string f(fk.str());
                if (f == "servers")
                    c.servers = static_cast<int>(r.Int(fv, "jcontrol.servers", 0));
                else
                    r.Bad("jcontrol." + f, "unknown key");
            }
            continue;
        }
        if (std::find(toolNames.begin(), toolNames.end(), key) == toolNames.end())
            r.Bad(key, "unknown table");
        const toml::table* tt = v.as_table();
        if (tt == nullptr) r.Bad(key, "expected a table");
        ToolControl tc;
        for (auto&& [fk, fv] : *tt) {
            const std::string f(fk.str());
            const std::string where = key + "." + f;
            if (f == "exit_code")
                tc.exitCode = static_cast<int>(r.Int(fv, where, 0));
            else if (f == "delay_ms")
                tc.delayMs = r.Int(fv, where, 0);
            else if (f == "output_bytes" && key != "service")
                tc.outputBytes = r.Int(fv, where, 0);
            else if (f == "act" && (key == "startsap" || key == "stopsap" || key == "sapsrvkill"))
                tc.act = r.Bool(fv, where);
            else if (f == "grace_ms" && (key == "stopsap" || key == "sapsrvkill"))
                tc.graceMs = r.Int(fv, where, 0);
            else if (f == "ignore_term" && key == "service")
                tc.ignoreTerm = r.Bool(fv, where);
            else if (f == "processes" && key == "startsap")
                c.startOnly = r.Strings(fv, where);
            else if (f == "from_sys" && key == "startsap")
                c.fromSys = r.Bool(fv, where);
            else if (f == "replication" && key == "ensmon")
                c.replication = r.Bool(fv, where);
            else if (f == "lines" && key == "jcmon")
                c.jcmonLines = r.Strings(fv, where);
            else
                r.Bad(where, "unknown key");
        }
        c.tools[key] = tc;
    }
    return c;
}

// ---------------------------------------------------------------------------------------------- processes

static std::string ReadFile(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) return "";
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd.Get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

static std::string ExeOf(pid_t pid) {
    std::string exe = ReadLink("/proc/" + std::to_string(pid) + "/exe");
    const std::string deleted = " (deleted)";
    if (exe.size() > deleted.size() && exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0)
        exe.resize(exe.size() - deleted.size());
    return exe;
}

static std::vector<std::string> ArgsOf(pid_t pid) {
    std::string raw = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> args;
    size_t start = 0;
    while (start < raw.size()) {
        size_t end = raw.find('\0', start);
        if (end == std::string::npos) end = raw.size();
        args.push_back(raw.substr(start, end - start));
        start = end + 1;
    }
    return args;
}

std::vector<ProcInfo> ListProcesses(bool withArgs) {
    std::vector<ProcInfo> out;
    DIR* d = ::opendir("/proc");
    if (d == nullptr) return out;
    while (dirent* e = ::readdir(d)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || pid <= 0) continue;
        ProcInfo p;
        p.pid = static_cast<pid_t>(pid);
        p.exe = ExeOf(p.pid);
        if (p.exe.empty()) continue;  // gone, a zombie, a kernel thread or not ours to see
        if (withArgs) p.args = ArgsOf(p.pid);
        out.push_back(std::move(p));
    }
    ::closedir(d);
    return out;
}

std::string ImageOf(const Instance& inst, const ProcInfo& p) {
    const std::string image = CanonicalName(Basename(p.exe));
    if (std::find(kImages.begin(), kImages.end(), image) == kImages.end()) return "";
    const std::string dir = Dirname(p.exe);
    if (dir == inst.ExeDir()) return image;
    if (dir == inst.KernelDir()) {
        // Images in the kernel directory are shared by the SID's instances: the profile tells them apart.
        for (const std::string& a : p.args)
            if (a == "pf=" + inst.Profile()) return image;
    }
    return "";
}

std::vector<ProcInfo> InstanceProcesses(const Instance& inst) {
    std::vector<ProcInfo> out;
    for (ProcInfo& p : ListProcesses(true))
        if (!ImageOf(inst, p).empty()) out.push_back(std::move(p));
    return out;
}

bool ImageRuns(const Instance& inst, const std::string& image) {
    for (const ProcInfo& p : InstanceProcesses(inst))
        if (ImageOf(inst, p) == image) return true;
    return false;
}

std::string NodeOf(const ProcInfo& p) {
    const std::string key = "-nodename=";
    for (const std::string& a : p.args)
        if (a.rfind(key, 0) == 0) return a.substr(key.size());
    return "";
}

long AgeMs(pid_t pid) {
    tern_posix::ProcStat stat;
    if (!tern_posix::ParseProcStat(ReadFile("/proc/" + std::to_string(pid) + "/stat"), stat)) return -1;
    timespec ts{};
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    long hz = ::sysconf(_SC_CLK_TCK);
    long nowMs = ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
    return nowMs - static_cast<long>(stat.startTime * 1000ULL / static_cast<unsigned long long>(hz));
}

static int PidfdOpen(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}
static int PidfdSignal(int fd, int sig) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0));
}

// Waits until every pidfd reports its process gone or the time is up; closes the ones that are gone.
static void WaitGone(std::vector<Fd>& fds, long ms) {
    long deadline = NowMs() + ms;
    for (;;) {
        std::vector<pollfd> pfds;
        for (Fd& f : fds)
            if (f.Valid()) pfds.push_back({f.Get(), POLLIN, 0});
        if (pfds.empty()) return;
        long left = deadline - NowMs();
        if (left < 0) left = 0;
        int n = ::poll(pfds.data(), pfds.size(), static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        for (const pollfd& p : pfds)
            if (p.revents != 0)
                for (Fd& f : fds)
                    if (f.Get() == p.fd) f.Reset();
        if (n <= 0 && left == 0) return;
    }
}

int TerminateAll(const std::vector<ProcInfo>& procs, long graceMs) {
    std::vector<Fd> fds;
    for (const ProcInfo& p : procs) {
        Fd fd(PidfdOpen(p.pid));
        // The pidfd pins the process: if the pid was reused since the walk, the image no longer matches.
        if (!fd.Valid() || ExeOf(p.pid) != p.exe) continue;
        if (PidfdSignal(fd.Get(), SIGTERM) != 0) continue;
        fds.push_back(std::move(fd));
    }
    WaitGone(fds, graceMs);
    for (Fd& f : fds)
        if (f.Valid()) PidfdSignal(f.Get(), SIGKILL);
    WaitGone(fds, 5000);
    return static_cast<int>(std::count_if(fds.begin(), fds.end(), [](const Fd& f) { return f.Valid(); }));
}

pid_t SpawnDetached(const std::string& path, const std::vector<std::string>& args, const std::string& cwd,
                    const std::string& logFile) {
    // Everything is prepared before fork: the children only call async-signal-safe functions.
    std::vector<std::string> store = args;
    std::vector<char*> argv;
    for (std::string& a : store) argv.push_back(a.data());
    argv.push_back(nullptr);
    Fd devnull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    Fd log(logFile.empty() ? -1 : ::open(logFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!devnull.Valid()) throw Failure{1, "cannot open /dev/null: " + std::string(std::strerror(errno))};
    const int out = log.Valid() ? log.Get() : devnull.Get();
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) throw Failure{1, "pipe: " + std::string(std::strerror(errno))};
    Fd rd(p[0]), wr(p[1]);

    pid_t mid = ::fork();
    if (mid < 0) throw Failure{1, "fork: " + std::string(std::strerror(errno))};
    if (mid == 0) {
        // Intermediate: a new session, then a grandchild that is reparented away when we exit.
        ::setsid();
        pid_t pid = ::fork();
        if (pid == 0) {
            ResetSignalsBeforeExec();
            ::dup2(devnull.Get(), 0);
            ::dup2(out, 1);
            ::dup2(out, 2);
            int err = 0;
            if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) err = errno;
            if (err == 0) {
                // Nothing the caller opened (its pipes above all) may outlive the exec.
                ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
                ::execve(path.c_str(), argv.data(), environ);
                err = errno;
            }
            int msg[2] = {0, err};
            (void)!::write(wr.Get(), msg, sizeof msg);
            ::_exit(127);
        }
        int msg[2] = {pid, pid < 0 ? errno : 0};
        (void)!::write(wr.Get(), msg, sizeof msg);
        ::_exit(0);
    }
    wr.Reset();
    int status = 0;
    while (::waitpid(mid, &status, 0) < 0 && errno == EINTR) {
    }
    // First message: the grandchild's pid; a second one only when its exec failed (the pipe closes on exec).
    int msg[2] = {0, 0};
    ssize_t n = ::read(rd.Get(), msg, sizeof msg);
    if (n != static_cast<ssize_t>(sizeof msg)) throw Failure{1, "cannot start " + path};
    if (msg[0] <= 0) throw Failure{1, "cannot start " + path + ": fork: " + std::strerror(msg[1])};
    pid_t pid = msg[0];
    int err[2] = {0, 0};
    ssize_t m;
    while ((m = ::read(rd.Get(), err, sizeof err)) < 0 && errno == EINTR) {
    }
    if (m == static_cast<ssize_t>(sizeof err))
        throw Failure{1, "cannot start " + path + ": " + std::strerror(err[1])};
    return pid;
}

void ParseInstanceOptions(const std::vector<std::string>& args, std::string& root, std::string& sid,
                          std::string& name, int code, const std::string& usage) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string* target = args[i] == "--root"       ? &root
                              : args[i] == "--sid"      ? &sid
                              : args[i] == "--instance" ? &name
                                                        : nullptr;
        if (target == nullptr || i + 1 >= args.size()) throw Failure{code, usage};
        *target = args[++i];
    }
}

void ResetSignalsBeforeExec() {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int s : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) ::sigaction(s, &dfl, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

}  // namespace sapsim
