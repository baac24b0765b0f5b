// The framework's hooks for hosts that run several calls at once and draw on the terminal: each call's own
// messages, the trace listener behind the type's tag filter, console lines handed to the host.
#include <gtest/gtest.h>

#include "CairnAgfw.h"
#include "CairnHost.h"

namespace {

class HostListenersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        cairn::Reset();
        cairn::FrameworkSettings settings;
        settings.types["Kestrel"].debugTags = {19};
        settings.resources["r1"].type = "Kestrel";
        cairn::Configure(settings);
    }
    void TearDown() override { cairn::Reset(); }
};

TEST_F(HostListenersTest, EachCallTakesOnlyItsOwnMessages) {
    for (uint64_t call : {7, 8, 7, 0}) {
        cairn::ScopedThreadContext context({"r1", "", call});
        CairnAgLogMsgText(4, "T", "f", 1, static_cast<uint32_t>(call), 0, L"m");
    }
    std::vector<cairn::LogMessage> seven = cairn::TakeMessagesOfCall(7);
    ASSERT_EQ(seven.size(), 2u);
    EXPECT_EQ(seven[0].callId, 7u);
    EXPECT_TRUE(cairn::TakeMessagesOfCall(7).empty());
    std::vector<cairn::LogMessage> rest = cairn::TakeMessages();
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0].callId, 8u);
    EXPECT_EQ(rest[1].callId, 0u);
}

TEST_F(HostListenersTest, TraceListenerHearsEnabledTagsOnlyAndConsoleLinesGoToTheWriter) {
    std::vector<std::string> heard;
    cairn::SetTraceListener([&](const cairn::TraceLine& line) {
        heard.push_back(std::to_string(line.callId) + " " + line.resource + " " +
                        std::to_string(line.debugTag) + " " + line.function + ": " + line.text);
    });
    std::vector<std::string> console;
    cairn::SetConsoleWriter([&](const std::string& line) { console.push_back(line); });
    {
        cairn::ScopedThreadContext context({"r1", "", 5});
        CairnAgResLogMsg2(19, "CKestrel::Monitor", "a.cpp", 1, 0, L"traced \u00e9");
        CairnAgResLogMsg2(20, "CKestrel::Monitor", "a.cpp", 2, 512, L"dump: tag 20 is off");
        testing::internal::CaptureStderr();
        CairnAgLogConsoleMsgText(1, "KestrelClean", "f", 1, 20001, 0, L"to the console");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
    EXPECT_EQ(heard, std::vector<std::string>{"5 r1 19 CKestrel::Monitor: traced \xC3\xA9"});
    ASSERT_EQ(console.size(), 1u);
    EXPECT_NE(console[0].find(" ERROR 0-20001 r1 KestrelClean: to the console\n"), std::string::npos)
        << console[0];
}

}  // namespace
