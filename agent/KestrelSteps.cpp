#include "KestrelSteps.h"

#include "CairnAgfw.h"
#include "KestrelUtil.h"
#include "LibError.h"
#include "LibPlatform.h"

namespace kestrel_steps {

std::wstring JoinPath(const std::wstring& dir, const wchar_t* name) {
    return dir + kTernPathSep + name;
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

FileCheck CheckToolFile(std::string_view function, const std::wstring& path, CKestrelStatus& status) {
    bool exists = false;
    status = CKestrelUtil::DoesExistFile(path, exists);
    if (status.IsFailure()) {
        KESTREL_TRACE_RETURNED_AS(function, L"CKestrelUtil::DoesExistFile", status);
        return FileCheck::kCheckFailed;
    }
    if (exists) return FileCheck::kThere;
    status.Set(CKestrelStatus::kPlatform, TERN_ERROR_FILE_NOT_FOUND);
    KESTREL_TRACE_RETURNED_AS(function, L"CKestrelUtil::DoesExistFile.", status);
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

CKestrelStatus StopServiceStep(std::string_view function, const std::wstring& service, uint32_t remainingMs,
                               const Note& stopped, const wchar_t* label, const Note& timedOut) {
    CKestrelStatus st = CKestrelUtil::StopService(service, remainingMs);
    if (st.IsSuccess()) {
        Write(function, stopped);
    } else {
        ReportFailure(function, label, st, timedOut);
    }
    return st;
}

void ReportCleanup(std::string_view function, const CKestrelStatus& st, uint32_t killFailed,
                   const KillTexts& t) {
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
