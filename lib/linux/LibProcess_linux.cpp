#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
#include "LibPidfd_linux.h"
#include "LibPosix_linux.h"
#include "LibProcess.h"
#include "LibWide.h"

using namespace tern_posix;

namespace {

// The readlink buffer grows in steps of this many characters until the path fits.
constexpr size_t kPathStep = 1024;

// "/proc/PID/leaf" into buf without allocating (leaf: at most 7 characters); returns buf.
const char* ProcPathInto(char (&buf)[32], uint32_t pid, const char* leaf) {
    std::memcpy(buf, "/proc/", 6);
    char* end = std::to_chars(buf + 6, buf + 6 + 10, pid).ptr;
    *end++ = '/';
    const size_t n = std::strlen(leaf);
    std::memcpy(end, leaf, n + 1);
    return buf;
}

// Trace lines written on behalf of another operation of this class carry that operation's name.
#define AS_TRACE(function, format, ...) \
    TernLogger().Trace(__FILE__, __LINE__, function, format __VA_OPT__(, ) __VA_ARGS__)

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
    TernPidfd pidfd;
    if (pid > static_cast<uint32_t>(INT_MAX)) {
        errno = ESRCH;
    } else {
        pidfd = TernPidfd::Open(static_cast<pid_t>(pid));
    }
    if (!pidfd.Valid()) {
        CKestrelStatus st = FailErrno(errno);
        TERN_TRACE(L"(%d) Failed to open the process %d.", st.GetError(), pid);
        return st;
    }
    if (inherit) {
        int flags = ::fcntl(pidfd.Get(), F_GETFD);
        if (flags >= 0) ::fcntl(pidfd.Get(), F_SETFD, flags & ~FD_CLOEXEC);
    }
    TernWin32Object::Attach(pidfd.Release());
    pid_ = pid;
    return Ok();
}

CKestrelStatus TernProcess::CheckStillAlive() {
    if (TernPidfd::Alive(fd_)) return Ok();
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
    CKestrelStatus st;
    char link[32];
    ProcPathInto(link, pid_, "exe");
    std::string buf;
    for (size_t size = kPathStep;; size += kPathStep) {
        buf.resize(size);
        ssize_t n = ::readlink(link, buf.data(), size);
        if (n < 0) {
            int err = errno;
            // An ended process has no image to read: it is reported as gone, not as a link that cannot be
            // read (the poll after the failed read answers what a poll before it would have).
            if (!TernPidfd::Alive(fd_)) {
                st = Fail(TERN_ERROR_INVALID_PARAMETER);
                TERN_TRACE(L"(%d) EnumProcessModules failed. pid=%d", st.GetError(), pid_);
                return st;
            }
            st = FailErrno(err);
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
    char path[32];
    CKestrelStatus st;
    int err = 0;
    // Asked of the pidfd where the kernel can answer; else read from /proc/PID/status, which the process
    // must have outlived.
    uint32_t effective = 0;
    if (TernPidfd::EffectiveUid(fd_, effective, err)) {
        // The pidfd answers only for its own process, never for a later one with the same PID; a process
        // that has ended (a zombie still answers) has no owner to report.
        st = CheckStillAlive();
        if (st.IsSuccess()) {
            uid = effective;
            return Ok();
        }
    } else if (err == ESRCH) {
        st = Fail(TERN_ERROR_INVALID_PARAMETER);  // reaped
    } else if (std::string text; !ReadSmallProcFile(ProcPathInto(path, pid_, "status"), text, err)) {
        st = TernPidfd::Alive(fd_) ? FailErrno(err) : Fail(TERN_ERROR_INVALID_PARAMETER);
    } else if (st = CheckStillAlive(); st.IsSuccess()) {
        // "Uid:\treal\teffective\tsaved\tfs"
        size_t at = text.find("\nUid:");
        char* end = nullptr;
        if (at != std::string::npos) {
            const char* p = text.c_str() + at + 5;
            std::strtoul(p, &end, 10);
            const char* q = end;
            unsigned long value = std::strtoul(q, &end, 10);
            if (end != q) {
                uid = static_cast<uint32_t>(value);
                return Ok();
            }
        }
        st = Fail(TERN_ERROR_INTERNAL_ERROR);
    }
    TERN_TRACE(L"(%d) GetToken failed. pid=%d", st.GetError(), pid_);
    return st;
}

CKestrelStatus TernProcess::GetUserName(std::wstring& domain, std::wstring& user, TernScanCache* cache) {
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
    if (cache) {
        if (auto it = cache->accounts_.find(uid); it != cache->accounts_.end()) {
            if (it->second.error != 0) {
                st = Fail(it->second.error);
                TERN_TRACE(L"(%d) LookupAccountSid failed. pid=%d", st.GetError(), pid_);
                return st;
            }
            domain = it->second.domain;
            user = it->second.user;
            return Ok();
        }
    }
    PasswdEntry found;
    int rc = LookUpAccount(static_cast<uid_t>(uid), found);
    if (rc != 0) {
        // No entry (or an NSS source that reports "not found" as an error): the uid has no name.
        const bool unnamed = rc == ENOENT || rc == ESRCH || rc == EBADF || rc == EPERM;
        st = unnamed ? Fail(TERN_ERROR_NONE_MAPPED) : FailErrno(rc);
        // Only the answer "no name" is kept: another failure may pass.
        if (cache && unnamed) cache->accounts_[uid].error = TERN_ERROR_NONE_MAPPED;
        TERN_TRACE(L"(%d) LookupAccountSid failed. pid=%d", st.GetError(), pid_);
        return st;
    }
    TernSplitAccountName(found.name, cache ? cache->HostShortNameUpper() : TernHostShortNameUpper(), domain,
                         user);
    if (cache) cache->accounts_[uid] = TernScanCache::Account{0, domain, user};
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
    if (TernPidfd::SendSignal(fd_, SIGKILL) != 0) {
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
    std::string raw;
    CKestrelStatus st = PeekExeName(pid, raw);
    if (st.IsSuccess()) TernMbToWide(raw, path);
    return st;
}

CKestrelStatus TernProcess::PeekExeName(uint32_t pid, std::string& path) {
    path.clear();
    // Called for every process of a walk: no allocation beyond path's own, no descriptor.
    char link[32];
    ProcPathInto(link, pid, "exe");
    char buf[PATH_MAX];
    ssize_t n = ::readlink(link, buf, sizeof buf);
    if (n < 0) return FailErrno(errno);
    if (static_cast<size_t>(n) < sizeof buf) {
        path.assign(buf, static_cast<size_t>(n));
        return Ok();
    }
    // Possibly cut: the rare long path takes the growing read.
    for (size_t size = 2 * sizeof buf;; size += kPathStep) {
        path.resize(size);
        n = ::readlink(link, path.data(), size);
        if (n < 0) {
            path.clear();
            return FailErrno(errno);
        }
        if (static_cast<size_t>(n) < size) break;
    }
    path.resize(static_cast<size_t>(n));
    return Ok();
}

CKestrelStatus TernProcess::ConfirmPeekFailure(uint32_t pid, const CKestrelStatus& peek,
                                               TernScanCache* cache) {
    // The lines are those that GetExeName(pid, ...) writes in the same case, under the names of the
    // operations that write them there.
    constexpr std::string_view kOpen = "TernProcess::Open";
    constexpr std::string_view kGetExeName = "TernProcess::GetExeName";
    char path[32];
    CKestrelStatus st;
    if (peek.GetError() == TernErrnoToError(ENOENT)) {
        // No image. A running process without one (a kernel thread) is a child of the kernel's thread
        // starter, read once per walk, or still has a working directory; a process that has ended (zombie or
        // gone) has neither.
        char cwd[8];
        if ((cache && cache->IsKernelThread(pid)) ||
            ::readlink(ProcPathInto(path, pid, "cwd"), cwd, sizeof cwd) >= 0) {
            st = Fail(peek.GetError());
            AS_TRACE(kGetExeName, L"(%d) GetModuleFileNameEx failed. pid=%d", st.GetError(), pid);
            return st;
        }
    } else {
        // Readable or not, a process that is still listed has either run on (the failure stands) or ended.
        ProcStat ps;
        int err = 0;
        if (ReadProcStat(static_cast<pid_t>(pid), ps, err) && ps.state != 'Z' && ps.state != 'X') {
            st = Fail(peek.GetError());
            AS_TRACE(kGetExeName, L"(%d) GetModuleFileNameEx failed. pid=%d", st.GetError(), pid);
            return st;
        }
    }
    // Ended: a zombie is still listed (a pidfd would open and report it ended), a reaped one is not.
    struct stat info {};
    if (::stat(ProcPathInto(path, pid, ""), &info) == 0) {
        st = Fail(TERN_ERROR_INVALID_PARAMETER);
        AS_TRACE(kGetExeName, L"(%d) EnumProcessModules failed. pid=%d", st.GetError(), pid);
        return st;
    }
    st = FailErrno(ESRCH);
    AS_TRACE(kOpen, L"(%d) Failed to open the process %d.", st.GetError(), pid);
    return st;
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

bool TernScanCache::IsKernelThread(uint32_t pid) {
    if (threadsState_ == Threads::kUnread) {
        // Every kernel thread but the starter itself (PID 2) is a child of the starter's one thread. The
        // list may miss a thread that starts or ends while it is read; that one is asked about singly.
        std::string text;
        int err = 0;
        threadsState_ = Threads::kUnavailable;
        if (ReadSmallProcFile("/proc/2/task/2/children", text, err)) {
            threadsState_ = Threads::kRead;
            const char* p = text.c_str();
            const char* end = p + text.size();
            while (p < end) {
                uint32_t v = 0;
                auto r = std::from_chars(p, end, v);
                if (r.ec == std::errc()) kernelThreads_.push_back(v);
                p = r.ptr + 1;
            }
            std::sort(kernelThreads_.begin(), kernelThreads_.end());
        }
    }
    return threadsState_ == Threads::kRead &&
           std::binary_search(kernelThreads_.begin(), kernelThreads_.end(), pid);
}

const std::wstring& TernScanCache::HostShortNameUpper() {
    if (!haveHost_) {
        host_ = TernHostShortNameUpper();
        haveHost_ = true;
    }
    return host_;
}

std::wstring TernHostShortNameUpper() {
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) != 0) return {};
    std::string_view h(host);
    h = h.substr(0, h.find('.'));
    return TernToUpper(TernMbToWide(h));
}
