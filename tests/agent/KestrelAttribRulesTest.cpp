// The attribute record: parsing, its cookie and password, and validation rule by rule, driven through
// CKestrelAttrib::Parse against the recording stand-in framework. Online's account checks log on as the test
// accounts (run under the identity wrappers).
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "AgentArgs.h"
#include "CairnAgfw.h"
#include "FakeCairn.h"
#include "KestrelAttrib.h"
#include "LibLogger.h"
#include "LibPasswordCodec.h"
#include "TestAccounts.h"

extern "C" void CairnAgStartup(void);

namespace {

using fake_cairn::Get;
using fake_cairn::MessagesWithId;

// Valid for every entry point, Online's log-on included: the administrator is the service-only test
// account (its password encodes; one with blanks would not).
AgentArgs ValidArgs() {
    AgentArgs a;
    a.SAPAdmin = kestrel_test::kServiceOnly.name;
    EXPECT_TRUE(TernEncodePassword(kestrel_test::kServiceOnly.password, a.SAPAdminPassword));
    return a;
}

class AttribProbe : public CKestrelAttrib {
  public:
    using CKestrelAttrib::_DecryptPassword;
};

class AttribRulesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_cairn::ResetWithTypeTimeouts();
        Get().resourceTypes = {{"enq1", "Kestrel"}, {"other", "Other"}};
        CairnAgStartup();  // installs the log implementation that hands trace lines to the framework
        TernLogger().BeginThread();
    }
    void TearDown() override {
        TernLogger().EndThread();
        reinterpret_cast<CairnShutdownEP>(Get().table[9])();
    }
    // Parses (and validates) a new record for the entry point; what was recorded before is forgotten.
    CKestrelStatus Validate(int32_t epCode, AgentArgs a, bool validate = true) {
        Get().messages.clear();
        Get().resLog.clear();
        record_ = std::make_unique<AttribProbe>();
        CKestrelStatus status;
        record_->Parse(status, epCode, "res1", a.Vector(), validate);
        return status;
    }
    // Messages written by validation itself (parsing's own 20142 left out).
    static std::vector<fake_cairn::LogMessage> RuleMessages() {
        std::vector<fake_cairn::LogMessage> r;
        for (const auto& m : Get().messages)
            if (m.id != 20142) r.push_back(m);
        return r;
    }
    static bool Traced(const std::wstring& line) {
        const auto lines = fake_cairn::TraceLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    std::unique_ptr<AttribProbe> record_;
};

struct RuleRow {
    const char* name;
    int32_t epCode;
    void (*change)(AgentArgs&);
    std::vector<uint32_t> ids;  // the messages validation writes, in order
    uint32_t severity;          // of the last one
    int32_t code;               // status returned: 0 success, else code and error
    uint32_t error;
    const wchar_t* trace;  // a trace line that must be written, or null
};

void PrintTo(const RuleRow& row, std::ostream* os) {
    *os << row.name;
}

using A = AgentArgs;
constexpr int32_t ON = KEP_ONLINE, OFF = KEP_OFFLINE, CL = KEP_CLEAN, MON = KEP_MONITOR;

// clang-format off
const RuleRow kRows[] = {
    {"SapsidEmpty", MON, [](A& a) { a.SAPSID = ""; }, {20144}, 1, 2, 160, L"SAPSID is empty. returned 2, 0x000000A0"},
    {"SapsidShort", CL, [](A& a) { a.SAPSID = "AB"; }, {20145, 20147}, 1, 2, 160, L"SAPSID [AB] is less than three characters."},
    {"SapsidLong", OFF, [](A& a) { a.SAPSID = "ABCD"; }, {20146, 20147}, 1, 2, 160, L"SAPSID [ABCD] is more than three characters."},
    {"SapsidDigitFirst", MON, [](A& a) { a.SAPSID = "1BC"; }, {20147}, 1, 2, 160, L"The first letter in SAPSID [1BC] is either not an alphabet or not an UPPER case character."},
    {"SapsidPunctuation", ON, [](A& a) { a.SAPSID = "A.C"; }, {20147}, 1, 2, 160, L"Invalid characters exist in SAPSID [A.C]."},
    {"SapsidLetterDigits", OFF, [](A& a) { a.SAPSID = "a12"; }, {20169}, 3, 0, 0, L"SAPSID [A12] is validated successfully."},
    {"SlmNegative", ON, [](A& a) { a.SecondLevelMonitor = "-1"; }, {20148}, 1, 2, 160, L"SecondLevelMonitor [-1] is negative [2, 0x000000A0]."},
    {"SlmZero", ON, [](A& a) { a.SecondLevelMonitor = "0"; }, {20169}, 3, 0, 0, L"SecondLevelMonitor [0] is a valid value."},
    {"EpTimeoutNegative", CL, [](A& a) { a.EPProgramTimeout = "-5"; }, {20149}, 1, 2, 160, L"EPProgramTimeout [-5] is negative [2, 0x000000A0]."},
    {"EpTimeoutZero", CL, [](A& a) { a.EPProgramTimeout = "0"; }, {}, 0, 0, 0, L"EPProgramTimeout [0] is a valid value."},
    {"SapHomeEmpty", OFF, [](A& a) { a.SAPHome = ""; }, {20150}, 1, 2, 160, nullptr},
    {"SapHomeBlankForMonitor", MON, [](A& a) { a.SAPHome = "\t"; }, {20152}, 1, 2, 160, L"SAPHome [\t] is NULL [2, 0x000000A0]."},
    {"SapHomeTwoBlanksForMonitor", MON, [](A& a) { a.SAPHome = "  "; }, {20169}, 3, 0, 0, L"SAPHome [  ] is NOT null."},
    {"SapHomeMissing", OFF, [](A& a) { a.SAPHome = "/nonexistent/kestrel"; }, {20154}, 1, 2, 160, L"SAPHome [/nonexistent/kestrel] does NOT exist [2, 0x000000A0]."},
    {"SapHomeDirectory", ON, [](A& a) { a.SAPHome = "/tmp/"; }, {20169}, 3, 0, 0, L"SAPHome [/tmp] is a valid directory."},
    {"SapHostEmpty", OFF, [](A& a) { a.SAPHost = ""; }, {20155}, 1, 2, 160, nullptr},
    {"SapHostInvalid", ON, [](A& a) { a.SAPHost = "bad_host!"; }, {20157}, 1, 2, 160, L"SAPHost [bad_host!] is NOT a valid hostname [2, 0x000000A0]."},
    {"SapHostOnlyNamedOffline", OFF, [](A& a) { a.SAPHost = "bad_host!"; }, {20169}, 3, 0, 0, L"SAPHost [bad_host!] is non-null. Continue..."},
    {"SapHostValid", ON, [](A&) {}, {20169}, 3, 0, 0, L"SAPHost [sapnode1] is a valid hostname."},
    {"InstTypeEmpty", MON, [](A& a) { a.InstType = ""; }, {20158}, 1, 2, 160, nullptr},
    {"InstTypeUnknown", ON, [](A& a) { a.InstType = "primary"; }, {20159}, 1, 2, 160, L"InstType [primary] is invalid [2, 0x000000A0]."},
    {"InstTypeMixedCase", MON, [](A& a) { a.InstType = "Dialog"; a.ProcMon = {"disp+work.exe"}; }, {20169}, 3, 0, 0, L"InstType [DIALOG] is a valid SAP Instance Type."},
    {"ProcMonCentral", MON, [](A& a) { a.ProcMon = {"enserver.exe"}; }, {20160}, 1, 2, 160, L"Invalid process name in the ProcMon list [ENSERVER.EXE] for InstType [CENTRAL]."},
    {"ProcMonDialog", ON, [](A& a) { a.InstType = "dialog"; a.ProcMon = {"disp+work.exe", "msg_server.exe"}; }, {20161}, 1, 2, 160, nullptr},
    {"ProcMonEnqueue", MON, [](A& a) { a.InstType = "aenqueue"; a.ProcMon = {"enrepserver.exe"}; }, {20162}, 1, 2, 160, nullptr},
    {"ProcMonReplication", MON, [](A& a) { a.InstType = "jenqrep"; a.ProcMon = {"enserver.exe"}; }, {20163}, 1, 2, 160, nullptr},
    {"ProcMonAllowed", MON, [](A& a) { a.InstType = "JENQUEUE"; a.ProcMon = {"ENSERVER.EXE", "msg_server.exe"}; }, {20169}, 3, 0, 0, L"All the processes listed in the ProcMon are valid for the SAP Instance Type [JENQUEUE]."},
    {"SapMonHomeEmpty", ON, [](A& a) { a.SAPMonHome = ""; }, {20165}, 1, 2, 160, nullptr},
    {"SapMonHomeMissing", ON, [](A& a) { a.SAPMonHome = "/nonexistent/mon"; }, {20167}, 1, 2, 160, L"SAPMonHome [/nonexistent/mon] does NOT exist [2, 0x000000A0]."},
    {"SapMonHomeDirectory", ON, [](A&) {}, {20169}, 3, 0, 0, L"SAPMonHome [/tmp] is a valid directory."},
    {"ServiceUserEmpty", CL, [](A& a) { a.SAPServiceUser = ""; }, {20168}, 1, 2, 160, L"SAPServiceUser is NULL. returned 2, 0x000000A0"},
    {"ServiceUserSet", CL, [](A&) {}, {}, 0, 0, 0, L"User SAPServiceUser [SAPServiceABC] is non-null."},
    {"DomainEmptyWarns", OFF, [](A&) {}, {20169}, 3, 0, 0, L"SAPAdminDomain [] is null. Treating the user as local system user."},
    {"DomainSet", MON, [](A& a) { a.SAPAdminDomain = "CORP"; }, {}, 0, 0, 0, L"SAPAdminDomain [CORP] is a non-null."},
    {"AdminEmpty", CL, [](A& a) { a.SAPAdmin = ""; }, {20170}, 1, 2, 160, nullptr},
    {"AdminCannotLogOn", ON, [](A& a) { a.SAPAdminPassword = "ab"; }, {20169, 20171}, 1, 2, 1326, L"SAPAdmin [ksvc] does NOT exist [2, 0x0000052E]."},
    {"AdminLogsOn", ON, [](A&) {}, {20169}, 3, 0, 0, L"User SAPAdmin [ksvc] exist."},
    {"AdminOnlyLoggedOnByOnline", OFF, [](A& a) { a.SAPAdminPassword = "ab"; }, {20169}, 3, 0, 0, L"User SAPAdmin [ksvc] is non-null."},
    {"LogLevelRepaired", ON, [](A& a) { a.ResLogLevel = "trace"; }, {20169, 20173, 20174}, 3, 0, 0, L"ResLogLevel [trace] is invalid [2, 0x000000A0]."},
    {"InstNameEmpty", CL, [](A& a) { a.InstName = ""; }, {20175}, 1, 2, 160, L"InstName is null []."},
    {"InstNameShort", CL, [](A& a) { a.InstName = "D0"; }, {20176}, 1, 2, 160, nullptr},
    {"InstNameWithoutNumber", MON, [](A& a) { a.InstName = "DVEBMGS0X"; }, {20169, 20177}, 1, 2, 160, nullptr},
    {"InstNameThreeCharacters", CL, [](A& a) { a.InstName = "d00"; }, {}, 0, 0, 0, L"InstName [D00] is a valid SAP Instance Name."},
    {"ProfileSkippedForAbap", ON, [](A&) {}, {20169}, 3, 0, 0, L"SAP Architecture is ABAP. Skipping InstProfile validation."},
    {"ProfileEmpty", ON, [](A& a) { a.ProcMon = {"jcontrol.exe"}; }, {20169, 20178}, 1, 2, 160, nullptr},
    {"ProfileOnShareUnreadable", ON, [](A& a) { a.ProcMon = {"jcontrol.exe"}; a.InstProfile = "//srv/share/pfl"; }, {20169, 20179}, 1, 2, 1385, L"CKestrelUtil::DoesExistFile. returned 2, 0x00000569"},
    {"ProfileMissing", ON, [](A& a) { a.ProcMon = {"jcontrol.exe"}; a.InstProfile = "/nonexistent/pfl"; }, {20169, 20180}, 1, 2, 160, nullptr},
    {"ProfileExists", ON, [](A& a) { a.ProcMon = {"jcontrol.exe"}; a.InstProfile = "/etc/passwd"; }, {20169}, 3, 0, 0, L"InstProfile [/etc/passwd] is a valid SAP Instance Profile name and it exists."},
    {"EnqSrvEmpty", ON, [](A& a) { a.InstType = "enqrep"; a.ProcMon = {}; a.InstProfile = "/etc/passwd"; }, {20169, 20181}, 1, 2, 160, nullptr},
    {"EnqSrvUnknownToCluster", ON, [](A& a) { a.InstType = "aenqrep"; a.ProcMon = {}; a.InstProfile = "/etc/passwd"; a.EnqSrvResName = "nope"; }, {20169, 20182}, 1, 33, 5007, nullptr},
    {"EnqSrvOfOtherType", ON, [](A& a) { a.InstType = "jenqrep"; a.ProcMon = {}; a.InstProfile = "/etc/passwd"; a.EnqSrvResName = "other"; }, {20169, 20183}, 1, 2, 160, nullptr},
    {"EnqSrvExists", ON, [](A& a) { a.InstType = "enqrep"; a.ProcMon = {}; a.InstProfile = "/etc/passwd"; a.EnqSrvResName = "enq1"; }, {20169}, 3, 0, 0, L"EnqSrvResName [enq1] is valid Cairn Resource and is of type Kestrel."},
    {"MonitorProgramBlank", ON, [](A& a) { a.MonitorProgram = " \t"; }, {20169, 20185}, 1, 2, 160, L"MonitorProgram [ \t] does NOT exist [2, 0x000000A0]."},
    {"MonitorProgramMissing", ON, [](A& a) { a.MonitorProgram = "/nonexistent/mp -x"; }, {20169, 20185}, 1, 2, 160, L"tmpexe [/nonexistent/mp] from exename [/nonexistent/mp]."},
    {"MonitorProgramWithArguments", ON, [](A& a) { a.MonitorProgram = "\t/bin/true -x y"; }, {20169}, 3, 0, 0, L"MonitorProgram [/bin/true] is validated successfully."},
};
// clang-format on

class AttribRuleRows : public AttribRulesTest, public ::testing::WithParamInterface<RuleRow> {};

TEST_P(AttribRuleRows, MessageSeverityAndStatus) {
    const RuleRow& row = GetParam();
    AgentArgs a = ValidArgs();
    row.change(a);
    CKestrelStatus st = Validate(row.epCode, a);
    EXPECT_EQ(st.GetCode(), row.code);
    EXPECT_EQ(st.GetError(), row.error);
    std::vector<uint32_t> ids;
    for (const auto& m : RuleMessages()) {
        ids.push_back(m.id);
        EXPECT_EQ(m.tag, "CKestrelAttrib::_CheckArgs");
    }
    EXPECT_EQ(ids, row.ids);
    if (!ids.empty()) {
        EXPECT_EQ(RuleMessages().back().severity, row.severity);
    }
    // A failing rule ends validation and parsing reports it; warnings and repairs do not.
    EXPECT_EQ(MessagesWithId(20142).size(), row.code == 0 ? 0u : 1u);
    if (row.trace) {
        EXPECT_TRUE(Traced(row.trace)) << "missing trace line";
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, AttribRuleRows, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// A level with a trailing blank is no level: reported as given and reset (the messages' severities and the
// second one's text are checked end to end in FrameE2E.ResLogLevelDecidesTheDumpOfASuccessfulCall).
TEST_F(AttribRulesTest, RepairedLogLevelIsReportedAndReset) {
    AgentArgs a = ValidArgs();
    a.ResLogLevel = "TRACE ";
    EXPECT_TRUE(Validate(KEP_ONLINE, a).IsSuccess());
    EXPECT_EQ(record_->GetResLogLevel(), L"INFO");
    ASSERT_EQ(MessagesWithId(20173).size(), 1u);
    EXPECT_EQ(MessagesWithId(20173)[0].text, L"ResLogLevel [TRACE ] is invalid.");
}

// A code that names no entry point checks no rule and has no timeout of its own: the budget falls back.
TEST_F(AttribRulesTest, UnknownEntryPointChecksNothingAndGetsTheDefaultBudget) {
    AgentArgs a;
    a.SAPSID = "";
    a.InstName = "";
    EXPECT_TRUE(Validate(3, a).IsSuccess());
    auto m = Get().messages;
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].id, 20143u);
    EXPECT_EQ(m[0].severity, 3u);
    EXPECT_EQ(m[0].tag, "CKestrelAttrib::Parse");
    EXPECT_EQ(m[0].text,
              L"Failed to get the timeout value for the entry point. Defaulting timeout to [500]secs.");
    EXPECT_EQ(record_->GetTimeout(), 500u);
    EXPECT_TRUE(Traced(L"_FindTimeout() returned 1, 0x00000057"));
}

// One attribute broken at a time: validation notices it exactly for the entry points whose rule set has
// the rule, and the rule sets are those the entry points have always had.
TEST_F(AttribRulesTest, EachEntryPointChecksItsOwnRules) {
    EXPECT_EQ(KestrelRuleSet(KEP_ONLINE), 0x1FFFFu & ~0x400u);
    EXPECT_EQ(KestrelRuleSet(KEP_OFFLINE), 0x232Du);
    EXPECT_EQ(KestrelRuleSet(KEP_CLEAN), 0x2285u);
    EXPECT_EQ(KestrelRuleSet(KEP_MONITOR), 0x33CDu);
    EXPECT_EQ(KestrelRuleSet(3), 0u);

    struct Breaker {
        KestrelRule rule;
        uint32_t id;  // the message that shows the rule ran on the broken value
        void (*change)(AgentArgs&);
    };
    // clang-format off
    const Breaker breakers[] = {
        {kRuleSAPSID, 20144, [](A& a) { a.SAPSID = ""; }},
        {kRuleSecondLevelMonitor, 20148, [](A& a) { a.SecondLevelMonitor = "-1"; }},
        {kRuleEPProgramTimeout, 20149, [](A& a) { a.EPProgramTimeout = "-1"; }},
        {kRuleSAPHome, 20150, [](A& a) { a.SAPHome = ""; }},
        {kRuleSAPMonHome, 20165, [](A& a) { a.SAPMonHome = ""; }},
        {kRuleSAPHost, 20155, [](A& a) { a.SAPHost = ""; }},
        {kRuleProcMon, 20160, [](A& a) { a.ProcMon = {"enserver.exe"}; }},
        {kRuleSAPServiceUser, 20168, [](A& a) { a.SAPServiceUser = ""; }},
        {kRuleSAPAdminDomain, 20169, [](A&) {}},
        {kRuleSAPAdmin, 20170, [](A& a) { a.SAPAdmin = ""; }},
        {kRuleResLogLevel, 20173, [](A& a) { a.ResLogLevel = "info"; }},
        {kRuleInstType, 20158, [](A& a) { a.InstType = ""; a.ProcMon.clear(); }},
        {kRuleInstName, 20175, [](A& a) { a.InstName = ""; }},
        {kRuleInstProfile, 20178, [](A& a) { a.ProcMon = {"jcontrol.exe"}; }},
        {kRuleEnqSrvResName, 20181, [](A& a) { a.InstType = "enqrep"; a.ProcMon.clear(); a.InstProfile = "/etc/passwd"; }},
        {kRuleMonitorProgram, 20185, [](A& a) { a.MonitorProgram = "/nonexistent/mp"; }},
    };
    // clang-format on
    for (int32_t ep : {KEP_ONLINE, KEP_OFFLINE, KEP_CLEAN, KEP_MONITOR}) {
        uint32_t ran = 0;
        for (const Breaker& b : breakers) {
            AgentArgs a = ValidArgs();
            b.change(a);
            Validate(ep, a);
            if (!MessagesWithId(b.id).empty()) ran |= b.rule;
        }
        EXPECT_EQ(ran, KestrelRuleSet(ep)) << "entry point " << ep;
    }
}

// --- The record: parsing, cookies, passwords and the argument dump ---------------------------------

TEST_F(AttribRulesTest, FieldsAreNormalised) {
    AgentArgs a;
    a.SAPSID = "abc";
    a.SAPHome = "/usr/sap/ABC/SYS/exe/run//";
    a.SAPMonHome = "/";
    a.InstType = "CeNtRaL";
    a.InstName = "dvebmgs07";
    a.ProcMon = {"disp+work.exe", "Igswd.exe"};
    a.SecondLevelMonitor = "12abc";
    a.EPProgramTimeout = "";
    ASSERT_TRUE(Validate(KEP_MONITOR, a, false).IsSuccess());
    const CKestrelAttrib& rec = *record_;
    EXPECT_EQ(rec.GetResourceName(), L"res1");
    EXPECT_EQ(rec.GetSAPSID(), L"ABC");
    EXPECT_EQ(rec.GetSAPHome(), L"/usr/sap/ABC/SYS/exe/run/");  // only one separator removed
    EXPECT_EQ(rec.GetSAPMonHome(), L"");
    EXPECT_EQ(rec.GetInstType(), L"CENTRAL");
    EXPECT_EQ(rec.GetInstName(), L"DVEBMGS07");
    EXPECT_EQ(rec.GetInstNumber(), L"07");
    EXPECT_EQ(rec.GetProcMon(), (std::vector<std::wstring>{L"DISP+WORK.EXE", L"IGSWD.EXE"}));
    EXPECT_EQ(rec.GetSecondLevelMonitor(), 12);
    EXPECT_EQ(rec.GetEPProgramTimeout(), 0);
    EXPECT_EQ(rec.GetTimeout(), 60u);
}

TEST_F(AttribRulesTest, UnknownInstTypeIsKeptAndTraced) {
    AgentArgs a;
    a.InstType = "Weird";
    Validate(KEP_OFFLINE, a, false);
    EXPECT_EQ(record_->GetInstType(), L"Weird");
    EXPECT_TRUE(Traced(L"InstType [Weird] is invalid."));
}

// A count of zero or less reads no process and takes the next entry as the service user; a huge count
// stops at the list's end. A short list leaves the missing entries empty.
TEST_F(AttribRulesTest, ProcMonCountIsBoundedByTheList) {
    const std::tuple<const char*, size_t, const wchar_t*, const wchar_t*> rows[] = {
        {"0", 0, L"svcuser", L"adm"}, {"-3", 0, L"svcuser", L"adm"}, {"2147483647", 3, L"", L""}};
    for (const auto& [count, processes, serviceUser, admin] : rows) {
        AgentArgs a;
        AttribProbe rec;
        CKestrelStatus st;
        rec.Parse(st, KEP_MONITOR, "r",
                  a.Raw({"ABC", "1", "0", "/tmp", "/tmp", "h", count, "svcuser", "DOM", "adm"}), false);
        EXPECT_TRUE(st.IsSuccess()) << count;
        EXPECT_EQ(rec.GetProcMon().size(), processes) << count;
        EXPECT_EQ(rec.GetSAPServiceUser(), serviceUser) << count;
        EXPECT_EQ(rec.GetSAPAdmin(), admin) << count;
        EXPECT_EQ(rec.GetMonitorProgram(), L"") << count;
    }
}

TEST_F(AttribRulesTest, MissingInputsFailWithCode1) {
    AttribProbe rec;
    CKestrelStatus st;
    rec.Parse(st, KEP_MONITOR, nullptr, nullptr, true);
    EXPECT_EQ(st.GetCode(), 1);
    EXPECT_EQ(st.GetError(), 87u);
    EXPECT_EQ(MessagesWithId(20139).size(), 1u);
    Get().encodeStringResult = 1234;
    AgentArgs a;
    rec.Parse(st, KEP_MONITOR, "r", a.Vector(), true);
    EXPECT_EQ(st.GetCode(), 1);
    EXPECT_EQ(st.GetError(), 1234u);
    EXPECT_EQ(MessagesWithId(20140).size(), 1u);
}

TEST_F(AttribRulesTest, SlmCounterCookie) {
    AttribProbe rec;
    CKestrelStatus st;
    uint32_t counter = 99;
    rec.GetSLMCounter(st, counter, L"R1", true);
    EXPECT_TRUE(st.IsSuccess());
    EXPECT_EQ(counter, 1u);
    EXPECT_EQ(Get().cookies["R1_kestrel_slmcounter"], L"1");  // a never-stored cookie is stored as 1
    EXPECT_TRUE(Traced(L"Cookie NOT found. Seting it to [1]."));
    rec.SetSLMCounter(st, 4, L"R1");
    rec.GetSLMCounter(st, counter, L"R1", true);
    EXPECT_EQ(counter, 4u);
    Get().cookies["R1_kestrel_slmcounter"] = L"garbage";
    rec.GetSLMCounter(st, counter, L"R1", true);
    EXPECT_EQ(counter, 0u);
}

TEST_F(AttribRulesTest, PasswordDecoding) {
    std::string enc;
    ASSERT_TRUE(TernEncodePassword("pa$$word", enc));
    AgentArgs a;
    a.SAPAdminPassword = enc;
    Validate(KEP_CLEAN, a, false);
    {
        // The decoded password keeps the process out of core dumps for as long as it lives.
        const CKestrelPassword plain = record_->GetSAPAdminPassword();
        EXPECT_EQ(plain.Get(), L"pa$$word");
        EXPECT_EQ(prctl(PR_GET_DUMPABLE), 0);
    }
    EXPECT_EQ(prctl(PR_GET_DUMPABLE), 1);

    a.SAPAdminPassword = "ab";
    Validate(KEP_CLEAN, a, false);
    EXPECT_EQ(record_->GetSAPAdminPassword().Get(), L"");
    EXPECT_TRUE(Traced(L"Inavlid password."));
    EXPECT_EQ(record_->_DecryptPassword(nullptr), -1);
}

TEST_F(AttribRulesTest, LogArgsLayout) {
    Validate(KEP_MONITOR, AgentArgs(), false);
    record_->LogArgs();
    auto traces = fake_cairn::TraceLines();
    ASSERT_FALSE(traces.empty());
    const std::wstring& line = traces.back();
    EXPECT_EQ(
        line.rfind(
            L"The entry point is called with attribute values: \n \t\t\t\t\t\tResourceName        = [res1], ",
            0),
        0u);
    EXPECT_NE(line.find(L"\n \t\t\t\t\t\tSAPSID              = [ABC], "), std::wstring::npos);
    const std::wstring last = L"], \n \t\t\t\t\t\tEPProgramTimeout    = [10]. \n";
    ASSERT_GT(line.size(), last.size());
    EXPECT_EQ(line.substr(line.size() - last.size()), last);
}

}  // namespace
