#include "KestrelAttrib.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "KestrelAgent.h"
#include "KestrelLog.h"
#include "KestrelUtil.h"
#include "LibLogger.h"
#include "LibPasswordCodec.h"
#include "LibPlatform.h"
#include "LibWide.h"

namespace {

constexpr uint32_t kErrorBadArguments = 160;
constexpr uint32_t kErrorInvalidParameter = 87;

// Rule bits of the validation, and the rule set of each entry point.
enum : uint32_t {
    RULE_SAPSID = 0x1,
    RULE_SLM = 0x2,
    RULE_EPPROGRAMTIMEOUT = 0x4,
    RULE_SAPHOME = 0x8,
    RULE_SAPMONHOME = 0x10,
    RULE_SAPHOST = 0x20,
    RULE_PROCMON = 0x40,
    RULE_SAPSERVICEUSER = 0x80,
    RULE_SAPADMINDOMAIN = 0x100,
    RULE_SAPADMIN = 0x200,
    RULE_RESLOGLEVEL = 0x800,
    RULE_INSTTYPE = 0x1000,
    RULE_INSTNAME = 0x2000,
    RULE_INSTPROFILE = 0x4000,
    RULE_ENQSRVRESNAME = 0x8000,
    RULE_MONITORPROGRAM = 0x10000,
};

uint32_t RuleMask(int32_t epCode) {
    switch (epCode) {
        case KEP_ONLINE:
            return 0x1FFFF & ~0x400u;
        case KEP_OFFLINE:
            return 0x232D;
        case KEP_CLEAN:
            return 0x2285;
        case KEP_MONITOR:
            return 0x33CD;
        default:
            return 0;
    }
}

const std::vector<std::wstring> kCentralProcs = {L"disp+work.exe", L"jcontrol.exe", L"igswd.exe",
                                                 L"gwrd.exe",      L"icman.exe",    L"msg_server.exe"};
const std::vector<std::wstring> kDialogProcs = {L"disp+work.exe", L"jcontrol.exe", L"igswd.exe", L"gwrd.exe",
                                                L"icman.exe"};
const std::vector<std::wstring> kEnqueueProcs = {L"msg_server.exe", L"enserver.exe"};
const std::vector<std::wstring> kReplicationProcs = {L"enrepserver.exe"};

bool IsUpperAlpha(wchar_t c) {
    return std::iswalpha(static_cast<wint_t>(c)) && std::iswupper(static_cast<wint_t>(c));
}
bool IsDecimalDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

void RemoveTrailingSeparator(std::wstring& path) {
    if (!path.empty() && path.back() == kTernPathSep) path.pop_back();
}

// Wipes a text that held a password.
void Wipe(std::string& s) {
    TernSecureZero(s.data(), s.size());
    s.clear();
}

}  // namespace

std::wstring CKestrelAttrib::GetServiceName() const {
    return L"SAP" + m_SAPSID + L"_" + GetInstNumber();
}

std::wstring CKestrelAttrib::GetInstNumber() const {
    return m_InstName.size() >= 2 ? m_InstName.substr(m_InstName.size() - 2) : m_InstName;
}

CKestrelStatus CKestrelAttrib::Parse(CKestrelStatus& status, int32_t epCode, const char* resourceName,
                                     CairnArgVector args, bool validate) {
    wchar_t* wideName = nullptr;
    wchar_t** list = nullptr;
    status.Clear();
    // The steps run in a lambda so that their trace lines and messages carry this function's name.
    auto steps = [&]() {
        if (resourceName == nullptr || args == nullptr) {
            status.Set(CKestrelStatus::kFramework, kErrorInvalidParameter);
            TERN_TRACE(L"%s returned %d, 0x%.08X",
                       L"Resource name or the argument list received from the engine is empty.",
                       status.GetCode(), status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20139,
                        L"Resource name or the argument list received from the engine is empty.");
            return;
        }
        size_t length = 0;
        int r = CairnAgEncodeString(0, resourceName, std::strlen(resourceName) + 1, 1, &wideName, &length);
        if (r != 0) {
            status.Set(CKestrelStatus::kFramework, static_cast<uint32_t>(r));
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"Failed to convert(encode) resource name.",
                       status.GetCode(), status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20140, L"Failed to convert(encode) resource name.");
            return;
        }
        m_ResourceName = wideName ? wideName : L"";
        r = CairnAgGetEncodedArgList(0, args, 1, &list);
        if (r != 0) {
            status.Set(CKestrelStatus::kFramework, static_cast<uint32_t>(r));
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"Failed to convert(encode) the argument list.",
                       status.GetCode(), status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20141, L"Failed to convert(encode) the argument list.");
            return;
        }

        // Entries past the end of a short list count as empty.
        size_t count = 0;
        while (list && list[count]) ++count;
        size_t pos = 0;
        auto next = [&]() -> std::wstring {
            std::wstring v = pos < count ? std::wstring(list[pos]) : std::wstring();
            ++pos;
            return v;
        };

        m_SAPSID = TernToUpper(next());
        m_SecondLevelMonitor = TernWtoi(next());
        m_EPProgramTimeout = TernWtoi(next());
        m_SAPHome = next();
        m_SAPMonHome = next();
        m_SAPHost = next();
        m_ProcMon.clear();
        int32_t n = TernWtoi(next());
        for (int32_t i = 0; i < n && pos < count; ++i) m_ProcMon.push_back(TernToUpper(next()));
        m_SAPServiceUser = next();
        m_SAPAdminDomain = next();
        m_SAPAdmin = next();
        m_SAPAdminPassword = next();
        m_ResLogLevel = next();
        m_InstType = next();
        m_InstName = TernToUpper(next());
        m_InstProfile = next();
        m_EnqSrvResName = next();
        m_MonitorProgram = next();

        RemoveTrailingSeparator(m_SAPHome);
        RemoveTrailingSeparator(m_SAPMonHome);

        m_InstTypeKind = KestrelParseInstType(m_InstType);
        if (m_InstTypeKind != KestrelInstType::kUnknown)
            m_InstType = KestrelInstTypeName(m_InstTypeKind);
        else
            TERN_TRACE(L"InstType [%s] is invalid.", m_InstType);

        if (validate) {
            CKestrelStatus check;
            _CheckArgs(check, epCode);
            if (check.IsFailure()) {
                status = check;
                TERN_TRACE(L"%s returned %d, 0x%.08X", L"CheckArgs Failed.", status.GetCode(),
                           status.GetError());
                KESTREL_LOG(KSEV_ERROR, 20142, L"CheckArgs Failed.");
                return;
            }
        }

        m_Timeout = kDefaultTimeout;
        CKestrelStatus found;
        _FindTimeout(found, m_Timeout, epCode);
        if (found.IsFailure()) {
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"_FindTimeout()", found.GetCode(), found.GetError());
            m_Timeout = kDefaultTimeout;
            TERN_TRACE(
                L"Failed to get the timeout value for the entry point. Defaulting timeout to [%d]secs.",
                kDefaultTimeout);
            KESTREL_LOG(
                KSEV_NOTICE, 20143,
                L"Failed to get the timeout value for the entry point. Defaulting timeout to [%d]secs.",
                kDefaultTimeout);
        }
        status.Clear();
    };
    steps();
    // Release what the framework handed out, whatever happened.
    if (wideName) CairnAgDeleteMem(wideName);
    if (list) CairnAgDelEncodedArgList(list);
    return status;
}

void CKestrelAttrib::LogArgs() {
    struct Item {
        const wchar_t* name;
        const std::wstring* text;
        int32_t number;
    };
    const Item items[] = {
        {L"ResourceName", &m_ResourceName, 0},
        {L"SAPSID", &m_SAPSID, 0},
        {L"SAPHome", &m_SAPHome, 0},
        {L"SAPMonHome", &m_SAPMonHome, 0},
        {L"SAPHost", &m_SAPHost, 0},
        {L"SAPServiceUser", &m_SAPServiceUser, 0},
        {L"SAPAdminDomain", &m_SAPAdminDomain, 0},
        {L"SAPAdmin", &m_SAPAdmin, 0},
        {L"SAPAdminPassword", &m_SAPAdminPassword, 0},
        {L"ResLogLevel", &m_ResLogLevel, 0},
        {L"InstType", &m_InstType, 0},
        {L"InstName", &m_InstName, 0},
        {L"InstProfile", &m_InstProfile, 0},
        {L"EnqSrvResName", &m_EnqSrvResName, 0},
        {L"MonitorProgram", &m_MonitorProgram, 0},
        {L"SecondLevelMonitor", nullptr, m_SecondLevelMonitor},
        {L"EPProgramTimeout", nullptr, m_EPProgramTimeout},
    };
    std::wstring text = L"The entry point is called with attribute values: ";
    const size_t last = std::size(items) - 1;
    for (size_t i = 0; i < std::size(items); ++i) {
        const Item& it = items[i];
        std::wstring value = it.text ? *it.text : TernFormat(L"%d", it.number);
        text += TernFormat(L"\n \t\t\t\t\t\t%-20s= [%s", it.name, value);
        text += i == last ? L"]. \n" : L"], ";
    }
    TERN_TRACE(L"%s", text);
}

CKestrelStatus CKestrelAttrib::_CheckArgs(CKestrelStatus& status, int32_t epCode) {
    const uint32_t mask = RuleMask(epCode);
    status.Clear();
    // Sets the validation failure and returns it.
    auto fail = [&status]() -> CKestrelStatus {
        status.Set(CKestrelStatus::kPlatform, kErrorBadArguments);
        return status;
    };

    // 1. SAPSID
    if (mask & RULE_SAPSID) {
        if (m_SAPSID.empty()) {
            fail();
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"SAPSID is empty.", status.GetCode(), status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20144, L"SAPSID is empty.");
            return status;
        }
        bool invalid = false;
        if (m_SAPSID.size() < 3) {
            TERN_TRACE(L"SAPSID [%s] is less than three characters.", m_SAPSID);
            KESTREL_LOG(KSEV_ERROR, 20145, L"SAPSID [%s] is less than three characters.", m_SAPSID);
            invalid = true;
        } else if (m_SAPSID.size() > 3) {
            TERN_TRACE(L"SAPSID [%s] is more than three characters.", m_SAPSID);
            KESTREL_LOG(KSEV_ERROR, 20146, L"SAPSID [%s] is more than three characters.", m_SAPSID);
            invalid = true;
        } else {
            if (!IsUpperAlpha(m_SAPSID[0])) {
                TERN_TRACE(
                    L"The first letter in SAPSID [%s] is either not an alphabet or not an UPPER case "
                    L"character.",
                    m_SAPSID);
                invalid = true;
            }
            for (size_t i = 1; i < 3; ++i) {
                if (!IsUpperAlpha(m_SAPSID[i]) && !IsDecimalDigit(m_SAPSID[i])) {
                    TERN_TRACE(L"Invalid characters exist in SAPSID [%s].", m_SAPSID);
                    invalid = true;
                }
            }
        }
        if (invalid) {
            fail();
            TERN_TRACE(L"SAPSID [%s] is NOT valid.", m_SAPSID);
            KESTREL_LOG(KSEV_ERROR, 20147, L"SAPSID [%s] is NOT valid.", m_SAPSID);
            return status;
        }
        TERN_TRACE(L"SAPSID [%s] is validated successfully.", m_SAPSID);
    }

    // 2. SecondLevelMonitor
    if (mask & RULE_SLM) {
        if (m_SecondLevelMonitor < 0) {
            fail();
            TERN_TRACE(L"SecondLevelMonitor [%d] is negative [%d, 0x%.08X].", m_SecondLevelMonitor,
                       status.GetCode(), status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20148, L"SecondLevelMonitor [%d] is negative.", m_SecondLevelMonitor);
            return status;
        }
        TERN_TRACE(L"SecondLevelMonitor [%d] is a valid value.", m_SecondLevelMonitor);
    }

    // 3. EPProgramTimeout
    if (mask & RULE_EPPROGRAMTIMEOUT) {
        if (m_EPProgramTimeout < 0) {
            fail();
            TERN_TRACE(L"EPProgramTimeout [%d] is negative [%d, 0x%.08X].", m_EPProgramTimeout,
                       status.GetCode(), status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20149, L"EPProgramTimeout is negative [%d].", m_EPProgramTimeout);
            return status;
        }
        TERN_TRACE(L"EPProgramTimeout [%d] is a valid value.", m_EPProgramTimeout);
    }

    // 4. SAPHome
    if (mask & RULE_SAPHOME) {
        if (m_SAPHome.empty()) {
            fail();
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"SAPHome is empty.", status.GetCode(), status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20150, L"SAPHome is empty.");
            return status;
        }
        if (epCode == KEP_MONITOR) {
            bool isNull = false;
            CKestrelStatus st = CKestrelUtil::IsNull(m_SAPHome, isNull);
            if (st.IsFailure()) {
                status = st;
                TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistDir.", status.GetCode(),
                           status.GetError());
                KESTREL_LOG(KSEV_ERROR, 20151, L"SAPHome [%s] is NULL.", m_SAPHome);
                return status;
            }
            if (isNull) {
                fail();
                TERN_TRACE(L"SAPHome [%s] is NULL [%d, 0x%.08X].", m_SAPHome, status.GetCode(),
                           status.GetError());
                KESTREL_LOG(KSEV_ERROR, 20152, L"SAPHome [%s] is NULL.", m_SAPHome);
                return status;
            }
            TERN_TRACE(L"SAPHome [%s] is NOT null.", m_SAPHome);
        } else {
            bool isDir = false;
            CKestrelStatus st = CKestrelUtil::IsDirectory(m_SAPHome, isDir);
            if (st.IsFailure()) {
                status = st;
                TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistDir.", status.GetCode(),
                           status.GetError());
                KESTREL_LOG(KSEV_ERROR, 20153, L"SAPHome [%s] does NOT exist.", m_SAPHome);
                return status;
            }
            if (!isDir) {
                fail();
                TERN_TRACE(L"SAPHome [%s] does NOT exist [%d, 0x%.08X].", m_SAPHome, status.GetCode(),
                           status.GetError());
                KESTREL_LOG(KSEV_ERROR, 20154, L"SAPHome [%s] does NOT exist.", m_SAPHome);
                return status;
            }
            TERN_TRACE(L"SAPHome [%s] is a valid directory.", m_SAPHome);
        }
    }

    // 5. SAPHost
    if (mask & RULE_SAPHOST) {
        if (m_SAPHost.empty()) {
            fail();
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"SAPHost is empty.", status.GetCode(), status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20155, L"SAPHost is empty.");
            return status;
        }
        TERN_TRACE(L"SAPHost [%s] is non-null. Continue...", m_SAPHost);
        if (epCode == KEP_ONLINE) {
            bool valid = false;
            CKestrelStatus st = CKestrelUtil::IsValidHostName(m_SAPHost, valid);
            if (st.IsFailure()) {
                status = st;
                TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::IsValidHostName", status.GetCode(),
                           status.GetError());
                KESTREL_LOG(KSEV_ERROR, 20156, L"SAPHost [%s] is NOT a valid hostname.", m_SAPHost);
                return status;
            }
            if (!valid) {
                fail();
                TERN_TRACE(L"SAPHost [%s] is NOT a valid hostname [%d, 0x%.08X].", m_SAPHost,
                           status.GetCode(), status.GetError());
                KESTREL_LOG(KSEV_ERROR, 20157, L"SAPHost [%s] is NOT a valid hostname.", m_SAPHost);
                return status;
            }
            TERN_TRACE(L"SAPHost [%s] is a valid hostname.", m_SAPHost);
        }
    }

    // 6. InstType
    if (mask & RULE_INSTTYPE) {
        if (m_InstType.empty()) {
            fail();
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"InstType is NULL.", status.GetCode(), status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20158, L"InstType is NULL.");
            return status;
        }
        if (m_InstTypeKind == KestrelInstType::kUnknown) {
            fail();
            TERN_TRACE(L"InstType [%s] is invalid [%d, 0x%.08X].", m_InstType, status.GetCode(),
                       status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20159, L"InstType [%s] is invalid.", m_InstType);
            return status;
        }
        TERN_TRACE(L"InstType [%s] is a valid SAP Instance Type.", m_InstType);
    }

    // 7. ProcMon against InstType
    if (mask & RULE_PROCMON) {
        const std::vector<std::wstring>* allowed = nullptr;
        uint32_t id = 0;
        if (m_InstType == L"CENTRAL") {
            allowed = &kCentralProcs;
            id = 20160;
        } else if (m_InstType == L"DIALOG") {
            allowed = &kDialogProcs;
            id = 20161;
        } else if (m_InstType == L"ENQUEUE" || m_InstType == L"AENQUEUE" || m_InstType == L"JENQUEUE") {
            allowed = &kEnqueueProcs;
            id = 20162;
        } else if (m_InstType == L"ENQREP" || m_InstType == L"AENQREP" || m_InstType == L"JENQREP") {
            allowed = &kReplicationProcs;
            id = 20163;
        }
        for (const std::wstring& entry : m_ProcMon) {
            TERN_TRACE(L"Got [%s] from ProcMon list.", entry);
            if (allowed == nullptr) {
                fail();
                TERN_TRACE(L"InstType [%s] is invalid [%d, 0x%.08X].", m_InstType, status.GetCode(),
                           status.GetError());
                KESTREL_LOG(KSEV_ERROR, 20164, L"InstType [%s] is invalid.", m_InstType);
                return status;
            }
            bool ok = false;
            for (const std::wstring& a : *allowed) ok = ok || TernEqualsNoCase(entry, a);
            if (!ok) {
                fail();
                TERN_TRACE(L"Invalid process name in the ProcMon list [%s] for InstType [%s].", entry,
                           m_InstType);
                KESTREL_LOG(KSEV_ERROR, id,
                            L"Invalid process name in the ProcMon list [%s] for InstType [%s].", entry,
                            m_InstType);
                return status;
            }
        }
        TERN_TRACE(L"All the processes listed in the ProcMon are valid for the SAP Instance Type [%s].",
                   m_InstType);
    }

    // 8. SAPMonHome
    if (mask & RULE_SAPMONHOME) {
        if (m_SAPMonHome.empty()) {
            fail();
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"SAPMonHome is empty.", status.GetCode(),
                       status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20165, L"SAPMonHome is empty.");
            return status;
        }
        bool isDir = false;
        CKestrelStatus st = CKestrelUtil::IsDirectory(m_SAPMonHome, isDir);
        if (st.IsFailure()) {
            status = st;
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistDir", status.GetCode(),
                       status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20166, L"SAPMonHome [%s] does NOT exist.", m_SAPMonHome);
            return status;
        }
        if (!isDir) {
            fail();
            KESTREL_LOG(KSEV_ERROR, 20167, L"SAPMonHome [%s] does NOT exist.", m_SAPMonHome);
            TERN_TRACE(L"SAPMonHome [%s] does NOT exist [%d, 0x%.08X].", m_SAPMonHome, status.GetCode(),
                       status.GetError());
            return status;
        }
        TERN_TRACE(L"SAPMonHome [%s] is a valid directory.", m_SAPMonHome);
    }

    // 9. SAPServiceUser
    if (mask & RULE_SAPSERVICEUSER) {
        if (m_SAPServiceUser.empty()) {
            fail();
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"SAPServiceUser is NULL.", status.GetCode(),
                       status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20168, L"SAPSeviceUser is NULL.");
            return status;
        }
        TERN_TRACE(L"User SAPServiceUser [%s] is non-null.", m_SAPServiceUser);
    }

    // 10. SAPAdminDomain: a warning only.
    if (mask & RULE_SAPADMINDOMAIN) {
        if (m_SAPAdminDomain.empty()) {
            TERN_TRACE(L"SAPAdminDomain [%s] is null. Treating the user as local system user.",
                       m_SAPAdminDomain);
            KESTREL_LOG(KSEV_NOTICE, 20169,
                        L"SAPAdminDomain [%s] is null. Treating the User as local system User.",
                        m_SAPAdminDomain);
        } else {
            TERN_TRACE(L"SAPAdminDomain [%s] is a non-null.", m_SAPAdminDomain);
        }
    }

    // 11. SAPAdmin
    if (mask & RULE_SAPADMIN) {
        if (m_SAPAdmin.empty()) {
            fail();
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"SAPAdmin is NULL.", status.GetCode(), status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20170, L"SAPAdmin is NULL.");
            return status;
        }
        TERN_TRACE(L"User SAPAdmin [%s] is non-null.", m_SAPAdmin);
        if (epCode == KEP_ONLINE) {
            const CKestrelPassword password = GetSAPAdminPassword();
            bool exists = false;
            CKestrelStatus st =
                CKestrelUtil::DoesExistUser(m_SAPAdmin, m_SAPAdminDomain, password.Get(), exists);
            if (st.IsFailure()) {
                status = st;
                TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistUser()", status.GetCode(),
                           status.GetError());
                TERN_TRACE(L"SAPAdmin [%s] does NOT exist [%d, 0x%.08X].", m_SAPAdmin, status.GetCode(),
                           status.GetError());
                KESTREL_LOG(KSEV_ERROR, 20171, L"SAPAdmin [%s] does NOT exist.", m_SAPAdmin);
                return status;
            }
            if (!exists) {
                fail();
                TERN_TRACE(L"SAPAdmin [%s] does NOT exist [%d, 0x%.08X].", m_SAPAdmin, status.GetCode(),
                           status.GetError());
                KESTREL_LOG(KSEV_ERROR, 20172, L"SAPAdmin [%s] does NOT exist.", m_SAPAdmin);
                return status;
            }
            TERN_TRACE(L"User SAPAdmin [%s] exist.", m_SAPAdmin);
        }
    }

    // 12. ResLogLevel: repaired, never failed.
    if (mask & RULE_RESLOGLEVEL) {
        if (m_ResLogLevel != L"INFO" && m_ResLogLevel != L"TRACE" && m_ResLogLevel != L"TRACETRACE") {
            fail();
            TERN_TRACE(L"ResLogLevel [%s] is invalid [%d, 0x%.08X].", m_ResLogLevel, status.GetCode(),
                       status.GetError());
            KESTREL_LOG(KSEV_WARNING, 20173, L"ResLogLevel [%s] is invalid.", m_ResLogLevel);
            m_ResLogLevel = L"INFO";
            TERN_TRACE(L"Setting ResLogLevel to default Log Level [%s].", m_ResLogLevel);
            KESTREL_LOG(KSEV_NOTICE, 20174, L"Setting ResLogLevel to default Log Level [%s].", m_ResLogLevel);
            status.Clear();
        }
    }

    // 13. InstName
    if (mask & RULE_INSTNAME) {
        if (m_InstName.empty()) {
            fail();
            TERN_TRACE(L"InstName is null [%s].", m_InstName);
            KESTREL_LOG(KSEV_ERROR, 20175, L"InstName is null [%s].", m_InstName);
            return status;
        }
        if (m_InstName.size() < 3) {
            fail();
            TERN_TRACE(L"InstName [%s] has length less than 3 characters [%d, 0x%.08X].", m_InstName,
                       status.GetCode(), status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20176, L"InstName [%s] has length less than 3 characters.", m_InstName);
            return status;
        }
        if (!IsDecimalDigit(m_InstName[m_InstName.size() - 2]) || !IsDecimalDigit(m_InstName.back())) {
            fail();
            TERN_TRACE(L"InstName [%s] does NOT contain digits as last two characters [%d, 0x%.08X].",
                       m_InstName, status.GetCode(), status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20177, L"InstName [%s] does NOT contain digits as last two characters.",
                        m_InstName);
            return status;
        }
        TERN_TRACE(L"InstName [%s] is a valid SAP Instance Name.", m_InstName);
    }

    // 14. InstProfile (not for ABAP)
    if (mask & RULE_INSTPROFILE) {
        if (CKestrelUtil::FindSAPArch(m_ProcMon) == 1) {
            TERN_TRACE(L"SAP Architecture is ABAP. Skipping InstProfile validation.");
        } else {
            if (m_InstProfile.empty()) {
                fail();
                TERN_TRACE(L"InstProfile is NULL.");
                KESTREL_LOG(KSEV_ERROR, 20178, L"InstProfile is NULL.");
                return status;
            }
            TERN_TRACE(L"InstProfile [%s] is non-null.", m_InstProfile);
            if (epCode == KEP_ONLINE) {
                const CKestrelPassword password = GetSAPAdminPassword();
                bool exists = false;
                CKestrelStatus st = CKestrelUtil::DoesExistInstProfile(
                    m_InstProfile, m_SAPAdmin, m_SAPAdminDomain, password.Get(), exists);
                if (st.IsFailure()) {
                    status = st;
                    TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistFile.", status.GetCode(),
                               status.GetError());
                    KESTREL_LOG(KSEV_ERROR, 20179, L"InstProfile [%s] does NOT exist.", m_InstProfile);
                    return status;
                }
                if (!exists) {
                    fail();
                    TERN_TRACE(L"InstProfile [%s] does NOT exist [%d, 0x%.08X].", m_InstProfile,
                               status.GetCode(), status.GetError());
                    KESTREL_LOG(KSEV_ERROR, 20180, L"InstProfile [%s] does NOT exist.", m_InstProfile);
                    return status;
                }
                TERN_TRACE(L"InstProfile [%s] is a valid SAP Instance Profile name and it exists.",
                           m_InstProfile);
            }
        }
    }

    // 15. EnqSrvResName, for the replication types only
    if ((mask & RULE_ENQSRVRESNAME) &&
        (m_InstType == L"ENQREP" || m_InstType == L"AENQREP" || m_InstType == L"JENQREP")) {
        if (m_EnqSrvResName.empty()) {
            fail();
            TERN_TRACE(L"EnqSrvResName is NULL.");
            KESTREL_LOG(KSEV_ERROR, 20181, L"EnqSrvResName is NULL.");
            return status;
        }
        bool exists = false;
        CKestrelStatus st = CKestrelUtil::DoesExistCairnResource(m_EnqSrvResName, exists);
        if (st.IsFailure()) {
            status = st;
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistCairnResource", status.GetCode(),
                       status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20182, L"EnqSrvResName [%s] does NOT exist.", m_EnqSrvResName);
            return status;
        }
        if (!exists) {
            fail();
            TERN_TRACE(L"EnqSrvResName [%s] does NOT exist [%d, 0x%.08X].", m_EnqSrvResName, status.GetCode(),
                       status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20183, L"EnqSrvResName [%s] does NOT exist.", m_EnqSrvResName);
            return status;
        }
        TERN_TRACE(L"EnqSrvResName [%s] is valid Cairn Resource and is of type Kestrel.", m_EnqSrvResName);
    }

    // 16. MonitorProgram
    if (mask & RULE_MONITORPROGRAM) {
        if (m_MonitorProgram.empty()) {
            TERN_TRACE(L"MonitorProgram [%s] is null.", m_MonitorProgram);
            return status;
        }
        size_t begin = m_MonitorProgram.find_first_not_of(L" \t");
        std::wstring exe;
        if (begin != std::wstring::npos) {
            size_t end = m_MonitorProgram.find_first_of(L" \t", begin);
            exe =
                m_MonitorProgram.substr(begin, end == std::wstring::npos ? std::wstring::npos : end - begin);
        }
        TERN_TRACE(L"mpname [%s] from MonitorProgram [%s].", exe, m_MonitorProgram);
        TERN_TRACE(L"Got the exe name [%s] from the MonitorProgram [%s].", exe, m_MonitorProgram);
        TERN_TRACE(L"tmpexe [%s] from exename [%s].", exe, exe);
        if (exe.empty()) {
            // Blanks and tabs only: there is no program to run, so it counts as missing.
            fail();
            TERN_TRACE(L"MonitorProgram [%s] does NOT exist [%d, 0x%.08X].", m_MonitorProgram,
                       status.GetCode(), status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20185, L"MonitorProgram [%s] does NOT exist.", m_MonitorProgram);
            return status;
        }
        bool exists = false;
        CKestrelStatus st = CKestrelUtil::DoesExistFile(exe, exists);
        if (st.IsFailure()) {
            status = st;
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistFile", status.GetCode(),
                       status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20184, L"Failed to check MonitorProgram [%s] exist or not.", exe);
            return status;
        }
        if (!exists) {
            fail();
            TERN_TRACE(L"MonitorProgram [%s] does NOT exist [%d, 0x%.08X].", exe, status.GetCode(),
                       status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20185, L"MonitorProgram [%s] does NOT exist.", exe);
            return status;
        }
        TERN_TRACE(L"MonitorProgram [%s] is validated successfully.", exe);
    }
    return status;
}

CKestrelStatus CKestrelAttrib::_FindTimeout(CKestrelStatus& status, uint32_t& budget, int32_t epCode) {
    uint32_t seconds = 0;
    if (!KestrelGetTimeout(epCode, seconds)) {
        status.Set(CKestrelStatus::kFramework, kErrorInvalidParameter);
        return status;
    }
    budget = seconds;
    TERN_TRACE(L"Got timeout for the entry point from cluster [%d].", budget);
    status.Clear();
    return status;
}

std::string CKestrelAttrib::CookieName(const std::wstring& resourceName) {
    return TernWideToMb(resourceName) + "_kestrel_slmcounter";
}

CKestrelStatus CKestrelAttrib::GetSLMCounter(CKestrelStatus& status, uint32_t& counter,
                                             const std::wstring& resourceName, bool release) {
    TERN_TRACE(L"GetSLMCounter called with resname [%s].", resourceName);
    status.Clear();
    void* value = CairnAgGetCookie(CookieName(resourceName).c_str());
    if (value) {
        counter = static_cast<uint32_t>(TernWtoi(static_cast<const wchar_t*>(value)));
    } else {
        counter = 1;
        CKestrelStatus stored;
        SetSLMCounter(stored, 1, resourceName);
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"Cookie NOT found.", stored.GetCode(), stored.GetError());
        TERN_TRACE(L"Cookie NOT found. Seting it to [%d].", 1);
    }
    TERN_TRACE(L"Got slmcounter [%d] from GetSLMCounter.", counter);
    if (release && value) CairnAgDeleteMem(value);
    return status;
}

CKestrelStatus CKestrelAttrib::SetSLMCounter(CKestrelStatus& status, uint32_t counter,
                                             const std::wstring& resourceName) {
    TERN_TRACE(L"SetSLMCounter called with slmcounter [%d] and resname [%s].", counter, resourceName);
    status.Clear();
    // 80 bytes: room for 40 wide characters. The framework takes the buffer over.
    constexpr size_t kChars = 40;
    auto* buffer = static_cast<wchar_t*>(std::calloc(kChars, sizeof(wchar_t)));
    if (buffer == nullptr) return status;
    std::wstring text = TernFormat(L"%d", static_cast<int32_t>(counter));
    std::wmemcpy(buffer, text.c_str(), std::min(text.size(), kChars - 1));
    CairnAgSetCookie(CookieName(resourceName).c_str(), buffer);
    return status;
}

int32_t CKestrelAttrib::_DecryptPassword(char* buffer) {
    return TernDecodePassword(buffer, kPasswordBuffer);
}

CKestrelPassword CKestrelAttrib::GetSAPAdminPassword() {
    // Kept out of core dumps from before the first decoded byte exists.
    TernNoDumpGuard noDump;
    std::string encoded = TernWideToMb(m_SAPAdminPassword);
    int32_t result = -2;
    std::wstring plain;
    if (encoded.size() < kPasswordBuffer) {
        char buffer[kPasswordBuffer] = {};
        std::memcpy(buffer, encoded.data(), encoded.size());
        result = _DecryptPassword(buffer);
        if (result == 0) plain = TernMbToWide(std::string_view(buffer, std::strlen(buffer)));
        TernSecureZero(buffer, sizeof buffer);
    }
    Wipe(encoded);
    if (result == -1) {
        TERN_TRACE(L"Inavlid usage of the decryption algorithm.");
    } else if (result == -2) {
        TERN_TRACE(L"Inavlid password.");
    } else if (result != 0) {
        TERN_TRACE(L"Problem in decrypting the password.");
    }
    if (result != 0) return CKestrelPassword();
    return CKestrelPassword(plain);  // wipes plain
}
