#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "LibError.h"
#include "LibLogger.h"
#include "LibPosix_linux.h"
#include "LibProcess.h"
#include "LibWide.h"

using namespace tern_posix;

namespace {

// The readlink buffer grows in steps of this many characters until the path fits.
constexpr size_t kPathStep = 1024;

std::string ProcPath(uint32_t pid, const char* leaf) {
    return "/proc/" + std::to_string(pid) + "/" + leaf;
}

}  // namespace

TernProcess::TernProcess(TernProcess&& other) noexcept
    : TernSyncObject(std::move(other)),
      pid_(std::exchange(other.pid_, kNoPid)),
      exeName_(std::exchange(other.exeName_, {})) {}

TernProcess& TernProcess::operator=(TernProcess&& other) noexcept {
    if (this != &other) {
        TernProcess::Close();
        TernSyncObject::operator=(std::move(other));
        pid_ = std::exchange(other.pid_, kNoPid);
        exeName_ = std::exchange(other.exeName_, {});
    }
    return *this;
}

TernProcess::~TernProcess() {
    TernProcess::Close();
}

CKestrelStatus TernProcess::Close() {
    TernWin32Object::Close();
    pid_ = kNoPid;
    exeName_.clear();
    return Done();
}

CKestrelStatus TernProcess::Attach(int fd) {
    TernProcess::Close();
    TernWin32Object::Attach(fd);
    std::string info;
    int err = 0;
    if (fd >= 0 && ReadFileAt(AT_FDCWD, "/proc/self/fdinfo/" + std::to_string(fd), info, err)) {
        size_t at = info.find("\nPid:");
        if (at != std::string::npos) {
            long v = std::strtol(info.c_str() + at + 5, nullptr, 10);
            if (v > 0) pid_ = static_cast<uint32_t>(v);  // -1 once the process has been reaped
        }
    }
    return Done();
}

int TernProcess::Detach() {
    pid_ = kNoPid;
    exeName_.clear();
    return TernWin32Object::Detach();
}

CKestrelStatus TernProcess::Open(uint32_t pid, bool inherit, uint32_t /*access*/) {
    TernProcess::Close();
    int fd = pid > static_cast<uint32_t>(INT_MAX) ? (errno = ESRCH, -1) : PidfdOpen(static_cast<pid_t>(pid));
    if (fd < 0) {
        CKestrelStatus st = FailErrno(errno);
        TERN_TRACE(L"(%d) Failed to open the process %d.", st.GetError(), pid);
        return st;
    }
    if (inherit) {
        int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0) ::fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);
    }
    TernWin32Object::Attach(fd);
    pid_ = pid;
    return Ok();
}

CKestrelStatus TernProcess::CheckStillAlive() {
    if (PidfdAlive(fd_)) return Ok();
    return Fail(TERN_ERROR_INVALID_PARAMETER);
}

CKestrelStatus TernProcess::GetExeName(std::wstring& path) {
    path.clear();
    if (!IsValid()) {
        TernReportAssertion(__FILE__, __LINE__);
        return Fail(TERN_ERROR_INVALID_HANDLE);
    }
    if (!exeName_.empty()) {
        path = exeName_;
        return Ok();
    }
    // An ended process has no image to read; checked first so that it is reported as gone, not as a link
    // that cannot be read.
    CKestrelStatus st = CheckStillAlive();
    if (st.IsFailure()) {
        TERN_TRACE(L"(%d) EnumProcessModules failed. pid=%d", st.GetError(), pid_);
        return st;
    }
    const std::string link = ProcPath(pid_, "exe");
    std::string buf;
    for (size_t size = kPathStep;; size += kPathStep) {
        buf.resize(size);
        ssize_t n = ::readlink(link.c_str(), buf.data(), size);
        if (n < 0) {
            int err = errno;
            st = PidfdAlive(fd_) ? FailErrno(err) : Fail(TERN_ERROR_INVALID_PARAMETER);
            TERN_TRACE(L"(%d) GetModuleFileNameEx failed. pid=%d", st.GetError(), pid_);
            return st;
        }
        // A result that fills the buffer may have been cut: try again with more room.
        if (static_cast<size_t>(n) < size) {
            buf.resize(static_cast<size_t>(n));
            break;
        }
    }
    // The link was read through the PID; it is this process's only if the process outlived the read.
    st = CheckStillAlive();
    if (st.IsFailure()) {
        TERN_TRACE(L"(%d) GetModuleFileNameEx failed. pid=%d", st.GetError(), pid_);
        return st;
    }
    exeName_ = TernMbToWide(buf);
    path = exeName_;
    return Ok();
}

CKestrelStatus TernProcess::GetUserId(uint32_t& uid) {
    if (!IsValid()) {
        TernReportAssertion(__FILE__, __LINE__);
        return Fail(TERN_ERROR_INVALID_HANDLE);
    }
    std::string text;
    int err = 0;
    CKestrelStatus st;
    if (!ReadFileAt(AT_FDCWD, ProcPath(pid_, "status"), text, err)) {
        st = PidfdAlive(fd_) ? FailErrno(err) : Fail(TERN_ERROR_INVALID_PARAMETER);
    } else if (st = CheckStillAlive(); st.IsSuccess()) {
        // "Uid:\treal\teffective\tsaved\tfs"
        size_t at = text.find("\nUid:");
        char* end = nullptr;
        if (at != std::string::npos) {
            const char* p = text.c_str() + at + 5;
            std::strtoul(p, &end, 10);
            const char* q = end;
            unsigned long effective = std::strtoul(q, &end, 10);
            if (end != q) {
                uid = static_cast<uint32_t>(effective);
                return Ok();
            }
        }
        st = Fail(TERN_ERROR_INTERNAL_ERROR);
    }
    TERN_TRACE(L"(%d) GetToken failed. pid=%d", st.GetError(), pid_);
    return st;
}

CKestrelStatus TernProcess::GetUserName(std::wstring& domain, std::wstring& user) {
    domain.clear();
    user.clear();
    if (!IsValid()) {
        TernReportAssertion(__FILE__, __LINE__);
        return Fail(TERN_ERROR_INVALID_HANDLE);
    }
    uint32_t uid = 0;
    CKestrelStatus st = GetUserId(uid);
    if (st.IsFailure()) {
        TERN_TRACE(L"(%d) GetUserSid failed. pid=%d", st.GetError(), pid_);
        return st;
    }
    PasswdEntry found;
    int rc = LookUpAccount(static_cast<uid_t>(uid), found);
    if (rc != 0) {
        // No entry (or an NSS source that reports "not found" as an error): the uid has no name.
        st = (rc == ENOENT || rc == ESRCH || rc == EBADF || rc == EPERM) ? Fail(TERN_ERROR_NONE_MAPPED)
                                                                         : FailErrno(rc);
        TERN_TRACE(L"(%d) LookupAccountSid failed. pid=%d", st.GetError(), pid_);
        return st;
    }
    TernSplitAccountName(found.name, TernHostShortNameUpper(), domain, user);
    return Ok();
}

CKestrelStatus TernProcess::IsAlive(bool& alive) {
    if (!IsValid()) {
        TernReportAssertion(__FILE__, __LINE__);
        return Fail(TERN_ERROR_INVALID_HANDLE);
    }
    pollfd p{fd_, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        CKestrelStatus st = FailErrno(errno);
        TERN_TRACE(L"(%d) GetExitCodeProcess failed. pid=%d", st.GetError(), pid_);
        return st;
    }
    alive = r == 0;
    return Ok();
}

CKestrelStatus TernProcess::Terminate(uint32_t /*exitCode*/) {
    if (!IsValid()) {
        TernReportAssertion(__FILE__, __LINE__);
        return Fail(TERN_ERROR_INVALID_HANDLE);
    }
    if (PidfdSendSignal(fd_, SIGKILL) != 0) {
        CKestrelStatus st = FailErrno(errno);
        TERN_TRACE(L"(%d) Failed to terminate the process %d.", st.GetError(), pid_);
        return st;
    }
    return Ok();
}

CKestrelStatus TernProcess::GetExeName(uint32_t pid, std::wstring& path) {
    path.clear();
    TernProcess p;
    CKestrelStatus st = p.Open(pid, false, kAccessQuery);
    if (st.IsFailure()) return st;
    return p.GetExeName(path);
}

CKestrelStatus TernProcess::PeekExeName(uint32_t pid, std::wstring& path) {
    path.clear();
    // Called for every process of a walk: no allocation beyond path's own, no descriptor.
    char link[32] = "/proc/";
    char* end = std::to_chars(link + 6, link + sizeof link - 5, pid).ptr;
    std::memcpy(end, "/exe", 5);
    char buf[PATH_MAX];
    ssize_t n = ::readlink(link, buf, sizeof buf);
    if (n < 0) return FailErrno(errno);
    if (static_cast<size_t>(n) == sizeof buf) {
        // Possibly cut: the rare long path takes the growing read.
        std::string longPath;
        for (size_t size = 2 * sizeof buf;; size += kPathStep) {
            longPath.resize(size);
            n = ::readlink(link, longPath.data(), size);
            if (n < 0) return FailErrno(errno);
            if (static_cast<size_t>(n) < size) break;
        }
        longPath.resize(static_cast<size_t>(n));
        TernMbToWide(longPath, path);
        return Ok();
    }
    TernMbToWide(std::string_view(buf, static_cast<size_t>(n)), path);
    return Ok();
}

CKestrelStatus TernProcess::GetUserName(uint32_t pid, std::wstring& domain, std::wstring& user) {
    domain.clear();
    user.clear();
    TernProcess p;
    CKestrelStatus st = p.Open(pid, false, kAccessQuery);
    if (st.IsFailure()) return st;
    return p.GetUserName(domain, user);
}

CKestrelStatus TernProcess::EnablePrivilege(uint32_t pid, const wchar_t* privilegeName, bool /*enable*/) {
    if (privilegeName == nullptr) {
        TernReportAssertion(__FILE__, __LINE__);
        return Fail(TERN_ERROR_INVALID_PARAMETER);
    }
    // Linux needs no privilege switched to signal a process the caller may signal; opening keeps the
    // step's observable result (a vanished process fails with 87).
    TernProcess p;
    return p.Open(pid, false, kAccessAll);
}

void TernSplitAccountName(std::string_view name, std::wstring_view hostShortUpper, std::wstring& domain,
                          std::wstring& user) {
    size_t bs = name.find('\\');
    if (bs != std::string_view::npos && bs > 0 && bs + 1 < name.size()) {
        domain = TernMbToWide(name.substr(0, bs));
        user = TernMbToWide(name.substr(bs + 1));
        return;
    }
    size_t at = name.rfind('@');
    if (at != std::string_view::npos && at > 0 && at + 1 < name.size()) {
        user = TernMbToWide(name.substr(0, at));
        domain = TernMbToWide(name.substr(at + 1));
        return;
    }
    domain.assign(hostShortUpper);
    user = TernMbToWide(name);
}

std::wstring TernHostShortNameUpper() {
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) != 0) return {};
    std::string_view h(host);
    h = h.substr(0, h.find('.'));
    return TernToUpper(TernMbToWide(h));
}
