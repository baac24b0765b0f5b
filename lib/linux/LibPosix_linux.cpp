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

bool ReadProcStat(pid_t pid, ProcStat& out, int& err) {
    std::string text;
    if (!ReadFileAt(AT_FDCWD, "/proc/" + std::to_string(pid) + "/stat", text, err)) return false;
    if (!ParseProcStat(text, out)) {
        err = EINVAL;
        return false;
    }
    return true;
}

}  // namespace tern_posix
