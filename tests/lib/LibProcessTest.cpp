#include <fcntl.h>
#include <pwd.h>
#include <sys/utsname.h>

#include <functional>

#include "KestrelUtil.h"
#include "LibError.h"
#include "LibProcess.h"
#include "LibProcessList.h"
#include "PlatformTestSupport.h"
#include "TestAccounts.h"
#include "TestIdentity.h"

namespace {

using namespace tern_test;
namespace fs = std::filesystem;

class ProcessTest : public testing::Test {
  protected:
    void SetUp() override { CaptureTraces(); }
    void TearDown() override {
        for (pid_t p : children_) KillAndReap(p);
    }
    pid_t Child(const std::string& program = ChildProgram()) {
        children_.push_back(Spawn({program, "pause"}));
        EXPECT_GT(children_.back(), 0);
        return children_.back();
    }
    static bool Has(const std::vector<uint32_t>& pids, pid_t pid) {
        return std::find(pids.begin(), pids.end(), static_cast<uint32_t>(pid)) != pids.end();
    }
    std::vector<pid_t> children_;
};

TEST_F(ProcessTest, ListWalksSnapshotAndEndsWithError18) {
    pid_t child = Child();
    TernProcessList list;
    ASSERT_TRUE(list.Open().IsSuccess());
    std::vector<uint32_t> seen;
    uint32_t pid = 0;
    CKestrelStatus st;
    for (st = list.GetFirst(pid); st.IsSuccess(); st = list.GetNext(pid)) seen.push_back(pid);
    EXPECT_EQ(st.GetCode(), 2);
    EXPECT_EQ(st.GetError(), 18u);
    EXPECT_EQ(TernGetLastError(), 18u);
    EXPECT_EQ(pid, 0xFFFFFFFFu);
    EXPECT_TRUE(HasTrace(L"(18) Process32Next failed."));
    EXPECT_TRUE(Has(seen, getpid()) && Has(seen, child));
    // Each PID once, in ascending order, and nothing past the last one.
    EXPECT_TRUE(std::adjacent_find(seen.begin(), seen.end(), std::greater_equal<>()) == seen.end());

    // The snapshot is taken once: a process started after it is not in the walk until Open again.
    pid_t later = Child();
    seen.clear();
    for (st = list.GetFirst(pid); st.IsSuccess(); st = list.GetNext(pid)) seen.push_back(pid);
    EXPECT_FALSE(Has(seen, later));

    // Opened again, the list starts at its first PID for GetNext as for GetFirst.
    ASSERT_TRUE(list.Open().IsSuccess());
    uint32_t next = 0, first = 0;
    ASSERT_TRUE(list.GetNext(next).IsSuccess());
    ASSERT_TRUE(list.GetFirst(first).IsSuccess());
    EXPECT_EQ(next, first);
}

TEST_F(ProcessTest, ClosedObjectsReportBrokenPreconditionAndCloseIsQuiet) {
    TernProcessList list;
    uint32_t pid = 0;
    testing::internal::CaptureStderr();
    CKestrelStatus st = list.GetFirst(pid);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(st.IsFailure());
    EXPECT_THAT(err,
                testing::MatchesRegex("ASSERTION FAILED: file: .*LibProcessList_linux.cpp line [0-9]+\n"));

    TernProcess p;
    std::wstring path;
    testing::internal::CaptureStderr();
    EXPECT_EQ(p.GetExeName(path).GetError(), 6u);
    EXPECT_THAT(testing::internal::GetCapturedStderr(), testing::StartsWith("ASSERTION FAILED: file: "));

    EXPECT_TRUE(p.Close().IsSuccess());
    EXPECT_TRUE(p.Close().IsSuccess());
    EXPECT_TRUE(Traces().empty()) << TracesText();
}

// The image path is read into a buffer grown in 1024-character steps: a path that fills a step exactly
// must be read again with more room, not reported cut. The owner is this test's account, on this host.
TEST_F(ProcessTest, ExeNameAroundTheBufferStepAndOwnerOfALiveChild) {
    TempDir dir;
    for (size_t want : {1023u, 1024u, 1025u, 2100u}) {
        std::string p = dir.Path();
        std::string tail = "/child";
        while (p.size() + 201 + tail.size() < want) p += "/" + std::string(200, 'd');
        p += "/" + std::string(want - p.size() - tail.size() - 1, 'e');
        fs::create_directories(p);
        p += tail;
        ASSERT_EQ(p.size(), want);
        fs::copy_file(ChildProgram(), p, fs::copy_options::overwrite_existing);
        pid_t child = Child(p);
        std::wstring path, domain, user;
        errno = EINTR;  // left over from an earlier call: the liveness check must not take it for its own
        ASSERT_TRUE(TernProcess::GetExeName(child, path).IsSuccess()) << want << TracesText();
        EXPECT_EQ(path, TernMbToWide(p)) << want;
        ASSERT_TRUE(TernProcess::GetUserName(child, domain, user).IsSuccess()) << TracesText();
        EXPECT_EQ(user, TernMbToWide(getpwuid(geteuid())->pw_name));
        EXPECT_EQ(domain, TernHostShortNameUpper());
        EXPECT_FALSE(domain.empty());
    }
}

// A process that ends while it is held is never reported: not as a zombie, not after it was reaped (when
// its PID could already belong to another process). One gone before it is opened cannot be (87).
TEST_F(ProcessTest, ProcessEndingWhileHeldOrGoneBeforeIsNotReported) {
    for (bool reap : {false, true}) {
        fake_cairn::Reset();
        pid_t child = Spawn({ChildProgram(), "pause"});
        ASSERT_GT(child, 0);
        TernProcess p;
        ASSERT_TRUE(p.Open(child, false, TernProcess::kAccessQuery).IsSuccess());
        bool alive = false;
        ASSERT_TRUE(p.IsAlive(alive).IsSuccess());
        EXPECT_TRUE(alive);
        ::kill(child, SIGKILL);
        siginfo_t info{};
        ::waitid(P_PID, child, &info, WEXITED | (reap ? 0 : WNOWAIT));
        ASSERT_TRUE(p.IsAlive(alive).IsSuccess());
        EXPECT_FALSE(alive);
        EXPECT_TRUE(p.Wait(0).IsSuccess());
        std::wstring path, domain, user;
        EXPECT_EQ(p.GetExeName(path).GetError(), 87u) << reap;
        EXPECT_TRUE(path.empty());
        EXPECT_EQ(p.GetUserName(domain, user).GetError(), 87u) << reap;
        EXPECT_TRUE(HasTrace(L"(87) EnumProcessModules failed. pid=" + std::to_wstring(child)))
            << TracesText();
        EXPECT_TRUE(HasTrace(L"(87) GetUserSid failed. pid=" + std::to_wstring(child))) << TracesText();
        p.Close();
        if (!reap) {
            KillAndReap(child);
            continue;
        }
        fake_cairn::Reset();
        CKestrelStatus st = TernProcess::GetExeName(child, path);
        EXPECT_EQ(st.GetCode(), 2);
        EXPECT_EQ(st.GetError(), 87u);
        EXPECT_EQ(TernGetLastError(), 87u);
        EXPECT_TRUE(path.empty());
        EXPECT_TRUE(HasTrace(L"(87) Failed to open the process " + std::to_wstring(child) + L"."));
        EXPECT_EQ(TernProcess::GetUserName(child, domain, user).GetError(), 87u);
        EXPECT_EQ(TernProcess::EnablePrivilege(child, L"SeDebugPrivilege", true).GetError(), 87u);
        EXPECT_EQ(TernProcess::EnablePrivilege(0xFFFFFFFFu, L"SeDebugPrivilege", true).GetError(), 87u);
    }
}

TEST_F(ProcessTest, TerminateAndWaitGoThroughThePidfd) {
    const pid_t child = Spawn({ChildProgram(), "pause"});
    TernProcess p;
    ASSERT_TRUE(p.Open(child, false, TernProcess::kAccessAll).IsSuccess());
    CKestrelStatus st = p.Wait(20);
    EXPECT_EQ(st.GetError(), 258u);
    EXPECT_TRUE(HasTrace(L"(258) Wait operation has failed."));
    ASSERT_TRUE(p.Terminate().IsSuccess());
    EXPECT_TRUE(p.Wait(TernProcess::kNoPid).IsSuccess());
    const int status = KillAndReap(child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    // A pidfd taken over with Attach knows its process and is closed with the object.
    pid_t other = Child();
    int fd = PidfdOpen(other, 0);
    ASSERT_GE(fd, 0);
    TernProcess q;
    q.Attach(fd);
    EXPECT_EQ(q.GetPid(), static_cast<uint32_t>(other));
    std::wstring path;
    EXPECT_TRUE(q.GetExeName(path).IsSuccess());
    TernProcess moved(std::move(q));
    EXPECT_FALSE(q.IsValid());
    EXPECT_EQ(moved.GetHandle(), fd);
    moved.Close();
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // closed, and the process lives on
    EXPECT_EQ(::kill(other, 0), 0);
}

TEST_F(ProcessTest, OwnerNamesFromTheAccountDatabase) {
    for (auto [name, want] :  // "odd@" is not a domain form: a local name

         {std::pair{"CORP\\dadm", L"CORP|dadm"}, std::pair{"uadm@corp.example", L"corp.example|uadm"},
          std::pair{"kadm", L"HOST|kadm"}, std::pair{"odd@", L"HOST|odd@"}}) {
        std::wstring d, u;
        TernSplitAccountName(name, L"HOST", d, u);
        EXPECT_EQ(d + L"|" + u, want) << name;
    }
}

// Processes really running as other accounts (root only): test accounts from the NSS wrapper, and a uid
// that has no name at all (1332); also through the cache a process walk shares.
TEST_F(ProcessTest, OwnerOfProcessesRunningAsOtherAccounts) {
    if (!kestrel_test::IsRoot()) GTEST_SKIP() << "needs root to run processes as other uids";
    struct Case {
        uid_t uid;
        std::wstring domain, user;
        uint32_t error;
    };
    std::vector<Case> cases = {{4242424u, L"", L"", 1332u}};
    if (kestrel_test::IdentityWrappersActive())
        cases.insert(cases.end(), {{kestrel_test::kAdmin.uid, TernHostShortNameUpper(), L"kadm", 0},
                                   {kestrel_test::kDomainBackslash.uid, L"CORP", L"dadm", 0},
                                   {kestrel_test::kDomainAt.uid, L"CORP2", L"uadm", 0}});
    for (const Case& c : cases) {
        pid_t child = ::fork();
        if (child == 0) {
            if (::setresuid(c.uid, c.uid, c.uid) != 0) ::_exit(1);
            ::execl(ChildProgram(), ChildProgram(), "pause", nullptr);
            ::_exit(1);
        }
        children_.push_back(child);
        // The uid is set before exec; wait until the child has switched.
        uint32_t uid = 0;
        for (int i = 0; i < 500 && uid != c.uid; ++i) {
            TernProcess p;
            if (p.Open(child, false, 0).IsSuccess()) p.GetUserId(uid);
            if (uid != c.uid) ::usleep(2000);
        }
        std::wstring domain, user;
        EXPECT_EQ(CKestrelUtil::GetProcessUserName(child, domain, user).GetError(), c.error) << c.uid;
        EXPECT_EQ(domain + L"|" + user, c.domain + L"|" + c.user);
        if (c.error != 0) {
            EXPECT_TRUE(HasTrace(L"(1332) LookupAccountSid failed. pid=" + std::to_wstring(child)))
                << TracesText();
            EXPECT_TRUE(HasTrace(L"TernProcess::GetUserName returned 2, 0x00000534")) << TracesText();
        }
    }
    // Through one walk's cache, twice over: each process gets its own owner, as without the cache.
    TernScanCache cache;
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 0; i < cases.size(); ++i) {
            TernProcess p;
            std::wstring d, u;
            ASSERT_TRUE(p.Open(children_[i], false, TernProcess::kAccessQuery).IsSuccess());
            EXPECT_EQ(p.GetUserName(d, u, &cache).GetError(), cases[i].error) << cases[i].uid;
            EXPECT_EQ(d + L"|" + u, cases[i].domain + L"|" + cases[i].user) << cases[i].uid;
        }
    }
    // Entry points name owners from several threads at once, from the first lookup of the process on.
    for (int run = 0; run < 5 && kestrel_test::IdentityWrappersActive(); ++run) {
        pid_t p = Spawn({ChildProgram(), "lookup"});
        int status = 0;
        ASSERT_EQ(::waitpid(p, &status, 0), p);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "run " << run << ": " << status;
    }
}

TEST_F(ProcessTest, KillProcessEndsTheProcessOrSaysWhyNot) {
    const pid_t child = Spawn({ChildProgram(), "pause"});
    EXPECT_TRUE(CKestrelUtil::KillProcess(child).IsSuccess()) << TracesText();
    const int status = KillAndReap(child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_TRUE(HasTrace(L"KillProcess called with pid [" + std::to_wstring(child) + L"]."));

    // Gone before the call: the privilege step cannot open it, and the kill fails.
    fake_cairn::Reset();
    CKestrelStatus st = CKestrelUtil::KillProcess(child);
    EXPECT_EQ(st.GetCode(), 2);
    EXPECT_EQ(st.GetError(), 87u);
    EXPECT_TRUE(HasTrace(L"TernProcess::EnablePrivilege returned 2, 0x00000057")) << TracesText();
}

TEST(OsVersion, MatchesKernelRelease) {
    uint32_t major = 0, minor = 0;
    TernGetOsVersion(major, minor);
    utsname u{};
    ASSERT_EQ(uname(&u), 0);
    EXPECT_EQ(
        std::to_string(major) + "." + std::to_string(minor) + ".",
        std::string(u.release).substr(0, std::to_string(major).size() + std::to_string(minor).size() + 2));
    EXPECT_GE(major, 5u);
}

}  // namespace
