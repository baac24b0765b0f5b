#include "LibPidfd_linux.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace tern_posix {

namespace {

// The pidfd information query of newer kernels (6.13 on); the build's kernel headers may predate it, so its
// first version is spelled out here. Kernels without it refuse the request.
struct PidfdInfo {
    uint64_t mask;
    uint64_t cgroupid;
    uint32_t pid, tgid, ppid, ruid, rgid, euid, egid, suid, sgid, fsuid, fsgid;
    uint32_t spare0;
};
static_assert(sizeof(PidfdInfo) == 64, "first version of the pidfd information is 64 bytes");
constexpr uint64_t kPidfdInfoCreds = 1u << 1;
constexpr unsigned long kPidfdGetInfo = _IOWR(0xFF, 11, PidfdInfo);

}  // namespace

TernPidfd TernPidfd::Open(pid_t pid) {
    // Called through syscall: this C library's header lacks C++ linkage for the pidfd wrappers.
    return TernPidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0u)));
}

bool TernPidfd::EffectiveUid(int pidfd, uint32_t& uid, int& err) {
    PidfdInfo info{};
    info.mask = kPidfdInfoCreds;
    if (::ioctl(pidfd, kPidfdGetInfo, &info) != 0) {
        err = errno;
        return false;
    }
    if ((info.mask & kPidfdInfoCreds) == 0) {
        err = ENOTTY;
        return false;
    }
    uid = info.euid;
    return true;
}

bool TernPidfd::Alive(int pidfd) {
    if (pidfd < 0) return false;
    pollfd p{pidfd, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    return r == 0;
}

int TernPidfd::SendSignal(int pidfd, int sig) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0u));
}

}  // namespace tern_posix
