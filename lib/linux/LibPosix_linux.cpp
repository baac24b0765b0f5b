#include "LibPosix_linux.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "LibError.h"

namespace tern_posix {

CKestrelStatus Ok() {
    TernSetLastError(0);
    CKestrelStatus st;
    st.Clear();
    return st;
}

CKestrelStatus Done() {
    CKestrelStatus st;
    st.Clear();
    return st;
}

CKestrelStatus Fail(uint32_t error) {
    TernSetLastError(error);
    CKestrelStatus st;
    st.Set(CKestrelStatus::kPlatform, error);
    return st;
}

CKestrelStatus FailErrno(int errnoValue) {
    return Fail(TernErrnoToError(errnoValue));
}

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
    if (this != &o) Reset(o.Release());
    return *this;
}

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

bool ReadFileAt(int dirfd, const std::string& path, std::string& out, int& err) {
    out.clear();
    UniqueFd fd(::openat(dirfd, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd.Valid()) {
        err = errno;
        return false;
    }
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd.Get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            return false;
        }
        if (n == 0) return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

bool ReadSmallProcFile(const char* path, std::string& out, int& err) {
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd.Valid()) {
        err = errno;
        return false;
    }
    out.resize(4096);
    size_t have = 0;
    for (;;) {
        ssize_t n = ::read(fd.Get(), out.data() + have, out.size() - have);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            return false;
        }
        have += static_cast<size_t>(n);
        if (have < out.size()) break;
        out.resize(out.size() * 2);
    }
    out.resize(have);
    return true;
}

bool ReadProcStat(pid_t pid, ProcStat& out, int& err) {
    std::string text;
    if (!ReadSmallProcFile(("/proc/" + std::to_string(pid) + "/stat").c_str(), text, err)) return false;
    if (!ParseProcStat(text, out)) {
        err = EINVAL;
        return false;
    }
    return true;
}

}  // namespace tern_posix
