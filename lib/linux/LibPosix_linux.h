// Internal helpers of the Linux bodies: status construction, owned descriptors, account and program
// lookups, /proc readers. Not part of the library's interface.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
    // The descriptor, now owned by the caller (-1 when empty).
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held (if any) and takes ownership of fd.
    void Reset(int fd = -1);

  private:
    int fd_ = -1;
};

// Owns one directory stream; closedir on destruction.
struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// An account as NSS names it.
struct PasswdEntry {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
    std::string home;
    std::string shell;
};
// getpwnam_r / getpwuid_r, the buffer grown while they answer ERANGE (up to 1 MiB). 0 when found and out
// filled; ENOENT when there is no such account; otherwise the error NSS gave. out is untouched on failure.
int LookUpAccount(const std::string& name, PasswdEntry& out);
int LookUpAccount(uid_t uid, PasswdEntry& out);
// The groups an account belongs to (its primary gid included), as initgroups would set them. false when
// getgrouplist keeps asking for a larger list; groups is untouched then.
bool LookUpGroups(const std::string& name, gid_t gid, std::vector<gid_t>& groups);

// The search list the runner and the service manager use when the environment has no PATH.
inline constexpr const char* kDefaultSearchPath = "/usr/local/bin:/usr/bin:/bin";
// A name holding '/' is taken as it is. Otherwise the first directory of searchPath (colon separated, an
// empty entry meaning ".") holding an executable regular file of that name. false when none does.
bool FindProgram(const std::string& name, std::string_view searchPath, std::string& path);

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
