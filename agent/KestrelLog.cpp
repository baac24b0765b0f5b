#include "KestrelLog.h"

void CKestrelLog::WriteDump(const char*, uint32_t, const char* function, const wchar_t* text) {
    // The text is logged as it stands: it is never used as a format.
    CairnAgLogMsgText(KSEV_INFO, function, "KestrelLog", 36, kDumpMessageId, 0, text);
}

CKestrelLog& KestrelLogImpl() {
    static CKestrelLog log;
    return log;
}
