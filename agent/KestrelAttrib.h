// CKestrelAttrib: the attribute values of one Kestrel resource for the length of one entry-point call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CairnAgfw.h"
#include "KestrelInstType.h"
#include "KestrelPassword.h"
#include "KestrelStatus.h"

// Entry-point codes handed to parsing, validation and the timeout lookup.
enum : int32_t { KEP_ONLINE = 1, KEP_OFFLINE = 2, KEP_CLEAN = 4, KEP_MONITOR = 5 };
// Validation only (KestrelQuery.cpp): Online's rules with the checks that need no look at the node (no
// directory, file, account or profile look-up); the timeout looked up is Online's.
enum : int32_t { KEP_VALIDATE = 8 };

// The validation rules, one bit each, named after the attribute they check. They run in the order of the
// rule table (SAPSID first, MonitorProgram last), which is not the order of the bits.
// clang-format off
enum KestrelRule : uint32_t {
    kRuleSAPSID = 0x1, kRuleSecondLevelMonitor = 0x2, kRuleEPProgramTimeout = 0x4, kRuleSAPHome = 0x8,
    kRuleSAPMonHome = 0x10, kRuleSAPHost = 0x20, kRuleProcMon = 0x40 /* ProcMon against InstType */,
    kRuleSAPServiceUser = 0x80, kRuleSAPAdminDomain = 0x100, kRuleSAPAdmin = 0x200, kRuleResLogLevel = 0x800,
    kRuleInstType = 0x1000, kRuleInstName = 0x2000, kRuleInstProfile = 0x4000, kRuleEnqSrvResName = 0x8000,
    kRuleMonitorProgram = 0x10000,
};
// clang-format on
// The rules an entry point checks, as an OR of KestrelRule bits; 0 for an unknown entry-point code.
uint32_t KestrelRuleSet(int32_t epCode);

class CKestrelAttrib {
  public:
    // Budget used when the entry point's timeout cannot be looked up, in seconds.
    static constexpr uint32_t kDefaultTimeout = 500;
    // Room of the narrow buffer that holds the encoded password while it is decoded.
    static constexpr size_t kPasswordBuffer = 4096;

    CKestrelAttrib() = default;
    virtual ~CKestrelAttrib() = default;
    CKestrelAttrib(const CKestrelAttrib&) = delete;
    CKestrelAttrib& operator=(const CKestrelAttrib&) = delete;

    // Fills the record from the framework's argument vector, validates it for the entry point (when
    // validate is set) and looks up the entry point's time budget. Returns (and stores in status) success,
    // code 1 for a missing or undecodable input, or the first failing validation rule's status.
    // A record whose parsing failed keeps the fields filled so far.
    CKestrelStatus Parse(CKestrelStatus& status, int32_t epCode, const char* resourceName,
                         CairnArgVector args, bool validate);
    // Writes one trace line with every attribute value (the password in its encoded form).
    void LogArgs();

    // SLM counter kept in the framework cookie "<resource>_kestrel_slmcounter". Always succeed; a cookie
    // never stored reads as 1 and is stored as 1. With release set, the value read is freed.
    CKestrelStatus GetSLMCounter(CKestrelStatus& status, uint32_t& counter, const std::wstring& resourceName,
                                 bool release);
    CKestrelStatus SetSLMCounter(CKestrelStatus& status, uint32_t counter, const std::wstring& resourceName);

    // The plain administrator password, empty when SAPAdminPassword does not decode (traced then).
    CKestrelPassword GetSAPAdminPassword();

    const std::wstring& GetResourceName() const { return m_ResourceName; }
    const std::wstring& GetSAPSID() const { return m_SAPSID; }
    const std::wstring& GetSAPHome() const { return m_SAPHome; }
    const std::wstring& GetSAPMonHome() const { return m_SAPMonHome; }
    const std::wstring& GetSAPHost() const { return m_SAPHost; }
    const std::wstring& GetSAPServiceUser() const { return m_SAPServiceUser; }
    const std::wstring& GetSAPAdminDomain() const { return m_SAPAdminDomain; }
    const std::wstring& GetSAPAdmin() const { return m_SAPAdmin; }
    const std::wstring& GetSAPAdminPasswordEncoded() const { return m_SAPAdminPassword; }
    const std::wstring& GetResLogLevel() const { return m_ResLogLevel; }
    const std::wstring& GetInstType() const { return m_InstType; }
    // InstType as parsed: kUnknown when it is not one of the keywords.
    KestrelInstType GetInstTypeKind() const { return m_InstTypeKind; }
    const std::wstring& GetInstName() const { return m_InstName; }
    const std::wstring& GetInstProfile() const { return m_InstProfile; }
    const std::wstring& GetEnqSrvResName() const { return m_EnqSrvResName; }
    const std::wstring& GetMonitorProgram() const { return m_MonitorProgram; }
    int32_t GetSecondLevelMonitor() const { return m_SecondLevelMonitor; }
    int32_t GetEPProgramTimeout() const { return m_EPProgramTimeout; }
    // The ProcMon list, upper case. Kill appends and removes an entry during its walk.
    std::vector<std::wstring>& GetProcMon() { return m_ProcMon; }
    const std::vector<std::wstring>& GetProcMon() const { return m_ProcMon; }
    // The entry point's timeout in seconds.
    uint32_t GetTimeout() const { return m_Timeout; }
    // The instance number: the last two characters of InstName (fewer when InstName is shorter).
    std::wstring GetInstNumber() const;
    // The instance's start service: "SAP" + SAPSID + "_" + instance number.
    std::wstring GetServiceName() const;

  protected:
    // Validates the record for the entry point; the first failing rule ends it. Warnings repair.
    virtual CKestrelStatus _CheckArgs(CKestrelStatus& status, int32_t epCode);
    // Sets budget from the process-wide timeout of the entry point. Failure: unknown entry-point code.
    virtual CKestrelStatus _FindTimeout(CKestrelStatus& status, uint32_t& budget, int32_t epCode);
    // Decodes the NUL-terminated encoded password in buffer (kPasswordBuffer bytes) in place.
    // 0 success, -2 not a valid encoded password, -1 wrong use.
    virtual int32_t _DecryptPassword(char* buffer);

  private:
    // The validation rules, one check function each, in the order they run (KestrelAttrib.cpp).
    struct Rules;

    static std::string CookieName(const std::wstring& resourceName);
    // Fills the fields from the decoded argument list (null-terminated; entries past its end count as
    // empty) and normalises them.
    void ReadArgList(const wchar_t* const* list);

    std::wstring m_ResourceName;
    std::wstring m_SAPSID;
    std::wstring m_SAPHome;
    std::wstring m_SAPMonHome;
    std::wstring m_SAPHost;
    std::wstring m_SAPServiceUser;
    std::wstring m_SAPAdminDomain;
    std::wstring m_SAPAdmin;
    std::wstring m_SAPAdminPassword;
    std::wstring m_ResLogLevel;
    std::wstring m_InstType;
    KestrelInstType m_InstTypeKind = KestrelInstType::kUnknown;
    std::wstring m_InstName;
    std::wstring m_InstProfile;
    std::wstring m_EnqSrvResName;
    std::wstring m_MonitorProgram;
    int32_t m_SecondLevelMonitor = 0;
    int32_t m_EPProgramTimeout = 0;
    std::vector<std::wstring> m_ProcMon;
    uint32_t m_Timeout = 0;
};
