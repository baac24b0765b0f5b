// Files that a privileged process writes where another account has a say: appending to a log in a
// directory an administrator owns without being led through links, FIFOs or hard links, and checking that a
// directory or file of our own cannot be changed by other accounts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "KestrelStatus.h"
#include "LibNonCopyable.h"

// One file opened for appending by TernAppendFile::Open. Owns its descriptor and closes it when destroyed.
class TernAppendFile : private TernNonCopyable {
  public:
    TernAppendFile() = default;
    ~TernAppendFile();

    // Opens path for appending (created with createMode, exactly, whatever the umask, when missing).
    // A directory on the way that is a link is followed only when the directory holding the link can be
    // changed by nobody but root (or this process's own account); the last component is never followed.
    // Opening never blocks (a FIFO is refused, not waited on). The file must then be a regular file owned
    // by ownerUid, root or this process's account; one not owned by ownerUid must have no other hard link.
    // Failure: code 2 with the mapped error (2 or 3 when the file or a directory is missing), or 5 when
    // the file or a directory on the way is refused; nothing is open then.
    CKestrelStatus Open(const std::string& path, uint32_t ownerUid, uint32_t createMode);
    // Appends data with one write. Failure: code 2 with the mapped error (also when not all was written).
    CKestrelStatus Write(std::string_view data);
    bool IsOpen() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// The user id of the account user/domain, looked up under the same names a log-on tries (TernLogonNames),
// without a password. false when no such account is known; uid untouched then.
bool TernAccountUid(std::wstring_view user, std::wstring_view domain, uint32_t& uid);

// Whether the directory or file at path (links followed) can be changed only by root or this process's
// account: its owner is one of them and neither group nor others may write it. Returns an empty text when
// it is safe, else one line saying why not ("owned by uid 1000, not root",
// "writable by group or others (mode 0777)"; or the error of looking it up). missing is set when the path
// does not exist (the text then says so).
std::string TernUnsafeOwnership(const std::string& path, bool* missing = nullptr);
// The same for an open descriptor.
std::string TernUnsafeOwnershipFd(int fd);

// Creates the directory path and its missing parents with exactly mode (the umask cannot widen or narrow
// it); existing directories are left as they are. false with errno set on failure.
bool TernMakeDirectories(const std::string& path, uint32_t mode);
