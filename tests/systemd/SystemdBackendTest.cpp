// The systemd service backend against our systemd stand-in on a private bus: the agent's service
// operations (CKestrelUtil over TernService) with real unit programs, the state mapping, time-outs, and the
// choice of backend.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "KestrelUtil.h"
#include "LibError.h"
#include "LibSCM.h"
#include "LibService.h"
#include "SystemdMock.h"

using kestrel_systemd_test::SystemdMock;

namespace {

SystemdMock* g_mock = nullptr;
std::string g_skip;

// The mock reaps its units' programs before it reports them gone.
bool Alive(pid_t pid) {
    return kill(pid, 0) == 0;
}

// Until the process's ignored-signal mask holds SIGTERM (a shell sets its trap only after it has started).
bool IgnoresTermSoon(pid_t pid) {
    for (int i = 0; i < 500; ++i, usleep(10000)) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("SigIgn:", 0) == 0 &&
                (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1)
                return true;
    }
    return false;
}

class SystemdBackend : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { g_skip = StartSuiteMock(g_mock); }
    static void TearDownTestSuite() { EndSuiteMock(g_mock); }
    void SetUp() override {
        if (!g_skip.empty()) GTEST_SKIP() << g_skip;
        setenv("CAIRN_SERVICE_MANAGER", "systemd", 1);
        setenv("CAIRN_SERVICE_ROOT", registry_.Path().c_str(), 1);
    }
    void TearDown() override {
        if (g_skip.empty()) g_mock->KillAll();
        unsetenv("CAIRN_SERVICE_MANAGER");
        unsetenv("CAIRN_SERVICE_ROOT");
        unsetenv("KESTREL_TEST_SD_BOOTED");
    }

    static TernServiceStatus Query(const std::wstring& name) {
        TernService s;
        TernServiceStatus status{0, 0};  // not STOPPED: a failed query must not pass for one
        CKestrelStatus st = s.Open(name.c_str(), TernService::kAllAccess, nullptr, TernSCM::kAllAccess);
        if (st.IsSuccess()) st = s.QueryStatus(status);
        EXPECT_TRUE(st.IsSuccess()) << st.GetError();
        return status;
    }
    static bool Running(const std::wstring& name) {
        bool running = false;
        EXPECT_TRUE(CKestrelUtil::IsServiceRunning(name, running).IsSuccess());
        return running;
    }

    kestrel_test::TempDir registry_;
    const std::vector<std::string> sleeper_{"/bin/sleep", "1000"};
};

TEST_F(SystemdBackend, StartRunsTheUnitsProgramAndStopEndsIt) {
    ASSERT_TRUE(g_mock->AddUnit("SAPKS1_00", "SAP KS1 00", sleeper_));
    ASSERT_TRUE(CKestrelUtil::StartService(L"SAPKS1_00", 5000).IsSuccess()) << g_mock->Log();
    // Subscribed only while the job was pending.
    EXPECT_TRUE(kestrel_test::Contains(g_mock->Log(), "Unsubscribe")) << g_mock->Log();
    const TernServiceStatus up = Query(L"SAPKS1_00");
    EXPECT_EQ(up.state, TERN_SERVICE_RUNNING);
    EXPECT_EQ(up.pid, g_mock->MainPid("SAPKS1_00"));
    EXPECT_TRUE(up.pid > 0 && Alive(static_cast<pid_t>(up.pid)));
    EXPECT_TRUE(Running(L"SAPKS1_00"));
    TernService s;
    std::wstring shown;
    ASSERT_TRUE(s.Open(L"SAPKS1_00", TernService::kAllAccess, nullptr, TernSCM::kAllAccess).IsSuccess());
    EXPECT_TRUE(s.QueryDisplayName(shown).IsSuccess());
    EXPECT_EQ(shown, L"SAP KS1 00");
    EXPECT_EQ(s.GetHandle(), -1);
    s.Close();

    // A start of a running service starts nothing more.
    EXPECT_TRUE(CKestrelUtil::StartService(L"SAPKS1_00", 5000).IsSuccess());
    EXPECT_EQ(g_mock->MainPid("SAPKS1_00"), up.pid);

    ASSERT_TRUE(CKestrelUtil::StopService(L"SAPKS1_00", 5000).IsSuccess()) << g_mock->Log();
    EXPECT_FALSE(Alive(static_cast<pid_t>(up.pid)));
    const TernServiceStatus down = Query(L"SAPKS1_00");
    EXPECT_EQ(down.state, TERN_SERVICE_STOPPED);
    EXPECT_EQ(down.pid, 0u);
    EXPECT_TRUE(CKestrelUtil::StopService(L"SAPKS1_00", 5000).IsSuccess());  // stopped already

    // A service whose main process dies is stopped.
    ASSERT_TRUE(CKestrelUtil::StartService(L"SAPKS1_00", 5000).IsSuccess());
    const pid_t pid = static_cast<pid_t>(g_mock->MainPid("SAPKS1_00"));
    ASSERT_GT(pid, 0);
    kill(pid, SIGKILL);
    for (int i = 0; i < 500 && Query(L"SAPKS1_00").state != TERN_SERVICE_STOPPED; ++i) usleep(10000);
    const TernServiceStatus dead = Query(L"SAPKS1_00");
    EXPECT_EQ(dead.state, TERN_SERVICE_STOPPED);
    EXPECT_EQ(dead.pid, 0u);
    EXPECT_FALSE(Running(L"SAPKS1_00"));
}

TEST_F(SystemdBackend, FailedJobsTimeOutsAndUnknownUnits) {
    // A program that cannot run: the start job ends "failed".
    ASSERT_TRUE(g_mock->AddUnit("SAPKS2_00", "", {"/nonexistent/sapstartsrv"}));
    CKestrelStatus st = CKestrelUtil::StartService(L"SAPKS2_00", 5000);
    EXPECT_EQ(st.GetCode(), CKestrelStatus::kPlatform);
    EXPECT_EQ(st.GetError(), 1067u);
    EXPECT_EQ(Query(L"SAPKS2_00").state, TERN_SERVICE_STOPPED);

    // A start job that never ends: 258 within the caller's limit, the unit stays activating; a stop
    // replaces the start job and ends it.
    ASSERT_TRUE(g_mock->AddUnit("SAPKS3_00", "", sleeper_, -1, -1, "hang"));
    st = CKestrelUtil::StartService(L"SAPKS3_00", 2000);
    EXPECT_EQ(st.GetError(), TERN_WAIT_TIMEOUT);
    EXPECT_EQ(Query(L"SAPKS3_00").state, TERN_SERVICE_START_PENDING);
    EXPECT_TRUE(CKestrelUtil::StopService(L"SAPKS3_00", 2000).IsSuccess());

    // A program that ignores SIGTERM: the stop job does not end within the limit.
    ASSERT_TRUE(g_mock->AddUnit("SAPKS4_00", "", {"/bin/sh", "-c", "trap '' TERM; sleep 1000"}));
    ASSERT_TRUE(CKestrelUtil::StartService(L"SAPKS4_00", 5000).IsSuccess());
    ASSERT_TRUE(IgnoresTermSoon(static_cast<pid_t>(g_mock->MainPid("SAPKS4_00"))));
    st = CKestrelUtil::StopService(L"SAPKS4_00", 1000);
    EXPECT_EQ(st.GetError(), TERN_WAIT_TIMEOUT);
    EXPECT_EQ(Query(L"SAPKS4_00").state, TERN_SERVICE_STOP_PENDING);

    // No unit file: 1060, as the embedded manager reports an unknown service; no unit name: 123.
    bool running = true;
    st = CKestrelUtil::IsServiceRunning(L"SAPKS9_99", running);
    EXPECT_EQ(st.GetCode(), CKestrelStatus::kPlatform);
    EXPECT_EQ(st.GetError(), TERN_ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(CKestrelUtil::StartService(L"SAPKS9_99", 1000).GetError(), TERN_ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(CKestrelUtil::IsServiceRunning(L"SAP KS9/99", running).GetError(), TERN_ERROR_INVALID_NAME);
}

TEST_F(SystemdBackend, ActiveStatesMapToServiceStates) {
    ASSERT_TRUE(g_mock->AddUnit("SAPKS5_00", "", sleeper_));
    const std::pair<const char*, uint32_t> table[] = {
        {"active", TERN_SERVICE_RUNNING},           {"reloading", TERN_SERVICE_RUNNING},
        {"activating", TERN_SERVICE_START_PENDING}, {"deactivating", TERN_SERVICE_STOP_PENDING},
        {"inactive", TERN_SERVICE_STOPPED},         {"failed", TERN_SERVICE_STOPPED},
        {"maintenance", TERN_SERVICE_STOPPED}};
    for (const auto& [active, state] : table) {
        ASSERT_TRUE(g_mock->SetActiveState("SAPKS5_00", active));
        EXPECT_EQ(Query(L"SAPKS5_00").state, state) << active;
        EXPECT_EQ(Running(L"SAPKS5_00"), state == TERN_SERVICE_RUNNING) << active;
    }
}

TEST_F(SystemdBackend, ThreadsDriveTheirUnitsAtTheSameTime) {
    constexpr int kThreads = 4;
    for (int i = 0; i < kThreads; ++i)
        ASSERT_TRUE(g_mock->AddUnit("SAPKT" + std::to_string(i) + "_00", "", sleeper_));
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([i, &ok] {
            const std::wstring name = L"SAPKT" + std::to_wstring(i) + L"_00";
            for (int round = 0; round < 3; ++round) {
                bool running = false;
                if (CKestrelUtil::StartService(name, 5000).IsSuccess() &&
                    CKestrelUtil::IsServiceRunning(name, running).IsSuccess() && running &&
                    CKestrelUtil::StopService(name, 5000).IsSuccess())
                    ++ok;
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(ok.load(), kThreads * 3) << g_mock->Log();
}

TEST_F(SystemdBackend, AConnectionLostWithTheBusIsMadeAgain) {
    ASSERT_TRUE(g_mock->AddUnit("SAPKS9_00", "", sleeper_));
    ASSERT_TRUE(Running(L"SAPKS9_00") == false);  // this thread's connection now exists
    g_mock->Stop();                               // the bus goes away and comes back (a new address)
    ASSERT_EQ(g_mock->Start(), "");
    ASSERT_TRUE(g_mock->AddUnit("SAPKS9_00", "", sleeper_));
    EXPECT_TRUE(CKestrelUtil::StartService(L"SAPKS9_00", 5000).IsSuccess()) << g_mock->Log();
    EXPECT_TRUE(Running(L"SAPKS9_00"));
}

TEST_F(SystemdBackend, TheChoiceOfServiceManager) {
    ASSERT_TRUE(g_mock->AddUnit("SAPKS7_00", "", sleeper_));
    TernServiceConfig embedded{"SAPKS8_00", sleeper_, "", ""};
    ASSERT_TRUE(TernServiceRegistry::Create(embedded).IsSuccess());
    bool running = false;

    // embedded: the unit is not seen, the registry's service is.
    setenv("CAIRN_SERVICE_MANAGER", "embedded", 1);
    EXPECT_EQ(CKestrelUtil::IsServiceRunning(L"SAPKS7_00", running).GetError(),
              TERN_ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_TRUE(CKestrelUtil::IsServiceRunning(L"SAPKS8_00", running).IsSuccess());

    // auto on a machine not booted with systemd: the embedded manager.
    setenv("CAIRN_SERVICE_MANAGER", "auto", 1);
    EXPECT_EQ(CKestrelUtil::IsServiceRunning(L"SAPKS7_00", running).GetError(),
              TERN_ERROR_SERVICE_DOES_NOT_EXIST);

    // auto on a systemd machine: a loaded unit is systemd's, any other service the registry's.
    setenv("KESTREL_TEST_SD_BOOTED", "1", 1);
    ASSERT_TRUE(CKestrelUtil::StartService(L"SAPKS7_00", 5000).IsSuccess());
    EXPECT_GT(g_mock->MainPid("SAPKS7_00"), 0u);
    EXPECT_TRUE(CKestrelUtil::IsServiceRunning(L"SAPKS8_00", running).IsSuccess());
    EXPECT_FALSE(running);

    // Anything else is refused when the manager is opened.
    setenv("CAIRN_SERVICE_MANAGER", "sysv", 1);
    CKestrelStatus st = CKestrelUtil::IsServiceRunning(L"SAPKS7_00", running);
    EXPECT_EQ(st.GetError(), TERN_ERROR_INVALID_PARAMETER);
}

}  // namespace
