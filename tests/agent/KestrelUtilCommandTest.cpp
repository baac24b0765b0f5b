#include <chrono>
#include <clocale>
#include <filesystem>

#include "KestrelUtil.h"
#include "LibWide.h"
#include "TestAccounts.h"
#include "UtilTestSupport.h"

namespace {

using namespace kestrel_test;

// Runs commands as the interactive test account, which needs root (setuid) and the test identity.
class KestrelUtilCommand : public TracingTest {
  protected:
    void SetUp() override {
        if (!IdentityWrappersActive()) GTEST_SKIP() << "test identity (nss/pam wrappers) not active";
        if (!IsRoot()) GTEST_SKIP() << "running a command as another account needs root";
        TracingTest::SetUp();
        password_ = TernMbToWide(kAdmin.password);
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
    std::wstring password_;
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
