#include "KestrelAttrib.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string_view>

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
    // A step that failed: its status, the "%s returned" trace and the message, both with the same text.
    auto failed = [&status](int32_t code, uint32_t error, uint32_t id, TernFormatString<> text) {
        status.Set(code, error);
        KESTREL_TRACE_RETURNED(text.get(), status);
        KESTREL_LOG(KSEV_ERROR, id, text);
    };
    // The steps run in a lambda so that their trace lines and messages carry this function's name.
    auto steps = [&]() {
        if (resourceName == nullptr || args == nullptr) {
            return failed(CKestrelStatus::kFramework, kErrorInvalidParameter, 20139,
                          L"Resource name or the argument list received from the engine is empty.");
        }
        size_t length = 0;
        int r = CairnAgEncodeString(0, resourceName, std::strlen(resourceName) + 1, 1, &wideName, &length);
        if (r != 0) {
            return failed(CKestrelStatus::kFramework, static_cast<uint32_t>(r), 20140,
                          L"Failed to convert(encode) resource name.");
        }
        m_ResourceName = wideName ? wideName : L"";
        r = CairnAgGetEncodedArgList(0, args, 1, &list);
        if (r != 0) {
            return failed(CKestrelStatus::kFramework, static_cast<uint32_t>(r), 20141,
                          L"Failed to convert(encode) the argument list.");
        }
        ReadArgList(list);
        if (m_InstTypeKind == KestrelInstType::kUnknown) TERN_TRACE(L"InstType [%s] is invalid.", m_InstType);

        if (validate) {
            CKestrelStatus check;
            _CheckArgs(check, epCode);
            if (check.IsFailure()) {
                status = check;
                KESTREL_TRACE_RETURNED(L"CheckArgs Failed.", status);
                KESTREL_LOG(KSEV_ERROR, 20142, L"CheckArgs Failed.");
                return;
            }
        }

        m_Timeout = kDefaultTimeout;
        CKestrelStatus found;
        _FindTimeout(found, m_Timeout, epCode);
        if (found.IsFailure()) {
            KESTREL_TRACE_RETURNED(L"_FindTimeout()", found);
            m_Timeout = kDefaultTimeout;
            KESTREL_TRACE_LOG(
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

void CKestrelAttrib::ReadArgList(const wchar_t* const* list) {
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
    // A known type is stored in its upper-case form; an unknown one is kept as it came.
    m_InstTypeKind = KestrelParseInstType(m_InstType);
    if (m_InstTypeKind != KestrelInstType::kUnknown) m_InstType = KestrelInstTypeName(m_InstTypeKind);
}

void CKestrelAttrib::LogArgs() {
    struct Item {
        const wchar_t* name;
        std::wstring value;
    };
    const Item items[] = {
        {L"ResourceName", m_ResourceName},
        {L"SAPSID", m_SAPSID},
        {L"SAPHome", m_SAPHome},
        {L"SAPMonHome", m_SAPMonHome},
        {L"SAPHost", m_SAPHost},
        {L"SAPServiceUser", m_SAPServiceUser},
        {L"SAPAdminDomain", m_SAPAdminDomain},
        {L"SAPAdmin", m_SAPAdmin},
        {L"SAPAdminPassword", m_SAPAdminPassword},
        {L"ResLogLevel", m_ResLogLevel},
        {L"InstType", m_InstType},
        {L"InstName", m_InstName},
        {L"InstProfile", m_InstProfile},
        {L"EnqSrvResName", m_EnqSrvResName},
        {L"MonitorProgram", m_MonitorProgram},
        {L"SecondLevelMonitor", TernFormat(L"%d", m_SecondLevelMonitor)},
        {L"EPProgramTimeout", TernFormat(L"%d", m_EPProgramTimeout)},
    };
    std::wstring text = L"The entry point is called with attribute values: ";
    const size_t last = std::size(items) - 1;
    for (size_t i = 0; i < std::size(items); ++i) {
        const Item& it = items[i];
        text += TernFormat(L"\n \t\t\t\t\t\t%-20s= [%s", it.name, it.value);
        text += i == last ? L"]. \n" : L"], ";
    }
    TERN_TRACE(L"%s", text);
}

CKestrelStatus CKestrelAttrib::_FindTimeout(CKestrelStatus& status, uint32_t& budget, int32_t epCode) {
    uint32_t seconds = 0;
    if (!KestrelGetTimeout(epCode == KEP_VALIDATE ? KEP_ONLINE : epCode, seconds)) {
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
        KESTREL_TRACE_RETURNED(L"Cookie NOT found.", stored);
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

// --- Validation ------------------------------------------------------------------------------------------

// Parsing calls _CheckArgs, and the administrator reads validation's trace lines and messages under that
// name: every rule and shared check below writes as _CheckArgs, whichever helper holds the line.
#undef TERN_FUNC
#define TERN_FUNC (std::string_view("CKestrelAttrib::_CheckArgs"))

namespace {

constexpr uint32_t kOnlineRules = kRuleSAPSID | kRuleSecondLevelMonitor | kRuleEPProgramTimeout |
                                  kRuleSAPHome | kRuleSAPMonHome | kRuleSAPHost | kRuleProcMon |
                                  kRuleSAPServiceUser | kRuleSAPAdminDomain | kRuleSAPAdmin |
                                  kRuleResLogLevel | kRuleInstType | kRuleInstName | kRuleInstProfile |
                                  kRuleEnqSrvResName | kRuleMonitorProgram;
constexpr uint32_t kOfflineRules = kRuleSAPSID | kRuleEPProgramTimeout | kRuleSAPHome | kRuleSAPHost |
                                   kRuleSAPAdminDomain | kRuleSAPAdmin | kRuleInstName;
constexpr uint32_t kCleanRules =
    kRuleSAPSID | kRuleEPProgramTimeout | kRuleSAPServiceUser | kRuleSAPAdmin | kRuleInstName;
constexpr uint32_t kMonitorRules = kRuleSAPSID | kRuleEPProgramTimeout | kRuleSAPHome | kRuleProcMon |
                                   kRuleSAPServiceUser | kRuleSAPAdminDomain | kRuleSAPAdmin | kRuleInstType |
                                   kRuleInstName;

// What a rule writes when it rejects a value: a trace line with the value and the failure's code and
// error, and a message with the value; the message comes first where messageFirst is set.
template <class V>
struct Rejection {
    uint32_t id;
    TernFormatString<V, int32_t, uint32_t> trace;
    TernFormatString<V> message;
    bool messageFirst = false;
};

// A CKestrelUtil question about an attribute value, and what each outcome writes: the question could not
// be asked (its own status is returned), the answer rejects the value, or it accepts it.
struct Question {
    const wchar_t* operation;  // named in the "%s returned" trace when the question cannot be asked
    uint32_t unaskedId;
    TernFormatString<std::wstring> unasked;
    Rejection<std::wstring> rejected;
    TernFormatString<std::wstring> accepted;
    bool unaskedTracesRejection = false;  // the rejection's trace line also follows the "%s returned" one
};

constexpr Rejection<int32_t> kSecondLevelMonitorNegative{
    20148, L"SecondLevelMonitor [%d] is negative [%d, 0x%.08X].", L"SecondLevelMonitor [%d] is negative."};
constexpr Rejection<int32_t> kEPProgramTimeoutNegative{
    20149, L"EPProgramTimeout [%d] is negative [%d, 0x%.08X].", L"EPProgramTimeout is negative [%d]."};
constexpr Rejection<std::wstring> kInstTypeInvalid{20159, L"InstType [%s] is invalid [%d, 0x%.08X].",
                                                   L"InstType [%s] is invalid."};
constexpr Rejection<std::wstring> kInstTypeWithoutProcesses{20164, L"InstType [%s] is invalid [%d, 0x%.08X].",
                                                            L"InstType [%s] is invalid."};
constexpr Rejection<std::wstring> kInstNameShort{
    20176, L"InstName [%s] has length less than 3 characters [%d, 0x%.08X].",
    L"InstName [%s] has length less than 3 characters."};
constexpr Rejection<std::wstring> kInstNameWithoutNumber{
    20177, L"InstName [%s] does NOT contain digits as last two characters [%d, 0x%.08X].",
    L"InstName [%s] does NOT contain digits as last two characters."};

constexpr Question kSAPHomeNotNull{L"CKestrelUtil::DoesExistDir.",
                                   20151,
                                   L"SAPHome [%s] is NULL.",
                                   {20152, L"SAPHome [%s] is NULL [%d, 0x%.08X].", L"SAPHome [%s] is NULL."},
                                   L"SAPHome [%s] is NOT null."};
constexpr Question kSAPHomeIsDirectory{
    L"CKestrelUtil::DoesExistDir.",
    20153,
    L"SAPHome [%s] does NOT exist.",
    {20154, L"SAPHome [%s] does NOT exist [%d, 0x%.08X].", L"SAPHome [%s] does NOT exist."},
    L"SAPHome [%s] is a valid directory."};
constexpr Question kSAPHostIsHostName{
    L"CKestrelUtil::IsValidHostName",
    20156,
    L"SAPHost [%s] is NOT a valid hostname.",
    {20157, L"SAPHost [%s] is NOT a valid hostname [%d, 0x%.08X].", L"SAPHost [%s] is NOT a valid hostname."},
    L"SAPHost [%s] is a valid hostname."};
constexpr Question kSAPMonHomeIsDirectory{
    L"CKestrelUtil::DoesExistDir",
    20166,
    L"SAPMonHome [%s] does NOT exist.",
    {20167, L"SAPMonHome [%s] does NOT exist [%d, 0x%.08X].", L"SAPMonHome [%s] does NOT exist.", true},
    L"SAPMonHome [%s] is a valid directory."};
constexpr Question kSAPAdminExists{
    L"CKestrelUtil::DoesExistUser()",
    20171,
    L"SAPAdmin [%s] does NOT exist.",
    {20172, L"SAPAdmin [%s] does NOT exist [%d, 0x%.08X].", L"SAPAdmin [%s] does NOT exist."},
    L"User SAPAdmin [%s] exist.",
    true};
constexpr Question kInstProfileExists{
    L"CKestrelUtil::DoesExistFile.",
    20179,
    L"InstProfile [%s] does NOT exist.",
    {20180, L"InstProfile [%s] does NOT exist [%d, 0x%.08X].", L"InstProfile [%s] does NOT exist."},
    L"InstProfile [%s] is a valid SAP Instance Profile name and it exists."};
constexpr Question kEnqSrvResNameExists{
    L"CKestrelUtil::DoesExistCairnResource",
    20182,
    L"EnqSrvResName [%s] does NOT exist.",
    {20183, L"EnqSrvResName [%s] does NOT exist [%d, 0x%.08X].", L"EnqSrvResName [%s] does NOT exist."},
    L"EnqSrvResName [%s] is valid Cairn Resource and is of type Kestrel."};
constexpr Question kMonitorProgramExists{
    L"CKestrelUtil::DoesExistFile",
    20184,
    L"Failed to check MonitorProgram [%s] exist or not.",
    {20185, L"MonitorProgram [%s] does NOT exist [%d, 0x%.08X].", L"MonitorProgram [%s] does NOT exist."},
    L"MonitorProgram [%s] is validated successfully."};

// The process images an instance type may list in ProcMon (compared case-insensitively), and the id of
// the message that rejects any other.
struct ProcMonAllowance {
    bool (*matches)(KestrelInstType);
    uint32_t id;
    std::vector<std::wstring> names;
};

const ProcMonAllowance kProcMonAllowances[] = {
    {[](KestrelInstType t) { return t == KestrelInstType::kCentral; },
     20160,
     {L"disp+work.exe", L"jcontrol.exe", L"igswd.exe", L"gwrd.exe", L"icman.exe", L"msg_server.exe"}},
    {[](KestrelInstType t) { return t == KestrelInstType::kDialog; },
     20161,
     {L"disp+work.exe", L"jcontrol.exe", L"igswd.exe", L"gwrd.exe", L"icman.exe"}},
    {&KestrelIsEnqueueServer, 20162, {L"msg_server.exe", L"enserver.exe"}},
    {&KestrelIsEnqueueReplication, 20163, {L"enrepserver.exe"}},
};

bool IsUpperAlpha(wchar_t c) {
    return std::iswalpha(static_cast<wint_t>(c)) && std::iswupper(static_cast<wint_t>(c));
}
bool IsDecimalDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// The validation failure: code 2, error 160.
CKestrelStatus& Fail(CKestrelStatus& status) {
    status.Set(CKestrelStatus::kPlatform, kErrorBadArguments);
    return status;
}

// Fails when value is empty: the "%s returned" trace names traced (the message's text when null), then
// the message. Returns whether it failed.
bool RejectEmpty(CKestrelStatus& status, const std::wstring& value, uint32_t id, TernFormatString<> message,
                 const wchar_t* traced = nullptr) {
    if (!value.empty()) return false;
    Fail(status);
    KESTREL_TRACE_RETURNED(traced ? traced : message.get(), status);
    KESTREL_LOG(KSEV_ERROR, id, message);
    return true;
}

// Fails with the rejection's trace line and message for value.
template <class V>
CKestrelStatus Reject(CKestrelStatus& status, const Rejection<V>& rejection, const V& value) {
    Fail(status);
    if (rejection.messageFirst) KESTREL_LOG(KSEV_ERROR, rejection.id, rejection.message, value);
    TERN_TRACE(rejection.trace, value, status.GetCode(), status.GetError());
    if (!rejection.messageFirst) KESTREL_LOG(KSEV_ERROR, rejection.id, rejection.message, value);
    return status;
}

// Reports the outcome of a question about value: asked is the question's own status, accepted its answer.
CKestrelStatus Answer(CKestrelStatus& status, const Question& question, const std::wstring& value,
                      const CKestrelStatus& asked, bool accepted) {
    if (asked.IsFailure()) {
        status = asked;
        KESTREL_TRACE_RETURNED(question.operation, status);
        if (question.unaskedTracesRejection)
            TERN_TRACE(question.rejected.trace, value, status.GetCode(), status.GetError());
        KESTREL_LOG(KSEV_ERROR, question.unaskedId, question.unasked, value);
        return status;
    }
    if (!accepted) return Reject(status, question.rejected, value);
    TERN_TRACE(question.accepted, value);
    return status;
}

// Three characters, an upper-case letter and then upper-case letters or digits. Traces every fault found
// (all three characters are looked at) and logs a wrong length.
bool IsValidSAPSID(const std::wstring& sid) {
    if (sid.size() < 3) {
        KESTREL_TRACE_LOG(KSEV_ERROR, 20145, L"SAPSID [%s] is less than three characters.", sid);
        return false;
    }
    if (sid.size() > 3) {
        KESTREL_TRACE_LOG(KSEV_ERROR, 20146, L"SAPSID [%s] is more than three characters.", sid);
        return false;
    }
    bool valid = true;
    if (!IsUpperAlpha(sid[0])) {
        TERN_TRACE(
            L"The first letter in SAPSID [%s] is either not an alphabet or not an UPPER case character.",
            sid);
        valid = false;
    }
    for (size_t i = 1; i < 3; ++i) {
        if (!IsUpperAlpha(sid[i]) && !IsDecimalDigit(sid[i])) {
            TERN_TRACE(L"Invalid characters exist in SAPSID [%s].", sid);
            valid = false;
        }
    }
    return valid;
}

// The program of a command line: its first token between blanks and tabs (empty when there is none).
std::wstring ProgramOf(const std::wstring& commandLine) {
    const size_t begin = commandLine.find_first_not_of(L" \t");
    if (begin == std::wstring::npos) return std::wstring();
    const size_t end = commandLine.find_first_of(L" \t", begin);
    return commandLine.substr(begin, end == std::wstring::npos ? std::wstring::npos : end - begin);
}

}  // namespace

uint32_t KestrelRuleSet(int32_t epCode) {
    switch (epCode) {
        case KEP_ONLINE:
            return kOnlineRules;
        case KEP_OFFLINE:
            return kOfflineRules;
        case KEP_CLEAN:
            return kCleanRules;
        case KEP_MONITOR:
            return kMonitorRules;
        case KEP_VALIDATE:
            return kOnlineRules;
        default:
            return 0;
    }
}

// Each rule checks one attribute of the record for the entry point (epCode). It returns status: failed
// (and validation ends) or left as it was.
struct CKestrelAttrib::Rules {
    using Check = CKestrelStatus (*)(CKestrelAttrib& a, CKestrelStatus& status, int32_t epCode);
    struct Rule {
        KestrelRule bit;
        Check check;
    };
    // The rules in the order they run.
    static const Rule kTable[];

    static CKestrelStatus SAPSID(CKestrelAttrib& a, CKestrelStatus& status, int32_t) {
        if (RejectEmpty(status, a.m_SAPSID, 20144, L"SAPSID is empty.")) return status;
        if (!IsValidSAPSID(a.m_SAPSID)) {
            KESTREL_TRACE_LOG(KSEV_ERROR, 20147, L"SAPSID [%s] is NOT valid.", a.m_SAPSID);
            return Fail(status);
        }
        TERN_TRACE(L"SAPSID [%s] is validated successfully.", a.m_SAPSID);
        return status;
    }

    static CKestrelStatus SecondLevelMonitor(CKestrelAttrib& a, CKestrelStatus& status, int32_t) {
        if (a.m_SecondLevelMonitor < 0)
            return Reject(status, kSecondLevelMonitorNegative, a.m_SecondLevelMonitor);
        TERN_TRACE(L"SecondLevelMonitor [%d] is a valid value.", a.m_SecondLevelMonitor);
        return status;
    }

    static CKestrelStatus EPProgramTimeout(CKestrelAttrib& a, CKestrelStatus& status, int32_t) {
        if (a.m_EPProgramTimeout < 0) return Reject(status, kEPProgramTimeoutNegative, a.m_EPProgramTimeout);
        TERN_TRACE(L"EPProgramTimeout [%d] is a valid value.", a.m_EPProgramTimeout);
        return status;
    }

    // Monitor (and validation without a look at the node) only asks whether the text is blank; the other
    // entry points want an existing directory.
    static CKestrelStatus SAPHome(CKestrelAttrib& a, CKestrelStatus& status, int32_t epCode) {
        if (RejectEmpty(status, a.m_SAPHome, 20150, L"SAPHome is empty.")) return status;
        bool answer = false;
        if (epCode == KEP_MONITOR || epCode == KEP_VALIDATE) {
            const CKestrelStatus asked = CKestrelUtil::IsNull(a.m_SAPHome, answer);
            return Answer(status, kSAPHomeNotNull, a.m_SAPHome, asked, !answer);
        }
        const CKestrelStatus asked = CKestrelUtil::IsDirectory(a.m_SAPHome, answer);
        return Answer(status, kSAPHomeIsDirectory, a.m_SAPHome, asked, answer);
    }

    // Only Online (and validation for it) asks whether the name is a valid host name.
    static CKestrelStatus SAPHost(CKestrelAttrib& a, CKestrelStatus& status, int32_t epCode) {
        if (RejectEmpty(status, a.m_SAPHost, 20155, L"SAPHost is empty.")) return status;
        TERN_TRACE(L"SAPHost [%s] is non-null. Continue...", a.m_SAPHost);
        if (epCode != KEP_ONLINE && epCode != KEP_VALIDATE) return status;
        bool valid = false;
        const CKestrelStatus asked = CKestrelUtil::IsValidHostName(a.m_SAPHost, valid);
        return Answer(status, kSAPHostIsHostName, a.m_SAPHost, asked, valid);
    }

    static CKestrelStatus InstType(CKestrelAttrib& a, CKestrelStatus& status, int32_t) {
        if (RejectEmpty(status, a.m_InstType, 20158, L"InstType is NULL.")) return status;
        if (a.m_InstTypeKind == KestrelInstType::kUnknown)
            return Reject(status, kInstTypeInvalid, a.m_InstType);
        TERN_TRACE(L"InstType [%s] is a valid SAP Instance Type.", a.m_InstType);
        return status;
    }

    static CKestrelStatus ProcMon(CKestrelAttrib& a, CKestrelStatus& status, int32_t) {
        const ProcMonAllowance* allowed = nullptr;
        for (const ProcMonAllowance& allowance : kProcMonAllowances)
            if (allowance.matches(a.m_InstTypeKind)) allowed = &allowance;
        for (const std::wstring& entry : a.m_ProcMon) {
            TERN_TRACE(L"Got [%s] from ProcMon list.", entry);
            if (allowed == nullptr) return Reject(status, kInstTypeWithoutProcesses, a.m_InstType);
            bool listed = false;
            for (const std::wstring& name : allowed->names) listed = listed || TernEqualsNoCase(entry, name);
            if (!listed) {
                KESTREL_TRACE_LOG(KSEV_ERROR, allowed->id,
                                  L"Invalid process name in the ProcMon list [%s] for InstType [%s].", entry,
                                  a.m_InstType);
                return Fail(status);
            }
        }
        TERN_TRACE(L"All the processes listed in the ProcMon are valid for the SAP Instance Type [%s].",
                   a.m_InstType);
        return status;
    }

    static CKestrelStatus SAPMonHome(CKestrelAttrib& a, CKestrelStatus& status, int32_t epCode) {
        if (RejectEmpty(status, a.m_SAPMonHome, 20165, L"SAPMonHome is empty.")) return status;
        if (epCode == KEP_VALIDATE) return status;  // the directory is the node's business
        bool isDirectory = false;
        const CKestrelStatus asked = CKestrelUtil::IsDirectory(a.m_SAPMonHome, isDirectory);
        return Answer(status, kSAPMonHomeIsDirectory, a.m_SAPMonHome, asked, isDirectory);
    }

    static CKestrelStatus SAPServiceUser(CKestrelAttrib& a, CKestrelStatus& status, int32_t) {
        if (RejectEmpty(status, a.m_SAPServiceUser, 20168, L"SAPSeviceUser is NULL.",
                        L"SAPServiceUser is NULL."))
            return status;
        TERN_TRACE(L"User SAPServiceUser [%s] is non-null.", a.m_SAPServiceUser);
        return status;
    }

    // A warning only: an empty domain means a local account.
    static CKestrelStatus SAPAdminDomain(CKestrelAttrib& a, CKestrelStatus& status, int32_t) {
        if (!a.m_SAPAdminDomain.empty()) {
            TERN_TRACE(L"SAPAdminDomain [%s] is a non-null.", a.m_SAPAdminDomain);
            return status;
        }
        TERN_TRACE(L"SAPAdminDomain [%s] is null. Treating the user as local system user.",
                   a.m_SAPAdminDomain);
        KESTREL_LOG(KSEV_NOTICE, 20169,
                    L"SAPAdminDomain [%s] is null. Treating the User as local system User.",
                    a.m_SAPAdminDomain);
        return status;
    }

    // Only Online logs on as the account to see that it exists.
    static CKestrelStatus SAPAdmin(CKestrelAttrib& a, CKestrelStatus& status, int32_t epCode) {
        if (RejectEmpty(status, a.m_SAPAdmin, 20170, L"SAPAdmin is NULL.")) return status;
        TERN_TRACE(L"User SAPAdmin [%s] is non-null.", a.m_SAPAdmin);
        if (epCode != KEP_ONLINE) return status;
        const CKestrelPassword password = a.GetSAPAdminPassword();
        bool exists = false;
        const CKestrelStatus asked =
            CKestrelUtil::DoesExistUser(a.m_SAPAdmin, a.m_SAPAdminDomain, password.Get(), exists);
        return Answer(status, kSAPAdminExists, a.m_SAPAdmin, asked, exists);
    }

    // Repaired, never failed: an unknown level becomes INFO; the status shows the fault only while the
    // repair is reported.
    static CKestrelStatus ResLogLevel(CKestrelAttrib& a, CKestrelStatus& status, int32_t) {
        const std::wstring& level = a.m_ResLogLevel;
        if (level == L"INFO" || level == L"TRACE" || level == L"TRACETRACE") return status;
        Fail(status);
        TERN_TRACE(L"ResLogLevel [%s] is invalid [%d, 0x%.08X].", level, status.GetCode(), status.GetError());
        KESTREL_LOG(KSEV_WARNING, 20173, L"ResLogLevel [%s] is invalid.", level);
        a.m_ResLogLevel = L"INFO";
        KESTREL_TRACE_LOG(KSEV_NOTICE, 20174, L"Setting ResLogLevel to default Log Level [%s].", level);
        status.Clear();
        return status;
    }

    static CKestrelStatus InstName(CKestrelAttrib& a, CKestrelStatus& status, int32_t) {
        const std::wstring& name = a.m_InstName;
        if (name.empty()) {
            KESTREL_TRACE_LOG(KSEV_ERROR, 20175, L"InstName is null [%s].", name);
            return Fail(status);
        }
        if (name.size() < 3) return Reject(status, kInstNameShort, name);
        if (!IsDecimalDigit(name[name.size() - 2]) || !IsDecimalDigit(name.back()))
            return Reject(status, kInstNameWithoutNumber, name);
        TERN_TRACE(L"InstName [%s] is a valid SAP Instance Name.", name);
        return status;
    }

    // An ABAP instance has no profile to check; only Online looks for the file, as the administrator.
    static CKestrelStatus InstProfile(CKestrelAttrib& a, CKestrelStatus& status, int32_t epCode) {
        if (CKestrelUtil::FindSAPArch(a.m_ProcMon) == 1) {
            TERN_TRACE(L"SAP Architecture is ABAP. Skipping InstProfile validation.");
            return status;
        }
        if (a.m_InstProfile.empty()) {
            KESTREL_TRACE_LOG(KSEV_ERROR, 20178, L"InstProfile is NULL.");
            return Fail(status);
        }
        TERN_TRACE(L"InstProfile [%s] is non-null.", a.m_InstProfile);
        if (epCode != KEP_ONLINE) return status;
        const CKestrelPassword password = a.GetSAPAdminPassword();
        bool exists = false;
        const CKestrelStatus asked = CKestrelUtil::DoesExistInstProfile(
            a.m_InstProfile, a.m_SAPAdmin, a.m_SAPAdminDomain, password.Get(), exists);
        return Answer(status, kInstProfileExists, a.m_InstProfile, asked, exists);
    }

    // Only a replication server names the enqueue-server resource it follows.
    static CKestrelStatus EnqSrvResName(CKestrelAttrib& a, CKestrelStatus& status, int32_t) {
        if (!KestrelIsEnqueueReplication(a.m_InstTypeKind)) return status;
        if (a.m_EnqSrvResName.empty()) {
            KESTREL_TRACE_LOG(KSEV_ERROR, 20181, L"EnqSrvResName is NULL.");
            return Fail(status);
        }
        bool exists = false;
        const CKestrelStatus asked = CKestrelUtil::DoesExistCairnResource(a.m_EnqSrvResName, exists);
        return Answer(status, kEnqSrvResNameExists, a.m_EnqSrvResName, asked, exists);
    }

    // Only the program (the first token) has to exist; its arguments are the user's business.
    static CKestrelStatus MonitorProgram(CKestrelAttrib& a, CKestrelStatus& status, int32_t epCode) {
        const std::wstring& program = a.m_MonitorProgram;
        if (program.empty()) {
            TERN_TRACE(L"MonitorProgram [%s] is null.", program);
            return status;
        }
        const std::wstring exe = ProgramOf(program);
        TERN_TRACE(L"mpname [%s] from MonitorProgram [%s].", exe, program);
        TERN_TRACE(L"Got the exe name [%s] from the MonitorProgram [%s].", exe, program);
        TERN_TRACE(L"tmpexe [%s] from exename [%s].", exe, exe);
        // Blanks and tabs only: there is no program to run, so it counts as missing.
        if (exe.empty()) return Reject(status, kMonitorProgramExists.rejected, program);
        if (epCode == KEP_VALIDATE) return status;  // the file is the node's business
        bool exists = false;
        const CKestrelStatus asked = CKestrelUtil::DoesExistFile(exe, exists);
        return Answer(status, kMonitorProgramExists, exe, asked, exists);
    }
};

const CKestrelAttrib::Rules::Rule CKestrelAttrib::Rules::kTable[] = {
    {kRuleSAPSID, &SAPSID},
    {kRuleSecondLevelMonitor, &SecondLevelMonitor},
    {kRuleEPProgramTimeout, &EPProgramTimeout},
    {kRuleSAPHome, &SAPHome},
    {kRuleSAPHost, &SAPHost},
    {kRuleInstType, &InstType},
    {kRuleProcMon, &ProcMon},
    {kRuleSAPMonHome, &SAPMonHome},
    {kRuleSAPServiceUser, &SAPServiceUser},
    {kRuleSAPAdminDomain, &SAPAdminDomain},
    {kRuleSAPAdmin, &SAPAdmin},
    {kRuleResLogLevel, &ResLogLevel},
    {kRuleInstName, &InstName},
    {kRuleInstProfile, &InstProfile},
    {kRuleEnqSrvResName, &EnqSrvResName},
    {kRuleMonitorProgram, &MonitorProgram},
};

CKestrelStatus CKestrelAttrib::_CheckArgs(CKestrelStatus& status, int32_t epCode) {
    const uint32_t rules = KestrelRuleSet(epCode);
    status.Clear();
    for (const Rules::Rule& rule : Rules::kTable) {
        if ((rules & rule.bit) != 0 && rule.check(*this, status, epCode).IsFailure()) break;
    }
    return status;
}
