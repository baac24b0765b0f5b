// TernPidfd: the one owner of a pidfd in the Linux bodies. A pidfd keeps referring to the process it was
// opened for: after that process has ended it reports it as ended and never reaches a later process that
// got the same PID. Not part of the library's interface.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "LibPosix_linux.h"

namespace tern_posix {

class TernPidfd {
  public:
    TernPidfd() = default;
    // Takes ownership of fd (a pidfd, or -1).
    explicit TernPidfd(int fd) : fd_(fd) {}
    // Movable, not copyable, closed on destruction: all of it is UniqueFd's.

    // Opens pid (pidfd_open, close-on-exec). Invalid with errno set on failure (ESRCH: no such process).
    static TernPidfd Open(pid_t pid);

    int Get() const { return fd_.Get(); }
    bool Valid() const { return fd_.Valid(); }
    // Gives the descriptor up; the caller owns it.
    int Release() { return fd_.Release(); }
    // Closes the held descriptor and takes fd.
    void Reset(int fd = -1) { fd_.Reset(fd); }

    // true while the process has not ended (a zombie has ended); false also when not valid or poll fails.
    bool Alive() const { return Alive(fd_.Get()); }
    // pidfd_send_signal without siginfo: 0, or -1 with errno (ESRCH once the process has ended).
    int SendSignal(int sig) const { return SendSignal(fd_.Get(), sig); }

    // The effective uid of the pidfd's process, asked of the pidfd itself (no /proc read). false with err:
    // ESRCH once the process has been reaped; another value when the kernel cannot answer this way (then
    // read /proc/PID/status). A zombie still answers: check Alive after.
    static bool EffectiveUid(int pidfd, uint32_t& uid, int& err);

    // The same on a pidfd owned elsewhere (the handle of a TernProcess).
    static bool Alive(int pidfd);
    static int SendSignal(int pidfd, int sig);

  private:
    UniqueFd fd_;
};

}  // namespace tern_posix
