// Waits until it is killed, or until the process given as its argument has ended (so nothing outlives a
// benchmark that died).
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 2) {
        for (;;) ::pause();
    }
    const long watched = std::strtol(argv[1], nullptr, 10);
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(watched), 0u));
    if (fd < 0) return 1;
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, -1) < 0) {
    }
    return 0;
}
