// A password that does not decode is reported before the step that needs it: Online and Offline fetch it
// before their start- and stop-command lines, Clean before its first step. Driven against the recording
// stand-in framework with an instance that has no processes, no services and no accounts on this host.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "AgentArgs.h"
#include "CairnAgfw.h"
#include "FakeCairn.h"
#include "Kestrel.h"
#include "KestrelAttrib.h"
#include "KestrelUtil.h"
#include "LibLogger.h"
#include "LibServiceRegistry.h"

extern "C" void CairnAgStartup(void);

namespace {

using fake_cairn::Get;

class PasswordOrderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_cairn::ResetWithTypeTimeouts();
        CairnAgStartup();  // installs the agent's log implementation: trace lines reach the framework
        char tmpl[] = "/tmp/kestrel-order-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        home_ = tmpl;
        std::ofstream(home_ + "/stopsap.exe") << "#!/bin/sh\nexit 0\n";
        std::ofstream(home_ + "/startsap.exe") << "#!/bin/sh\nexit 0\n";
        // Names no process, service or account on this host carries.
        args_.SAPSID = "QZQ";
        args_.InstName = "QZQINST77";
        args_.SAPHome = home_;
        args_.SAPMonHome = home_;
        args_.SAPServiceUser = "qzqnosuchsvc";
        args_.SAPAdmin = "qzqnosuchadm";
        args_.ProcMon = {"nosuchprogram.exe"};  // no architecture: the process-level check says unknown
        args_.SAPAdminPassword = "ab";          // does not decode
        TernLogger().BeginThread();
    }
    void TearDown() override {
        TernLogger().EndThread();
        if (Get().table[9]) reinterpret_cast<CairnShutdownEP>(Get().table[9])();
        std::filesystem::remove_all(home_);
    }
    void Parse(CKestrelAttrib& attrib, int32_t code) {
        CKestrelStatus st;
        attrib.Parse(st, code, "order1", args_.Vector(), false);
        EXPECT_TRUE(st.IsSuccess());
    }
    // "Inavlid password." is traced after the line starting with earlier and right before the line starting
    // with next: the password is read just before that line, not inside the run after it.
    static void ExpectBadPasswordBetween(const std::wstring& earlier, const std::wstring& next) {
        const auto lines = fake_cairn::TraceLines();
        const size_t first = Find(lines, earlier);
        const size_t bad = Find(lines, L"Inavlid password.");
        const size_t then = Find(lines, next);
        ASSERT_NE(first, std::string::npos);
        ASSERT_NE(bad, std::string::npos);
        ASSERT_NE(then, std::string::npos);
        EXPECT_LT(first, bad);
        EXPECT_EQ(bad + 1, then);
    }
    // Position of the first trace line that starts with prefix, or npos.
    static size_t Find(const std::vector<std::wstring>& lines, const std::wstring& prefix) {
        auto it = std::find_if(lines.begin(), lines.end(),
                               [&](const std::wstring& l) { return l.rfind(prefix, 0) == 0; });
        return it == lines.end() ? std::string::npos : static_cast<size_t>(it - lines.begin());
    }

    std::string home_;
    AgentArgs args_;
};

TEST_F(PasswordOrderTest, OnlineReportsTheBadPasswordBeforeItsStartCommandLine) {
    // Online starts the instance's service first: one of the embedded service manager's, in the temp dir.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    ::setenv("CAIRN_SERVICE_ROOT", (home_ + "/services").c_str(), 1);
    const std::wstring service = L"SAPQZQ_77";
    ASSERT_TRUE(TernServiceRegistry::Create({"SAPQZQ_77", {"/bin/sleep", "300"}, "", ""}).IsSuccess());
    CKestrelAttrib attrib;
    Parse(attrib, KEP_ONLINE);
    CKestrel agent;
    uint32_t result = 7;
    const CKestrelStatus st = agent.Online(attrib, result);
    CKestrelUtil::StopService(service, 10000);
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    ::setenv("CAIRN_SERVICE_ROOT", "/nonexistent/kestrel-unit-services", 1);

    EXPECT_TRUE(st.IsFailure());  // no such administrator: the start command cannot run
    ExpectBadPasswordBetween(L"The SAP Sevice [SAPQZQ_77] started successfully.",
                             L"Start the SAP Instance with command [");
}

TEST_F(PasswordOrderTest, OfflineReportsTheBadPasswordBeforeItsStopCommandLine) {
    CKestrelAttrib attrib;
    Parse(attrib, KEP_OFFLINE);
    CKestrel agent;
    uint32_t result = 7;
    agent.Offline(attrib, result);
    ExpectBadPasswordBetween(L"Performing process level check before Offline.",
                             L"Stop the SAP Instance with command [");
    EXPECT_EQ(result, 0u);
}

TEST_F(PasswordOrderTest, CleanReportsTheBadPasswordBeforeItsFirstStep) {
    args_.SAPHost = "";  // the first step fails at once: no graceful shutdown is tried
    CKestrelAttrib attrib;
    Parse(attrib, KEP_CLEAN);
    CKestrel agent;
    uint32_t result = 7;
    agent.Clean(attrib, 0, result);
    const auto lines = fake_cairn::TraceLines();
    const size_t bad = Find(lines, L"Inavlid password.");
    const size_t first = Find(lines, L"SAPHost is empty. Continueing Clean operation ... returned");
    ASSERT_NE(bad, std::string::npos);
    ASSERT_NE(first, std::string::npos);
    EXPECT_LT(bad, first);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), L"Inavlid password."), 1);  // read once
    EXPECT_EQ(result, 0u);  // nothing of the instance was there to kill
}

}  // namespace
