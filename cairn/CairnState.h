// Internal state of the stand-in framework, shared by its source files. Not installed, not for agents.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "CairnApi.h"
#include "CairnHost.h"

struct CairnCluster {
    uint64_t serial;
};

struct CairnRegistration {
    std::string type;
    std::string attribute;
    CairnObjCallback callback;
};

namespace cairn::detail {

// Windows-numbered codes the framework reports that the platform library has no name for.
inline constexpr uint32_t kCodeNotFound = 1168;           // ERROR_NOT_FOUND
inline constexpr uint32_t kCodeServerUnavailable = 1722;  // RPC_S_SERVER_UNAVAILABLE
inline constexpr uint32_t kCodeNoUnicodeTranslation = 1113;

struct CookieEntry {
    std::optional<std::wstring> value;  // nullopt: known to be absent
};

// Everything behind one mutex; logging has its own (LogMutex) so that a slow disk never holds up handles.
struct State {
    std::mutex mu;
    FrameworkSettings settings;
    int initCount = 0;
    uint64_t nextSerial = 1;
    std::map<CairnCluster*, std::unique_ptr<CairnCluster>> clusters;
    std::map<CairnRegistration*, std::unique_ptr<CairnRegistration>> registrations;
    // Cookies have their own mutex, as their file writes are slow (fsync). Order: mu before cookieMu.
    std::mutex cookieMu;
    std::string cookieDir;  // state directory the cookies belong to
    std::map<std::string, CookieEntry> cookies;
    std::unordered_set<void*> cookieCopies;  // handed out by CairnAgGetCookie, not yet freed
    std::optional<EntryPointTable> entryPoints;
    std::optional<EntryPointTable> extensions;
    ResourceTypeResolver resolver;  // asked for resources the settings do not name  // registered with
                                    // version kCairnEPExtensions
#ifdef KESTREL_TEST_HOOKS
    Faults faults;
#endif
};

// The one instance. Never destroyed, so calls made during process exit stay safe.
State& GetState();

// Sets the calling thread's error record.
void SetError(int32_t number, uint32_t code, std::string_view message);

// The calling thread's context.
ThreadContext& CurrentContext();

// Agent log and debug log (CairnLog.cpp).
void SetLogCategory(uint32_t category);
void SetLogDirectory(const std::string& logDir);
void WriteAgentLog(uint32_t severity, const char* tag, uint32_t messageId, const wchar_t* text, bool console);
// A WARNING from the framework itself (tag "cairn"), e.g. about a damaged cookie file.
void WriteFrameworkWarning(uint32_t messageId, const std::string& text);
void WriteDebugLog(uint32_t debugTag, const char* function, const char* sourcePath, uint32_t line,
                   uint32_t flags, const wchar_t* text);
void ResetLog();

// Modes of what the framework creates, whatever the umask: nothing of it is writable by other accounts.
inline constexpr unsigned kDirectoryMode = 0750;
inline constexpr unsigned kLogFileMode = 0640;
inline constexpr unsigned kStateFileMode = 0600;  // cookies

// Creates a directory and its missing parents with kDirectoryMode. Returns false on failure (errno set).
bool MakeDirectories(const std::string& path);

// Cookie persistence (CairnCookies.cpp). Called with State::cookieMu held.
std::optional<std::wstring> LoadCookieFile(const std::string& stateDir, const std::string& name);
void StoreCookieFile(const std::string& stateDir, const std::string& name,
                     const std::optional<std::wstring>& value);
// File name of a cookie under <stateDir>/cookies/ (bytes outside [A-Za-z0-9_-] become %XX).
std::string CookieFileName(std::string_view name);

// A malloc'd attribute record holding one integer (freed with CairnFreeAttr), or null when out of memory.
CairnAttr* MakeIntAttr(const std::string& name, int32_t value);

// Owns a file descriptor.
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd();
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up to the caller.
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now; returns false when close failed.
    bool Close();

  private:
    int fd_;
};

// Opens path for appending: created with exactly mode when missing; never through a link, never waiting on
// a FIFO, and only a regular file with a single name. An invalid descriptor (errno set) on failure.
int OpenForAppend(const std::string& path, unsigned mode);

// Writes all of data; false on failure (errno set).
bool WriteAll(int fd, std::string_view data);

}  // namespace cairn::detail
