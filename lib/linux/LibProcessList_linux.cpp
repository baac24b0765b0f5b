#include <dirent.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <utility>

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

CKestrelStatus TernProcessList::GetFirst(uint32_t& pid) {
    pid = 0xFFFFFFFFu;
    if (!open_) {
        TernReportAssertion(__FILE__, __LINE__);
        return Fail(TERN_ERROR_INVALID_HANDLE);
    }
    next_ = 0;
    if (next_ >= pids_.size()) {
        TERN_TRACE(L"(%d) Process32First failed.", TERN_ERROR_NO_MORE_FILES);
        return Fail(TERN_ERROR_NO_MORE_FILES);
    }
    pid = pids_[next_++];
    return Ok();
}

CKestrelStatus TernProcessList::GetNext(uint32_t& pid) {
    pid = 0xFFFFFFFFu;
    if (!open_) {
        TernReportAssertion(__FILE__, __LINE__);
        return Fail(TERN_ERROR_INVALID_HANDLE);
    }
    if (next_ >= pids_.size()) {
        TERN_TRACE(L"(%d) Process32Next failed.", TERN_ERROR_NO_MORE_FILES);
        return Fail(TERN_ERROR_NO_MORE_FILES);
    }
    pid = pids_[next_++];
    return Ok();
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
