#include <poll.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <tuple>

#include "KestrelUtil.h"
#include "LibError.h"
#include "LibProcess.h"
#include "LibSCM.h"
#include "LibService.h"
#include "LibServiceRegistry.h"
#include "PlatformTestSupport.h"
#include "TestAccounts.h"
#include "TestIdentity.h"

namespace {

using namespace tern_test;
namespace fs = std::filesystem;

// Services are detached from the program that starts them; as a subreaper the test program still gets
// them back as children when they end, so it can reap every one.
const bool g_subreaper = ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;

using kestrel_test::Contains;
using kestrel_test::ReadFile;

class ServiceTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(g_subreaper);
        ::setenv("CAIRN_SERVICE_ROOT", (dir_ / "services").c_str(), 1);
        CaptureTraces();
    }
    void TearDown() override {
        // End whatever a test left running, then reap it.
        std::vector<TernServiceEntry> all;
        TernServiceRegistry::List(all);
        for (auto& e : all) {
            const auto pid = static_cast<pid_t>(e.status.pid);
            if (pid != 0 && ::kill(-pid, SIGKILL) == 0)
                ::waitpid(pid, nullptr, 0);  // our child, as subreaper
        }
        ReapEnded();
        ::unsetenv("CAIRN_SERVICE_ROOT");
    }

    void Create(const std::string& key, std::vector<std::string> exec, const std::string& display = "",
                const std::string& user = "") {
        TernServiceConfig c{key, std::move(exec), user, display};
        CKestrelStatus st = TernServiceRegistry::Create(c);
        ASSERT_TRUE(st.IsSuccess()) << st.GetError() << TracesText();
    }
    // The service, opened with all access (the test fails when it cannot be).
    static TernService Opened(const std::wstring& name) {
        TernService svc;
        CKestrelStatus st = svc.Open(name.c_str(), TernService::kAllAccess, nullptr, TernSCM::kAllAccess);
        EXPECT_TRUE(st.IsSuccess()) << st.GetError() << TracesText();
        return svc;
    }
    std::string Log(const std::string& key) {
        return ReadFile(TernServiceRegistry::Root() + "/" + key + "/service.log");
    }
    // The program's own output reaches the service's log once it runs (up to 2 s).
    bool WaitForLog(const std::string& key, const std::string& text) {
        for (int i = 0; i < 2000; ++i) {
            if (Log(key).find(text) != std::string::npos) return true;
            ::usleep(1000);
        }
        return false;
    }
    TernServiceStatus Status(TernService& s) {
        TernServiceStatus st;
        EXPECT_TRUE(s.QueryStatus(st).IsSuccess());
        return st;
    }

    TempDir dir_;
};

// The service runs detached, in its own session and group; a stop ends the whole group. Only the local
// manager exists: a named machine is refused (50), a null or empty name is the local one.
TEST_F(ServiceTest, StartRunsDetachedAndStopEndsIt) {
    TernSCM scm;
    EXPECT_TRUE(scm.Open(nullptr, TernSCM::kAllAccess).IsSuccess());
    EXPECT_TRUE(scm.Open(L"", TernSCM::kAllAccess).IsSuccess());
    EXPECT_EQ(scm.Open(L"otherhost", TernSCM::kAllAccess).GetError(), 50u);

    const std::string pidFile = dir_ / "member.pid";
    Create("demo", {ChildProgram(), "fork-pause", pidFile}, "Demo Service");
    const std::vector<std::string> descriptors = kestrel_test::OpenDescriptors();
    TernService svc = Opened(L"demo");
    EXPECT_EQ(Status(svc).state, TERN_SERVICE_STOPPED);
    ASSERT_TRUE(svc.Start().IsSuccess()) << TracesText();
    ASSERT_TRUE(svc.WaitForStart(1000).IsSuccess());
    TernServiceStatus st = Status(svc);
    ASSERT_EQ(st.state, TERN_SERVICE_RUNNING);
    const auto pid = static_cast<pid_t>(st.pid);
    EXPECT_EQ(::getsid(pid), pid);
    EXPECT_EQ(::getpgid(pid), pid);
    std::wstring exe;
    EXPECT_TRUE(TernProcess::GetExeName(pid, exe).IsSuccess());
    EXPECT_EQ(exe, TernMbToWide(fs::canonical(ChildProgram()).string()));
    bool running = false;
    EXPECT_TRUE(svc.IsServiceRunning(running).IsSuccess() && running);

    ASSERT_TRUE(WaitForLog("demo", "ready"));  // standard output goes to the service's log
    const int memberFd = PidfdOpen(std::stoi(ReadFile(pidFile)), 0);  // written before "ready"
    ASSERT_GE(memberFd, 0);
    // Starting a running service does nothing.
    ASSERT_TRUE(svc.Start().IsSuccess());
    EXPECT_EQ(Status(svc).pid, st.pid);

    ASSERT_TRUE(svc.Stop().IsSuccess());
    ASSERT_TRUE(svc.WaitForStop(5000).IsSuccess()) << TracesText();
    pollfd member{memberFd, POLLIN, 0};
    EXPECT_EQ(::poll(&member, 1, 2000), 1) << "the forked member survived the stop";
    ::close(memberFd);
    EXPECT_FALSE(HasTrace(L"(0) ControlService failed for service demo. state = 4.")) << TracesText();
    EXPECT_FALSE(HasTrace(L"(0) Failed to query service status of demo.")) << TracesText();
    EXPECT_EQ(Status(svc).state, TERN_SERVICE_STOPPED);
    EXPECT_TRUE(svc.IsServiceRunning(running).IsSuccess() && !running);
    EXPECT_TRUE(svc.Stop().IsSuccess());  // stopping a stopped service does nothing
    EXPECT_NE(Log("demo").find("started, pid " + std::to_string(pid)), std::string::npos) << Log("demo");
    EXPECT_TRUE(svc.Close().IsSuccess());
    EXPECT_TRUE(svc.GetName().empty());
    EXPECT_EQ(kestrel_test::OpenDescriptors(), descriptors) << "a start or stop left a descriptor open";
}

TEST_F(ServiceTest, OpenByDisplayNameAndUnknownName) {
    Create("demo", {ChildProgram(), "pause"}, "Demo Service");
    TernService svc = Opened(L"demo service");
    EXPECT_EQ(svc.GetName(), L"demo");
    EXPECT_TRUE(HasTrace(L"(1060) Failed to open service demo service.")) << TracesText();
    EXPECT_TRUE(HasTrace(L"(1060) OpenService failed for demo service, dwAccess=983551")) << TracesText();

    // A name that cannot be a key name (123) also falls back to the display-name lookup.
    fake_cairn::Reset();
    CKestrelStatus st = svc.Open(L"no/such", TernService::kAllAccess, nullptr, TernSCM::kAllAccess);
    EXPECT_EQ(st.GetCode(), 2);
    EXPECT_EQ(st.GetError(), 1060u);
    EXPECT_FALSE(svc.IsValid());
    std::vector<std::wstring> want = {
        L"(123) Failed to open service no/such.", L"(123) OpenService failed for no/such, dwAccess=983551",
        L"(1060) GetServiceKeyName failed. DispName=no/such.", L"(1060) GetKeyName failed for no/such",
        L"(1060) Failed to open the service 'no/such'."};
    EXPECT_EQ(Traces(), want) << TracesText();
}

// A start that fails leaves the service stopped with the reason in its log. A program named without a folder
// is looked up in PATH, past files that are not executable.
TEST_F(ServiceTest, FailedStartLeavesServiceStoppedWithReasonInItsLogAndPathIsSearched) {
    const std::string first = dir_ / "first", second = dir_ / "second";
    fs::create_directories(first);
    fs::create_directories(second);
    ASSERT_TRUE(kestrel_test::WriteFile(first + "/tern-probe", "not a program\n", 0644));
    fs::copy_file(ChildProgram(), second + "/tern-probe");  // keeps its mode 0755
    Create("missing", {dir_ / "nothing-here"});
    Create("badacct", {ChildProgram(), "pause"}, "", "no-such-account-xyz");
    Create("noexec", {first + "/tern-probe"});
    Create("nopath", {"no-such-program-in-path-xyz"});
    Create("probe", {"tern-probe", "pause"});
    const std::string savedPath = ::getenv("PATH") != nullptr ? ::getenv("PATH") : "";
    ::setenv("PATH", (first + ":" + second).c_str(), 1);
    struct Case {
        const wchar_t* name;
        uint32_t error;
        std::string reason;
    };
    for (const Case& c : {Case{L"missing", 2, "cannot execute the program"},
                          Case{L"badacct", 1069, "account 'no-such-account-xyz' is unknown"},
                          Case{L"noexec", 5, "Permission denied"}, Case{L"nopath", 2, "not found in PATH"}}) {
        TernService svc = Opened(c.name);
        CKestrelStatus st = svc.Start();
        EXPECT_EQ(st.GetCode(), 2);
        EXPECT_EQ(st.GetError(), c.error);
        EXPECT_EQ(TernGetLastError(), c.error);
        EXPECT_TRUE(HasTrace(L"(" + std::to_wstring(c.error) + L") Failed to start the service " + c.name +
                             L". State=1."))
            << TracesText();
        EXPECT_EQ(Status(svc).state, TERN_SERVICE_STOPPED);
        const std::string log = Log(TernWideToUtf8(c.name));
        EXPECT_TRUE(Contains(log, "not started") && Contains(log, c.reason)) << log;
    }
    TernService probe = Opened(L"probe");
    const CKestrelStatus started = probe.Start();
    ::setenv("PATH", savedPath.c_str(), 1);
    ASSERT_TRUE(started.IsSuccess()) << started.GetError() << TracesText();
    EXPECT_TRUE(probe.WaitForStart(2000).IsSuccess()) << Log("probe");
    EXPECT_EQ(Status(probe).state, TERN_SERVICE_RUNNING) << Log("probe");
}

// The service's process ending on its own (a zombie not yet reaped counts as ended) shows as stopped, and
// a wait for the running state ends at the first poll.
TEST_F(ServiceTest, ServiceWhoseProcessDiesShowsStopped) {
    Create("dies", {ChildProgram(), "exit", "3"});
    TernService svc = Opened(L"dies");
    ASSERT_TRUE(svc.Start().IsSuccess());
    TernServiceStatus st = Status(svc);
    if (st.pid != 0) {
        siginfo_t info{};
        ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(st.pid), &info, WEXITED | WNOWAIT), 0);  // now a zombie
    }
    EXPECT_EQ(Status(svc).state, TERN_SERVICE_STOPPED);
    CKestrelStatus wait = svc.WaitForStart(200);
    EXPECT_EQ(wait.GetCode(), 6);
    EXPECT_EQ(wait.GetError(), 1u);
    EXPECT_EQ(TernGetLastError(), 1u);
    ReapEnded();
    EXPECT_EQ(Status(svc).state, TERN_SERVICE_STOPPED);
}

std::vector<uint32_t> g_sleeps;
std::function<void()> g_onSleep;
void RecordSleep(uint32_t ms) {
    g_sleeps.push_back(ms);
    if (g_onSleep) g_onSleep();
}

TEST_F(ServiceTest, WaitSchedule) {
#ifndef KESTREL_TEST_HOOKS
    GTEST_SKIP() << "needs a build with KESTREL_TEST_HOOKS";
#else
    Create("stubborn", {ChildProgram(), "ignore-term"});
    TernService svc = Opened(L"stubborn");
    ASSERT_TRUE(svc.Start().IsSuccess());
    // The program sets its handler after exec: wait for that before asking it to stop.
    uint32_t pid = Status(svc).pid;
    ASSERT_TRUE(WaitForLog("stubborn", "ready"));
    ASSERT_TRUE(svc.Stop().IsSuccess());
    ASSERT_EQ(Status(svc).state, TERN_SERVICE_STOP_PENDING);

    struct Restore {
        TernServiceSleepFn old = TernServiceSetSleepForTest(RecordSleep);
        ~Restore() {
            TernServiceSetSleepForTest(old);
            g_onSleep = nullptr;
        }
    } restore;
    struct Case {
        uint32_t limit;
        std::vector<uint32_t> sleeps;
    };
    for (const Case& c : {Case{0, {}}, Case{120, {50, 50, 20}}, Case{100, {50, 50}}, Case{49, {49}}}) {
        g_sleeps.clear();
        fake_cairn::Reset();
        CKestrelStatus st = svc.WaitForStop(c.limit);
        EXPECT_EQ(st.GetCode(), 2) << c.limit;
        EXPECT_EQ(st.GetError(), 258u) << c.limit;
        EXPECT_EQ(g_sleeps, c.sleeps) << c.limit;
        EXPECT_TRUE(HasTrace(L"Wait timed out for service stubborn")) << TracesText();
    }

    // Waiting for the other state ends at the first poll: stop pending is not start pending.
    g_sleeps.clear();
    CKestrelStatus st = svc.WaitForStart(1000);
    EXPECT_EQ(st.GetCode(), 6);
    EXPECT_EQ(g_sleeps, std::vector<uint32_t>{50});

    // Without a limit: 100 ms polls until the state is reached (here: the process is killed at the third).
    g_sleeps.clear();
    g_onSleep = [pid] {
        if (g_sleeps.size() == 3) {
            int fd = PidfdOpen(static_cast<pid_t>(pid), 0);
            ::syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0u);
            ::waitid(P_PIDFD, fd, nullptr, WEXITED | WNOWAIT);
            ::close(fd);
        }
    };
    EXPECT_TRUE(svc.WaitForStop(TernService::kInfinite).IsSuccess());
    EXPECT_EQ(g_sleeps, (std::vector<uint32_t>{100, 100, 100}));
#endif
}

TEST_F(ServiceTest, ConcurrentStartsLaunchOneProcess) {
    Create("once", {ChildProgram(), "pause"});
    std::vector<std::thread> threads;
    std::vector<uint32_t> pids(4, 0), errors(4, 99);
    for (size_t i = 0; i < pids.size(); ++i)
        threads.emplace_back([&, i] {
            TernService svc;
            CKestrelStatus st = svc.Open(L"once", TernService::kAllAccess, nullptr, TernSCM::kAllAccess);
            if (st.IsSuccess()) st = svc.Start();
            errors[i] = st.GetError();
            TernServiceStatus s;
            if (st.IsSuccess() && svc.QueryStatus(s).IsSuccess()) pids[i] = s.pid;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(errors, std::vector<uint32_t>(4, 0));
    EXPECT_NE(pids[0], 0u);
    EXPECT_EQ(pids, std::vector<uint32_t>(4, pids[0]));
    const std::string log = Log("once");
    EXPECT_TRUE(Contains(log, "started") && log.find("started") == log.rfind("started")) << log;
}

TEST_F(ServiceTest, RegistryCreateDeleteList) {
    Create("beta", {"/bin/true"}, "BetaShown");
    Create("alpha", {ChildProgram(), "pause", "arg with blanks"}, "", "someone");
    auto err = [](TernServiceConfig c) { return TernServiceRegistry::Create(c).GetError(); };
    EXPECT_EQ(err({"beta", {"/bin/true"}, "", ""}), 1073u);
    EXPECT_EQ(err({"BETA", {"/bin/true"}, "", ""}), 1073u);
    EXPECT_EQ(err({"gamma", {"/bin/true"}, "", "beta"}), 1078u);  // display name = another key name
    EXPECT_EQ(err({"Beta", {"/bin/true"}, "", ""}), 1073u);
    EXPECT_EQ(err({"gamma", {"/bin/true"}, "", "BETA"}), 1078u);
    EXPECT_EQ(err({"gamma", {"/bin/true"}, "", "betashown"}), 1078u);  // display name = another display name
    EXPECT_EQ(err({"BetaShown", {"/bin/true"}, "", ""}), 1078u);       // key name = another display name
    EXPECT_EQ(err({"a/b", {"/bin/true"}, "", ""}), 123u);
    EXPECT_EQ(err({".hidden", {"/bin/true"}, "", ""}), 123u);
    EXPECT_EQ(err({"", {"/bin/true"}, "", ""}), 123u);
    EXPECT_EQ(err({"gamma", {}, "", ""}), 160u);

    TernServiceConfig cfg;
    ASSERT_TRUE(TernServiceRegistry::GetConfig("alpha", cfg).IsSuccess());
    EXPECT_EQ(cfg.exec, (std::vector<std::string>{ChildProgram(), "pause", "arg with blanks"}));
    EXPECT_EQ(cfg.user, "someone");

    Create("run", {ChildProgram(), "pause"});
    TernService svc = Opened(L"run");
    ASSERT_TRUE(svc.Start().IsSuccess());
    std::vector<TernServiceEntry> all;
    ASSERT_TRUE(TernServiceRegistry::List(all).IsSuccess());
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].config.keyName, "alpha");
    EXPECT_EQ(all[1].config.displayName, "BetaShown");
    EXPECT_EQ(all[2].status.state, TERN_SERVICE_RUNNING);
    EXPECT_EQ(TernServiceRegistry::Delete("run").GetError(), 1056u);
    EXPECT_EQ(TernServiceRegistry::Delete("nope").GetError(), 1060u);
    ASSERT_TRUE(TernServiceRegistry::Delete("beta").IsSuccess());
    EXPECT_FALSE(fs::exists(TernServiceRegistry::Root() + "/beta"));
    EXPECT_EQ(TernServiceRegistry::GetConfig("beta", cfg).GetError(), 1060u);
    // Nothing but service folders is left behind in the registry.
    EXPECT_EQ(std::distance(fs::directory_iterator(TernServiceRegistry::Root()), fs::directory_iterator()),
              2);

    // A damaged configuration is reported, not thrown, and the service is left out of the list.
    std::ofstream(TernServiceRegistry::Root() + "/alpha/service.toml")
        << "exec = [ \"/bin/true\"\nuser = 5\n";
    EXPECT_EQ(TernServiceRegistry::GetConfig("alpha", cfg).GetError(), 13u);
    std::ofstream(TernServiceRegistry::Root() + "/alpha/service.toml") << "exec = []\n";
    TernService broken = Opened(L"alpha");
    EXPECT_EQ(broken.Start().GetError(), 13u);
    EXPECT_TRUE(Contains(Log("alpha"), "exec must be a non-empty array")) << Log("alpha");
    ASSERT_TRUE(TernServiceRegistry::List(all).IsSuccess());
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].config.keyName, "run");
}

// As root, with the test accounts of the NSS wrapper: the service's process runs as its account.
TEST_F(ServiceTest, RunsAsItsAccount) {
    if (!kestrel_test::IsRoot() || !kestrel_test::IdentityWrappersActive())
        GTEST_SKIP() << "needs root and the test accounts (nss wrapper) to run a service as another account";
    Create("asuser", {ChildProgram(), "pause"}, "", kestrel_test::kAdmin.name);
    Create("asdomain", {ChildProgram(), "pause"}, "", kestrel_test::kDomainBackslash.name);
    for (auto [key, domain, user] : {std::tuple{L"asuser", TernHostShortNameUpper(), L"kadm"},
                                     std::tuple{L"asdomain", std::wstring(L"CORP"), L"dadm"}}) {
        TernService svc = Opened(key);
        ASSERT_TRUE(svc.Start().IsSuccess()) << Log(TernWideToUtf8(key));
        TernProcess p;
        ASSERT_TRUE(p.Open(Status(svc).pid, false, TernProcess::kAccessQuery).IsSuccess());
        std::wstring d, u;
        ASSERT_TRUE(p.GetUserName(d, u).IsSuccess()) << TracesText();
        EXPECT_EQ(d, domain);
        EXPECT_EQ(u, user);
    }
}

TEST_F(ServiceTest, AgentOperationsTraceTheirSteps) {
    Create("SAPABC_00", {ChildProgram(), "pause"}, "SAP ABC 00");
    EXPECT_TRUE(CKestrelUtil::StartService(L"SAPABC_00", 2000).IsSuccess()) << TracesText();
    EXPECT_TRUE(HasTrace(L"StartService called with service [SAPABC_00] and timeout [2000]."));
    bool running = false;
    EXPECT_TRUE(CKestrelUtil::IsServiceRunning(L"SAP ABC 00", running).IsSuccess() && running);
    EXPECT_TRUE(HasTrace(L"IsServiceRunning called with service [SAP ABC 00]."));
    EXPECT_TRUE(CKestrelUtil::StopService(L"SAPABC_00", 5000).IsSuccess()) << TracesText();
    EXPECT_TRUE(HasTrace(L"StopService called with service [SAPABC_00] and timeout [5000]."));
    EXPECT_TRUE(CKestrelUtil::IsServiceRunning(L"SAPABC_00", running).IsSuccess() && !running);
    EXPECT_FALSE(Contains(TracesText(), " returned ")) << "a step that succeeded was traced as failed";

    fake_cairn::Reset();
    running = true;
    CKestrelStatus st = CKestrelUtil::IsServiceRunning(L"SAPXYZ_01", running);
    EXPECT_EQ(st.GetError(), 1060u);
    EXPECT_TRUE(running);  // not written on failure
    EXPECT_TRUE(HasTrace(L"TernService::Open returned 2, 0x00000424")) << TracesText();
    EXPECT_EQ(CKestrelUtil::StartService(L"SAPXYZ_01", 10).GetError(), 1060u);
}

}  // namespace
