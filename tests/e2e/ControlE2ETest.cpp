// Instance control end to end: cairnagent online, offline and clean against sapsim instances with real
// processes, services and accounts; what the agent started, stopped, killed and spared is read from /proc,
// the service manager and the instance's SAP log file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "E2EHarness.h"

using namespace kestrel_e2e;
namespace fs = std::filesystem;

namespace {

constexpr int kCritical = 0, kError = 1, kWarning = 2, kNotice = 3, kInfo = 4;
// The agent runs in a zone far from UTC, so a record stamped with local time is caught.
const char* const kFarZone = "TZ=XYZ-5:30";
const std::string kJcmonStarting =
    "[jcmon]\nlines = " + TomlList({"  0  dispatcher  11  Running", "  1  server0  12  Starting"}) + "\n";

// Control timings (scale 50); EdgeE2E: scale 10, where a 10 s budget takes 1 s, so a wait that runs out
// costs about a second.
class ControlE2E : public E2ETest {
  protected:
    void SetUp() override {
        E2ETest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (scale_ == 50) UseControlTimings();
        SetTimeScale(scale_);
    }

    // Live processes whose image lies in the directory (with a trailing separator), by owner.
    std::vector<Proc> ProcsIn(const std::string& dir, uid_t uid) const {
        std::vector<Proc> out = ProcessesUnderRoot();
        std::erase_if(out, [&](const Proc& p) { return p.exe.rfind(dir, 0) != 0 || p.uid != uid; });
        return out;
    }
    // The instance's processes under the administrator, its start service left out.
    std::vector<Proc> AdminProcs(const Instance& in) const {
        std::vector<Proc> procs = ProcsIn(in.instDir + "/exe/", kAdminAccount.uid);
        std::erase_if(procs, [&](const Proc& p) { return p.exe == in.Image("sapstartsrv.exe"); });
        return procs;
    }
    static std::set<pid_t> Pids(const std::vector<Proc>& procs) {
        std::set<pid_t> s;
        for (const Proc& p : procs) s.insert(p.pid);
        return s;
    }
    // Everything that runs from the instance's directory, its start service included, is gone within 3 s.
    bool InstanceGoneSoon(const Instance& in) {
        return WaitFor(
            [&] {
                const std::vector<Proc> all = ProcessesUnderRoot();
                return std::none_of(all.begin(), all.end(),
                                    [&](const Proc& p) { return p.exe.rfind(in.instDir + "/", 0) == 0; });
            },
            3000);
    }

    // Starts program in the background as the account, in a session of its own and without the PAM
    // wrapper (whose per-process folder a killed process would leak); waits until it shows its image.
    pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
                const kestrel_test::TestAccount& as) {
        std::vector<std::string> all{"-c", "setsid \"$0\" \"$@\" </dev/null >/dev/null 2>&1 & echo $!",
                                     program};
        all.insert(all.end(), args.begin(), args.end());
        const ProcResult r = Exec("/bin/sh", all, "", {}, as.uid, as.gid);
        const pid_t pid = r.exitStatus == 0 ? std::atoi(r.out.c_str()) : -1;
        const bool shown =
            pid > 0 && WaitFor([&] {
                std::error_code ec;
                return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec) == program;
            });
        if (!shown) ADD_FAILURE() << program << " (pid " << pid << ") did not start: " << r.err;
        return pid;
    }

    // A program that is none of the instance's images, placed in its exe directory: stopsap.exe and
    // sapsrvkill.exe do not know it, only Kill's walk does.
    std::string PlaceStranger(const Instance& in) {
        const std::string path = in.instDir + "/exe/sapccmsr.exe";
        std::error_code ec;
        fs::copy_file("/bin/sleep", path, fs::copy_options::overwrite_existing, ec);
        if (ec || chmod(path.c_str(), 0755) != 0) ADD_FAILURE() << "cannot place " << path;
        return path;
    }
    int scale_ = 50;
};

// Every architecture: Online, Online again, Offline, Online and Clean.
struct ArchCase {
    const char *label, *instance, *type, *arch;
    const char* images;          // what must run after Online: image names without ".exe"
    std::vector<int> onlineIds;  // the messages of Online's call after 20006 and 20011
};

class ControlArchE2E : public ControlE2E, public ::testing::WithParamInterface<ArchCase> {};

TEST_P(ControlArchE2E, OnlineOfflineAndCleanStartStopRecordAndKill) {
    const ArchCase& c = GetParam();
    Instance* enq =
        std::string(c.type) == "enqrep" ? &Install({.instance = "ASCS09", .type = "enqueue"}) : nullptr;
    Instance& in = Install(
        {.instance = c.instance, .type = c.type, .arch = c.arch, .enqsrvRes = enq ? enq->resource : ""});

    E2EResult on = Online(in, {kFarZone});
    ExpectRun(on, 0, "ONLINE");
    // A Java server may still be starting when jcmon first asks: its "stopped" answers (20122, 20123) then
    // come before the verdict, and Online rechecks.
    std::vector<int> ids = on.Ids("Online");
    std::erase_if(ids, [](int id) { return id == 20122 || id == 20123; });
    std::vector<int> expected{20006, 20011};
    expected.insert(expected.end(), c.onlineIds.begin(), c.onlineIds.end());
    EXPECT_EQ(ids, expected) << on.Describe();
    for (int id : expected) ExpectMessage(on, id, kInfo);
    ExpectMessage(on, 20006, kInfo, "The SAP Service [" + in.service + "] started successfully.");
    ExpectMessage(on, 20011, kInfo,
                  "The SAP start command [" + ToolCommand(in, "startsap.exe") +
                      "] executed successfully with exitcode [0].");
    // Online's wait gives each sapinfo or ensmon run 10 s (jcmon is run by a call of its own).
    size_t tenSecondRuns = 0;
    for (const std::string& l : on.debugLog) tenSecondRuns += l.ends_with("and millitimeout [10000]");
    EXPECT_EQ(tenSecondRuns, std::string(c.arch) == "java" ? 0u : 1u);
    const std::vector<Proc> running = AdminProcs(in);
    std::istringstream images(c.images);
    for (std::string image; images >> image;)
        EXPECT_TRUE(std::any_of(running.begin(), running.end(), [&](const Proc& p) {
            return p.exe == in.Image(image + ".exe");
        })) << image;
    EXPECT_TRUE(ServiceRunning(in));
    EXPECT_EQ(Actions(in), std::vector<std::string>{kStarted});

    // Online of a running instance starts nothing and records nothing.
    E2EResult again = Online(in);
    ASSERT_EQ(again.exitStatus, 0) << again.Describe();
    ExpectMessages(again, "Online",
                   {{20002, kNotice},
                    {20003, kNotice,
                     "SAP Instance for this resource is already running. Not calling start executables."}});
    EXPECT_EQ(SimLogCount(in, "startsap: starting"), 1u);
    EXPECT_EQ(Pids(AdminProcs(in)), Pids(running));

    // Offline: stopsap.exe, the service, and Kill for what stopsap.exe does not know.
    const pid_t stranger = Spawn(PlaceStranger(in), {"300"}, kAdminAccount);
    E2EResult off = Run("offline", in.resource, true, {kFarZone});
    ExpectRun(off, 0, "OFFLINE");
    ExpectMessages(off, "Offline",
                   {{20051, kInfo, "The SAP Instance stopped successfully with exitcode [0]."},
                    {20053, kInfo, "The SAP Service [" + in.service + "] stopped successfully."}});
    EXPECT_TRUE(GoneSoon(stranger)) << off.Describe();
    EXPECT_TRUE(WaitFor([&] { return AdminProcs(in).empty(); }));
    EXPECT_FALSE(ServiceRunning(in));
    EXPECT_EQ(Actions(in), (std::vector<std::string>{kStarted, kShutdown}));

    // Clean after another Online: the graceful shutdown works, so its wait ends at once.
    ASSERT_EQ(Online(in).exitStatus, 0);
    const std::vector<Proc> mine = AdminProcs(in);
    E2EResult clean = Run("clean", in.resource, true, {kFarZone});
    ExpectRun(clean, 0, "CLEANED");
    const std::string srvkill = in.kernelDir + "/sapsrvkill.exe " + in.host + "_" + in.sid + "_" + in.nr;
    ExpectMessages(clean, "Clean",
                   {{20069, kInfo, "Successfully stopped the SAP Instance with command [" + srvkill + "]."},
                    {20073, kInfo, "Successfully stopped the SAP Service [" + in.service + "]."}});
    for (const Proc& p : mine) EXPECT_TRUE(GoneSoon(p.pid)) << p.exe << " survived Clean";
    EXPECT_FALSE(ServiceRunning(in));
    EXPECT_EQ(Actions(in), (std::vector<std::string>{kStarted, kShutdown, kStarted, kCleaned}));
    // The process check and Kill also look for the Java launcher, of Java and Add-In instances only.
    const bool java = std::string(c.arch) == "java" || std::string(c.arch) == "addin";
    // (Offline checks before and after it stops the instance.)
    EXPECT_EQ(TraceCount(off, "CKestrel::GetProcessState", "This is ABAP Instance."),
              std::string(c.arch) == "abap" ? 2u : 0u);
    EXPECT_EQ(TraceCount(off, "CKestrel::GetProcessState",
                         "This is Java/Add-In instance. Pushing jlaunch.exe onto ProcMon."),
              java ? 2u : 0u);
    EXPECT_EQ(clean.DebugHas("This is Java/Add-In instance. Pushing jlaunch.exe onto ProcMon."), java);
}

INSTANTIATE_TEST_SUITE_P(
    Architectures, ControlArchE2E,
    ::testing::Values(
        ArchCase{"Abap", "DVEBMGS00", "central", "abap", "disp+work msg_server igswd gwrd icman", {20016}},
        ArchCase{"Java", "JC01", "central", "java", "jcontrol jlaunch", {20021}},
        ArchCase{"AddIn",
                 "DVEBMGS02",
                 "central",
                 "addin",
                 "disp+work jcontrol jlaunch msg_server",
                 {20027, 20032}},
        ArchCase{"Enqueue", "ASCS03", "enqueue", "", "msg_server enserver", {20038}},
        ArchCase{"Replication", "ERS04", "enqrep", "", "enrepserver", {20038}}),
    [](const ::testing::TestParamInfo<ArchCase>& info) { return std::string(info.param.label); });

// Online: start failures and the wait phase

// startsap.exe missing (20007), failing (20010) or outliving the budget (20008, killed): Online fails
// without waiting for the instance and records nothing.
TEST_F(ControlE2E, OnlineStartFailures) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    const std::string startsap = in.kernelDir + "/startsap.exe";
    ASSERT_EQ(rename(startsap.c_str(), (startsap + ".away").c_str()), 0);
    E2EResult r = Online(in);
    EXPECT_EQ(r.exitStatus, 1) << r.Describe();
    ExpectMessages(r, "Online",
                   {{20006, kInfo},
                    {20007, kError, "SAP Start command [" + startsap + "] does NOT exist. Aborting Online."},
                    {20132, kError}});
    EXPECT_TRUE(Contains(r.MessageText(20132), "[2, 0x00000002]")) << r.MessageText(20132);
    EXPECT_TRUE(ServiceRunning(in));
    EXPECT_TRUE(AdminProcs(in).empty());
    ASSERT_EQ(rename((startsap + ".away").c_str(), startsap.c_str()), 0);

    WriteControl(in, "[startsap]\nexit_code = 1\nact = false\n");
    r = Online(in);
    ExpectRun(r, 1, "OFFLINE");
    ExpectMessages(
        r, "Online",
        {{20006, kInfo},
         {20010, kError,
          "The SAP start command [" + ToolCommand(in, "startsap.exe") + "] failed with exitcode [1]"},
         {20132, kError}});
    EXPECT_EQ(TraceCount(r, "CKestrel::Online", "Checking the status of SAP Instance"), 0u) << r.Describe();

    SetTimeScale(10);
    SetTypeAttr("OnlineTimeout", "25");  // 10 s of budget: 1 s real
    WriteControl(in, "[startsap]\ndelay_ms = 8000\n");
    r = Online(in);
    EXPECT_EQ(r.exitStatus, 1) << r.Describe();
    ExpectMessage(r, 20008, kError,
                  "The SAP Instance start command [" + ToolCommand(in, "startsap.exe") + "] timed out.");
    EXPECT_TRUE(Contains(r.MessageText(20132), "0x00000102")) << r.MessageText(20132);
    EXPECT_FALSE(r.HasMessage(20011));
    EXPECT_LT(r.ms, 6000) << "the agent waited for startsap.exe instead of killing it";
    EXPECT_TRUE(WaitForNoImage("startsap.exe"));
    EXPECT_EQ(SimLogCount(in, "startsap: starting"), 0u);
    EXPECT_TRUE(Actions(in).empty());
}

// The wait counts its budget down by fixed steps (a unit table): 64 s at a scale of 10 leave 60 to 64 s
// when it begins; sapinfo runs at that and 15, 30 and 45 s below it; then 5 to 9 s are too little (20017,
// 20018). The wait never fails Online, and an instance never seen up is not recorded. Each tool's branch
// writes its own lines.
TEST_F(ControlE2E, OnlineWaitCountsDownEachToolAndGivesUpWithoutRecord) {
    SetTimeScale(10);
    SetTypeAttr("OnlineTimeout", "79");
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    WriteControl(in, "[sapinfo]\nexit_code = 2\n");
    E2EResult r = Online(in);
    EXPECT_EQ(r.Result("Online"), 0) << r.Describe();
    const std::string sapinfo = in.kernelDir + "/sapinfo.exe ashost=" + in.host + " sysnr=" + in.nr;
    // How many runs fit depends on how long the start took in real time: at least two, at most four.
    const size_t runs = TraceCount(r, "CKestrel::Online", "executed and returned unsuccessful exit code [2]");
    EXPECT_GE(runs, 2u) << r.Describe();
    EXPECT_LE(runs, 4u) << r.Describe();
    const std::string prefix = "Not enough time [";
    const std::string recheck = r.MessageText(20017);
    const int secs = recheck.size() > prefix.size() ? std::atoi(recheck.c_str() + prefix.size()) : -1;
    EXPECT_GE(secs, 0) << r.Describe();
    EXPECT_LE(secs, 10) << r.Describe();
    const std::string left = prefix + std::to_string(secs) + "]secs to ";
    ExpectMessages(r, "Online",
                   {{20006, kInfo},
                    {20011, kInfo},
                    {20017, kWarning, left + "recheck the status with the command [" + sapinfo + "]."},
                    {20018, kWarning, left + "run the command [" + sapinfo + "]."}});
    EXPECT_TRUE(Actions(in).empty()) << "no record when the instance was not seen up";

    // Java and Add-In (after sapinfo saw the ABAP half up, 20027) count down with jcmon, whose server keeps
    // starting: each run says unknown (20124), as often as the budget allows.
    for (const bool addin : {false, true}) {
        Instance& java = Install({.instance = addin ? "DVEBMGS02" : "JC01",
                                  .type = "central",
                                  .arch = addin ? "addin" : "java",
                                  .sid = Sid(addin ? 2 : 1)});
        WriteControl(java, kJcmonStarting);
        r = Online(java);
        std::vector<int> ids = r.Ids("Online");
        EXPECT_GE(std::count(ids.begin(), ids.end(), 20124), addin ? 0 : 2) << r.Describe();
        std::erase(ids, 20124);
        const std::vector<int> want = addin ? std::vector<int>{20006, 20011, 20027, 20033, 20034}
                                            : std::vector<int>{20006, 20011, 20022, 20023};
        EXPECT_EQ(ids, want) << r.Describe();
        ExpectMessage(r, addin ? 20033 : 20022, kWarning);
        ExpectMessage(r, addin ? 20034 : 20023, kWarning);
        EXPECT_TRUE(addin || Contains(r.MessageText(20023), "]secs to run the command [jcmon.exe]."))
            << r.Describe();
        EXPECT_TRUE(Actions(java).empty());
    }

    // A sapinfo that outlives its run time ends the wait with 20015 after the failed command's line.
    Instance& slow = Install({.instance = "DVEBMGS04", .type = "central", .sid = Sid(4)});
    WriteControl(slow, "[sapinfo]\ndelay_ms = 60000\n");
    r = Online(slow);
    const std::string slowInfo = slow.kernelDir + "/sapinfo.exe ashost=" + slow.host + " sysnr=" + slow.nr;
    ExpectMessages(
        r, "Online",
        {{20006, kInfo}, {20011, kInfo}, {20015, kWarning, "The command [" + slowInfo + "] timed out."}});
    EXPECT_EQ(TraceCount(r, "CKestrel::Online", "The command [" + slowInfo + "] failed with error code ["),
              1u)
        << r.Describe();

    // An enqueue server counts down with ensmon ("not yet": 12) the same way (20043, then 20044 as a notice).
    Instance& enq = Install({.instance = "ASCS03", .type = "enqueue", .sid = Sid(3)});
    WriteControl(enq, "[ensmon]\nexit_code = 12\n");
    r = Online(enq);
    ExpectMessages(r, "Online", {{20006, kInfo}, {20011, kInfo}, {20043, kWarning}, {20044, kNotice}});
    EXPECT_TRUE(Actions(enq).empty());
}

// An enqueue server whose replication is on but has no partner answers 4: up, with the critical 20039 and
// the console's 20040, and recorded. A Java instance with under 10 s left when the wait begins runs no
// jcmon (20019), an enqueue server no ensmon (20036).
TEST_F(ControlE2E, OnlineWaitVerdictsOfEnqueueAndJava) {
    Instance& in = Install({.instance = "ASCS00", .type = "enqueue"});
    WriteControl(in, "[ensmon]\nreplication = true\n");
    E2EResult r = Online(in);
    ASSERT_EQ(r.exitStatus, 0) << r.Describe();
    const std::string ensmon = in.kernelDir + "/ensmon.exe pf=" + in.profile + " 2";
    ExpectMessages(
        r, "Online",
        {{20006, kInfo},
         {20011, kInfo},
         {20039, kCritical,
          "Command [" + ensmon +
              "] returned exit code [4] which indicates Replication \tis enabled in server, but no "
              "repl. server is connected."},
         {20040, kCritical}});
    EXPECT_TRUE(Contains(r.err,
                         "The command [ensmon.exe] exitcode [4] indicates Replication is enabled in server, "
                         "but no repl. server is connected."))
        << r.err;
    EXPECT_EQ(Actions(in), std::vector<std::string>{kStarted});

    SetTimeScale(5);
    SetTypeAttr("OnlineTimeout", "24");  // 9 s of budget for the start and the wait
    Instance& java = Install({.instance = "JC01", .type = "central", .arch = "java", .sid = Sid(1)});
    r = Online(java);
    EXPECT_EQ(r.Result("Online"), 0) << r.Describe();
    const std::string text = r.MessageText(20019);
    ExpectMessage(r, 20019, kWarning);
    EXPECT_EQ(text.rfind("Not enough time [", 0), 0u) << r.Describe();
    EXPECT_TRUE(Contains(text, "]secs to run the command [jcmon.exe].")) << text;
    EXPECT_EQ(TraceCount(r, "CKestrel::Online", kJcmonRan), 0u);

    Instance& enq = Install({.instance = "ASCS03", .type = "enqueue", .sid = Sid(2)});
    r = Online(enq);
    ExpectMessages(r, "Online", {{20006, kInfo}, {20011, kInfo}, {20036, kNotice}});
    EXPECT_TRUE(Contains(r.MessageText(20036), "] to run the command [" + enq.kernelDir + "/ensmon.exe pf="))
        << r.Describe();
    EXPECT_TRUE(Actions(enq).empty());
}

// Offline of a stopped instance runs nothing (20047); a failing stopsap.exe (20050) and a missing one
// (20048) stop Offline before the service and Kill.
TEST_F(ControlE2E, OfflineRefusals) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    E2EResult r = Run("offline", in.resource);
    ExpectRun(r, 0, "OFFLINE");
    ExpectMessages(r, "Offline",
                   {{20046, kNotice},
                    {20047, kNotice,
                     "SAP Instance for this resource is already offline. Not calling stop executables."}});
    EXPECT_EQ(SimLogCount(in, "stopsap"), 0u);

    ASSERT_TRUE(StartInstance(in));
    const std::set<pid_t> before = Pids(AdminProcs(in));
    ASSERT_EQ(before.size(), 5u);
    WriteControl(in, "[stopsap]\nexit_code = 2\nact = false\n");
    r = Run("offline", in.resource);
    EXPECT_EQ(r.exitStatus, 1) << r.Describe();
    ExpectMessages(r, "Offline",
                   {{20050, kError,
                     "The command [" + ToolCommand(in, "stopsap.exe") +
                         "] failed to stop the SAP instance and returned with exitcode [2]."},
                    {20134, kError}});
    EXPECT_TRUE(ServiceRunning(in));
    EXPECT_EQ(Pids(AdminProcs(in)), before);

    const std::string stopsap = in.kernelDir + "/stopsap.exe";
    ASSERT_EQ(unlink(stopsap.c_str()), 0);
    r = Run("offline", in.resource);
    EXPECT_EQ(r.exitStatus, 1) << r.Describe();
    ExpectMessage(r, 20048, kError,
                  "stopsap.exe command path [" + stopsap + "] does NOT exist. Aborting Offline.");
    EXPECT_TRUE(Contains(r.MessageText(20134), "[2, 0x00000002]")) << r.MessageText(20134);
    EXPECT_TRUE(ServiceRunning(in));
    EXPECT_EQ(Pids(AdminProcs(in)), before);
    EXPECT_TRUE(Actions(in).empty());
}

TEST_F(ControlE2E, CleanKillsEveryProcessOfTheInstanceAndNothingElse) {
    Instance& in = Install({.instance = "JC00", .type = "central", .arch = "java"});
    Instance& neighbour = Install({.instance = "D01", .type = "dialog"});
    ASSERT_TRUE(StartInstance(in));
    ASSERT_TRUE(StartInstance(neighbour));
    WaitForImage(in, "jlaunch.exe", 2);
    // The graceful shutdown stops nothing: every process must be ended by Kill.
    WriteControl(in, "[sapsrvkill]\nact = false\n");
    const std::string stranger = PlaceStranger(in);
    const pid_t strangerOfAdmin = Spawn(stranger, {"300"}, kAdminAccount);
    const pid_t strangerOfOther = Spawn(stranger, {"300"}, kOtherAccount);
    // A node image under another account: its path matches, its owner does not.
    const pid_t nodeOfOther =
        Spawn(in.Image("jlaunch.exe"), {"pf=" + in.profile, "-nodename=server7"}, kOtherAccount);
    const std::vector<Proc> mine = AdminProcs(in);
    const std::set<pid_t> neighbours = Pids(AdminProcs(neighbour));
    ASSERT_EQ(neighbours.size(), 4u);

    E2EResult r = Run("clean", in.resource);
    ExpectRun(r, 0, "CLEANED");
    EXPECT_EQ(r.Result("Clean"), 0);
    // The nodes go during the walk (as ProcMon entries), the stranger from the queue.
    EXPECT_EQ(TraceCount(r, "CKestrel::Kill", "Killing the process with name [" + in.Image("jlaunch.exe")),
              2u)
        << r.Describe();
    EXPECT_EQ(TraceCount(r, "CKestrel::Kill",
                         "Pushing the PID [" + std::to_string(strangerOfAdmin) + "] into queue for process"),
              1u);
    for (const Proc& p : mine)
        EXPECT_TRUE(GoneSoon(p.pid)) << p.exe << " (pid " << p.pid << ") survived Clean";
    EXPECT_TRUE(Alive(strangerOfOther)) << "a process of another account was killed";
    EXPECT_TRUE(Alive(nodeOfOther)) << "a node image of another account was killed";
    for (pid_t p : neighbours) EXPECT_TRUE(Alive(p)) << "a process of the other instance was killed";
    EXPECT_EQ(Actions(in), std::vector<std::string>{kCleaned});
    EXPECT_TRUE(Actions(neighbour).empty());
}

// Clean's own checks of SAPHost (20059), SAPHome (20062, 20064) and sapsrvkill.exe (20066) skip the
// graceful shutdown but never the service stop and Kill.
TEST_F(ControlE2E, CleanGoesOnWithoutItsTools) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    ASSERT_TRUE(StartInstance(in));
    const std::vector<Proc> mine = AdminProcs(in);
    SetAttr(in, "SAPHost", TomlString(""));
    E2EResult r = Run("clean", in.resource);
    ExpectRun(r, 0, "CLEANED");
    ExpectMessages(r, "Clean",
                   {{20059, kError, "SAPHost is empty. Continueing Clean operation ..."}, {20073, kInfo}});
    EXPECT_EQ(SimLogCount(in, "sapsrvkill"), 0u);
    EXPECT_FALSE(ServiceRunning(in));
    for (const Proc& p : mine) EXPECT_TRUE(GoneSoon(p.pid)) << p.exe;
    EXPECT_EQ(Actions(in), std::vector<std::string>{kCleaned});

    SetAttr(in, "SAPHost", TomlString(in.host));
    const std::string missing = Root() + "/no/such/dir";
    for (const auto& [home, id, text] : {std::tuple{std::string(), 20062, std::string("SAPHome is empty.")},
                                         {missing, 20064, "SAPHome [" + missing + "] does NOT exist."}}) {
        SetAttr(in, "SAPHome", TomlString(home));
        r = Run("clean", in.resource);
        EXPECT_EQ(r.State(), "CLEANED") << r.Describe();
        ExpectMessage(r, id, kError, text + " Continueing Clean operation ...");
    }

    SetAttr(in, "SAPHome", TomlString(in.kernelDir));
    ASSERT_TRUE(StartInstance(in));
    const std::string tool = in.kernelDir + "/sapsrvkill.exe";
    ASSERT_EQ(unlink(tool.c_str()), 0);
    r = Run("clean", in.resource);
    EXPECT_EQ(r.State(), "CLEANED") << r.Describe();
    ExpectMessages(r, "Clean",
                   {{20066, kWarning, "File[" + tool + "] does NOT exist. Continueing the clean operation."},
                    {20073, kInfo}});
    EXPECT_TRUE(WaitFor([&] { return AdminProcs(in).empty(); }));
}

// Processes started from the kernel directory belong to a central instance (Monitor counts them, Clean
// kills them) but never to a dialog instance.
TEST_F(ControlE2E, ProcessesFromSysBelongToACentralInstanceOnly) {
    Instance& dialog = Install({.instance = "D01", .type = "dialog", .sid = Sid(0)});
    Instance& central = Install({.instance = "DVEBMGS02", .type = "central", .sid = Sid(1)});
    for (Instance* in : {&dialog, &central}) {
        WriteControl(*in, "[startsap]\nfrom_sys = true\n\n[sapsrvkill]\nact = false\n");
        ASSERT_TRUE(StartInstance(*in));
    }
    auto images = [&](const Instance& in) {
        std::vector<Proc> out = ProcsIn(in.kernelDir + "/", kAdminAccount.uid);
        std::erase_if(out, [&](const Proc& p) { return p.exe == in.kernelDir + "/sapsim"; });
        return out;
    };
    const std::vector<Proc> dialogProcs = images(dialog);
    const std::vector<Proc> centralProcs = images(central);
    ASSERT_EQ(dialogProcs.size(), 4u);
    ASSERT_EQ(centralProcs.size(), 5u);

    E2EResult d = Monitor(dialog);
    EXPECT_EQ(d.State(), "OFFLINE") << d.Describe();
    EXPECT_TRUE(d.DebugHas("Got procCount[0] and procmonCount[4] from GetProcessState.")) << d.Describe();
    E2EResult c = Monitor(central);
    EXPECT_EQ(c.State(), "ONLINE") << c.Describe();
    EXPECT_TRUE(c.DebugHas("Found [SYS] in the exe name")) << c.Describe();

    d = Run("clean", dialog.resource);
    ASSERT_EQ(d.exitStatus, 0) << d.Describe();
    EXPECT_EQ(TraceCount(d, "CKestrel::Kill", "Found [SYS] in the exe name"), 0u) << d.Describe();
    for (const Proc& p : dialogProcs)
        EXPECT_TRUE(Alive(p.pid)) << p.exe << " of the dialog instance was killed";
    c = Run("clean", central.resource);
    ASSERT_EQ(c.exitStatus, 0) << c.Describe();
    for (const Proc& p : centralProcs)
        EXPECT_TRUE(GoneSoon(p.pid)) << p.exe << " of the central instance survived";
    for (const Proc& p : dialogProcs) EXPECT_TRUE(Alive(p.pid)) << p.exe << " of the other system was killed";
}

// Kill ends early, leaving the rest: at an empty ProcMon entry (nothing is killed, Clean succeeds) and at a
// ProcMon process whose kill the kernel refuses (Clean fails). As root with a live pidfd SIGKILL cannot fail
// on Linux, so a preloaded shim refuses it (EPERM, as for a caller without the right to signal) for one
// image.
TEST_F(ControlE2E, KillStopsAtAnEmptyProcMonEntryOrAProcessItCannotKill) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    ASSERT_TRUE(StartInstance(in));
    WriteControl(in, "[sapsrvkill]\nact = false\n");
    const pid_t stranger = Spawn(PlaceStranger(in), {"300"}, kAdminAccount);
    const std::set<pid_t> before = Pids(AdminProcs(in));
    SetAttr(in, "ProcMon", TomlList({"", "disp+work.exe", "msg_server.exe"}));
    E2EResult r = Run("clean", in.resource);
    ASSERT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.Result("Clean"), 0);
    EXPECT_EQ(TraceCount(r, "CKestrel::Kill", "Invalid Values in ProcMon."), 1u) << r.Describe();
    EXPECT_EQ(Pids(AdminProcs(in)), before);
    EXPECT_TRUE(Alive(stranger));

    SetAttr(in, "ProcMon",
            TomlList({"disp+work.exe", "msg_server.exe", "igswd.exe", "gwrd.exe", "icman.exe"}));
    pid_t msgServer = -1;
    for (const Proc& p : AdminProcs(in))
        if (p.exe == in.Image("msg_server.exe")) msgServer = p.pid;
    ASSERT_GT(msgServer, 0);

    r = Run("clean", in.resource, true, WithFaults({"KESTREL_E2E_UNKILLABLE=" + in.Image("msg_server.exe")}));
    ExpectRun(r, 1, "NOT_CLEANED");
    EXPECT_EQ(r.Result("Clean"), 1);
    ExpectMessage(r, 20127, kError,
                  "Failed to kill the process with PID [" + std::to_string(msgServer) + "]. Clean failed.");
    EXPECT_FALSE(r.HasMessage(20138)) << "Clean's own status is that of the log step";
    EXPECT_TRUE(Alive(msgServer));
    EXPECT_TRUE(Alive(stranger)) << "Kill ends at the failure: the queue is left";
    EXPECT_EQ(Actions(in), (std::vector<std::string>{kCleaned, kCleaned}));

    // A queued process (not of ProcMon) that cannot be killed is logged and the queue goes on.
    r = Run("clean", in.resource, true,
            WithFaults({"KESTREL_E2E_UNKILLABLE=" + in.instDir + "/exe/sapccmsr.exe"}));
    ExpectMessage(r, 20129, kError,
                  "Failed to kill the process with PID [" + std::to_string(stranger) + "] from the queue.");
    EXPECT_TRUE(Alive(stranger));
    EXPECT_FALSE(Alive(msgServer));
}

// Time-outs and error paths of Offline and Clean: tools and start service steered to hang, refuse or fail.
class EdgeE2E : public ControlE2E {
  protected:
    EdgeE2E() { scale_ = 10; }
};

// A start service that ignores SIGTERM. Offline: stopsap.exe ends everything else, the service stop runs
// out of time (20052), Kill then ends the service's process, the shutdown is recorded and Offline succeeds.
// Clean with its budget spent before it begins (CleanTimeout = EPProgramTimeout): the service stop is still
// asked, with a limit of 0, and times out (20072); Kill still ends it all.
TEST_F(EdgeE2E, AServiceThatWillNotStopTimesOutThenIsKilled) {
    SetTypeAttr("OfflineTimeout", "30");  // 15 s of budget: 1.5 s real
    SetTypeAttr("CleanTimeout", "15");
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    WriteControl(in, "[service]\nignore_term = true\n");
    ASSERT_TRUE(StartInstance(in));
    E2EResult r = Run("offline", in.resource);
    ExpectRun(r, 0, "OFFLINE");
    EXPECT_EQ(r.Result("Offline"), 0) << r.Describe();
    ExpectMessages(r, "Offline",
                   {{20051, kInfo}, {20052, kError, "SAP Service Stop [" + in.service + "] timed out."}});
    EXPECT_EQ(TraceCount(r, "CKestrel::Offline", "Successfully cleaned up the resource for SAP Instance."),
              1u)
        << r.Describe();
    EXPECT_TRUE(InstanceGoneSoon(in));
    EXPECT_EQ(ServiceState(in), "STOPPED");
    EXPECT_EQ(Actions(in), std::vector<std::string>{kShutdown});
    EXPECT_LT(r.ms, 8000) << "the service wait did not end at the budget";

    ASSERT_TRUE(StartInstance(in));
    r = Run("clean", in.resource);
    ExpectRun(r, 0, "CLEANED");
    EXPECT_EQ(TraceCount(r, "CKestrelUtil::StopService",
                         "StopService called with service [" + in.service + "] and timeout [0]."),
              1u)
        << r.Describe();
    ExpectMessage(r, 20072, kError, "SAP Service Stop [" + in.service + "] timed out.");
    EXPECT_FALSE(r.HasMessage(20073));
    EXPECT_TRUE(InstanceGoneSoon(in)) << "Kill must end the processes and the service that ignored SIGTERM";
    EXPECT_EQ(ServiceState(in), "STOPPED");
    EXPECT_EQ(Actions(in), (std::vector<std::string>{kShutdown, kCleaned}));
}

// The service manager cannot signal the start service: the stop fails at once instead of being waited for,
// and Offline goes on to end the instance's processes.
TEST_F(EdgeE2E, AStopThatCannotSignalTheServiceFailsAtOnce) {
    SetTypeAttr("OfflineTimeout", "30");
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    ASSERT_TRUE(StartInstance(in));
    E2EResult r = Run("offline", in.resource, true,
                      WithFaults({"KESTREL_E2E_TERM_REFUSED=" + in.instDir + "/exe/sapstartsrv.exe"}));
    ExpectRun(r, 0, "OFFLINE");
    ExpectMessages(r, "Offline", {{20051, kInfo}});  // neither stopped (20053) nor timed out (20052)
    EXPECT_EQ(TraceCount(r, "TernService::Stop",
                         "(5) ControlService failed for service " + in.service + ". state = 4."),
              1u)
        << r.Describe();
    EXPECT_EQ(TraceCount(r, "CKestrel::Offline", "Failed to stop the SAP service. returned 2, 0x00000005"),
              1u);
    EXPECT_LT(r.ms, 5000) << "the stop was waited for";
    EXPECT_TRUE(InstanceGoneSoon(in));
}

// The service's registry entry has lost its configuration under the running instance, so the first check's
// service query fails: Offline logs that (20045) and goes through its whole stop sequence.
TEST_F(EdgeE2E, OfflineGoesOnAfterAFailedProcessLevelCheck) {
    SetTypeAttr("OfflineTimeout", "60");
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    ASSERT_TRUE(StartInstance(in));
    const std::string config = StateDir() + "/services/" + in.service + "/service.toml";
    ASSERT_EQ(rename(config.c_str(), (config + ".lost").c_str()), 0);
    E2EResult r = Run("offline", in.resource);
    ASSERT_EQ(r.exitStatus, 0) << r.Describe();
    EXPECT_EQ(r.Result("Offline"), 0) << r.Describe();
    ExpectMessages(r, "Offline",
                   {{20045, kError, "Process level check failed before calling Offline."}, {20051, kInfo}});
    EXPECT_EQ(SimLogCount(in, "stopsap: stopping"), 1u);
    EXPECT_EQ(TraceCount(r, "CKestrel::Offline", "Failed to stop the SAP service."), 1u) << r.Describe();
    EXPECT_TRUE(InstanceGoneSoon(in));
    EXPECT_EQ(Actions(in), std::vector<std::string>{kShutdown});
}

// sapsrvkill.exe hangs: killed at the budget (20067); the service stop and Kill still end every process.
// Then it "succeeds" without ending anything, with 62 to 63 s left: the wait checks at R and R - 25 s, then
// R - 45 s (17 s) is too little: 20070 and 20071 both say 17 seconds.
TEST_F(EdgeE2E, CleanAfterAGracefulShutdownThatHangsOrEndsNothing) {
    SetTypeAttr("CleanTimeout", "25");  // 10 s of budget: 1 s real
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    ASSERT_TRUE(StartInstance(in));
    WriteControl(in, "[sapsrvkill]\ndelay_ms = 8000\n");
    E2EResult r = Run("clean", in.resource);
    ExpectRun(r, 0, "CLEANED");
    ExpectMessage(r, 20067, kError,
                  "Graceful shutdown of SAP Instance [" + in.kernelDir + "/sapsrvkill.exe " + in.host + "_" +
                      in.sid + "_" + in.nr +
                      "] timed out. Continueing to kill all the process for this SAP Instance.");
    for (int id : {20068, 20069, 20070, 20071}) EXPECT_FALSE(r.HasMessage(id)) << id;
    // The spent budget leaves the stop no time to wait: whether the service is seen gone at once is a race.
    EXPECT_TRUE(r.HasMessage(20072) || r.HasMessage(20073)) << r.Describe();
    EXPECT_TRUE(InstanceGoneSoon(in));
    EXPECT_TRUE(WaitForNoImage("sapsrvkill.exe"));
    EXPECT_EQ(Actions(in), std::vector<std::string>{kCleaned});
    EXPECT_LT(r.ms, 6000);

    SetTimeScale(5);                    // the window below is 1 s of agent time: 200 ms real
    SetTypeAttr("CleanTimeout", "78");  // 63 s of budget
    ASSERT_TRUE(StartInstance(in));
    WriteControl(in, "[sapsrvkill]\nact = false\n");
    r = Run("clean", in.resource);
    ASSERT_EQ(r.exitStatus, 0) << r.Describe();
    ExpectMessages(r, "Clean",
                   {{20070, kWarning,
                     "Not enough time [17]secs to recheck the status after graceful shutdown in clean."},
                    {20071, kWarning, "Not enough time [17]secs to delay after graceful shutdown in clean."},
                    {20073, kInfo}});
    EXPECT_EQ(TraceCount(r, "CKestrel::GetResourceState", "Got procCount["), 2u) << r.Describe();
    EXPECT_TRUE(InstanceGoneSoon(in));
    EXPECT_EQ(Actions(in), (std::vector<std::string>{kCleaned, kCleaned}));
}

// The SAP action log lies in a directory of the SAP administrator: what that account plants at its path
// never makes the agent (root) write elsewhere or wait, and the entry points go on as with a missing file.

class HardeningE2E : public E2ETest {};

TEST_F(HardeningE2E, ALinkOrAFifoPlantedAtTheSapLogIsNeitherWrittenThroughNorWaitedOn) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    const std::string log = in.SapLogPath();
    const std::string expected = "Failed to open the SAP log file [" + log + "], Check file permissions.";
    const std::string secret = Root() + "/root-only";
    ASSERT_TRUE(WriteFile(secret, "root only\n", 0600));
    ASSERT_EQ(symlink(secret.c_str(), log.c_str()), 0) << strerror(errno);

    // Online may end before its record when the machine is slow (its wait for the instance runs out), so the
    // records checked are those of Offline and Clean, which are always written.
    // A failed record never fails the entry point (20132, 20134, 20138).
    E2EResult on = Online(in);
    ASSERT_EQ(on.State(), "ONLINE") << on.Describe();
    EXPECT_FALSE(on.HasMessage(20132)) << on.Describe();
    E2EResult off = Run("offline", in.resource);
    ASSERT_EQ(off.exitStatus, 0) << off.Describe();
    ExpectMessage(off, 20125, 1, expected);
    EXPECT_FALSE(off.HasMessage(20134)) << off.Describe();
    EXPECT_EQ(ReadFile(secret), "root only\n");

    // A FIFO nobody reads: an ordinary open for writing would wait for a reader for ever.
    ASSERT_EQ(unlink(log.c_str()), 0);
    ASSERT_EQ(mkfifo(log.c_str(), 0666), 0) << strerror(errno);
    ASSERT_EQ(chown(log.c_str(), kAdminAccount.uid, kGid), 0);
    E2EResult clean = Run("clean", in.resource);
    EXPECT_FALSE(clean.timedOut);
    EXPECT_EQ(clean.exitStatus, 0) << clean.Describe();
    ExpectMessage(clean, 20125, 1, expected);
    EXPECT_FALSE(clean.HasMessage(20138)) << clean.Describe();
}

}  // namespace
