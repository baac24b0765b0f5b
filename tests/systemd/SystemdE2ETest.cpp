// End to end with service_manager = "systemd": a simulated instance whose start service is a unit of our
// systemd stand-in (the embedded registration is removed, so nothing can fall back on it). The agent's
// messages are those of the embedded setup, whose texts ControlE2ETest and MonitorE2ETest check.
#include <gtest/gtest.h>
#include <signal.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "E2EHarness.h"
#include "SystemdMock.h"

using namespace kestrel_e2e;
using kestrel_systemd_test::SystemdMock;

namespace {

constexpr int kError = 1, kInfo = 4;
SystemdMock* g_mock = nullptr;
std::string g_skip;

class SystemdE2E : public E2ETest {
  protected:
    static void SetUpTestSuite() {
        E2ETest::SetUpTestSuite();
        g_skip = StartSuiteMock(g_mock);
    }
    static void TearDownTestSuite() { EndSuiteMock(g_mock); }
    void SetUp() override {
        if (!g_skip.empty()) GTEST_SKIP() << g_skip;
        E2ETest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        UseControlTimings();
        SetClusterSetting("service_manager", TomlString("systemd"));
    }
    void TearDown() override {
        if (g_mock && g_skip.empty()) g_mock->KillAll();
        E2ETest::TearDown();
    }

    // The instance's start service as unit SAP<SID>_<NR>.service: the program sapsim registered, as the
    // administrator. The embedded registration goes.
    Instance& InstallUnderSystemd(const std::string& startMode = "", bool linuxNames = false) {
        if (linuxNames) UseTypeDefinitionWith(ReadFile(KESTREL_LINUX_NAMES));
        Instance& in = Install({.instance = "DVEBMGS00", .type = "central", .linuxNames = linuxNames});
        const std::string toml = StateDir() + "/services/" + in.service + "/service.toml";
        std::vector<std::string> exec;
        const toml::table service = toml::parse_file(toml);
        if (const toml::array* a = service["exec"].as_array())
            for (const toml::node& n : *a) exec.push_back(n.value_or(std::string()));
        EXPECT_FALSE(exec.empty()) << toml;
        EXPECT_TRUE(g_mock->AddUnit(in.service, "SAP " + in.sid + " " + in.nr, exec,
                                    static_cast<int>(kAdminAccount.uid), static_cast<int>(kGid), startMode));
        EXPECT_EQ(RunCairn({"svc", "delete", in.service}).exitStatus, 0);
        return in;
    }
    // The unit's main process, when it runs the instance's start service as the administrator.
    pid_t StartServicePid(const Instance& in) {
        const pid_t pid = static_cast<pid_t>(g_mock->MainPid(in.service));
        for (const Proc& p : ProcessesUnderRoot())
            if (p.pid == pid && p.uid == kAdminAccount.uid &&
                (p.exe == in.Image("sapstartsrv.exe") || p.exe == in.Image("sapstartsrv")))
                return pid;
        return 0;
    }
};

// Online, Monitor, Offline, Online, Clean, Online and a dead service, with the instance's programs under
// their default names or under SAP's Linux names (the shipped profile): the same messages either way.
class SystemdE2ENames : public SystemdE2E, public ::testing::WithParamInterface<bool> {};

TEST_P(SystemdE2ENames, OnlineMonitorOfflineCleanAndADeadServiceDriveTheUnit) {
    const bool linuxNames = GetParam();
    Instance& in = InstallUnderSystemd("", linuxNames);

    E2EResult r = Online(in);
    ExpectRun(r, 0, "ONLINE");
    ExpectMessages(r, "Online", {{20006, kInfo}, {20011, kInfo}, {20016, kInfo}});
    EXPECT_TRUE(Contains(r.MessageText(20011), linuxNames ? "/startsap name=" : "/startsap.exe name="));
    const pid_t service = StartServicePid(in);
    EXPECT_GT(service, 0) << g_mock->Log();
    EXPECT_EQ(Actions(in), std::vector<std::string>{kStarted});

    r = Monitor(in);
    ExpectRun(r, 0, "ONLINE");
    EXPECT_EQ(r.Ids("Monitor"), std::vector<int>{}) << r.Describe();
    EXPECT_TRUE(r.DebugHas("The SAP Service [" + in.service + "] is Running.")) << r.Describe();

    r = Run("offline", in.resource);
    ExpectRun(r, 0, "OFFLINE");
    ExpectMessages(r, "Offline", {{20051, kInfo}, {20053, kInfo}});
    EXPECT_TRUE(GoneSoon(service));
    EXPECT_EQ(g_mock->MainPid(in.service), 0u);

    ASSERT_EQ(Online(in).exitStatus, 0);
    const pid_t again = StartServicePid(in);
    EXPECT_GT(again, 0);
    r = Run("clean", in.resource);
    ExpectRun(r, 0, "CLEANED");
    ExpectMessages(r, "Clean", {{20069, kInfo}, {20073, kInfo}});
    EXPECT_TRUE(GoneSoon(again));
    EXPECT_EQ(Actions(in), (std::vector<std::string>{kStarted, kShutdown, kStarted, kCleaned}));

    // The service's process dies behind the agent's back: the unit is no longer running.
    ASSERT_EQ(Online(in).State(), "ONLINE");
    const pid_t third = StartServicePid(in);
    ASSERT_GT(third, 0);
    kill(third, SIGKILL);
    ASSERT_TRUE(WaitFor([&] { return g_mock->MainPid(in.service) == 0; }));
    r = Monitor(in);
    ExpectRun(r, 0, "OFFLINE");
    ExpectMessages(r, "Monitor", {{20074, kError}});

    // svc stays with the embedded manager, and says so.
    ProcResult svc = RunCairn({"svc", "list"}, "", {"CAIRN_SERVICE_MANAGER=systemd"});
    EXPECT_EQ(svc.exitStatus, 0) << svc.err;
    EXPECT_TRUE(
        Contains(svc.err, "svc: service_manager is \"systemd\"; svc works on the embedded service manager"))
        << svc.err;
}

INSTANTIATE_TEST_SUITE_P(Names, SystemdE2ENames, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Linux" : "Default"; });

TEST_F(SystemdE2E, AStartJobThatNeverEndsIsAServiceStartTimeOut) {
    SetTypeAttr("OnlineTimeout", "20");  // 400 ms of waiting for the start job
    Instance& in = InstallUnderSystemd("hang");
    E2EResult on = Online(in);
    EXPECT_NE(on.State(), "ONLINE") << on.Describe();
    ExpectMessage(on, 20004, kError, "SAP Service Start [" + in.service + "] timed out.");
    EXPECT_EQ(Actions(in), std::vector<std::string>{});
}

TEST_F(SystemdE2E, AServiceManagerThatIsNoneOfTheThreeIsAConfigurationError) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    SetClusterSetting("service_manager", TomlString("sysv"));
    E2EResult r = Monitor(in);
    EXPECT_EQ(r.exitStatus, 2) << r.Describe();
    EXPECT_TRUE(Contains(
        r.err, "cluster.service_manager: expected \"embedded\", \"systemd\" or \"auto\", got \"sysv\""))
        << r.err;
}

}  // namespace
