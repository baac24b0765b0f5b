// CKestrelUtil's checks and its command runner, seen through their answers, status codes and trace lines.
#include <gtest/gtest.h>
#include <sys/fsuid.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "FakeCairn.h"
#include "KestrelCluster.h"
#include "KestrelUtil.h"
#include "LibLogger.h"
#include "LibWide.h"
#include "TestAccounts.h"
#include "TestSupport.h"

// The agent frame owns the real handle; here any recognisable value will do.
CairnClusterHandle KestrelGetClusterHandle() {
    return reinterpret_cast<CairnClusterHandle>(0x5eed);
}

namespace {

using namespace kestrel_test;

// Records the trace lines written on the test's thread.
class TraceRecorder : public TernLogImpl {
  public:
    TraceRecorder() { enabled_ = true; }
    void Write(const char*, uint32_t, const char*, const wchar_t* text) override { lines.emplace_back(text); }
    void WriteDump(const char*, uint32_t, const char*, const wchar_t*) override {}
    bool Has(const std::wstring& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    bool AnyContains(const std::wstring& part) const {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const auto& l) { return l.find(part) != std::wstring::npos; });
    }
    // Expects every one of these lines to have been traced.
    void ExpectHas(std::initializer_list<std::wstring> expected) const {
        for (const auto& line : expected) EXPECT_TRUE(Has(line)) << TernWideToMb(line);
    }
    std::vector<std::wstring> lines;
};

class TracingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static TraceRecorder recorder;  // the logger keeps the pointer for the whole program
        recorder_ = &recorder;
        recorder_->lines.clear();
        TernLogger().SetLogImpl(recorder_);
        TernLogger().BeginThread();
    }
    void TearDown() override { TernLogger().EndThread(); }
    TraceRecorder* recorder_ = nullptr;
};

class KestrelUtilChecks : public TracingTest {};

TEST_F(KestrelUtilChecks, IsNullTable) {
    const std::pair<std::wstring, bool> cases[] = {
        {L"", true},    {L" ", true},  {L"\t", true},    {L"  ", false},
        {L" a", false}, {L"a", false}, {L"\t\t", false},
    };
    for (const auto& [text, expected] : cases) {
        bool isNull = !expected;
        EXPECT_TRUE(CKestrelUtil::IsNull(text, isNull).IsSuccess());
        EXPECT_EQ(isNull, expected) << "[" << TernWideToMb(text) << "]";
    }
    recorder_->ExpectHas(
        {L"IsNull called with str [ ].", L"The string is null [\t]", L"The string is NOT null [ a]"});
}

TEST_F(KestrelUtilChecks, FindSAPArchTable) {
    using List = std::vector<std::wstring>;
    const std::pair<List, int> cases[] = {
        {{L"DISP+WORK.EXE", L"igswd.exe"}, 1},
        {{L"jcontrol.exe", L"disp+work.exe"}, 3},
        {{L"JControl.EXE", L"jlaunch.exe"}, 2},
        {{L"jlaunch.exe"}, 0},
        {{}, 0},
        {{L"disp+work.exe.bak", L"xjcontrol.exe"}, 0},  // whole entries only
    };
    for (const auto& [list, expected] : cases) EXPECT_EQ(CKestrelUtil::FindSAPArch(list), expected);
    recorder_->ExpectHas(
        {L"Got [DISP+WORK.EXE] from ProcMon list.", L"disp+wrok.exe process found in the ProcMon list.",
         L"jcontrol.exe process found in the ProcMon list", L"SAP SYSTEM Architecture is ABAP.",
         L"SAP SYSTEM Architecture is Java.", L"SAP SYSTEM Architecture is Add-In.",
         L"SAP Architecuture is not inferred from ProcMon."});
}

TEST_F(KestrelUtilChecks, IsValidHostNameAnswersAndAlwaysSucceeds) {
    const std::pair<std::wstring, bool> cases[] = {
        {L"sapabc01", true},  {L"SAP-01", true}, {L"host.example.com", false},
        {L"sap_host", false}, {L"1234", false},  {L"", false},
    };
    for (const auto& [name, expected] : cases) {
        bool valid = !expected;
        EXPECT_TRUE(CKestrelUtil::IsValidHostName(name, valid).IsSuccess());
        EXPECT_EQ(valid, expected) << TernWideToMb(name);
    }
    recorder_->ExpectHas(
        {L"IsValidHostName called with hostname [sap_host].", L"DnsValidateName returned 0x00002558"});
}

TEST_F(KestrelUtilChecks, FilesAndDirectories) {
    TempDir dir;
    const std::string file = dir / "profile";
    ASSERT_TRUE(WriteFile(file, "x"));
    struct Case {
        std::string path;
        bool exists;
        bool isDirectory;
    };
    const Case cases[] = {
        {file, true, false},
        {dir.Path(), false, true},  // a directory is no file
        {dir.Path() + "/missing", false, false},
        {file + "/below", false, false},
    };
    for (const Case& c : cases) {
        bool exists = !c.exists, isDirectory = !c.isDirectory;
        EXPECT_TRUE(CKestrelUtil::DoesExistFile(TernMbToWide(c.path), exists).IsSuccess());
        EXPECT_TRUE(CKestrelUtil::IsDirectory(TernMbToWide(c.path), isDirectory).IsSuccess());
        EXPECT_EQ(exists, c.exists) << c.path;
        EXPECT_EQ(isDirectory, c.isDirectory) << c.path;
    }
    recorder_->ExpectHas({L"DoesExistFile called with file [" + TernMbToWide(file) + L"].",
                          L"IsDirectory called with dir [" + dir.WPath() + L"].",
                          L"FindFirstFile returned 0x00000002", L"FindFirstFile returned 0x00000003"});
}

TEST_F(KestrelUtilChecks, InstProfileOnALocalPathNeverLogsOn) {
    TempDir dir;
    const std::string file = dir / "ABC_DVEBMGS00_host";
    ASSERT_TRUE(WriteFile(file, "x"));
    bool exists = false;
    // Credentials that could never log on: a local path does not need them.
    CKestrelStatus st =
        CKestrelUtil::DoesExistInstProfile(TernMbToWide(file), L"nobody-here", L"NODOM", L"bad", exists);
    EXPECT_TRUE(st.IsSuccess());
    EXPECT_TRUE(exists);
    EXPECT_FALSE(recorder_->AnyContains(L"logon"));
    EXPECT_FALSE(recorder_->AnyContains(L"LogonUser"));
    EXPECT_FALSE(recorder_->AnyContains(L"pam_"));
    EXPECT_TRUE(recorder_->Has(L"DoesExistInstProfile called with file [" + TernMbToWide(file) +
                               L"], user [nobody-here] and domain [NODOM]."));
}

TEST_F(KestrelUtilChecks, CairnResourceOfOurTypeOrNotOrQueryFailure) {
    fake_cairn::Reset();
    fake_cairn::Get().resourceTypes = {{"sapABC_D00", "Kestrel"}, {"disk1", "Disk"}, {"kestrel1", "kestrel"}};
    bool exists = false;
    ASSERT_TRUE(CKestrelUtil::DoesExistCairnResource(L"sapABC_D00", exists).IsSuccess());
    EXPECT_TRUE(exists);
    recorder_->ExpectHas({L"CairnResGetType() call success for resource[sapABC_D00].",
                          L"Found the Resource [sapABC_D00] is of type Kestrel."});
    for (const wchar_t* other : {L"disk1", L"kestrel1"}) {  // byte-for-byte type comparison
        exists = true;
        ASSERT_TRUE(CKestrelUtil::DoesExistCairnResource(other, exists).IsSuccess());
        EXPECT_FALSE(exists);
    }
    EXPECT_TRUE(recorder_->Has(L"Resource [disk1] is NOT of type Kestrel."));

    exists = true;
    CKestrelStatus st = CKestrelUtil::DoesExistCairnResource(L"missing", exists);
    EXPECT_EQ(st.GetCode(), 33);
    EXPECT_EQ(st.GetError(), 5007u);
    EXPECT_TRUE(exists) << "the answer is not written when the query fails";
    EXPECT_TRUE(
        recorder_->Has(L"CairnResGetType() failed for the resource[missing] with error [3, 0x0000138F] with "
                       L"message [resource not found]."));
    EXPECT_EQ(fake_cairn::Get().held, 0) << "every type name and error record is given back";
}

class KestrelUtilAccounts : public TracingTest {
  protected:
    void SetUp() override {
        if (!IdentityWrappersActive()) GTEST_SKIP() << "test identity (nss/pam wrappers) not active";
        TracingTest::SetUp();
    }
    static std::wstring W(const std::string& s) { return TernMbToWide(s); }
};

TEST_F(KestrelUtilAccounts, DoesExistUserTriesInteractiveThenService) {
    // A service-only account passes the second log-on.
    for (const auto& [user, domain, account] :
         {std::tuple{L"kadm", L"", kAdmin}, std::tuple{L"ksvc", L"", kServiceOnly},
          std::tuple{L"dadm", L"CORP", kDomainBackslash}}) {
        bool exists = false;
        ASSERT_TRUE(CKestrelUtil::DoesExistUser(user, domain, W(account.password), exists).IsSuccess())
            << account.name;
        EXPECT_TRUE(exists) << account.name;
    }
    EXPECT_TRUE(recorder_->Has(L"User [ksvc] for Domain [] logged on successfully."));

    bool exists = true;
    CKestrelStatus st = CKestrelUtil::DoesExistUser(L"kadm", L"", L"wrong", exists);
    EXPECT_EQ(st.GetCode(), 2);
    EXPECT_EQ(st.GetError(), 1326u);
    EXPECT_FALSE(exists);
    EXPECT_TRUE(recorder_->Has(L"User [kadm] for Domain [] could not logon."));
    EXPECT_FALSE(recorder_->AnyContains(W(kAdmin.password)));
}

TEST_F(KestrelUtilAccounts, InstProfileOnANetworkPathIsCheckedAsTheAccount) {
    if (!IsRoot()) GTEST_SKIP() << "switching the file-system identity to another account needs root";
    TempDir dir;
    const std::string open = dir / "open.pfl", closed = dir / "closed.pfl";
    ASSERT_TRUE(WriteFile(open, "x", 0644));
    ASSERT_TRUE(WriteFile(closed, "x", 0600));                                  // root's only
    auto network = [](const std::string& p) { return TernMbToWide("/" + p); };  // "//tmp/...": same file

    bool exists = false;
    ASSERT_TRUE(CKestrelUtil::DoesExistInstProfile(network(open), L"kadm", L"", W(kAdmin.password), exists)
                    .IsSuccess());
    EXPECT_TRUE(exists);
    exists = true;
    ASSERT_TRUE(CKestrelUtil::DoesExistInstProfile(network(closed), L"kadm", L"", W(kAdmin.password), exists)
                    .IsSuccess());
    EXPECT_FALSE(exists) << "read as root instead of as the account";
    recorder_->ExpectHas({L"RevertToSelf for user [kadm] and domain [] Successful.",
                          L"ImpersonateLoggedOnUser for user [kadm] and domain [] Successful.",
                          L"LogonUser for User [kadm] and Domain [] Successful."});
    // The thread is itself again.
    EXPECT_EQ(setfsuid(static_cast<uid_t>(-1)), 0);
    EXPECT_EQ(setfsgid(static_cast<gid_t>(-1)), 0);
    ASSERT_TRUE(CKestrelUtil::DoesExistFile(TernMbToWide(closed), exists).IsSuccess());
    EXPECT_TRUE(exists);
}

TEST_F(KestrelUtilAccounts, InstProfileOnANetworkPathWithBadCredentialsFails) {
    bool exists = true;
    CKestrelStatus st =
        CKestrelUtil::DoesExistInstProfile(L"//server/share/ABC.pfl", L"kadm", L"", L"bad", exists);
    EXPECT_EQ(st.GetCode(), 2);
    EXPECT_EQ(st.GetError(), 1326u);
    EXPECT_TRUE(exists) << "the answer is not written when the log-on fails";
    EXPECT_TRUE(recorder_->Has(L"User [kadm] for Domain [] could not logon."));
}

// Runs commands as the interactive test account, which needs root (setuid) and the test identity.
class KestrelUtilCommand : public KestrelUtilAccounts {
  protected:
    void SetUp() override {
        if (!IsRoot()) GTEST_SKIP() << "running a command as another account needs root";
        KestrelUtilAccounts::SetUp();
    }
    // Runs the command as kadm with the given password (default: the right one) into output_ and exitCode_.
    CKestrelStatus Run(const std::wstring& command, const std::wstring& path = L"", uint32_t timeout = 20000,
                       const wchar_t* password = nullptr) {
        CKestrelStatus st = CKestrelUtil::CreateAndGetExitCode(
            command, path, L"kadm", L"", password ? password : password_, output_, exitCode_, timeout);
        output_ = StripWrapperNoise(output_);
        return st;
    }
    std::wstring output_ = L"before";
    uint32_t exitCode_ = 99;
    const std::wstring password_ = W(kAdmin.password);
};

TEST_F(KestrelUtilCommand, RunsAsTheAccountAndHandsBackOutputAndExitCode) {
    CKestrelStatus st = Run(L"/bin/sh -c \"id -un; echo err >&2; exit 4\"");
    ASSERT_TRUE(st.IsSuccess()) << st.GetCode() << " " << st.GetError();
    EXPECT_EQ(output_, L"kadm\nerr\n");
    EXPECT_EQ(exitCode_, 4u) << "a non-zero exit code is still a success";

    // A command that prints nothing: success with an empty output.
    ASSERT_TRUE(Run(L"/bin/true").IsSuccess());
    EXPECT_EQ(output_, L"");
    EXPECT_EQ(exitCode_, 0u);
    EXPECT_FALSE(recorder_->AnyContains(password_)) << "the password reached a trace line";
}

TEST_F(KestrelUtilCommand, WorkingDirectoryGivenOrTheAgentsOwn) {
    TempDir dir;
    ASSERT_TRUE(Run(L"/bin/pwd", dir.WPath()).IsSuccess());
    EXPECT_EQ(output_, TernMbToWide(std::filesystem::canonical(dir.Path()).string()) + L"\n");
    ASSERT_TRUE(Run(L"/bin/pwd").IsSuccess());
    EXPECT_EQ(output_, TernMbToWide(std::filesystem::current_path().string()) + L"\n");
    EXPECT_TRUE(recorder_->AnyContains(L"lpCurDir [(null)]"));
}

TEST_F(KestrelUtilCommand, TimeOutGives7And258AndLeavesOutputAndExitCode) {
    auto start = std::chrono::steady_clock::now();
    CKestrelStatus st = Run(L"/bin/sh -c \"echo partial; exec sleep 30\"", L"", 300);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(st.GetCode(), 7);
    EXPECT_EQ(st.GetError(), 258u);
    EXPECT_EQ(output_, L"before");
    EXPECT_EQ(exitCode_, 99u);
    EXPECT_TRUE(recorder_->Has(L"CKestrelUtil::CreateAsUserAndGetOutput returned 7, 0x00000102"));
}

TEST_F(KestrelUtilCommand, WrongPasswordFailsWithTheLogonErrorAndStartsNothing) {
    TempDir dir;
    const std::string marker = dir / "started";
    CKestrelStatus st = Run(TernMbToWide("/usr/bin/touch " + marker), L"", 20000, L"not the password");
    EXPECT_EQ(st.GetCode(), 2);
    EXPECT_EQ(st.GetError(), 1326u);
    EXPECT_EQ(output_, L"before");
    EXPECT_EQ(exitCode_, 99u);
    EXPECT_FALSE(std::filesystem::exists(marker));
    recorder_->ExpectHas({L"[1326] LogonUser failed. User=kadm, Dom=",
                          L"CKestrelUtil::CreateAsUserAndGetOutput returned 2, 0x0000052E"});
    EXPECT_FALSE(recorder_->AnyContains(L"Succeed"));
}

TEST_F(KestrelUtilCommand, StartFailureIsTracedWithTheCommandLine) {
    CKestrelStatus st = Run(L"/nonexistent/startsap.exe pf=x");
    EXPECT_EQ(st.GetCode(), 2);
    EXPECT_EQ(st.GetError(), 2u);
    EXPECT_EQ(exitCode_, 99u);
    EXPECT_TRUE(
        recorder_->Has(L"[2] CreateProcessAsUser failed. CmdLine = /nonexistent/startsap.exe pf=x. "));
}

TEST_F(KestrelUtilCommand, WorkerBufferContractAndLocaleDecoding) {
    // Bytes that are not valid in the locale become U+FFFD; valid multibyte text is decoded.
    const char* saved = std::setlocale(LC_CTYPE, nullptr);
    std::string savedLocale = saved ? saved : "C";
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    wchar_t* buffer = reinterpret_cast<wchar_t*>(1);
    uint32_t size = 0;
    CKestrelStatus st = CKestrelUtil::CreateAsUserAndGetOutput(L"", L"kadm", password_.c_str(),
                                                               L"/usr/bin/printf \\303\\251\\377ok", nullptr,
                                                               &buffer, &size, nullptr, 0, 20000);
    std::setlocale(LC_CTYPE, savedLocale.c_str());
    ASSERT_TRUE(st.IsSuccess());
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(std::wstring(buffer), L"\u00e9\uFFFDok");
    EXPECT_EQ(size, (5u + 1u) * sizeof(wchar_t));  // capacity: one wide character per byte, plus the end
    CKestrelUtil::FreeOutputBuffer(buffer);
}

}  // namespace
