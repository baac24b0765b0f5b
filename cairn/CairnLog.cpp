// The agent log, the resource debug logs and the collection of agent-log messages for the host.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "CairnState.h"
#include "LibWide.h"

namespace cairn::detail {
namespace {

std::atomic<uint32_t> gCategory{0};

// Serialises file appends, the journal and the listener, so lines of concurrent resources never interleave.
struct LogState {
    std::mutex mu;
    std::string logDir;
    std::vector<LogMessage> journal;
    std::function<void(const LogMessage&)> listener;
    std::function<void(const TraceLine&)> traceListener;
    std::function<void(const std::string&)> consoleWriter;
};

LogState& Log() {
    static LogState* log = new LogState;
    return *log;
}

std::string NowText() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    char buffer[64];
    snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", local.tm_year + 1900,
             local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
             ts.tv_nsec / 1000000);
    return buffer;
}

// Narrow texts from agents are meant to be UTF-8; anything else is taken in the locale's encoding so the
// log and the JSON output stay valid UTF-8.
std::string SafeUtf8(const char* text) {
    if (text == nullptr) return "-";
    std::wstring wide;
    if (TernUtf8ToWide(text, wide)) return text;
    return TernWideToUtf8(TernMbToWide(text));
}

// One log line per message: continuation lines of a multi-line text are indented so every line that
// starts at column 0 is a message of its own.
std::string Indented(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (c == '\n') {
            if (i + 1 == text.size()) break;  // a trailing newline adds nothing readable
            out += "\n    ";
        } else {
            out += c;
        }
    }
    return out;
}

// The resource name itself when it is a safe file name (the host's configuration makes sure of that),
// else its escaped form, so no name can reach outside the resources directory.
std::string FileStem(const std::string& name) {
    bool safe = !name.empty() && name[0] != '.' && name.size() < 200;
    for (char c : name)
        safe = safe && (isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.');
    return safe ? name : CookieFileName(name);
}

// Appends one line; a log that cannot be written is skipped silently (it never fails the caller).
void AppendLine(const std::string& dir, const std::string& file, const std::string& line) {
    if (dir.empty() || !MakeDirectories(dir)) return;
    UniqueFd fd(OpenForAppend(dir + "/" + file, kLogFileMode));
    if (fd.valid()) WriteAll(fd.get(), line);
}

}  // namespace

void SetLogCategory(uint32_t category) {
    gCategory.store(category);
}

void SetLogDirectory(const std::string& logDir) {
    std::lock_guard lock(Log().mu);
    Log().logDir = logDir;
}

void ResetLog() {
    gCategory.store(0);
    std::lock_guard lock(Log().mu);
    Log().journal.clear();
    Log().listener = nullptr;
    Log().traceListener = nullptr;
    Log().consoleWriter = nullptr;
    Log().logDir.clear();
}

void WriteAgentLog(uint32_t severity, const char* tag, uint32_t messageId, const wchar_t* text,
                   bool console) {
    const ThreadContext& context = CurrentContext();
    LogMessage message;
    message.callId = context.callId;
    message.time = NowText();
    message.resource = context.resource;
    message.severity = severity;
    message.category = gCategory.load();
    message.id = messageId;
    message.tag = SafeUtf8(tag);
    message.text = text != nullptr ? TernWideToUtf8(text) : std::string();
    message.console = console;

    std::string line = message.time + " " + SeverityName(severity) + " " + std::to_string(message.category) +
                       "-" + std::to_string(messageId) + " " +
                       (message.resource.empty() ? "-" : message.resource) + " " + message.tag + ": " +
                       Indented(message.text) + "\n";
    LogState& log = Log();
    std::lock_guard lock(log.mu);
    AppendLine(log.logDir, "Kestrel.log", line);
    if (console) {
        if (log.consoleWriter) {
            log.consoleWriter(line);
        } else {
            WriteAll(STDERR_FILENO, line);
        }
    }
    if (log.listener) log.listener(message);
    log.journal.push_back(std::move(message));
}

void WriteFrameworkWarning(uint32_t messageId, const std::string& text) {
    std::wstring wide;
    if (!TernUtf8ToWide(text, wide)) wide = TernMbToWide(text);
    WriteAgentLog(2, "cairn", messageId, wide.c_str(), false);
}

}  // namespace cairn::detail

namespace cairn {

void LogHostMessage(uint32_t severity, uint32_t messageId, const std::string& tag, const std::string& text) {
    std::wstring wide;
    if (!TernUtf8ToWide(text, wide)) wide = TernMbToWide(text);
    detail::WriteAgentLog(severity, tag.c_str(), messageId, wide.c_str(), false);
}

}  // namespace cairn

namespace cairn::detail {

void WriteDebugLog(uint32_t debugTag, const char* function, const char* sourcePath, uint32_t line,
                   uint32_t flags, const wchar_t* text) {
    (void)flags;  // trace and dump lines look alike; the tag (19 or 20) tells them apart
    const ThreadContext& context = CurrentContext();
    std::string logDir;
    std::string fileName;
    {
        State& state = GetState();
        std::lock_guard lock(state.mu);
        logDir = state.settings.logDir;
        std::string type = context.type;
        if (type.empty() && !context.resource.empty()) {
            auto resource = state.settings.resources.find(context.resource);
            if (resource != state.settings.resources.end()) type = resource->second.type;
        }
        auto settings = state.settings.types.find(type);
        if (settings == state.settings.types.end() || settings->second.debugTags.count(debugTag) == 0) return;
        // Lines written outside any resource's entry point (startup, shutdown) go to "@<type>.log";
        // resource names cannot contain '@'.
        fileName = context.resource.empty() ? "@" + type + ".log" : FileStem(context.resource) + ".log";
    }
    const std::string utf8 = text != nullptr ? TernWideToUtf8(text) : std::string();
    std::lock_guard lock(Log().mu);
    if (Log().traceListener) {
        Log().traceListener(TraceLine{context.callId, context.resource, debugTag, SafeUtf8(function), utf8});
    }
    if (logDir.empty()) return;
    std::string entry = NowText() + " DBG" + std::to_string(debugTag) + " " + SafeUtf8(function) + " [" +
                        SafeUtf8(sourcePath) + ":" + std::to_string(line) + "] " + Indented(utf8) + "\n";
    AppendLine(logDir + "/resources", fileName, entry);
}

}  // namespace cairn::detail

namespace cairn {

std::string SeverityName(uint32_t severity) {
    static const char* const kNames[] = {"CRITICAL", "ERROR", "WARNING", "NOTICE", "INFO"};
    if (severity < 5) return kNames[severity];
    return "SEV" + std::to_string(severity);
}

void SetMessageListener(std::function<void(const LogMessage&)> listener) {
    std::lock_guard lock(detail::Log().mu);
    detail::Log().listener = std::move(listener);
}

std::vector<LogMessage> TakeMessagesOfCall(uint64_t callId) {
    std::lock_guard lock(detail::Log().mu);
    std::vector<LogMessage>& journal = detail::Log().journal;
    std::vector<LogMessage> out;
    std::vector<LogMessage> kept;
    for (LogMessage& message : journal) (message.callId == callId ? out : kept).push_back(std::move(message));
    journal.swap(kept);
    return out;
}

void SetConsoleWriter(std::function<void(const std::string&)> writer) {
    std::lock_guard lock(detail::Log().mu);
    detail::Log().consoleWriter = std::move(writer);
}

void SetTraceListener(std::function<void(const TraceLine&)> listener) {
    std::lock_guard lock(detail::Log().mu);
    detail::Log().traceListener = std::move(listener);
}

std::vector<LogMessage> TakeMessages() {
    std::lock_guard lock(detail::Log().mu);
    std::vector<LogMessage> out;
    out.swap(detail::Log().journal);
    return out;
}

}  // namespace cairn
