// The agent frame against a recording stand-in framework: startup, timeouts, entry points' reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "AgentArgs.h"
#include "CairnAgfw.h"
#include "FakeCairn.h"
#include "KestrelAgent.h"
#include "KestrelAttrib.h"

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

}  // namespace
