// CKestrelUtil: the environment checks. The platform work (files, log-on, identity switch, host-name
// check) is in lib/; these functions keep the agent's trace lines and status codes.
#include "KestrelUtil.h"

#include <cstring>

#include "CairnApi.h"
#include "KestrelCluster.h"
#include "KestrelPrograms.h"
#include "LibDNS.h"
#include "LibError.h"
#include "LibFileCheck.h"
#include "LibLogger.h"
#include "LibLogon.h"
#include "LibPlatform.h"
#include "LibWide.h"

namespace {

constexpr const char* kOwnTypeName = "Kestrel";

// A network path begins with two separators; its file is checked as the account that owns the share.
bool IsNetworkPath(const std::wstring& path) {
    return path.size() >= 2 && path[0] == kTernPathSep && path[1] == kTernPathSep;
}

CKestrelStatus Success() {
    CKestrelStatus status;
    status.Clear();
    return status;
}

}  // namespace

CKestrelStatus CKestrelUtil::DoesExistFile(const std::wstring& path, bool& exists) {
    TERN_TRACE(L"DoesExistFile called with file [%s].", path);
    exists = TernCanReadFile(TernWideToMb(path));
    return Success();
}

CKestrelStatus CKestrelUtil::DoesExistInstProfile(const std::wstring& path, const std::wstring& user,
                                                  const std::wstring& domain, const std::wstring& password,
                                                  bool& exists) {
    TERN_TRACE(L"DoesExistInstProfile called with file [%s], user [%s] and domain [%s].", path, user, domain);
    CKestrelStatus status = Success();
    if (!IsNetworkPath(path)) {
        exists = TernCanReadFile(TernWideToMb(path));
        return status;
    }

    TernAccount account;
    CKestrelStatus logon = TernLogonUser(user, domain, password, TernLogonType::kInteractive, account);
    if (logon.IsFailure()) {
        TERN_TRACE(L"User [%s] for Domain [%s] could not logon.", user, domain);
        status.Set(CKestrelStatus::kPlatform, logon.GetError());
        return status;
    }

    // The file-system identity of this thread only; nothing else runs on it until it is restored.
    TernFsIdentity identity;
    CKestrelStatus assumed = identity.Assume(account);
    if (assumed.IsFailure()) {
        TERN_TRACE(L"Could not ImpersonateLoggedOnUser for user [%s] and domain [%s].", user, domain);
        status.Set(CKestrelStatus::kPlatform, assumed.GetError());
    } else {
        exists = TernCanReadFile(TernWideToMb(path));
        CKestrelStatus restored = identity.Restore();
        if (restored.IsSuccess()) {
            TERN_TRACE(L"RevertToSelf for user [%s] and domain [%s] Successful.", user, domain);
        } else {
            TERN_TRACE(L"Could not RevertToSelf for user [%s] and domain [%s].", user, domain);
            status.Set(CKestrelStatus::kPlatform, restored.GetError());
        }
        TERN_TRACE(L"ImpersonateLoggedOnUser for user [%s] and domain [%s] Successful.", user, domain);
    }
    TERN_TRACE(L"LogonUser for User [%s] and Domain [%s] Successful.", user, domain);
    return status;
}

CKestrelStatus CKestrelUtil::IsDirectory(const std::wstring& path, bool& isDirectory) {
    TERN_TRACE(L"IsDirectory called with dir [%s].", path);
    CKestrelStatus looked = TernIsDirectory(TernWideToMb(path), isDirectory);
    if (looked.IsFailure()) {
        TERN_TRACE(L"%s returned 0x%.08X", L"FindFirstFile", looked.GetError());
        isDirectory = false;
    }
    return Success();
}

CKestrelStatus CKestrelUtil::IsNull(const std::wstring& text, bool& isNull) {
    TERN_TRACE(L"IsNull called with str [%s].", text);
    isNull = text.empty() || text == L" " || text == L"\t";
    if (isNull) {
        TERN_TRACE(L"The string is null [%s]", text);
    } else {
        TERN_TRACE(L"The string is NOT null [%s]", text);
    }
    return Success();
}

CKestrelStatus CKestrelUtil::DoesExistCairnResource(const std::wstring& resourceName, bool& exists) {
    TERN_TRACE(L"DoesExistCairnResource called with ResName [%s].", resourceName);
    CKestrelStatus status = Success();
    std::string name = TernWideToMb(resourceName);
    char* typeName = nullptr;
    if (CairnResGetType(KestrelGetClusterHandle(), name.c_str(), &typeName, 0) != 0) {
        CairnError* error = CairnApiGetLastError();
        std::wstring message = error ? TernMbToWide(std::string_view(
                                           error->message, strnlen(error->message, sizeof error->message)))
                                     : std::wstring();
        int32_t number = error ? error->number : 0;
        uint32_t code = error ? error->code : 0;
        TERN_TRACE(
            L"CairnResGetType() failed for the resource[%s] with error [%d, 0x%.08X] with message [%s].",
            resourceName, number, code, message);
        status.Set(CKestrelStatus::kClusterApi, code);
        if (error) CairnFreeError(error);
        return status;
    }
    TERN_TRACE(L"CairnResGetType() call success for resource[%s].", resourceName);
    if (typeName && std::strcmp(typeName, kOwnTypeName) == 0) {
        exists = true;
        TERN_TRACE(L"Found the Resource [%s] is of type Kestrel.", resourceName);
    } else {
        exists = false;
        TERN_TRACE(L"Resource [%s] is NOT of type Kestrel.", resourceName);
    }
    if (typeName) CairnFreeStr(typeName);
    return status;
}

CKestrelStatus CKestrelUtil::DoesExistUser(const std::wstring& user, const std::wstring& domain,
                                           const std::wstring& password, bool& exists) {
    TERN_TRACE(L"DoesExistUser called with user [%s], domain [%s].", user, domain);
    CKestrelStatus status = Success();
    TernAccount account;
    // A service-only account (no login shell) passes the second attempt.
    CKestrelStatus logon = TernLogonUser(user, domain, password, TernLogonType::kInteractive, account);
    if (logon.IsFailure()) logon = TernLogonUser(user, domain, password, TernLogonType::kService, account);
    if (logon.IsSuccess()) {
        exists = true;
        TERN_TRACE(L"User [%s] for Domain [%s] logged on successfully.", user, domain);
        return status;
    }
    TERN_TRACE(L"User [%s] for Domain [%s] could not logon.", user, domain);
    exists = false;
    status.Set(CKestrelStatus::kPlatform, logon.GetError());
    return status;
}

CKestrelStatus CKestrelUtil::IsValidHostName(const std::wstring& hostName, bool& valid) {
    TERN_TRACE(L"IsValidHostName called with hostname [%s].", hostName);
    valid = TernDNS::IsNameValid(hostName, TernDNS::kHostnameLabel).IsSuccess();
    return Success();
}

int CKestrelUtil::FindSAPArch(const std::vector<std::wstring>& procMon) {
    TERN_TRACE(L"Finding SAP SYSTEM Architecture.");
    bool abap = false;
    bool java = false;
    for (const std::wstring& entry : procMon) {
        TERN_TRACE(L"Got [%s] from ProcMon list.", entry);
        if (const std::wstring* name = KestrelPrograms().Match(KestrelProgram::kDispWork, entry)) {
            abap = true;
            // The line has always misspelt the default name; other names are written as configured.
            if (*name == L"disp+work.exe") {
                TERN_TRACE(L"disp+wrok.exe process found in the ProcMon list.");
            } else {
                TERN_TRACE(L"%s process found in the ProcMon list.", *name);
            }
        } else if (const std::wstring* jname = KestrelPrograms().Match(KestrelProgram::kJcontrol, entry)) {
            java = true;
            TERN_TRACE(L"%s process found in the ProcMon list", *jname);
        }
    }
    if (abap && java) {
        TERN_TRACE(L"SAP SYSTEM Architecture is Add-In.");
        return 3;
    }
    if (abap) {
        TERN_TRACE(L"SAP SYSTEM Architecture is ABAP.");
        return 1;
    }
    if (java) {
        TERN_TRACE(L"SAP SYSTEM Architecture is Java.");
        return 2;
    }
    TERN_TRACE(L"SAP Architecuture is not inferred from ProcMon.");
    return 0;
}
