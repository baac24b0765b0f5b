// A password that does not decode is reported before the step that needs it: Online and Offline fetch it
// before their start- and stop-command lines, Clean before its first step. Driven against the recording
// stand-in framework with an instance that has no processes, no services and no accounts on this host.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "AgentArgs.h"
#include "CairnAgfw.h"
#include "FakeCairn.h"
#include "Kestrel.h"
#include "KestrelAttrib.h"
#include "KestrelUtil.h"
#include "LibLogger.h"
#include "LibServiceRegistry.h"
#include "TestSupport.h"

extern "C" void CairnAgStartup(void);

namespace {

using fake_cairn::Get;

class PasswordOrderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_cairn::ResetWithTypeTimeouts();
        CairnAgStartup();  // installs the agent's log implementation: trace lines reach the framework
        ASSERT_TRUE(kestrel_test::WriteFile(home_ / "stopsap.exe", "#!/bin/sh\nexit 0\n"));
        ASSERT_TRUE(kestrel_test::WriteFile(home_ / "startsap.exe", "#!/bin/sh\nexit 0\n"));
        // Names no process, service or account on this host carries.
        args_.SAPSID = "QZQ";
        args_.InstName = "QZQINST77";
        args_.SAPHome = args_.SAPMonHome = home_.Path();
        args_.SAPServiceUser = "qzqnosuchsvc";
        args_.SAPAdmin = "qzqnosuchadm";
        args_.ProcMon = {"nosuchprogram.exe"};  // no architecture: the process-level check says unknown
        args_.SAPAdminPassword = "ab";          // does not decode
        TernLogger().BeginThread();
    }
    void TearDown() override {
        TernLogger().EndThread();
        if (Get().table[9]) reinterpret_cast<CairnShutdownEP>(Get().table[9])();
    }
    // Runs the entry point on the test's arguments; its status, and its result in result_.
    CKestrelStatus Run(int32_t code) {
        CKestrelAttrib attrib;
        CKestrelStatus st;
        attrib.Parse(st, code, "order1", args_.Vector(), false);
        EXPECT_TRUE(st.IsSuccess());
        CKestrel agent;
        if (code == KEP_ONLINE) return agent.Online(attrib, result_);
        if (code == KEP_OFFLINE) return agent.Offline(attrib, result_);
        return agent.Clean(attrib, 0, result_);
    }
    // "Inavlid password." is traced once, before the line starting with next; with an earlier line, after
    // that one and right before next: the password is read just before that line, not inside the run after
    // it.
    static void ExpectBadPasswordBefore(const std::wstring& next, const std::wstring& earlier = L"") {
        const auto lines = fake_cairn::TraceLines();
        const size_t bad = Find(lines, L"Inavlid password."), then = Find(lines, next);
        ASSERT_NE(bad, std::string::npos);
        ASSERT_NE(then, std::string::npos);
        EXPECT_LT(bad, then);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), L"Inavlid password."), 1);
        for (const auto& m : Get().messages) EXPECT_EQ(m.flags, 0u) << m.id;  // messages carry no flags
        if (earlier.empty()) return;
        ASSERT_NE(Find(lines, earlier), std::string::npos);
        EXPECT_LT(Find(lines, earlier), bad);
        EXPECT_EQ(bad + 1, then);
    }
    // Position of the first trace line that starts with prefix, or npos.
    static size_t Find(const std::vector<std::wstring>& lines, const std::wstring& prefix) {
        auto it =
            std::find_if(lines.begin(), lines.end(), [&](const auto& l) { return l.rfind(prefix, 0) == 0; });
        return it == lines.end() ? std::string::npos : static_cast<size_t>(it - lines.begin());
    }

    kestrel_test::TempDir home_;
    AgentArgs args_;
    uint32_t result_ = 7;
};

TEST_F(PasswordOrderTest, OnlineReportsTheBadPasswordBeforeItsStartCommandLine) {
    // Online starts the instance's service first: one of the embedded service manager's, in the temp dir.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    ::setenv("CAIRN_SERVICE_ROOT", (home_ / "services").c_str(), 1);
    ASSERT_TRUE(TernServiceRegistry::Create({"SAPQZQ_77", {"/bin/sleep", "300"}, "", ""}).IsSuccess());
    const CKestrelStatus st = Run(KEP_ONLINE);
    CKestrelUtil::StopService(L"SAPQZQ_77", 10000);
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    ::setenv("CAIRN_SERVICE_ROOT", "/nonexistent/kestrel-unit-services", 1);
    EXPECT_TRUE(st.IsFailure());  // no such administrator: the start command cannot run
    ExpectBadPasswordBefore(L"Start the SAP Instance with command [",
                            L"The SAP Sevice [SAPQZQ_77] started successfully.");
}

TEST_F(PasswordOrderTest, OfflineReportsTheBadPasswordBeforeItsStopCommandLine) {
    Run(KEP_OFFLINE);
    ExpectBadPasswordBefore(L"Stop the SAP Instance with command [",
                            L"Performing process level check before Offline.");
    EXPECT_EQ(result_, 0u);
}

TEST_F(PasswordOrderTest, CleanReportsTheBadPasswordBeforeItsFirstStep) {
    args_.SAPHost = "";  // the first step fails at once: no graceful shutdown is tried
    Run(KEP_CLEAN);
    ExpectBadPasswordBefore(L"SAPHost is empty. Continueing Clean operation ... returned");
    EXPECT_EQ(result_, 0u);  // nothing of the instance was there to kill
}

}  // namespace
