// The embedded service manager: registry folders, run state and the detached launch of service programs.
#include "LibServiceStore_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>

#include "LibError.h"
#include "LibLogger.h"
#include "LibPidfd_linux.h"
#include "LibPosix_linux.h"
#include "LibSafeFile.h"
#include "LibSpawn_linux.h"
#include "LibWide.h"

extern char** environ;

using namespace tern_posix;

namespace tern_svc {
namespace {

constexpr const char* kConfigFile = "service.toml";
constexpr const char* kStateFile = "state";
constexpr const char* kStateTemp = "state.tmp";
constexpr const char* kLockFile = "lock";
constexpr const char* kLogFile = "service.log";
constexpr const char* kDefaultRoot = "/var/lib/cairn/services";
// Registry folders and their service.toml are readable by all and writable by root (or the manager's
// account) only, whatever the umask.
constexpr mode_t kFolderMode = 0755;
constexpr mode_t kConfigMode = 0644;
// A service.toml names a program and a few words; a larger one is not read.
constexpr off_t kMaxConfigSize = 1 << 20;

// Holds an exclusive flock on the folder's lock file until destroyed; serialises start, stop and delete of
// one service across threads and processes.
class FolderLock {
  public:
    CKestrelStatus Acquire(int dirFd) {
        fd_.Reset(::openat(dirFd, kLockFile, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd_.Valid()) return FailErrno(errno);
        while (::flock(fd_.Get(), LOCK_EX) != 0) {
            if (errno != EINTR) return FailErrno(errno);
        }
        return Ok();
    }

  private:
    UniqueFd fd_;
};

// What the state file records about the service's process.
struct RunState {
    uint32_t pid = 0;
    uint64_t startTime =
        0;  // /proc/PID/stat field 22: tells the recorded process from a later one with its PID
    bool stopping = false;
};

bool ReadState(int dirFd, RunState& rs, int& err) {
    rs = RunState{};
    std::string text;
    if (!ReadFileAt(dirFd, kStateFile, text, err)) {
        if (err == ENOENT) return true;
        return false;
    }
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq);
        unsigned long long v = std::strtoull(line.c_str() + eq + 1, nullptr, 10);
        if (key == "pid")
            rs.pid = static_cast<uint32_t>(v);
        else if (key == "start_time")
            rs.startTime = v;
        else if (key == "stopping")
            rs.stopping = v != 0;
    }
    return true;
}

// Replaces the state file atomically, so readers that take no lock see the old or the new one.
bool WriteState(int dirFd, const RunState& rs, int& err) {
    std::string text = "pid=" + std::to_string(rs.pid) + "\nstart_time=" + std::to_string(rs.startTime) +
                       "\nstopping=" + (rs.stopping ? "1" : "0") + "\n";
    UniqueFd fd(::openat(dirFd, kStateTemp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd.Valid()) {
        err = errno;
        return false;
    }
    if (::write(fd.Get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        err = errno ? errno : EIO;
        return false;
    }
    fd.Reset();
    if (::renameat(dirFd, kStateTemp, dirFd, kStateFile) != 0) {
        err = errno;
        return false;
    }
    return true;
}

// A pidfd of the recorded process while it still runs: same PID and start time, not a zombie. The pidfd is
// checked after the /proc read, so a process that ended meanwhile (its PID possibly reused) is not taken.
TernPidfd OpenLive(const RunState& rs) {
    if (rs.pid == 0 || rs.pid > 0x7FFFFFFFu) return {};
    TernPidfd fd = TernPidfd::Open(static_cast<pid_t>(rs.pid));
    if (!fd.Valid()) return {};
    ProcStat ps;
    int err = 0;
    if (!ReadProcStat(static_cast<pid_t>(rs.pid), ps, err)) return {};
    if (ps.startTime != rs.startTime || ps.state == 'Z' || ps.state == 'X') return {};
    if (!fd.Alive()) return {};
    return fd;
}

// Appends one line of the manager's own to the service's log.
void LogNote(int logFd, const std::string& text) {
    if (logFd < 0) return;
    time_t now = ::time(nullptr);
    tm t{};
    ::gmtime_r(&now, &t);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &t);
    std::string line = std::string(stamp) + " UTC cairn-svc: " + text + "\n";
    ssize_t ignored = ::write(logFd, line.data(), line.size());
    (void)ignored;
}

std::string ErrnoText(int err) {
    char buf[256];
    return ::strerror_r(err, buf, sizeof buf);
}

// Looks prog up like a shell would (PATH of the manager's environment) when it names no directory.
bool ResolveProgram(const std::string& prog, std::string& path) {
    const char* env = std::getenv("PATH");
    return FindProgram(prog, env && *env ? env : kDefaultSearchPath, path);
}

// Everything the launched process needs, prepared before fork: between fork and exec only async-signal-safe
// calls are made, on this data alone.
struct LaunchPlan {
    std::string program;
    std::vector<std::string> argStore, envStore;
    std::vector<char*> argv, envp;
    bool asUser = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    int devNull = -1;
    int logFd = -1;
    int goRead = -1;   // end of file once the manager has read the process's start time: then exec goes on
    int goWrite = -1;  // the launched process closes its copy first, or it would never see that end of file
    int reportWrite = -1;  // close-on-exec: end of file tells the manager that exec succeeded
};

const char* StageText(int32_t stage) {
    switch (stage) {
        case kSpawnSession:
            return "cannot create a session";
        case kSpawnIdentity:
            return "cannot switch to the service account";
        case kSpawnDirectory:
        case kSpawnHandles:
            return "cannot set up standard handles";
        default:
            return "cannot execute the program";
    }
}

// Builds the plan; on failure why says what is wrong (for the service's log).
CKestrelStatus Prepare(const TernServiceConfig& cfg, const std::vector<std::string>& extraArgs, LaunchPlan& p,
                       std::string& why) {
    if (!ResolveProgram(cfg.exec[0], p.program)) {
        why = "program '" + cfg.exec[0] + "' not found in PATH";
        return Fail(TERN_ERROR_FILE_NOT_FOUND);
    }
    p.argStore = cfg.exec;
    p.argStore.insert(p.argStore.end(), extraArgs.begin(), extraArgs.end());
    for (auto& a : p.argStore) p.argv.push_back(a.data());
    p.argv.push_back(nullptr);

    std::vector<std::pair<std::string, std::string>> overrides;
    if (!cfg.user.empty()) {
        PasswdEntry pw;
        if (LookUpAccount(cfg.user, pw) != 0) {
            why = "account '" + cfg.user + "' is unknown";
            return Fail(TERN_ERROR_SERVICE_LOGON_FAILED);
        }
        p.asUser = true;
        p.uid = pw.uid;
        p.gid = pw.gid;
        // The group list is what initgroups would set; read here because NSS is not async-signal-safe.
        if (!LookUpGroups(pw.name, pw.gid, p.groups)) {
            why = "the groups of account '" + cfg.user + "' cannot be read";
            return Fail(TERN_ERROR_SERVICE_LOGON_FAILED);
        }
        overrides = {{"HOME", pw.home}, {"USER", pw.name}, {"LOGNAME", pw.name}, {"SHELL", pw.shell}};
    }
    for (char** e = environ; e && *e; ++e) {
        std::string_view kv(*e);
        std::string_view key = kv.substr(0, kv.find('='));
        bool replaced =
            std::any_of(overrides.begin(), overrides.end(), [&](auto& o) { return o.first == key; });
        if (!replaced) p.envStore.emplace_back(kv);
    }
    for (auto& [k, v] : overrides) p.envStore.push_back(k + "=" + v);
    for (auto& e : p.envStore) p.envp.push_back(e.data());
    p.envp.push_back(nullptr);
    return Ok();
}

bool ReadExact(int fd, void* buf, size_t size, size_t& got) {
    got = 0;
    while (got < size) {
        ssize_t n = ::read(fd, static_cast<char*>(buf) + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// Launches the plan detached (double fork: the service process is not the caller's child and has its own
// session). On success pid and startTime identify it.
CKestrelStatus Launch(LaunchPlan& p, uint32_t& pid, uint64_t& startTime, std::string& why) {
    int report[2], go[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return FailErrno(errno);
    UniqueFd reportRead(report[0]), reportWrite(report[1]);
    if (::pipe2(go, O_CLOEXEC) != 0) return FailErrno(errno);
    UniqueFd goRead(go[0]), goWrite(go[1]);
    UniqueFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!devNull.Valid()) return FailErrno(errno);
    p.devNull = devNull.Get();
    p.goRead = goRead.Get();
    p.goWrite = goWrite.Get();
    p.reportWrite = reportWrite.Get();

    SpawnPlan spawn;
    spawn.SetCommand(p.program, p.argv, p.envp);
    // Holds until the manager has read the process's start time, so the pid it records is this process.
    spawn.holdFd = p.goRead;
    spawn.holdCloseFd = p.goWrite;
    spawn.SetIdentity(p.asUser, p.uid, p.gid, p.groups);
    spawn.workDir = "/";
    spawn.stdinFd = p.devNull;
    spawn.stdoutFd = spawn.stderrFd = p.logFd;
    spawn.reportFd = p.reportWrite;
    // Not the caller's child and not ended with it: SAP's instance processes outlive the agent.
    spawn.detached = true;
    pid_t middle = Spawn(spawn);
    if (middle < 0) return FailErrno(errno);
    reportWrite.Reset();
    goRead.Reset();
    int32_t msg = 0;
    size_t got = 0;
    bool haveMsg = ReadExact(reportRead.Get(), &msg, sizeof msg, got);
    int wstatus = 0;
    while (::waitpid(middle, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (!haveMsg || msg <= 0) {
        int err = haveMsg ? -msg : EAGAIN;
        why = "cannot create the service process: " + ErrnoText(err);
        return FailErrno(err);
    }
    // The launched process waits for goWrite to close, so it is alive while its start time is read.
    ProcStat ps;
    int err = 0;
    if (!ReadProcStat(msg, ps, err)) {
        TernPidfd fd = TernPidfd::Open(msg);  // still waiting, so this is the new process: end it unrecorded
        if (fd.Valid()) fd.SendSignal(SIGKILL);
        why = "cannot read the new process's start time: " + ErrnoText(err);
        return FailErrno(err);
    }
    goWrite.Reset();
    int32_t result[2] = {0, 0};
    if (ReadExact(reportRead.Get(), result, sizeof result, got)) {
        why = std::string(StageText(result[0])) + " '" + p.program + "': " + ErrnoText(result[1]);
        if (result[0] == kSpawnIdentity) return Fail(TERN_ERROR_SERVICE_LOGON_FAILED);
        return FailErrno(result[1]);
    }
    pid = static_cast<uint32_t>(msg);
    startTime = ps.startTime;
    return Ok();
}

// service.toml of a folder: a regular file (not a link, never waited on as a FIFO) of bounded size that
// only root or this process's account can change, since it names what runs. false with err set, and why
// set when the file is refused rather than unreadable.
bool ReadConfigFile(int dirFd, std::string& text, int& err, std::string& why) {
    UniqueFd fd(::openat(dirFd, kConfigFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0) {
        err = errno == ELOOP ? EACCES : errno;
        if (err == EACCES) why = std::string(kConfigFile) + " is a link";
        return false;
    }
    if (!S_ISREG(st.st_mode) || st.st_size > kMaxConfigSize) {
        err = EACCES;
        why = std::string(kConfigFile) + (S_ISREG(st.st_mode) ? " is too large" : " is not a regular file");
        return false;
    }
    if (std::string problem = TernUnsafeOwnershipFd(fd.Get()); !problem.empty()) {
        err = EACCES;
        why = std::string(kConfigFile) + " is " + problem;
        return false;
    }
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = errno;
            return false;
        }
        if (n == 0) return true;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > static_cast<size_t>(kMaxConfigSize)) {
            err = EACCES;
            why = std::string(kConfigFile) + " is too large";
            return false;
        }
    }
}

}  // namespace

int OpenRoot(bool create) {
    std::string root = TernServiceRegistry::Root();
    if (create) TernMakeDirectories(root, kFolderMode);
    UniqueFd fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.Valid()) return -1;
    // Whoever can change the registry can change what a service runs, and services run as root.
    if (std::string problem = TernUnsafeOwnershipFd(fd.Get()); !problem.empty()) {
        TERN_TRACE(L"(%d) The service registry %S is %S; it is not used.",
                   static_cast<int>(TERN_ERROR_ACCESS_DENIED), root, problem);
        errno = EACCES;
        return -1;
    }
    return fd.Release();
}

CKestrelStatus OpenServiceDir(int rootFd, const std::string& keyName, int& dirFd) {
    dirFd = -1;
    if (!TernServiceRegistry::IsValidKeyName(keyName)) return Fail(TERN_ERROR_INVALID_NAME);
    UniqueFd fd(::openat(rootFd, keyName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.Valid()) {
        int err = errno;
        if (err == ENOENT || err == ENOTDIR || err == ELOOP) return Fail(TERN_ERROR_SERVICE_DOES_NOT_EXIST);
        return FailErrno(err);
    }
    // A folder without a configuration is no service (for example one being deleted).
    if (::faccessat(fd.Get(), kConfigFile, F_OK, 0) != 0) return Fail(TERN_ERROR_SERVICE_DOES_NOT_EXIST);
    if (std::string problem = TernUnsafeOwnershipFd(fd.Get()); !problem.empty()) {
        TERN_TRACE(L"(%d) The folder of service %S is %S; it is not used.",
                   static_cast<int>(TERN_ERROR_ACCESS_DENIED), keyName, problem);
        return Fail(TERN_ERROR_ACCESS_DENIED);
    }
    dirFd = fd.Release();
    return Ok();
}

CKestrelStatus ReadConfig(int dirFd, TernServiceConfig& config, std::string& why) {
    std::string text;
    int err = 0;
    if (!ReadConfigFile(dirFd, text, err, why)) {
        if (err == ENOENT || err == ENOTDIR) return Fail(TERN_ERROR_SERVICE_DOES_NOT_EXIST);
        if (!why.empty()) return Fail(TERN_ERROR_ACCESS_DENIED);
        why = ErrnoText(err);
        return FailErrno(err);
    }
    config.exec.clear();
    config.user.clear();
    config.displayName.clear();
    try {
        toml::table t = toml::parse(text);
        const toml::array* exec = t["exec"].as_array();
        if (exec == nullptr || exec->empty()) {
            why = "exec must be a non-empty array of strings";
            return Fail(TERN_ERROR_INVALID_DATA);
        }
        for (const toml::node& n : *exec) {
            std::optional<std::string> s = n.value<std::string>();
            if (!s || (config.exec.empty() && s->empty())) {
                why = "exec must be a non-empty array of strings";
                return Fail(TERN_ERROR_INVALID_DATA);
            }
            config.exec.push_back(*s);
        }
        for (auto [key, out] :
             {std::pair{"user", &config.user}, std::pair{"display_name", &config.displayName}}) {
            toml::node_view<toml::node> n = t[key];
            if (!n) continue;
            std::optional<std::string> s = n.value<std::string>();
            if (!s) {
                why = std::string(key) + " must be a string";
                return Fail(TERN_ERROR_INVALID_DATA);
            }
            *out = *s;
        }
    } catch (const toml::parse_error& e) {
        std::ostringstream os;
        os << e.description() << " (line " << e.source().begin.line << ")";
        why = os.str();
        return Fail(TERN_ERROR_INVALID_DATA);
    } catch (const std::exception& e) {
        why = e.what();
        return Fail(TERN_ERROR_INVALID_DATA);
    }
    return Ok();
}

CKestrelStatus Query(int dirFd, TernServiceStatus& status) {
    RunState rs;
    int err = 0;
    if (!ReadState(dirFd, rs, err)) return FailErrno(err);
    TernPidfd live = OpenLive(rs);
    if (!live.Valid()) {
        status = TernServiceStatus{TERN_SERVICE_STOPPED, 0};
    } else {
        status = TernServiceStatus{rs.stopping ? TERN_SERVICE_STOP_PENDING : TERN_SERVICE_RUNNING, rs.pid};
    }
    return Ok();
}

// Takes the folder lock of dirFd into lock and reads the run state under it. Failure: the lock's, or the
// mapped errno of the read; success leaves the last error alone.
CKestrelStatus LockAndReadState(int dirFd, FolderLock& lock, RunState& rs) {
    CKestrelStatus st = lock.Acquire(dirFd);
    if (st.IsFailure()) return st;
    int err = 0;
    if (!ReadState(dirFd, rs, err)) return FailErrno(err);
    return Done();
}

CKestrelStatus Start(int dirFd, const std::string& keyName, const std::vector<std::string>& extraArgs) {
    FolderLock lock;
    RunState rs;
    CKestrelStatus st = LockAndReadState(dirFd, lock, rs);
    if (st.IsFailure()) return st;
    int err = 0;
    if (OpenLive(rs).Valid()) return rs.stopping ? Fail(TERN_ERROR_SERVICE_ALREADY_RUNNING) : Ok();

    UniqueFd logFd(::openat(dirFd, kLogFile, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640));
    if (!logFd.Valid()) return FailErrno(errno);
    TernServiceConfig cfg;
    std::string why;
    st = ReadConfig(dirFd, cfg, why);
    if (st.IsSuccess()) {
        LaunchPlan plan;
        plan.logFd = logFd.Get();
        st = Prepare(cfg, extraArgs, plan, why);
        uint32_t pid = 0;
        uint64_t startTime = 0;
        if (st.IsSuccess()) st = Launch(plan, pid, startTime, why);
        if (st.IsSuccess()) {
            RunState now{pid, startTime, false};
            if (!WriteState(dirFd, now, err)) {
                // An unrecorded process could neither be seen nor stopped: end it rather than leave it.
                TernPidfd fd = TernPidfd::Open(static_cast<pid_t>(pid));
                if (fd.Valid()) fd.SendSignal(SIGKILL);
                why = "cannot record the service process: " + ErrnoText(err);
                st = FailErrno(err);
            } else {
                LogNote(logFd.Get(), "service " + keyName + " started, pid " + std::to_string(pid));
                return Ok();
            }
        }
    }
    uint32_t error = st.GetError();
    LogNote(logFd.Get(), "service " + keyName + " not started: " + why);
    return Fail(error);
}

CKestrelStatus Stop(int dirFd) {
    FolderLock lock;
    RunState rs;
    CKestrelStatus st = LockAndReadState(dirFd, lock, rs);
    if (st.IsFailure()) return st;
    int err = 0;
    TernPidfd live = OpenLive(rs);
    if (!live.Valid()) {
        ::unlinkat(dirFd, kStateFile, 0);
        return Ok();
    }
    // While the leader lives (checked just now through its pidfd) no other process can own its PID, so the
    // group with that id is the service's. The leader is also signalled through its pidfd in case it has
    // left its group.
    if (::kill(-static_cast<pid_t>(rs.pid), SIGTERM) != 0 && errno != ESRCH) return FailErrno(errno);
    if (live.SendSignal(SIGTERM) != 0 && errno != ESRCH) return FailErrno(errno);
    rs.stopping = true;
    if (!WriteState(dirFd, rs, err)) return FailErrno(err);
    UniqueFd logFd(::openat(dirFd, kLogFile, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640));
    LogNote(logFd.Get(), "stop requested, SIGTERM sent to process group " + std::to_string(rs.pid));
    return Ok();
}

}  // namespace tern_svc

// ---- TernServiceRegistry
// ------------------------------------------------------------------------------------

using namespace tern_svc;

std::string TernServiceRegistry::Root() {
    const char* env = std::getenv("CAIRN_SERVICE_ROOT");
    return env && *env ? std::string(env) : std::string(kDefaultRoot);
}

bool TernServiceRegistry::IsValidKeyName(const std::string& name) {
    return !name.empty() && name.size() <= 256 && name[0] != '.' && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

namespace {

bool SameName(const std::string& a, const std::string& b) {
    return !a.empty() && !b.empty() && TernEqualsNoCase(TernMbToWide(a), TernMbToWide(b));
}

// Key names of the folders under rootFd that hold a service (dot-names are the manager's own).
std::vector<std::string> ListKeys(int rootFd) {
    std::vector<std::string> keys;
    int dupFd = ::fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
    if (dupFd < 0) return keys;
    UniqueDir dir(::fdopendir(dupFd));
    if (!dir) {
        ::close(dupFd);
        return keys;
    }
    while (dirent* e = ::readdir(dir.get())) {
        if (e->d_name[0] == '.') continue;
        keys.emplace_back(e->d_name);
    }
    std::sort(keys.begin(), keys.end());
    return keys;
}

// Opens the registry root into root (left empty when that fails) and keyName's directory under it. Failure:
// 1060 when there is no registry yet, otherwise as OpenServiceDir.
CKestrelStatus OpenRootAndServiceDir(UniqueFd& root, const std::string& keyName, int& dirFd) {
    root.Reset(OpenRoot(false));
    if (!root.Valid()) return errno == ENOENT ? Fail(TERN_ERROR_SERVICE_DOES_NOT_EXIST) : FailErrno(errno);
    return OpenServiceDir(root.Get(), keyName, dirFd);
}

// Calls visit(key, dirFd) for each service directory of the registry root that opens, in key order, until
// visit returns false. dirFd is closed after the call.
template <class Visit>
void ForEachServiceDir(int rootFd, Visit visit) {
    for (const std::string& key : ListKeys(rootFd)) {
        int dirFd = -1;
        if (OpenServiceDir(rootFd, key, dirFd).IsFailure()) continue;
        UniqueFd dir(dirFd);
        if (!visit(key, dir.Get())) return;
    }
}

}  // namespace

CKestrelStatus TernServiceRegistry::Create(const TernServiceConfig& config) {
    if (!IsValidKeyName(config.keyName)) {
        CKestrelStatus st = Fail(TERN_ERROR_INVALID_NAME);
        TERN_TRACE(L"(%d) Failed to create service %S: invalid key name.", st.GetError(), config.keyName);
        return st;
    }
    if (config.exec.empty() || config.exec[0].empty()) {
        CKestrelStatus st = Fail(TERN_ERROR_BAD_ARGUMENTS);
        TERN_TRACE(L"(%d) Failed to create service %S: no program.", st.GetError(), config.keyName);
        return st;
    }
    UniqueFd root(OpenRoot(true));
    if (!root.Valid()) {
        CKestrelStatus st = FailErrno(errno);
        TERN_TRACE(L"(%d) Failed to open the service registry %S.", st.GetError(), Root());
        return st;
    }
    // Names are unique without regard to case, and a display name may not be another service's key name.
    uint32_t clash = 0;
    std::string clashKey;
    ForEachServiceDir(root.Get(), [&](const std::string& key, int dirFd) {
        TernServiceConfig other;
        std::string why;
        bool haveOther = ReadConfig(dirFd, other, why).IsSuccess();
        if (SameName(key, config.keyName))
            clash = TERN_ERROR_SERVICE_EXISTS;
        else if (SameName(key, config.displayName) ||
                 (haveOther && (SameName(other.displayName, config.displayName) ||
                                SameName(other.displayName, config.keyName))))
            clash = TERN_ERROR_DUPLICATE_SERVICE_NAME;
        if (clash != 0) clashKey = key;
        return clash == 0;
    });
    if (clash != 0) {
        CKestrelStatus st = Fail(clash);
        TERN_TRACE(L"(%d) Failed to create service %S: name taken by %S.", st.GetError(), config.keyName,
                   clashKey);
        return st;
    }

    std::string text;
    try {
        toml::array exec;
        for (const std::string& a : config.exec) exec.push_back(a);
        toml::table t{{"exec", exec}};
        if (!config.user.empty()) t.insert("user", config.user);
        if (!config.displayName.empty()) t.insert("display_name", config.displayName);
        std::ostringstream os;
        os << t << "\n";
        text = os.str();
    } catch (const std::exception&) {
        CKestrelStatus st = Fail(TERN_ERROR_NOT_ENOUGH_MEMORY);
        TERN_TRACE(L"(%d) Failed to create service %S.", st.GetError(), config.keyName);
        return st;
    }

    // Built under a temporary name and renamed into place, so no one sees a half-written service.
    std::string rootPath = Root();
    std::string tmpl = rootPath + "/.new-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
        CKestrelStatus st = FailErrno(errno);
        TERN_TRACE(L"(%d) Failed to create service %S.", st.GetError(), config.keyName);
        return st;
    }
    std::string tmpName = tmpl.substr(rootPath.size() + 1);
    auto cleanup = [&] {
        std::error_code ec;
        std::filesystem::remove_all(tmpl, ec);
    };
    ::chmod(tmpl.c_str(), kFolderMode);
    UniqueFd f(
        ::open((tmpl + "/" + kConfigFile).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kConfigMode));
    bool written = f.Valid() && ::fchmod(f.Get(), kConfigMode) == 0 &&
                   ::write(f.Get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                   ::fsync(f.Get()) == 0;
    int err = errno;
    f.Reset();
    if (!written) {
        cleanup();
        CKestrelStatus st = FailErrno(err);
        TERN_TRACE(L"(%d) Failed to create service %S.", st.GetError(), config.keyName);
        return st;
    }
    if (::renameat2(root.Get(), tmpName.c_str(), root.Get(), config.keyName.c_str(), RENAME_NOREPLACE) != 0) {
        err = errno;
        cleanup();
        CKestrelStatus st =
            (err == EEXIST || err == ENOTEMPTY) ? Fail(TERN_ERROR_SERVICE_EXISTS) : FailErrno(err);
        TERN_TRACE(L"(%d) Failed to create service %S.", st.GetError(), config.keyName);
        return st;
    }
    return Ok();
}

CKestrelStatus TernServiceRegistry::Delete(const std::string& keyName) {
    UniqueFd root;
    int dirFd = -1;
    CKestrelStatus st = OpenRootAndServiceDir(root, keyName, dirFd);
    if (st.IsFailure()) {
        TERN_TRACE(L"(%d) Failed to delete service %S.", st.GetError(), keyName);
        return st;
    }
    UniqueFd dir(dirFd);
    FolderLock lock;
    st = lock.Acquire(dir.Get());
    RunState rs;
    int err = 0;
    if (st.IsSuccess() && !ReadState(dir.Get(), rs, err)) st = FailErrno(err);
    if (st.IsSuccess() && OpenLive(rs).Valid()) st = Fail(TERN_ERROR_SERVICE_ALREADY_RUNNING);
    if (st.IsFailure()) {
        TERN_TRACE(L"(%d) Failed to delete service %S.", st.GetError(), keyName);
        return st;
    }
    // Renamed out of the way first, so the key name is free at once even if removing the files takes long.
    static std::atomic<unsigned> counter{0};
    std::string gone = ".del-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" + keyName;
    if (::renameat(root.Get(), keyName.c_str(), root.Get(), gone.c_str()) != 0) {
        st = FailErrno(errno);
        TERN_TRACE(L"(%d) Failed to delete service %S.", st.GetError(), keyName);
        return st;
    }
    std::error_code ec;
    std::filesystem::remove_all(Root() + "/" + gone, ec);
    return Ok();
}

CKestrelStatus TernServiceRegistry::GetConfig(const std::string& keyName, TernServiceConfig& config) {
    UniqueFd root;
    int dirFd = -1;
    CKestrelStatus st = OpenRootAndServiceDir(root, keyName, dirFd);
    UniqueFd dir(dirFd);
    std::string why;
    if (st.IsSuccess()) st = ReadConfig(dir.Get(), config, why);
    if (st.IsFailure()) {
        TERN_TRACE(L"(%d) Failed to read the configuration of service %S. %S", st.GetError(), keyName, why);
        return st;
    }
    config.keyName = keyName;
    return Ok();
}

CKestrelStatus TernServiceRegistry::List(std::vector<TernServiceEntry>& services) {
    services.clear();
    UniqueFd root(OpenRoot(false));
    if (!root.Valid()) {
        if (errno == ENOENT) return Ok();
        CKestrelStatus st = FailErrno(errno);
        TERN_TRACE(L"(%d) Failed to open the service registry %S.", st.GetError(), Root());
        return st;
    }
    ForEachServiceDir(root.Get(), [&](const std::string& key, int dirFd) {
        TernServiceEntry e;
        std::string why;
        if (ReadConfig(dirFd, e.config, why).IsFailure()) return true;
        e.config.keyName = key;
        if (Query(dirFd, e.status).IsFailure()) return true;
        services.push_back(std::move(e));
        return true;
    });
    return Ok();
}
