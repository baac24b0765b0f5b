#include <dirent.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "LibError.h"
#include "LibLogger.h"
#include "LibPosix_linux.h"
#include "LibProcessList.h"

using namespace tern_posix;

TernProcessList::TernProcessList(bool openNow) {
    if (openNow) Open();
}

CKestrelStatus TernProcessList::Close() {
    pids_.clear();
    next_ = 0;
    open_ = false;
    return Done();
}

CKestrelStatus TernProcessList::Open() {
    Close();
    UniqueDir dir(::opendir("/proc"));
    if (!dir) {
        CKestrelStatus st = FailErrno(errno);
        TERN_TRACE(L"(%d) CreateToolhelp32SnapShot failed.", st.GetError());
        return st;
    }
    for (;;) {
        errno = 0;
        dirent* e = ::readdir(dir.get());
        if (e == nullptr) {
            if (errno != 0) {
                CKestrelStatus st = FailErrno(errno);
                pids_.clear();
                TERN_TRACE(L"(%d) CreateToolhelp32SnapShot failed.", st.GetError());
                return st;
            }
            break;
        }
        const char* n = e->d_name;
        if (*n < '0' || *n > '9') continue;
        char* end = nullptr;
        unsigned long v = std::strtoul(n, &end, 10);
        if (*end == '\0' && v <= 0xFFFFFFFEul) pids_.push_back(static_cast<uint32_t>(v));
    }
    // Ascending PIDs, like a process table listing; readdir order is not defined.
    std::sort(pids_.begin(), pids_.end());
    open_ = true;
    return Ok();
}

namespace {

// The walk step GetFirst (restart) and GetNext share: pid = the PID at next, next moved on; 0 then. Otherwise
// pid = 0xFFFFFFFF and the error the step fails with: 6 (an assertion reported) when the list is not open,
// 18 past the last PID, which the caller traces.
uint32_t TakePid(bool open, const std::vector<uint32_t>& pids, size_t& next, bool restart, uint32_t& pid) {
    pid = 0xFFFFFFFFu;
    if (!open) {
        TernReportAssertion(__FILE__, __LINE__);
        return TERN_ERROR_INVALID_HANDLE;
    }
    if (restart) next = 0;
    if (next >= pids.size()) return TERN_ERROR_NO_MORE_FILES;
    pid = pids[next++];
    return 0;
}

}  // namespace

CKestrelStatus TernProcessList::GetFirst(uint32_t& pid) {
    uint32_t error = TakePid(open_, pids_, next_, true, pid);
    if (error == TERN_ERROR_NO_MORE_FILES) TERN_TRACE(L"(%d) Process32First failed.", error);
    return error == 0 ? Ok() : Fail(error);
}

CKestrelStatus TernProcessList::GetNext(uint32_t& pid) {
    uint32_t error = TakePid(open_, pids_, next_, false, pid);
    if (error == TERN_ERROR_NO_MORE_FILES) TERN_TRACE(L"(%d) Process32Next failed.", error);
    return error == 0 ? Ok() : Fail(error);
}

void TernGetOsVersion(uint32_t& major, uint32_t& minor) {
    // The running kernel's release cannot change while this process runs: read once.
    static const std::pair<uint32_t, uint32_t> release = [] {
        std::pair<uint32_t, uint32_t> r{0, 0};
        utsname u{};
        if (::uname(&u) != 0) return r;
        char* end = nullptr;
        r.first = static_cast<uint32_t>(std::strtoul(u.release, &end, 10));
        if (end && *end == '.') r.second = static_cast<uint32_t>(std::strtoul(end + 1, nullptr, 10));
        return r;
    }();
    major = release.first;
    minor = release.second;
}
