// Preloaded by the end-to-end tests for failures that root cannot otherwise meet on Linux:
//   KESTREL_E2E_UNKILLABLE=IMAGE    SIGKILL sent through a pidfd to a process whose image path is IMAGE fails
//                                   with EPERM, as it does for a caller that may not signal the process;
//   KESTREL_E2E_TERM_REFUSED=IMAGE  the same for SIGTERM;
//   KESTREL_E2E_WRITE_FAILS=BYTES   a write() whose data begins with BYTES fails with EIO (the input the
//                                   agent pushes into a tool's standard input).
// Everything else passes through unchanged.
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

bool Refused(int pidfd, const char* variable) {
    const char* target = std::getenv(variable);
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
    if (number == SYS_pidfd_send_signal &&
        ((a[1] == SIGKILL && Refused(static_cast<int>(a[0]), "KESTREL_E2E_UNKILLABLE")) ||
         (a[1] == SIGTERM && Refused(static_cast<int>(a[0]), "KESTREL_E2E_TERM_REFUSED")))) {
        errno = EPERM;
        return -1;
    }
    using Real = long (*)(long, ...);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "syscall"));
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

extern "C" ssize_t write(int fd, const void* data, size_t size) {
    const char* prefix = std::getenv("KESTREL_E2E_WRITE_FAILS");
    const size_t length = prefix ? std::strlen(prefix) : 0;
    if (length > 0 && size >= length && std::memcmp(data, prefix, length) == 0) {
        errno = EIO;
        return -1;
    }
    using Real = ssize_t (*)(int, const void*, size_t);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "write"));
    return real(fd, data, size);
}
