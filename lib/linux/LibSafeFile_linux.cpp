#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

#include "LibError.h"
#include "LibLogger.h"
#include "LibLogon.h"
#include "LibPosix_linux.h"
#include "LibSafeFile.h"

using tern_posix::Fail;
using tern_posix::FailErrno;
using tern_posix::Ok;
using tern_posix::UniqueFd;

namespace {

// A path may name at most this many links on its way, as the kernel's own limit.
constexpr int kMaxLinks = 40;

bool TrustedOwner(uid_t uid) {
    return uid == 0 || uid == ::geteuid();
}

// Only root (or our own account) can change what a directory holds, so a link found in it was put there by
// one of them.
bool TrustedDirectory(int dirFd) {
    struct stat st {};
    return ::fstat(dirFd, &st) == 0 && TrustedOwner(st.st_uid) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::deque<std::string> Components(const std::string& path) {
    std::deque<std::string> out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        if (slash > start) out.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return out;
}

// Opens the directory that holds the last component of path, one component at a time. A link is followed
// only when it sits in a trusted directory; its target is walked the same way, so a link further on in a
// directory of another account is refused as well. false with errno set; refused tells a link that was not
// followed (or too many links) from a plain failure.
bool OpenParent(const std::string& path, UniqueFd& dir, std::string& last, bool& refused) {
    refused = false;
    std::deque<std::string> rest = Components(path);
    if (rest.empty()) return errno = EISDIR, false;
    last = rest.back();
    rest.pop_back();
    if (last == "." || last == "..") return errno = EISDIR, false;
    dir.Reset(::open(path[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.Valid()) return false;
    int links = 0;
    while (!rest.empty()) {
        std::string name = std::move(rest.front());
        rest.pop_front();
        if (name == ".") continue;
        UniqueFd next(::openat(dir.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (next.Valid()) {
            dir = std::move(next);
            continue;
        }
        int err = errno;
        struct stat st {};
        if (::fstatat(dir.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
            return errno = err, false;
        refused = !TrustedDirectory(dir.Get()) || ++links > kMaxLinks;
        if (refused) return errno = ELOOP, false;
        std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 2);
        ssize_t n = ::readlinkat(dir.Get(), name.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<size_t>(n) >= target.size()) return errno = n < 0 ? errno : ELOOP, false;
        std::string text(target.data(), static_cast<size_t>(n));
        std::deque<std::string> spliced = Components(text);
        rest.insert(rest.begin(), spliced.begin(), spliced.end());
        if (text[0] == '/') {
            dir.Reset(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!dir.Valid()) return false;
        }
    }
    return true;
}

std::string Octal(mode_t mode) {
    char buffer[16];
    snprintf(buffer, sizeof buffer, "%04o", static_cast<unsigned>(mode & 07777));
    return buffer;
}

std::string Judge(const struct stat& st) {
    if (!TrustedOwner(st.st_uid)) {
        const uid_t self = ::geteuid();
        return "owned by uid " + std::to_string(st.st_uid) +
               (self == 0 ? std::string(", not root") : ", neither root nor uid " + std::to_string(self));
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "writable by group or others (mode " + Octal(st.st_mode) + ")";
    return {};
}

}  // namespace

TernAppendFile::~TernAppendFile() {
    if (fd_ >= 0) ::close(fd_);
}

CKestrelStatus TernAppendFile::Open(const std::string& path, uint32_t ownerUid, uint32_t createMode) {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    UniqueFd dir;
    std::string last;
    bool refused = false;
    if (!OpenParent(path, dir, last, refused)) {
        int err = errno;
        if (refused) {
            TERN_TRACE(
                L"(%d) A directory on the way to %S is a link in a directory other accounts can change.",
                static_cast<int>(TERN_ERROR_ACCESS_DENIED), path);
            return Fail(TERN_ERROR_ACCESS_DENIED);
        }
        // A missing directory reads as a missing path, as an open of the whole path would say.
        return err == ENOENT ? Fail(TERN_ERROR_PATH_NOT_FOUND) : FailErrno(err);
    }
    // O_NONBLOCK: a FIFO without a reader fails at once (ENXIO) and one with a reader is refused below, so
    // opening can never hang. O_EXCL first tells a file made here (given its mode exactly) from one found.
    constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    bool created = true;
    UniqueFd fd(::openat(dir.Get(), last.c_str(), kFlags | O_CREAT | O_EXCL, createMode & 07777));
    if (!fd.Valid() && errno == EEXIST) {
        created = false;
        fd.Reset(::openat(dir.Get(), last.c_str(), kFlags));
    }
    if (!fd.Valid()) {
        int err = errno;
        if (err == ELOOP || err == ENXIO || err == EISDIR) {
            TERN_TRACE(L"(%d) %S is a link, a FIFO or a directory; it is not written.",
                       static_cast<int>(TERN_ERROR_ACCESS_DENIED), path);
            return Fail(TERN_ERROR_ACCESS_DENIED);
        }
        return FailErrno(err);
    }
    if (created && ::fchmod(fd.Get(), createMode & 07777) != 0) return FailErrno(errno);
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) return FailErrno(errno);
    // A file of the expected account is one that account could write anyway. Any other owner must be root
    // (or us) and the file must have no second name: a hard link planted here would lead to a file elsewhere.
    bool ownersFile = st.st_uid == ownerUid;
    bool safe = S_ISREG(st.st_mode) && (ownersFile || (TrustedOwner(st.st_uid) && st.st_nlink == 1));
    if (!safe) {
        TERN_TRACE(L"(%d) %S is not a regular file of uid %u or root with a single name; it is not written.",
                   static_cast<int>(TERN_ERROR_ACCESS_DENIED), path, ownerUid);
        return Fail(TERN_ERROR_ACCESS_DENIED);
    }
    // Regular files ignore O_NONBLOCK for writes; cleared anyway so the descriptor behaves as a plain one.
    int flags = ::fcntl(fd.Get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK);
    fd_ = fd.Release();
    return Ok();
}

CKestrelStatus TernAppendFile::Write(std::string_view data) {
    if (fd_ < 0) return Fail(TERN_ERROR_INVALID_HANDLE);
    for (;;) {
        ssize_t n = ::write(fd_, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FailErrno(errno);
        if (static_cast<size_t>(n) != data.size()) return Fail(TERN_ERROR_DISK_FULL);
        return Ok();
    }
}

bool TernAccountUid(std::wstring_view user, std::wstring_view domain, uint32_t& uid) {
    if (user.empty()) return false;
    for (const std::string& name : TernLogonNames(user, domain)) {
        tern_posix::PasswdEntry entry;
        if (tern_posix::LookUpAccount(name, entry) == 0) {
            uid = entry.uid;
            return true;
        }
    }
    return false;
}

std::string TernUnsafeOwnership(const std::string& path, bool* missing) {
    if (missing != nullptr) *missing = false;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (missing != nullptr) *missing = errno == ENOENT;
        return std::string("cannot be looked up: ") + strerror(errno);
    }
    return Judge(st);
}

std::string TernUnsafeOwnershipFd(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::string("cannot be looked up: ") + strerror(errno);
    return Judge(st);
}

bool TernMakeDirectories(const std::string& path, uint32_t mode) {
    if (path.empty()) return errno = ENOENT, false;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) || (errno = ENOTDIR, false);
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !TernMakeDirectories(path.substr(0, slash), mode))
        return false;
    if (::mkdir(path.c_str(), mode & 07777) != 0) return errno == EEXIST;
    // The umask may have taken bits away: the directory gets exactly the mode asked for. Opened without
    // following links, so a link put in its place meanwhile is not changed instead.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return fd.Valid() && ::fchmod(fd.Get(), mode & 07777) == 0;
}
