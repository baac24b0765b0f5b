// CKestrelLog: the agent's log implementation. Trace lines go to the framework's resource debug log
// (debug tag 19); dump lines go to the agent log as message 20000 (debug tag 20 for the resource log).
#pragma once

#include <string>

#include "CairnAgfw.h"
#include "LibLogger.h"

class CKestrelLog : public TernLogAgfwImpl {
  public:
    static constexpr uint32_t kDumpTag = 20;
    static constexpr uint32_t kTraceTag = 19;
    static constexpr uint32_t kDumpMessageId = 20000;

    CKestrelLog() : TernLogAgfwImpl(kDumpTag, kTraceTag) {}
    // Writes one dump line into the agent log at severity 4, tagged with the function that wrote it.
    void WriteDump(const char* sourcePath, uint32_t line, const char* function, const wchar_t* text) override;
};

// The agent's one log implementation, built at load.
CKestrelLog& KestrelLogImpl();

// Log categories and severities of agent-log messages.
inline constexpr uint32_t kKestrelLogCategory = 55002;
enum : uint32_t { KSEV_CRITICAL = 0, KSEV_ERROR = 1, KSEV_WARNING = 2, KSEV_NOTICE = 3, KSEV_INFO = 4 };

// Agent-log message from the calling operation: KESTREL_LOG(KSEV_ERROR, 20010, L"fmt", args...).
// The tag is the qualified name of the calling function.
#define KESTREL_LOG(severity, id, format, ...)                                              \
    CairnAgLogMsg2((severity), std::string(TERN_FUNC).c_str(), __FILE__, __LINE__, (id), 0, \
                   format __VA_OPT__(, ) __VA_ARGS__)
// The same with an explicit tag.
#define KESTREL_LOG_TAG(tag, severity, id, format, ...) \
    CairnAgLogMsg2((severity), (tag), __FILE__, __LINE__, (id), 0, format __VA_OPT__(, ) __VA_ARGS__)

// The same text as a trace line and then as an agent-log message of the calling operation.
#define KESTREL_TRACE_LOG(severity, id, format, ...)                  \
    do {                                                              \
        TERN_TRACE(format __VA_OPT__(, ) __VA_ARGS__);                \
        KESTREL_LOG(severity, id, format __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)

// The trace line written after a failed sub-operation: what failed (an operation's name or a short
// description), its status code and its error in eight hex digits.
#define KESTREL_TRACE_RETURNED(what, st) \
    TERN_TRACE(L"%s returned %d, 0x%.08X", (what), (st).GetCode(), (st).GetError())
