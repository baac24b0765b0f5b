#include "KestrelSteps.h"

#include "CairnAgfw.h"
#include "Kestrel.h"
#include "KestrelUtil.h"
#include "LibError.h"
#include "LibPlatform.h"
#include "LibProcess.h"

namespace kestrel_steps {

CKestrelStatus Succeeded() {
    CKestrelStatus status;
    status.Clear();
    return status;
}

std::wstring JoinPath(const std::wstring& dir, std::wstring_view name) {
    std::wstring path = dir + kTernPathSep;
    path += name;
    return path;
}

int32_t Secs(int64_t ms) {
    return static_cast<int32_t>(ms / 1000);
}

void Message(std::string_view function, uint32_t severity, uint32_t id, const std::wstring& text,
             bool console) {
    const std::string tag(function);
    if (console) {
        CairnAgLogConsoleMsgText(severity, tag.c_str(), __FILE__, __LINE__, id, 0, text.c_str());
    } else {
        CairnAgLogMsgText(severity, tag.c_str(), __FILE__, __LINE__, id, 0, text.c_str());
    }
}

void Write(std::string_view function, const Note& note) {
    if (note.text.empty()) return;
    KESTREL_TRACE_AS(function, L"%s", note.text);
    if (note.id != 0) Message(function, note.severity, note.id, note.text);
}

FileCheck CheckToolFile(std::string_view function, const std::wstring& path, CKestrelStatus& status,
                        const Note& checkFailed, const Note& missing) {
    bool exists = false;
    status = CKestrelUtil::DoesExistFile(path, exists);
    if (status.IsFailure()) {
        KESTREL_TRACE_RETURNED_AS(function, L"CKestrelUtil::DoesExistFile", status);
        Write(function, checkFailed);
        return FileCheck::kCheckFailed;
    }
    if (exists) return FileCheck::kThere;
    status.Set(CKestrelStatus::kPlatform, TERN_ERROR_FILE_NOT_FOUND);
    KESTREL_TRACE_RETURNED_AS(function, L"CKestrelUtil::DoesExistFile.", status);
    Write(function, missing);
    return FileCheck::kMissing;
}

void ReportFailure(std::string_view function, const wchar_t* label, const CKestrelStatus& st,
                   const Note& timedOut, const Note& other) {
    KESTREL_TRACE_RETURNED_AS(function, label, st);
    Write(function, st.GetError() == TERN_WAIT_TIMEOUT ? timedOut : other);
}

void ReportAlreadyThere(std::string_view function, uint32_t consoleId, uint32_t logId, const wchar_t* text) {
    Message(function, KSEV_NOTICE, consoleId, text, true);
    Message(function, KSEV_NOTICE, logId, text);
    KESTREL_TRACE_AS(function, L"%s", text);
}

void StopServiceStep(std::string_view function, StopFor who, const std::wstring& service,
                     const CKestrelBudget& budget) {
    const bool offline = who == StopFor::kOffline;
    if (offline) {
        KESTREL_TRACE_AS(function, L"Stop the SAP Service [%s].", service);
    } else {
        KESTREL_TRACE_AS(function, L"Going to stop the SAP Service [%s].", service);
    }
    const CKestrelStatus st = CKestrelUtil::StopService(service, budget.RemainingMs());
    if (st.IsSuccess() && offline) {
        KESTREL_TRACE_LOG_AS(function, KSEV_INFO, 20053, L"The SAP Service [%s] stopped successfully.",
                             service);
    } else if (st.IsSuccess()) {
        KESTREL_TRACE_LOG_AS(function, KSEV_INFO, 20073, L"Successfully stopped the SAP Service [%s].",
                             service);
    } else {
        KESTREL_TRACE_RETURNED_AS(
            function,
            offline ? L"Failed to stop the SAP service." : L"StopService failed to stop the SAP Service.",
            st);
        if (st.GetError() == TERN_WAIT_TIMEOUT)
            KESTREL_TRACE_LOG_AS(function, KSEV_ERROR, offline ? 20052u : 20072u,
                                 L"SAP Service Stop [%s] timed out.", service);
    }
}

void TraceByState(std::string_view function, uint32_t state, const StateLines& lines) {
    if (state == KSTATE_ONLINE) {
        KESTREL_TRACE_AS(function, L"%s", lines.online);
    } else if (state == KSTATE_OFFLINE) {
        KESTREL_TRACE_AS(function, L"%s", lines.offline);
    } else if (state == KSTATE_UNKNOWN || !lines.unknownOnlyForTwo) {
        KESTREL_TRACE_AS(function, L"%s", lines.unknown);
    }
}

uint32_t SkippedSystemPid(std::string_view function) {
    uint32_t major = 0, minor = 0;
    TernGetOsVersion(major, minor);
    KESTREL_TRACE_AS(function, L"Major and Minor Version of the OS are [%d] and [%d].", major, minor);
    return (major == 5 && minor == 0) ? 8 : 4;
}

CKestrelStatus OpenProcessList(std::string_view function, uint32_t id, TernProcessList& list) {
    CKestrelStatus st = list.Open();
    if (st.IsFailure()) {
        KESTREL_TRACE_RETURNED_AS(function, L"TernProcessList::Open", st);
        KESTREL_TRACE_AS(function, L"Failed to open the process list.");
        Message(function, KSEV_ERROR, id, L"Failed to open the process list.");
    }
    return st;
}

void CleanupStep(CKestrel& agent, CKestrelAttrib& attrib, std::string_view function,
                 const CKestrelBudget& budget, const wchar_t* line, const KillTexts& t) {
    KESTREL_TRACE_AS(function, L"%s", line);
    uint32_t killFailed = 0;
    const CKestrelStatus st = agent.Kill(attrib, budget.RemainingMs(), killFailed);
    if (st.IsSuccess() && killFailed == 0) {
        KESTREL_TRACE_AS(function, L"%s", t.succeeded);
        return;
    }
    const bool failed = st.IsFailure();
    KESTREL_TRACE_RETURNED_AS(function, failed ? t.failedLabel : t.stillThereLabel, st);
    const uint32_t id = failed ? t.failedId : t.stillThereId;
    if (id != 0) Message(function, KSEV_ERROR, id, failed ? t.failedMessage : t.stillThereMessage);
}

}  // namespace kestrel_steps
