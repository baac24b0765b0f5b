// Steps that several of CKestrel's operations share (internal to the agent). Each writes its trace lines
// and messages as the operation named by function (a text of static storage, as TERN_FUNC gives), so the
// logs read as if that operation wrote them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "KestrelLog.h"
#include "KestrelStatus.h"
#include "LibLogger.h"

// A trace line written for the operation named function.
#define KESTREL_TRACE_AS(function, format, ...) \
    TernLogger().Trace(__FILE__, __LINE__, (function), format __VA_OPT__(, ) __VA_ARGS__)

// The "returned" line of a failed sub-operation, written for the operation named function.
#define KESTREL_TRACE_RETURNED_AS(function, what, st) \
    KESTREL_TRACE_AS((function), L"%s returned %d, 0x%.08X", (what), (st).GetCode(), (st).GetError())

// The same text as a trace line and then as an agent-log message, both for the operation named function.
#define KESTREL_TRACE_LOG_AS(function, severity, id, format, ...)                                            \
    do {                                                                                                     \
        KESTREL_TRACE_AS((function), format __VA_OPT__(, ) __VA_ARGS__);                                     \
        KESTREL_LOG_TAG(std::string(function).c_str(), (severity), (id), format __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)

namespace kestrel_steps {

// A formatted text for the logs: as a trace line only (id 0), or as a trace line and then agent-log
// message id. An empty text writes nothing.
struct Note {
    uint32_t severity = 0;
    uint32_t id = 0;
    std::wstring text;
};

// dir + the path separator + name.
std::wstring JoinPath(const std::wstring& dir, const wchar_t* name);
// Whole seconds of a millisecond count, as the "Not enough time [%d]secs" lines print them.
int32_t Secs(int64_t ms);

// Writes note (trace line, then its message when it has an id).
void Write(std::string_view function, const Note& note);
// An agent-log message without a trace line; console selects the console log.
void Message(std::string_view function, uint32_t severity, uint32_t id, const std::wstring& text,
             bool console = false);

// Outcomes of a tool-path check.
enum class FileCheck { kThere, kCheckFailed, kMissing };
// DoesExistFile on path. A failed check traces "CKestrelUtil::DoesExistFile" returned and leaves its failure
// in status; a missing file sets status to code 2, error 2 and traces "CKestrelUtil::DoesExistFile."
// returned.
FileCheck CheckToolFile(std::string_view function, const std::wstring& path, CKestrelStatus& status);

// After a failed run or service step: the "returned" line with label, then timedOut when the error is the
// time-out (258), otherwise other.
void ReportFailure(std::string_view function, const wchar_t* label, const CKestrelStatus& st,
                   const Note& timedOut, const Note& other = {});

// The instance is already where the operation would take it: console message consoleId, message logId, then
// the trace line, all with text.
void ReportAlreadyThere(std::string_view function, uint32_t consoleId, uint32_t logId, const wchar_t* text);

// Stops the instance's service within remainingMs: stopped writes stopped; a failure the "returned" line
// with label and timedOut on a time-out. Returns the stop's status.
CKestrelStatus StopServiceStep(std::string_view function, const std::wstring& service, uint32_t remainingMs,
                               const Note& stopped, const wchar_t* label, const Note& timedOut);

// Reports the clean-up before or after a start or stop: Kill's failure (label failed.text, message
// failed.id with failedMessage), a process it could not kill (the same with stillThere), or success.
struct KillTexts {
    const wchar_t* failedLabel;
    const wchar_t* stillThereLabel;
    const wchar_t* succeeded;
    uint32_t failedId = 0;  // 0: no messages
    const wchar_t* failedMessage = nullptr;
    uint32_t stillThereId = 0;
    const wchar_t* stillThereMessage = nullptr;
};
void ReportCleanup(std::string_view function, const CKestrelStatus& st, uint32_t killFailed,
                   const KillTexts& t);

}  // namespace kestrel_steps
