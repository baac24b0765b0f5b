#include "LibPosix_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

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

namespace {

// Runs lookup (a getpw*_r call) with a buffer grown on ERANGE and copies the entry it found.
template <class Lookup>
int LookUpWith(Lookup lookup, PasswdEntry& out) {
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 4096);
    for (;;) {
        passwd pw{};
        passwd* found = nullptr;
        int rc = lookup(&pw, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0) return rc;
        if (!found) return ENOENT;
        out.uid = pw.pw_uid;
        out.gid = pw.pw_gid;
        out.name = pw.pw_name;
        out.home = pw.pw_dir ? pw.pw_dir : "";
        out.shell = pw.pw_shell ? pw.pw_shell : "";
        return 0;
    }
}

}  // namespace

int LookUpAccount(const std::string& name, PasswdEntry& out) {
    return LookUpWith([&](passwd* pw, char* buf, size_t size,
                          passwd** found) { return ::getpwnam_r(name.c_str(), pw, buf, size, found); },
                      out);
}

int LookUpAccount(uid_t uid, PasswdEntry& out) {
    return LookUpWith([&](passwd* pw, char* buf, size_t size,
                          passwd** found) { return ::getpwuid_r(uid, pw, buf, size, found); },
                      out);
}

bool FindProgram(const std::string& name, std::string_view searchPath, std::string& path) {
    if (name.find('/') != std::string::npos) {
        path = name;
        return true;
    }
    size_t start = 0;
    for (;;) {
        size_t end = searchPath.find(':', start);
        std::string_view dir = searchPath.substr(start, end == std::string_view::npos ? end : end - start);
        std::string candidate = (dir.empty() ? std::string(".") : std::string(dir)) + "/" + name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            path = std::move(candidate);
            return true;
        }
        if (end == std::string_view::npos) return false;
        start = end + 1;
    }
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

bool ParseProcStat(const std::string& text, ProcStat& out) {
    // The command name is in parentheses and may itself contain ") "; the fields follow the last ')'.
    size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) return false;
    size_t pos = close + 2;
    out.state = text[pos];
    // Field 3 is the state; field 22 is the 19th blank-separated field after it.
    for (int field = 3; field < 22; ++field) {
        pos = text.find(' ', pos);
        if (pos == std::string::npos) return false;
        ++pos;
    }
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str() + pos, &end, 10);
    if (end == text.c_str() + pos) return false;
    out.startTime = v;
    return true;
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

int PidfdOpen(pid_t pid) {
    // Called through syscall: this C library's header lacks C++ linkage for the pidfd wrappers.
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0u));
}

int PidfdSendSignal(int pidfd, int sig) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0u));
}

bool PidfdAlive(int pidfd) {
    pollfd p{pidfd, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    return r == 0;
}

}  // namespace tern_posix
