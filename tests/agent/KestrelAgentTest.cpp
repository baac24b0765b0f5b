// The agent frame and the attribute record against a recording stand-in framework.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <algorithm>
#include <string>
#include <tuple>

#include "AgentArgs.h"
#include "CairnAgfw.h"
#include "FakeCairn.h"
#include "KestrelAgent.h"
#include "KestrelAttrib.h"
#include "LibLogger.h"
#include "LibPasswordCodec.h"

extern "C" void CairnAgStartup(void);

namespace {

using fake_cairn::Get;
using fake_cairn::MessageIds;
using fake_cairn::MessagesWithId;

class AgentTest : public ::testing::Test {
  protected:
    void SetUp() override { fake_cairn::ResetWithTypeTimeouts(); }
    void TearDown() override {
        if (Get().table[9]) reinterpret_cast<CairnShutdownEP>(Get().table[9])();
    }
    void Startup() {
        CairnAgStartup();
        ASSERT_NE(Get().table[3], nullptr);
    }
    uint32_t Monitor(const char* res, AgentArgs& a) {
        return reinterpret_cast<CairnMonitorEP>(Get().table[3])(res, a.Vector(), nullptr);
    }
    uint32_t Offline(const char* res, AgentArgs& a) {
        return reinterpret_cast<CairnOfflineEP>(Get().table[5])(res, a.Vector());
    }
    uint32_t Clean(const char* res, AgentArgs& a) {
        return reinterpret_cast<CairnCleanEP>(Get().table[8])(res, 3, a.Vector());
    }
    static uint32_t Timeout(int32_t code) {
        uint32_t s = 0;
        EXPECT_TRUE(KestrelGetTimeout(code, s));
        return s;
    }
    static bool Traced(const std::wstring& line) {
        const auto traces = fake_cairn::TraceLines();
        return std::find(traces.begin(), traces.end(), line) != traces.end();
    }
    // The texts of message 20000 (dump lines), in order.
    static std::vector<std::wstring> Dump() {
        std::vector<std::wstring> r;
        for (auto& m : MessagesWithId(20000)) r.push_back(m.text);
        return r;
    }
};

TEST_F(AgentTest, StartupRegistersTheTenSlotTable) {
    Startup();
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(Get().table[i] != nullptr, i == 3 || i == 4 || i == 5 || i == 8 || i == 9)
            << "slot " << i + 1;
    EXPECT_EQ(Get().openAttempts, 1);
    EXPECT_EQ(Get().callbacks.size(), 4u);
    EXPECT_TRUE(Dump().empty());  // a clean startup dumps nothing
}

TEST_F(AgentTest, ClusterOpenRetriesThirtyOneTimesThenDumps) {
    Get().openFailures = 1000;
    Startup();
    EXPECT_EQ(Get().openAttempts, 32);
    EXPECT_TRUE(Get().callbacks.empty());
    auto dump = Dump();
    ASSERT_EQ(dump.size(), 32u + 1 + 2);  // 32 failures, the init line, the frame
    EXPECT_EQ(dump.front(), L"*** Start of debug information dump for troubleshooting ***");
    EXPECT_EQ(
        dump[2],
        L"CairnClusterOpenLocal() failed with error [5, 0x000006BA] with message [cluster unreachable].");
}

// The open succeeds at the fourth attempt, which clears the startup status; a failed timeout read keeps the
// other timeouts, leaves its own at the default, registers no callback and does not touch the status.
TEST_F(AgentTest, LateOpenAndFailedTimeoutReadKeepTheRestWithoutADump) {
    Get().openFailures = 3;
    Get().typeAttributes["OnlineTimeout"] = 700;
    Get().typeAttributes["OfflineTimeout"] = 800;
    Get().typeAttributes["MonitorTimeout"] = 90;
    Get().failAttributeRead = "MonitorTimeout";
    Startup();
    EXPECT_EQ(Get().openAttempts, 4);
    EXPECT_EQ(Timeout(KEP_ONLINE), 700u);
    EXPECT_EQ(Timeout(KEP_OFFLINE), 800u);
    EXPECT_EQ(Timeout(KEP_MONITOR), 60u);
    EXPECT_EQ(Timeout(KEP_CLEAN), 120u);
    EXPECT_TRUE(Get().callbacks.empty());
    EXPECT_TRUE(Dump().empty());
}

TEST_F(AgentTest, FailedRegistrationStopsFurtherOnesAndDumps) {
    Get().failRegistration = "MonitorTimeout";
    Startup();
    EXPECT_EQ(Get().callbacks.size(), 2u);
    auto dump = Dump();
    EXPECT_NE(
        std::find(dump.begin(), dump.end(),
                  L"CairnObjRegister() for MonitorTimeout failed with error [9, 0x00000005] with message "
                  L"[registration refused]."),
        dump.end());
}

TEST_F(AgentTest, CallbacksChangeTheirTimeoutAndIgnoreNull) {
    Startup();
    CairnAttrInt v{45};
    CairnAttrValue val{1, &v, nullptr};
    CairnAttrValueList list{&val, 1};
    CairnAttr rec{nullptr, 0, &list};
    Get().callbacks["CleanTimeout"](nullptr, nullptr, nullptr, &rec);
    EXPECT_EQ(Timeout(KEP_CLEAN), 45u);
    Get().callbacks["CleanTimeout"](nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(Timeout(KEP_CLEAN), 45u);
}

// Ids, texts and the dump's frame are checked end to end
// (FrameE2E.InvalidSapsidReportsCheckParseMonitorThenDumps); here the tags, the dump's first trace line and
// that only dump lines follow.
TEST_F(AgentTest, MonitorWithInvalidSapsidAnswersUnknown) {
    Startup();
    AgentArgs a;
    a.SAPSID = "1BC";
    EXPECT_EQ(Monitor("sap1BC", a), 2u);
    auto ids = MessageIds();
    ASSERT_GT(ids.size(), 5u);
    EXPECT_EQ(std::vector<uint32_t>(ids.begin(), ids.begin() + 3),
              (std::vector<uint32_t>{20147, 20142, 20135}));
    for (size_t i = 3; i < ids.size(); ++i) EXPECT_EQ(ids[i], 20000u);
    EXPECT_EQ(MessagesWithId(20135)[0].tag, "KestrelMonitor");
    EXPECT_EQ(MessagesWithId(20147)[0].tag, "CKestrelAttrib::_CheckArgs");
    EXPECT_EQ(MessagesWithId(20142)[0].tag, "CKestrelAttrib::Parse");
    EXPECT_EQ(Dump()[1], L"Validating the arguments for Monitor.");
}

TEST_F(AgentTest, ParseFailureOfOtherEntryPointsReturnsZero) {
    Startup();
    AgentArgs a;
    a.SAPSID = "";
    EXPECT_EQ(Offline("r", a), 0u);
    EXPECT_EQ(MessagesWithId(20133).size(), 1u);
    EXPECT_EQ(Clean("r", a), 0u);
    EXPECT_EQ(MessagesWithId(20137).size(), 1u);
    EXPECT_EQ(MessagesWithId(20144).size(), 2u);
}

TEST_F(AgentTest, OperationFailureIsLoggedWithResourceName) {
    // Offline checks neither InstType nor ProcMon, so an empty one passes validation.
    Startup();
    AgentArgs a;
    a.InstType = "";
    a.ProcMon.clear();
    Offline("sapABC_D00", a);
    EXPECT_TRUE(MessagesWithId(20142).empty());
    // No stopsap.exe under SAPHome: Offline fails with code 2, error 2.
    auto m = MessagesWithId(20134);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].text, L"Failed to offline the resource sapABC_D00 [2, 0x00000002].");
    EXPECT_EQ(MessagesWithId(20048).size(), 1u);
}

TEST_F(AgentTest, UndecodableArgumentListIsReported) {
    Startup();
    AgentArgs a;
    a.SAPHost = "bad\xC3";
    EXPECT_EQ(Monitor("r", a), 2u);
    EXPECT_EQ(MessagesWithId(20141).size(), 1u);
    EXPECT_EQ(MessagesWithId(20135)[0].text,
              L"Failed to parse the argument list for Monitor [1, 0x00000459].");
}

// --- Attribute record --------------------------------------------------------------------------------

class AttribProbe : public CKestrelAttrib {
  public:
    using CKestrelAttrib::_DecryptPassword;
};

class AttribTest : public AgentTest {
  protected:
    CKestrelStatus Parse(AttribProbe& rec, int32_t code, AgentArgs& a, bool validate = true) {
        CKestrelStatus st;
        rec.Parse(st, code, "res1", a.Vector(), validate);
        return st;
    }
};

TEST_F(AttribTest, FieldsAreNormalised) {
    AgentArgs a;
    a.SAPSID = "abc";
    a.SAPHome = "/usr/sap/ABC/SYS/exe/run//";
    a.SAPMonHome = "/";
    a.InstType = "CeNtRaL";
    a.InstName = "dvebmgs07";
    a.ProcMon = {"disp+work.exe", "Igswd.exe"};
    a.SecondLevelMonitor = "12abc";
    a.EPProgramTimeout = "";
    AttribProbe rec;
    ASSERT_TRUE(Parse(rec, KEP_MONITOR, a, false).IsSuccess());
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

TEST_F(AttribTest, UnknownInstTypeIsKeptAndTraced) {
    AgentArgs a;
    a.InstType = "Weird";
    AttribProbe rec;
    Startup();
    TernLogger().BeginThread();
    Parse(rec, KEP_OFFLINE, a, false);
    EXPECT_EQ(rec.GetInstType(), L"Weird");
    EXPECT_TRUE(Traced(L"InstType [Weird] is invalid."));
    TernLogger().EndThread();
}

// A count of zero or less reads no process and takes the next entry as the service user; a huge count
// stops at the list's end. A short list leaves the missing entries empty.
TEST_F(AttribTest, ProcMonCountIsBoundedByTheList) {
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

TEST_F(AttribTest, MissingInputsFailWithCode1) {
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

TEST_F(AttribTest, SlmCounterCookie) {
    Startup();  // trace lines reach the framework
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

TEST_F(AttribTest, PasswordDecoding) {
    Startup();  // installs the agent's log implementation, which hands trace lines to the framework
    std::string enc;
    ASSERT_TRUE(TernEncodePassword("pa$$word", enc));
    AgentArgs a;
    a.SAPAdminPassword = enc;
    AttribProbe rec;
    Parse(rec, KEP_CLEAN, a, false);
    {
        // The decoded password keeps the process out of core dumps for as long as it lives.
        const CKestrelPassword plain = rec.GetSAPAdminPassword();
        EXPECT_EQ(plain.Get(), L"pa$$word");
        EXPECT_EQ(prctl(PR_GET_DUMPABLE), 0);
    }
    EXPECT_EQ(prctl(PR_GET_DUMPABLE), 1);

    TernLogger().BeginThread();
    a.SAPAdminPassword = "ab";
    AttribProbe rec2;
    Parse(rec2, KEP_CLEAN, a, false);
    EXPECT_EQ(rec2.GetSAPAdminPassword().Get(), L"");
    EXPECT_TRUE(Traced(L"Inavlid password."));
    TernLogger().EndThread();
    EXPECT_EQ(rec2._DecryptPassword(nullptr), -1);
}

TEST_F(AttribTest, LogArgsLayout) {
    Startup();
    TernLogger().BeginThread();
    AgentArgs a;
    AttribProbe rec;
    Parse(rec, KEP_MONITOR, a, false);
    rec.LogArgs();
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
    TernLogger().EndThread();
}

}  // namespace
