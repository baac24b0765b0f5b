// Cookie files under <state_dir>/cookies/, and the small file helpers of the framework.
//
// File format: a header line "cairn-cookie 1 <payload bytes> <crc32 hex>\n", then the value as UTF-8.
// The length and checksum let a truncated or overwritten file be recognised as damaged.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "CairnState.h"
#include "LibSafeFile.h"
#include "LibWide.h"

namespace cairn::detail {

UniqueFd::~UniqueFd() {
    Close();
}

bool UniqueFd::Close() {
    if (fd_ < 0) return true;
    int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

int OpenForAppend(const std::string& path, unsigned mode) {
    constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    UniqueFd fd(::open(path.c_str(), kFlags | O_CREAT | O_EXCL, mode));
    if (fd.valid()) {
        if (::fchmod(fd.get(), mode) != 0) return -1;  // the umask may have taken bits away
    } else if (errno == EEXIST) {
        UniqueFd existing(::open(path.c_str(), kFlags));
        if (!existing.valid()) return -1;
        struct stat st {};
        if (::fstat(existing.get(), &st) != 0) return -1;
        // A second name would mean the file is also somewhere else (a hard link planted in a log directory).
        if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return errno = EINVAL, -1;
        return existing.Release();
    }
    return fd.Release();
}

bool MakeDirectories(const std::string& path) {
    return TernMakeDirectories(path, kDirectoryMode);
}

std::string CookieFileName(std::string_view name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (isalnum(c) || c == '_' || c == '-') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

namespace {

uint32_t Crc32(std::string_view data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string CookiePath(const std::string& stateDir, const std::string& name) {
    return stateDir + "/cookies/" + CookieFileName(name);
}

// No cookie is this big; a larger file is not read at all.
constexpr off_t kMaxCookieFile = 1 << 20;

// Reads a whole (small) cookie file: only a regular file, without following a link and without waiting on
// a FIFO. Returns false on a read error; a missing file gives false with errno ENOENT.
bool ReadFile(const std::string& path, std::string& out) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid()) return false;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) return errno = EINVAL, false;
    if (st.st_size > kMaxCookieFile) return errno = EFBIG, false;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buffer, static_cast<size_t>(n));
        if (out.size() > static_cast<size_t>(kMaxCookieFile)) return errno = EFBIG, false;  // grew meanwhile
    }
}

// The value held by a cookie file's content; nullopt when the content is damaged.
std::optional<std::wstring> ParseCookie(const std::string& content) {
    size_t newline = content.find('\n');
    unsigned long long length = 0;
    unsigned int crc = 0;
    int consumed = 0;
    std::wstring value;
    bool good = newline != std::string::npos &&
                sscanf(content.substr(0, newline).c_str(), "cairn-cookie 1 %llu %8x%n", &length, &crc,
                       &consumed) == 2 &&
                static_cast<size_t>(consumed) == newline && content.size() - newline - 1 == length;
    if (good) {
        std::string_view payload(content.data() + newline + 1, length);
        good = Crc32(payload) == crc && TernUtf8ToWide(payload, value);
    }
    if (!good) return std::nullopt;
    return value;
}

}  // namespace

std::optional<std::wstring> LoadCookieFile(const std::string& stateDir, const std::string& name) {
    if (stateDir.empty()) return std::nullopt;
    std::string path = CookiePath(stateDir, name);
    std::string content;
    if (!ReadFile(path, content)) {
        if (errno != ENOENT) {
            WriteFrameworkWarning(90002, "Cookie file " + path + " cannot be read (" + strerror(errno) +
                                             "); the cookie is treated as absent.");
        }
        return std::nullopt;
    }
    std::optional<std::wstring> value = ParseCookie(content);
    if (!value) {
        WriteFrameworkWarning(90001, "Cookie file " + path + " is damaged; the cookie is treated as absent.");
        return std::nullopt;
    }
    return value;
}

void StoreCookieFile(const std::string& stateDir, const std::string& name,
                     const std::optional<std::wstring>& value) {
    if (stateDir.empty()) return;
    std::string dir = stateDir + "/cookies";
    std::string path = CookiePath(stateDir, name);
    if (!value) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            WriteFrameworkWarning(90003, "Cookie file " + path + " cannot be removed: " + strerror(errno));
        }
        return;
    }
    // A file that holds this value already stays as it is: the Monitor stores its countdown on every call,
    // mostly unchanged, and each rewrite would cost an fsync. What is on disk decides (not what this
    // process last saw), so a value another process wrote meanwhile is still replaced.
    if (std::string current; ReadFile(path, current)) {
        if (std::optional<std::wstring> stored = ParseCookie(current); stored && *stored == *value) return;
    }
    std::string payload = TernWideToUtf8(*value);
    char header[64];
    snprintf(header, sizeof header, "cairn-cookie 1 %zu %08" PRIx32 "\n", payload.size(), Crc32(payload));
    // Temporary names start with '.', which no cookie file name does; readers therefore see the old or the
    // new file, never a partial one.
    std::string temp = dir + "/." + CookieFileName(name) + ".tmp" + std::to_string(::getpid()) + "-" +
                       std::to_string(static_cast<long>(::gettid()));
    bool ok = MakeDirectories(dir);
    if (ok) {
        // A stale temporary of a crashed writer is removed; O_EXCL then makes sure nothing planted under the
        // name is written through.
        ::unlink(temp.c_str());
        UniqueFd fd(
            ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kStateFileMode));
        ok = fd.valid() && ::fchmod(fd.get(), kStateFileMode) == 0 && WriteAll(fd.get(), header) &&
             WriteAll(fd.get(), payload) && ::fsync(fd.get()) == 0 && fd.Close() &&
             ::rename(temp.c_str(), path.c_str()) == 0;
        if (ok) {
            UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (dirFd.valid()) ::fsync(dirFd.get());  // makes the rename itself durable
        }
    }
    if (!ok) {
        int saved = errno;
        ::unlink(temp.c_str());
        WriteFrameworkWarning(90004, "Cookie file " + path + " cannot be written (" + strerror(saved) +
                                         "); the value is kept in memory only.");
    }
}

}  // namespace cairn::detail
