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

bool MakeDirectories(const std::string& path) {
    if (path.empty()) return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) || (errno = ENOTDIR, false);
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(path.substr(0, slash))) return false;
    return ::mkdir(path.c_str(), 0750) == 0 || errno == EEXIST;
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

// Reads a whole (small) file. Returns false on a read error; a missing file gives false with errno ENOENT.
bool ReadFile(const std::string& path, std::string& out) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buffer, static_cast<size_t>(n));
        if (out.size() > (1u << 20)) return errno = EFBIG, false;  // no cookie is this big
    }
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
    if (!good) {
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
    std::string payload = TernWideToUtf8(*value);
    char header[64];
    snprintf(header, sizeof header, "cairn-cookie 1 %zu %08" PRIx32 "\n", payload.size(), Crc32(payload));
    // Temporary names start with '.', which no cookie file name does; readers therefore see the old or the
    // new file, never a partial one.
    std::string temp = dir + "/." + CookieFileName(name) + ".tmp" + std::to_string(::getpid()) + "-" +
                       std::to_string(static_cast<long>(::gettid()));
    bool ok = MakeDirectories(dir);
    if (ok) {
        UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640));
        ok = fd.valid() && WriteAll(fd.get(), header) && WriteAll(fd.get(), payload) &&
             ::fsync(fd.get()) == 0 && fd.Close() && ::rename(temp.c_str(), path.c_str()) == 0;
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
