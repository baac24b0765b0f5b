#include "LibPosix_linux.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
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

// The reentrant NSS calls are thread-safe in glibc's own modules, but not in every NSS module (the test
// suite's NSS wrapper answers "no such account" now and then when two threads ask at once). Entry points
// run concurrently, so every account and group-list read of this process goes through one lock.
std::mutex g_accountDatabase;

// Runs lookup (a getpw*_r call) with a buffer grown on ERANGE and copies the entry it found.
template <class Lookup>
int LookUpWith(Lookup lookup, PasswdEntry& out) {
    std::lock_guard lock(g_accountDatabase);
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

bool LookUpGroups(const std::string& name, gid_t gid, std::vector<gid_t>& groups) {
    std::lock_guard lock(g_accountDatabase);
    int count = 32;
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::vector<gid_t> list(static_cast<size_t>(count));
        int n = count;
        if (::getgrouplist(name.c_str(), gid, list.data(), &n) >= 0) {
            list.resize(static_cast<size_t>(n));
            groups = std::move(list);
            return true;
        }
        count = n > count ? n : count * 2;  // n holds the size needed
    }
    return false;
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
