// Preloaded by the end-to-end tests to make one image unkillable: SIGKILL sent through a pidfd to a process
// whose image path is $KESTREL_E2E_UNKILLABLE fails with EPERM, as it does for a caller that may not signal
// the process. Root holding a live pidfd has no such failure on Linux, so this is the only way to reach a
// failed kill. Every other system call passes through unchanged.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The pid a pidfd refers to, from /proc/self/fdinfo; -1 when unknown.
long PidOf(int pidfd) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fdinfo/%d", pidfd);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return -1;
    buf[n] = '\0';
    const char* p = std::strstr(buf, "\nPid:");
    return p ? std::strtol(p + 5, nullptr, 10) : -1;
}

bool Refused(int pidfd) {
    const char* target = std::getenv("KESTREL_E2E_UNKILLABLE");
    if (target == nullptr || *target == '\0') return false;
    const long pid = PidOf(pidfd);
    if (pid <= 0) return false;
    char link[64], exe[4096];
    std::snprintf(link, sizeof link, "/proc/%ld/exe", pid);
    ssize_t n = readlink(link, exe, sizeof exe - 1);
    if (n <= 0) return false;
    exe[n] = '\0';
    return std::strcmp(exe, target) == 0;
}

}  // namespace

extern "C" long syscall(long number, ...) noexcept {
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (long& x : a) x = va_arg(ap, long);
    va_end(ap);
    if (number == SYS_pidfd_send_signal && a[1] == SIGKILL && Refused(static_cast<int>(a[0]))) {
        errno = EPERM;
        return -1;
    }
    using Real = long (*)(long, ...);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "syscall"));
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
