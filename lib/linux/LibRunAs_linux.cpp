// Linux body of the command runner: fork + execve, pidfd for the wait, one pipe for stdout and stderr.
//
// Everything the child needs (argument vector, environment, program path, group list) is prepared before
// fork: the agent is multithreaded, so the child may only make async-signal-safe calls until execve.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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
#include "LibPidfd_linux.h"
#include "LibPosix_linux.h"
#include "LibRunAs.h"
#include "LibSpawn_linux.h"
#include "LibWide.h"

extern char** environ;

using tern_posix::TernPidfd;
using tern_posix::UniqueFd;

namespace {

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

    void Adopt(pid_t pid, TernPidfd pidfd) {
        pid_ = pid;
        pidfd_ = std::move(pidfd);
    }
    int PidFd() const { return pidfd_.Get(); }

    // The pidfd signal reaches exactly this child even if its PID were reused; the group kill then reaches
    // its descendants (it leads its own session, and the unreaped child keeps the group id from reuse).
    void KillGroup() {
        if (pid_ <= 0) return;
        if (pidfd_.Valid())
            pidfd_.SendSignal(SIGKILL);
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
            rc = pidfd_.Valid()
                     ? waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_.Get()), &info, WEXITED)
                     : waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED);
        } while (rc == -1 && errno == EINTR);
        if (rc == -1 && errno == EINVAL && pidfd_.Valid()) {  // kernel without P_PIDFD
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
    TernPidfd pidfd_;
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
            // A log-on leaves the group list in the account; looked up here only for an account without.
            std::vector<uint32_t> looked;
            const std::vector<uint32_t>* groups = &account->groups;
            if (groups->empty()) {
                CKestrelStatus st = TernAccountGroups(*account, looked);
                if (st.IsFailure()) {
                    result.failedStep = TernRunStep::kEnvironment;
                    return st;
                }
                groups = &looked;
            }
            plan.groups.assign(groups->begin(), groups->end());
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
    // The child's PATH (the last entry wins, as getenv would find it in a block with duplicates).
    std::string_view search = tern_posix::kDefaultSearchPath;
    for (const std::string& e : plan.envStore) {
        if (e.rfind("PATH=", 0) == 0) search = std::string_view(e).substr(5);
    }
    if (!tern_posix::FindProgram(plan.argStore[0], search, plan.program)) {
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
        if (!inRead.Valid()) return FailErrno(result, TernRunStep::kPipes, errno, L"open /dev/null");
    }
    result.failedPipe = PipePart::kOther;
    if (pipe2(fds, O_CLOEXEC) != 0) return FailErrno(result, TernRunStep::kPipes, errno, L"pipe2 (status)");
    result.failedPipe = PipePart::kNone;
    UniqueFd statusRead(fds[0]), statusWrite(fds[1]);
    StepDone(options, TernRunStep::kPipes);

    ChildProcess child;
    tern_posix::SpawnPlan spawn;
    spawn.SetCommand(plan.program, plan.argv, plan.envp);
    spawn.SetIdentity(plan.switchIdentity, plan.uid, plan.gid, plan.groups);
    spawn.killWithParent = true;  // a tool ends with the agent (or the entry-point thread) that ran it
    spawn.workDir = plan.workDir.empty() ? nullptr : plan.workDir.c_str();
    spawn.stdinFd = inRead.Get();
    spawn.stdoutFd = spawn.stderrFd = outWrite.Get();
    spawn.reportFd = statusWrite.Get();
    pid_t pid = tern_posix::Spawn(spawn);
    const int forkErrno = errno;
    if (pid < 0) return FailErrno(result, TernRunStep::kStart, forkErrno, L"fork");
    // The PID cannot be reused before it is reaped, so opening the pidfd now names this child.
    TernPidfd pidfd = TernPidfd::Open(pid);
    int pidfdErrno = errno;
    child.Adopt(pid, std::move(pidfd));  // from here on the child is killed and reaped on every path
    statusWrite.Reset();
    inRead.Reset();
    outWrite.Reset();

    // The status pipe reads end of file when execve succeeded, a SpawnFailure when it did not.
    tern_posix::SpawnFailure failure{};
    ssize_t got;
    do got = read(statusRead.Get(), &failure, sizeof failure);
    while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof failure)) {
        uint32_t ignored = 0;
        child.Reap(ignored);
        using namespace tern_posix;
        uint32_t error =
            failure.stage == kSpawnDirectory ? TERN_ERROR_DIRECTORY : TernErrnoToError(failure.error);
        const wchar_t* what = failure.stage == kSpawnIdentity    ? L"Identity switch"
                              : failure.stage == kSpawnDirectory ? L"chdir"
                              : failure.stage == kSpawnHandles   ? L"dup2"
                              : failure.stage == kSpawnExec      ? L"execve"
                                                                 : L"child";
        return Fail(result, TernRunStep::kStart, error, what);
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
