#include "LibDNS.h"

#include "LibError.h"
#include "LibLogger.h"

namespace {

constexpr size_t kMaxLabel = 63;

bool IsLetterOrDigit(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9');
}

uint32_t CheckLabel(std::wstring_view name) {
    if (name.empty() || name.size() > kMaxLabel) return TERN_ERROR_INVALID_NAME;
    bool allDigits = true;
    for (wchar_t c : name) {
        if (c == L'-') {
            allDigits = false;
            continue;
        }
        if (!IsLetterOrDigit(c)) return TERN_DNS_ERROR_INVALID_NAME_CHAR;
        if (c < L'0' || c > L'9') allDigits = false;
    }
    if (name.front() == L'-' || name.back() == L'-') return TERN_DNS_ERROR_INVALID_NAME_CHAR;
    if (allDigits) return TERN_DNS_ERROR_NUMERIC_NAME;
    return 0;
}

}  // namespace

CKestrelStatus TernDNS::IsNameValid(std::wstring_view name, uint32_t format) {
    CKestrelStatus status;
    if (format != kHostnameLabel) {
        TernSetLastError(TERN_ERROR_INVALID_PARAMETER);
        status.Set(CKestrelStatus::kPlatform, TERN_ERROR_INVALID_PARAMETER);
        return status;
    }
    uint32_t result = CheckLabel(name);
    if (result != 0) {
        TERN_TRACE(L"%s returned 0x%.08X", L"DnsValidateName", result);
        status.Set(CKestrelStatus::kDns, result);
        return status;
    }
    status.Clear();
    return status;
}
