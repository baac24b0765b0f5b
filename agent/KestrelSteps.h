// Steps that several of CKestrel's operations share (internal to the agent). Each writes its trace lines
// and messages as the operation named by function (a text of static storage, as TERN_FUNC gives), so the
// logs read as if that operation wrote them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "KestrelBudget.h"
#include "KestrelEnums.h"
#include "KestrelLog.h"
#include "KestrelStatus.h"
#include "LibLogger.h"
#include "LibProcessList.h"

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

class CKestrel;
class CKestrelAttrib;

namespace kestrel_steps {

// A formatted text for the logs: as a trace line only (id 0), or as a trace line and then agent-log
// message id. An empty text writes nothing.
struct Note {
    uint32_t severity = 0;
    uint32_t id = 0;
    std::wstring text;
};

// A success status.
CKestrelStatus Succeeded();
// dir + the path separator + name.
std::wstring JoinPath(const std::wstring& dir, std::wstring_view name);
// Whole seconds of a millisecond count, as the "Not enough time [%d]secs" lines print them.
int32_t Secs(int64_t ms);

// Outcomes of a tool-path check.
enum class FileCheck { kThere, kCheckFailed, kMissing };

// Writes note (trace line, then its message when it has an id).
void Write(std::string_view function, const Note& note);
// An agent-log message without a trace line; console selects the console log.
void Message(std::string_view function, uint32_t severity, uint32_t id, const std::wstring& text,
             bool console = false);

// DoesExistFile on path. A failed check traces "CKestrelUtil::DoesExistFile" returned, leaves its failure in
// status and writes checkFailed; a missing file sets status to code 2, error 2, traces
// "CKestrelUtil::DoesExistFile." returned and writes missing.
FileCheck CheckToolFile(std::string_view function, const std::wstring& path, CKestrelStatus& status,
                        const Note& checkFailed = {}, const Note& missing = {});

// After a failed run or service step: the "returned" line with label, then timedOut when the error is the
// time-out (258), otherwise other.
void ReportFailure(std::string_view function, const wchar_t* label, const CKestrelStatus& st,
                   const Note& timedOut, const Note& other = {});

// The instance is already where the operation would take it: console message consoleId, message logId, then
// the trace line, all with text.
void ReportAlreadyThere(std::string_view function, uint32_t consoleId, uint32_t logId, const wchar_t* text);

// Stops the instance's service within what is left of budget, with the lines of Offline or of Clean.
enum class StopFor { kOffline, kClean };
void StopServiceStep(std::string_view function, StopFor who, const std::wstring& service,
                     const CKestrelBudget& budget);

// The verdict line of a check by state: online, offline, or unknown (for state 2 only when
// unknownOnlyForTwo, else for any other value).
struct StateLines {
    const wchar_t* online;
    const wchar_t* offline;
    const wchar_t* unknown;
    bool unknownOnlyForTwo;
};
void TraceByState(std::string_view function, uint32_t state, const StateLines& lines);

// The PID of the system pseudo-process besides 0 that a walk skips: 8 on OS version 5.0, 4 elsewhere. Traces
// the version.
uint32_t SkippedSystemPid(std::string_view function);

// Opens a process-table snapshot into list. Failure: traced, message id, and returned.
CKestrelStatus OpenProcessList(std::string_view function, uint32_t id, TernProcessList& list);

// The clean-up before a start or after a stop: the line, Kill within what is left of budget, then Kill's
// failure (failedLabel, message failedId with failedMessage), a process it could not kill (the same with
// stillThere), or success. Messages are written only when the ids are not 0.
struct KillTexts {
    const wchar_t* failedLabel;
    const wchar_t* stillThereLabel;
    const wchar_t* succeeded;
    uint32_t failedId = 0;
    const wchar_t* failedMessage = nullptr;
    uint32_t stillThereId = 0;
    const wchar_t* stillThereMessage = nullptr;
};
void CleanupStep(CKestrel& agent, CKestrelAttrib& attrib, std::string_view function,
                 const CKestrelBudget& budget, const wchar_t* line, const KillTexts& t);

}  // namespace kestrel_steps
