// Internal helpers of the Linux bodies: status construction, an owned descriptor, /proc readers.
// Not part of the library's interface.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "KestrelStatus.h"
#include "LibProcStat_linux.h"

namespace tern_posix {

// Success, last error 0 (for queries and actions).
CKestrelStatus Ok();
// Success that leaves the last error alone (for closing and handing over handles, which destructors do).
CKestrelStatus Done();
// Code 2 with error, which becomes the thread's last error.
CKestrelStatus Fail(uint32_t error);
// Code 2 with the mapped errno value.
CKestrelStatus FailErrno(int errnoValue);

// Owns one descriptor; closes it on destruction.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.Release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd = -1);

  private:
    int fd_ = -1;
};

// Reads a whole (small, possibly /proc) file relative to dirfd (AT_FDCWD for an absolute path).
// false with err = errno on failure.
bool ReadFileAt(int dirfd, const std::string& path, std::string& out, int& err);

// Reads a /proc text file of a few kilobytes (status, stat, ...) with as few calls as possible: the kernel
// hands such a file over whole in one read when the buffer holds it, so a short read is its end. false with
// err = errno on failure.
bool ReadSmallProcFile(const char* path, std::string& out, int& err);

// Reads and parses /proc/PID/stat. false with err = errno (EINVAL when the text cannot be parsed).
bool ReadProcStat(pid_t pid, ProcStat& out, int& err);

}  // namespace tern_posix
