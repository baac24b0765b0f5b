#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "LibError.h"
#include "LibFileCheck.h"
#include "LibPosix_linux.h"

namespace {

CKestrelStatus Failed(uint32_t error) {
    TernSetLastError(error);
    CKestrelStatus status;
    status.Set(CKestrelStatus::kPlatform, error);
    return status;
}

CKestrelStatus Succeeded() {
    CKestrelStatus status;
    status.Clear();
    return status;
}

// setfsuid/setfsgid report the previous value, never an error: a call with -1 changes nothing and tells
// the current one, which is how a refused switch is noticed.
bool SetFsIds(uid_t uid, gid_t gid) {
    setfsgid(gid);
    setfsuid(uid);
    return static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) == uid &&
           static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))) == gid;
}

}  // namespace

bool TernCanReadFile(const std::string& path) {
    // O_NONBLOCK: opening a FIFO for the check must not hang the agent.
    tern_posix::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.Valid()) {
        TernSetLastErrorFromErrno(errno);
        return false;
    }
    struct stat st {};
    return fstat(fd.Get(), &st) == 0 && !S_ISDIR(st.st_mode);
}

CKestrelStatus TernIsDirectory(const std::string& path, bool& isDirectory) {
    isDirectory = false;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return Failed(TernErrnoToError(errno));
    isDirectory = S_ISDIR(st.st_mode);
    return Succeeded();
}

TernFsIdentity::~TernFsIdentity() {
    Restore();
}

CKestrelStatus TernFsIdentity::Assume(const TernAccount& account) {
    if (active_) Restore();
    savedUid_ = static_cast<unsigned>(setfsuid(static_cast<uid_t>(-1)));
    savedGid_ = static_cast<unsigned>(setfsgid(static_cast<gid_t>(-1)));
    if (!SetFsIds(account.uid, account.gid)) {
        active_ = true;
        Restore();
        return Failed(TERN_ERROR_PRIVILEGE_NOT_HELD);
    }
    active_ = true;
    return Succeeded();
}

CKestrelStatus TernFsIdentity::Restore() {
    if (!active_) return Succeeded();
    // uid first: with fsuid 0 again the gid switch is permitted.
    setfsuid(savedUid_);
    setfsgid(savedGid_);
    bool ok = static_cast<unsigned>(setfsuid(static_cast<uid_t>(-1))) == savedUid_ &&
              static_cast<unsigned>(setfsgid(static_cast<gid_t>(-1))) == savedGid_;
    if (!ok) return Failed(TERN_ERROR_PRIVILEGE_NOT_HELD);
    active_ = false;
    return Succeeded();
}
