// Linux body of the command runner: fork + execve, pidfd for the wait, one pipe for stdout and stderr.
//
// Everything the child needs (argument vector, environment, program path, group list) is prepared before
// fork: the agent is multithreaded, so the child may only make async-signal-safe calls until execve.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "LibClock.h"
#include "LibCommandLine.h"
#include "LibError.h"
#include "LibLogger.h"
#include "LibRunAs.h"
#include "LibWide.h"

extern char** environ;

namespace {

// Owns one descriptor.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool IsValid() const { return fd_ >= 0; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// A child that has been forked and not yet reaped. Its destructor kills the whole process group and reaps
// it, so no path out of TernRunCommand leaves a zombie or a running child behind.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess() {
        if (pid_ > 0) {
            KillGroup();
            uint32_t ignored = 0;
            Reap(ignored);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void Adopt(pid_t pid, UniqueFd pidfd) {
        pid_ = pid;
        pidfd_ = std::move(pidfd);
    }
    int PidFd() const { return pidfd_.Get(); }

    // The pidfd signal reaches exactly this child even if its PID were reused; the group kill then reaches
    // its descendants (it leads its own session, and the unreaped child keeps the group id from reuse).
    void KillGroup() {
        if (pid_ <= 0) return;
        if (pidfd_.IsValid())
            syscall(SYS_pidfd_send_signal, pidfd_.Get(), SIGKILL, nullptr, 0);
        else
            kill(pid_, SIGKILL);
        kill(-pid_, SIGKILL);
    }

    // Waits for the child to end and takes its exit status. Returns false (errno set) if the wait failed.
    bool Reap(uint32_t& exitCode) {
        if (pid_ <= 0) return false;
        siginfo_t info{};
        int rc;
        do {
            rc = pidfd_.IsValid()
                     ? waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_.Get()), &info, WEXITED)
                     : waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED);
        } while (rc == -1 && errno == EINTR);
        if (rc == -1 && errno == EINVAL && pidfd_.IsValid()) {  // kernel without P_PIDFD
            do rc = waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED);
            while (rc == -1 && errno == EINTR);
        }
        if (rc == -1) return false;
        pid_ = -1;
        pidfd_.Reset();
        exitCode = info.si_code == CLD_EXITED ? static_cast<uint32_t>(info.si_status)
                                              : 128u + static_cast<uint32_t>(info.si_status);
        return true;
    }

  private:
    pid_t pid_ = -1;
    UniqueFd pidfd_;
};

// What the child reports through the status pipe when it cannot reach execve.
struct ChildFailure {
    int32_t step;  // 1 identity, 2 directory, 3 handles, 4 exec
    int32_t error;
};

struct ChildPlan {
    std::string program;
    std::vector<std::string> argStore;
    std::vector<char*> argv;
    std::vector<std::string> envStore;
    std::vector<char*> envp;
    std::string workDir;
    bool switchIdentity = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

[[noreturn]] void ChildFail(int statusFd, int32_t step) {
    ChildFailure f{step, errno};
    ssize_t ignored = write(statusFd, &f, sizeof f);
    (void)ignored;
    _exit(127);
}

// Moves fd out of the standard range so that the dup2 calls below cannot overwrite each other.
int AboveStandard(int fd) {
    return fd < 3 ? fcntl(fd, F_DUPFD_CLOEXEC, 3) : fd;
}

// Runs in the forked child: async-signal-safe calls only.
[[noreturn]] void ChildMain(const ChildPlan& plan, int inFd, int outFd, int statusFd) {
    // Signal mask and ignored signals survive execve; the program gets the defaults. The handlers are reset
    // while every signal is still blocked (the parent blocked them across the fork), then unmasked.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &dfl, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setsid();  // own session and process group: a time-out kills the whole group
    if (plan.switchIdentity) {
        if (setgroups(plan.groups.size(), plan.groups.data()) != 0) ChildFail(statusFd, 1);
        if (setgid(plan.gid) != 0) ChildFail(statusFd, 1);
        if (setuid(plan.uid) != 0) ChildFail(statusFd, 1);
    }
    if (!plan.workDir.empty() && chdir(plan.workDir.c_str()) != 0) ChildFail(statusFd, 2);
    statusFd = AboveStandard(statusFd);
    inFd = AboveStandard(inFd);
    outFd = AboveStandard(outFd);
    if (statusFd < 0) _exit(127);
    if (inFd < 0 || outFd < 0) ChildFail(statusFd, 3);
    if (dup2(inFd, 0) < 0 || dup2(outFd, 1) < 0 || dup2(outFd, 2) < 0) ChildFail(statusFd, 3);
    // Every other descriptor goes: the status pipe at execve (it is close-on-exec), the rest now.
    if (statusFd > 3) syscall(SYS_close_range, 3u, static_cast<unsigned>(statusFd - 1), 0u);
    syscall(SYS_close_range, static_cast<unsigned>(statusFd + 1), ~0u, 0u);
    execve(plan.program.c_str(), plan.argv.data(), plan.envp.data());
    ChildFail(statusFd, 4);
}

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Resolves a program name without a separator on PATH (before fork: the search allocates).
bool ResolveProgram(const std::string& name, const std::vector<std::string>& env, std::string& path) {
    if (name.find('/') != std::string::npos) {
        path = name;
        return true;
    }
    std::string search = "/usr/local/bin:/usr/bin:/bin";
    for (const std::string& e : env) {
        if (e.rfind("PATH=", 0) == 0) search = e.substr(5);
    }
    size_t start = 0;
    for (;;) {
        size_t end = search.find(':', start);
        std::string dir = search.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        if (IsExecutableFile(candidate)) {
            path = candidate;
            return true;
        }
        if (end == std::string::npos) return false;
        start = end + 1;
    }
}

bool IsAccountVariable(const char* entry) {
    for (const char* name : {"HOME=", "USER=", "LOGNAME=", "SHELL="}) {
        if (std::strncmp(entry, name, std::strlen(name)) == 0) return true;
    }
    return false;
}

CKestrelStatus Fail(TernRunResult& result, TernRunStep step, uint32_t error, const wchar_t* what) {
    TernSetLastError(error);
    TERN_TRACE(L"(%d) %s failed.", static_cast<int>(error), what);
    result.failedStep = step;
    CKestrelStatus status;
    status.Set(CKestrelStatus::kPlatform, error);
    return status;
}

CKestrelStatus FailErrno(TernRunResult& result, TernRunStep step, int err, const wchar_t* what) {
    return Fail(result, step, TernErrnoToError(err), what);
}

// Prepares the child's argument vector, program, environment and identity.
CKestrelStatus Prepare(const TernRunOptions& options, TernRunResult& result, ChildPlan& plan) {
    std::vector<std::wstring> args = TernSplitCommandLine(options.commandLine);
    if (args.empty() || args[0].empty()) {
        return Fail(result, TernRunStep::kEnvironment, TERN_ERROR_INVALID_PARAMETER, L"Command line split");
    }
    for (const std::wstring& a : args) plan.argStore.push_back(TernWideToMb(a));
    for (std::string& a : plan.argStore) plan.argv.push_back(a.data());
    plan.argv.push_back(nullptr);

    for (char** e = environ; e && *e; ++e) {
        if (!options.account || !IsAccountVariable(*e)) plan.envStore.emplace_back(*e);
    }
    if (const TernAccount* account = options.account) {
        plan.envStore.push_back("HOME=" + account->home);
        plan.envStore.push_back("USER=" + account->name);
        plan.envStore.push_back("LOGNAME=" + account->name);
        plan.envStore.push_back("SHELL=" + account->shell);
    }
    for (std::string& e : plan.envStore) plan.envp.push_back(e.data());
    plan.envp.push_back(nullptr);

    if (!options.workDir.empty()) plan.workDir = TernWideToMb(options.workDir);

    if (const TernAccount* account = options.account) {
        uid_t self = geteuid();
        if (self == 0 && account->uid != 0) {
            plan.switchIdentity = true;
            plan.uid = account->uid;
            plan.gid = account->gid;
            std::vector<uint32_t> groups;
            CKestrelStatus st = TernAccountGroups(*account, groups);
            if (st.IsFailure()) {
                result.failedStep = TernRunStep::kEnvironment;
                return st;
            }
            plan.groups.assign(groups.begin(), groups.end());
        } else if (self != account->uid) {
            return Fail(result, TernRunStep::kStart, TERN_ERROR_PRIVILEGE_NOT_HELD, L"Identity switch");
        }
    }
    CKestrelStatus ok;
    ok.Clear();
    return ok;
}

// Reads what the output pipe holds now, keeping up to the bound. Returns false at end of output.
bool Drain(int fd, size_t maxOutput, TernRunResult& result) {
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            size_t got = static_cast<size_t>(n);
            size_t room = maxOutput > result.output.size() ? maxOutput - result.output.size() : 0;
            size_t keep = got < room ? got : room;
            result.output.append(buffer, keep);
            if (keep < got) {
                result.outputCut = true;
                result.droppedBytes += got - keep;
            }
            continue;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;  // anything else: treat as the end of output
    }
}

uint64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void StepDone(const TernRunOptions& options, TernRunStep step) {
    if (options.onStepDone) options.onStepDone(step);
}

}  // namespace

CKestrelStatus TernRunCommand(const TernRunOptions& options, TernRunResult& result) {
    result.failedStep = TernRunStep::kNone;
    ChildPlan plan;
    CKestrelStatus status = Prepare(options, result, plan);
    if (status.IsFailure()) return status;
    if (!ResolveProgram(plan.argStore[0], plan.envStore, plan.program)) {
        return Fail(result, TernRunStep::kStart, TERN_ERROR_FILE_NOT_FOUND, L"Program lookup");
    }
    StepDone(options, TernRunStep::kEnvironment);

    // Pipes. Every descriptor is close-on-exec; the child's ends become its standard handles via dup2.
    int fds[2];
    using PipePart = TernRunResult::PipePart;
    result.failedPipe = PipePart::kOutput;
    if (pipe2(fds, O_CLOEXEC) != 0) return FailErrno(result, TernRunStep::kPipes, errno, L"pipe2 (output)");
    UniqueFd outRead(fds[0]), outWrite(fds[1]);
    UniqueFd inRead;
    if (options.input) {
        result.failedPipe = PipePart::kInput;
        if (pipe2(fds, O_CLOEXEC) != 0)
            return FailErrno(result, TernRunStep::kPipes, errno, L"pipe2 (input)");
        inRead.Reset(fds[0]);
        UniqueFd inWrite(fds[1]);
        const std::string& bytes = *options.input;
        if (bytes.size() > 65536) fcntl(inWrite.Get(), F_SETPIPE_SZ, static_cast<int>(bytes.size()));
        int capacity = fcntl(inWrite.Get(), F_GETPIPE_SZ);
        if (capacity < 0 || bytes.size() > static_cast<size_t>(capacity)) {
            return Fail(result, TernRunStep::kPipes, TERN_ERROR_INVALID_PARAMETER, L"Input size check");
        }
        // Written before the child exists and while this side holds the read end: it cannot block or
        // raise SIGPIPE. Closing the write end gives the child end of input after the bytes.
        result.failedPipe = PipePart::kInputWrite;
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(inWrite.Get(), bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return FailErrno(result, TernRunStep::kPipes, errno, L"write (input)");
            done += static_cast<size_t>(n);
        }
    } else {
        result.failedPipe = PipePart::kOther;
        inRead.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (!inRead.IsValid()) return FailErrno(result, TernRunStep::kPipes, errno, L"open /dev/null");
    }
    result.failedPipe = PipePart::kOther;
    if (pipe2(fds, O_CLOEXEC) != 0) return FailErrno(result, TernRunStep::kPipes, errno, L"pipe2 (status)");
    result.failedPipe = PipePart::kNone;
    UniqueFd statusRead(fds[0]), statusWrite(fds[1]);
    StepDone(options, TernRunStep::kPipes);

    ChildProcess child;
    // No signal may run one of the agent's handlers in the child before it has put the defaults back: all
    // signals stay blocked across the fork, here and in the child until its handlers are reset.
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    pid_t pid = fork();
    if (pid == 0) ChildMain(plan, inRead.Get(), outWrite.Get(), statusWrite.Get());
    const int forkErrno = errno;
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (pid < 0) return FailErrno(result, TernRunStep::kStart, forkErrno, L"fork");
    // The PID cannot be reused before it is reaped, so opening the pidfd now names this child.
    UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    int pidfdErrno = errno;
    child.Adopt(pid, std::move(pidfd));  // from here on the child is killed and reaped on every path
    statusWrite.Reset();
    inRead.Reset();
    outWrite.Reset();

    // The status pipe reads end of file when execve succeeded, a ChildFailure when it did not.
    ChildFailure failure{};
    ssize_t got;
    do got = read(statusRead.Get(), &failure, sizeof failure);
    while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof failure)) {
        uint32_t ignored = 0;
        child.Reap(ignored);
        uint32_t error = failure.step == 2 ? TERN_ERROR_DIRECTORY : TernErrnoToError(failure.error);
        static const wchar_t* const kWhat[] = {L"child", L"Identity switch", L"chdir", L"dup2", L"execve"};
        return Fail(result, TernRunStep::kStart, error,
                    kWhat[failure.step >= 1 && failure.step <= 4 ? failure.step : 0]);
    }
    statusRead.Reset();
    if (child.PidFd() < 0) return FailErrno(result, TernRunStep::kStart, pidfdErrno, L"pidfd_open");
    StepDone(options, TernRunStep::kStart);

    if (fcntl(outRead.Get(), F_SETFL, O_NONBLOCK) != 0)
        return FailErrno(result, TernRunStep::kWait, errno, L"fcntl");
    const bool limited = options.timeoutMs != kTernInfinite;
    const uint64_t deadline = MonotonicMs() + (limited ? TernRealMs(options.timeoutMs) : 0);
    bool outputOpen = true;
    for (;;) {
        int waitMs = -1;
        if (limited) {
            uint64_t now = MonotonicMs();
            if (now >= deadline) {
                // Limit reached: kill the whole group, then reap (the destructor would too; done here so
                // that the status can say the child is gone).
                child.KillGroup();
                uint32_t ignored = 0;
                child.Reap(ignored);
                TernSetLastError(TERN_WAIT_TIMEOUT);
                result.failedStep = TernRunStep::kWait;
                status.Set(CKestrelStatus::kTimedOut, TERN_WAIT_TIMEOUT);
                return status;
            }
            uint64_t left = deadline - now;
            waitMs = left > 60000 ? 60000 : static_cast<int>(left);
        }
        pollfd pfds[2] = {{child.PidFd(), POLLIN, 0}, {outRead.Get(), POLLIN, 0}};
        int rc = poll(pfds, outputOpen ? 2 : 1, waitMs);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return FailErrno(result, TernRunStep::kWait, errno, L"poll");  // the child is killed and reaped
        }
        if (outputOpen && (pfds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            outputOpen = Drain(outRead.Get(), options.maxOutput, result);
        }
        if (pfds[0].revents & POLLIN) break;
    }
    // The child has ended: what it wrote is in the pipe now. Descendants that still hold the pipe are not
    // waited for.
    if (outputOpen) Drain(outRead.Get(), options.maxOutput, result);
    uint32_t exitCode = 0;
    if (!child.Reap(exitCode)) return FailErrno(result, TernRunStep::kWait, errno, L"waitid");
    result.exitCode = exitCode;
    StepDone(options, TernRunStep::kWait);
    TernSetLastError(0);
    status.Clear();
    return status;
}
