#include "Kestrel.h"

#include "LibError.h"
#include "LibLogger.h"

// The instance operations are not available in this build yet: each reports "not supported"
// (code 1, error 50), which the entry point logs as a failure.
namespace {
CKestrelStatus NotSupported(CKestrelStatus& status) {
    status.Set(CKestrelStatus::kFramework, TERN_ERROR_NOT_SUPPORTED);
    return status;
}
}  // namespace

CKestrelStatus CKestrel::Online(CKestrelAttrib&, uint32_t&) {
    CKestrelStatus status;
    m_CurrentEP = KCUR_ONLINE;
    TERN_TRACE(L"Online is not available in this build.");
    return NotSupported(status);
}

CKestrelStatus CKestrel::Offline(CKestrelAttrib&, uint32_t&) {
    CKestrelStatus status;
    m_CurrentEP = KCUR_OFFLINE;
    TERN_TRACE(L"Offline is not available in this build.");
    return NotSupported(status);
}

CKestrelStatus CKestrel::Clean(CKestrelAttrib&, uint32_t, uint32_t&) {
    CKestrelStatus status;
    m_CurrentEP = KCUR_CLEAN;
    TERN_TRACE(L"Clean is not available in this build.");
    return NotSupported(status);
}
