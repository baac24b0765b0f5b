#include "LibSpawn_linux.h"

#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/asan_interface.h>
#endif

// Code of the child before execve: it runs on a stack of its own in the parent's memory, and never returns,
// so a sanitizer's stack bookkeeping would leave marks in that memory. It is not instrumented.
#define TERN_CHILD_CODE __attribute__((no_sanitize_address, no_sanitize_undefined))

namespace tern_posix {
namespace {

// The signals whose disposition is not the default, found before the fork (the child cannot allocate,
// and asking in the parent spares the child a reset of every signal).
struct CaughtSignals {
    int list[NSIG];
    int count = 0;
};

void FindCaughtSignals(CaughtSignals& caught) {
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        struct sigaction current {};
        if (::sigaction(sig, nullptr, &current) != 0) continue;  // not a valid signal number
        if (current.sa_handler != SIG_DFL) caught.list[caught.count++] = sig;
    }
}

[[noreturn]] TERN_CHILD_CODE void Report(const SpawnPlan& p, int32_t stage) {
    SpawnFailure f{stage, errno};
    ssize_t ignored = ::write(p.reportFd, &f, sizeof f);
    (void)ignored;
    ::_exit(127);
}

// Moves fd out of the standard range so that the dup2 calls cannot overwrite one another.
TERN_CHILD_CODE int AboveStandard(int fd) {
    return fd >= 0 && fd < 3 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 3) : fd;
}

// The child: async-signal-safe calls only; every signal is blocked on entry.
[[noreturn]] TERN_CHILD_CODE void ChildSteps(const SpawnPlan& plan, const CaughtSignals& caught,
                                             pid_t parent) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int i = 0; i < caught.count; ++i) ::sigaction(caught.list[i], &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    SpawnPlan p = plan;  // a copy on the child's stack: the descriptors may be moved below
    p.reportFd = AboveStandard(p.reportFd);
    if (p.reportFd < 0) ::_exit(127);
    if (p.holdFd >= 0) {
        if (p.holdCloseFd >= 0) ::close(p.holdCloseFd);
        char b;
        ssize_t n;
        do n = ::read(p.holdFd, &b, 1);
        while (n < 0 && errno == EINTR);
    }
    if (p.newSession && ::setsid() < 0) Report(p, kSpawnSession);
    if (p.switchIdentity) {
        // Bare system calls: the C library's wrappers would also switch every thread on its thread list,
        // which a child sharing the parent's memory would take for the parent's threads.
        if (::syscall(SYS_setgroups, p.groupCount, p.groups) != 0 || ::syscall(SYS_setgid, p.gid) != 0 ||
            ::syscall(SYS_setuid, p.uid) != 0)
            Report(p, kSpawnIdentity);
    }
    if (p.killWithParent) {
        // Set after the identity switch, which clears it. A parent that ended before this line is caught
        // by the check: the child would have been handed to another process meanwhile.
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(127);
    }
    if (p.workDir && ::chdir(p.workDir) != 0) Report(p, kSpawnDirectory);
    int in = AboveStandard(p.stdinFd), out = AboveStandard(p.stdoutFd), err = AboveStandard(p.stderrFd);
    if (in < 0 || out < 0 || err < 0) Report(p, kSpawnHandles);
    if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) Report(p, kSpawnHandles);
    // Descriptors of other threads that lack close-on-exec must not leak into the program; reportFd stays
    // open until the execve succeeds.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execve(p.program, p.argv, p.envp);
    Report(p, kSpawnExec);
}

struct CloneArgs {
    const SpawnPlan* plan;
    const CaughtSignals* caught;
    pid_t parent;
};

TERN_CHILD_CODE int CloneChild(void* arg) {
    const auto* a = static_cast<const CloneArgs*>(arg);
    ChildSteps(*a->plan, *a->caught, a->parent);
}

// The stack the child runs on until execve; unmapped when the parent goes on.
class ChildStack {
  public:
    static constexpr size_t kSize = 256 * 1024;
    ChildStack()
        : base_(::mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1,
                       0)) {}
    ~ChildStack() {
        if (base_ == MAP_FAILED) return;
#ifdef __SANITIZE_ADDRESS__
        ASAN_UNPOISON_MEMORY_REGION(base_, kSize);  // the next stack mapped here starts clean
#endif
        ::munmap(base_, kSize);
    }
    ChildStack(const ChildStack&) = delete;
    ChildStack& operator=(const ChildStack&) = delete;
    bool Valid() const {
        return base_ != MAP_FAILED;
    }
    void* Top() const {
        return static_cast<char*>(base_) + kSize;
    }

  private:
    void* base_;
};

}  // namespace

pid_t Spawn(const SpawnPlan& plan) {
    CaughtSignals caught;
    FindCaughtSignals(caught);
    const pid_t parent = ::getpid();
    sigset_t all, saved;
    sigfillset(&all);
    if (!plan.detached) {
        // The child shares this process's memory until its execve and this thread waits meanwhile
        // (CLONE_VFORK): no page tables are copied and no page is copied on write, which a fork of a large
        // agent would pay for every command.
        ChildStack stack;
        if (!stack.Valid()) return -1;
        CloneArgs args{&plan, &caught, parent};
        ::pthread_sigmask(SIG_SETMASK, &all, &saved);
        pid_t pid = ::clone(CloneChild, stack.Top(), CLONE_VM | CLONE_VFORK | SIGCHLD, &args);
        const int cloneErrno = errno;
        ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        errno = cloneErrno;
        return pid;
    }
    ::pthread_sigmask(SIG_SETMASK, &all, &saved);
    pid_t pid = ::fork();
    if (pid == 0) {
        // The intermediate process (a real fork: the program must not share the caller's memory while
        // the caller goes on). _Fork runs no fork handlers (this process stems from a multithreaded
        // one). The program's parent-death setting would name this short-lived process, so none is set.
        pid_t launched = ::_Fork();
        if (launched == 0) {
            SpawnPlan p = plan;
            p.killWithParent = false;
            ChildSteps(p, caught, 0);
        }
        int32_t msg = launched > 0 ? launched : -errno;
        ssize_t ignored = ::write(plan.reportFd, &msg, sizeof msg);
        (void)ignored;
        ::_exit(0);
    }
    const int forkErrno = errno;
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    errno = forkErrno;
    return pid;
}

}  // namespace tern_posix
