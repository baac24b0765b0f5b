// Log-on through the test accounts: names and domain forms, password and log-on type checks; log-ons kept for
// one entry-point call (one PAM authentication per account and type within a scope, none kept outside one or
// across threads, failures never kept); and the process-wide no-dump guard.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cwctype>
#include <memory>
#include <string>
#include <thread>

#include "LibError.h"
#include "LibLogon.h"
#include "LibNoDump.h"
#include "LibProcess.h"
#include "LibWide.h"
#include "TestAccounts.h"

namespace {

using namespace kestrel_test;

TEST(TernLogonNames, LocalForEmptyDomainOrThisHostOtherwiseDomainForms) {
    using Names = std::vector<std::string>;
    const std::wstring host = TernHostShortNameUpper();
    std::wstring lower = host;
    for (auto& c : lower) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    for (const std::wstring& local : {std::wstring(), host, lower})
        EXPECT_EQ(TernLogonNames(L"adm", local), Names{"adm"}) << TernWideToUtf8(local);
    EXPECT_EQ(TernLogonNames(L"adm", L"CORP"), (Names{"CORP\\adm", "adm@CORP"}));
}

class TernLogonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!IdentityWrappersActive()) GTEST_SKIP() << "test identity (nss/pam wrappers) not active";
    }
    static CKestrelStatus Logon(const std::wstring& user, const std::wstring& domain,
                                const std::string& password, TernLogonType type, TernAccount& account) {
        return TernLogonUser(user, domain, TernMbToWide(password), type, account);
    }
    // PAM authentications one log-on of kadm costs, and its error (0 on success).
    static std::pair<uint64_t, uint32_t> Cost(const std::string& password,
                                              TernLogonType type = TernLogonType::kInteractive) {
        const uint64_t before = TernLogonAuthentications();
        TernAccount account;
        CKestrelStatus st = Logon(L"kadm", L"", password, type, account);
        EXPECT_EQ(TernGetLastError(), st.IsSuccess() ? 0u : st.GetError());
        if (st.IsSuccess()) {
            EXPECT_EQ(account.uid, kAdmin.uid);
            EXPECT_FALSE(account.groups.empty());
            EXPECT_EQ(account.groups.front(), kAdmin.gid);
        }
        return {TernLogonAuthentications() - before, st.IsSuccess() ? 0u : st.GetError()};
    }
};

using Paid = std::pair<uint64_t, uint32_t>;

TEST_F(TernLogonTest, InteractiveAccountLogsOnWithEitherTypeAndYieldsItsRecord) {
    for (TernLogonType type : {TernLogonType::kInteractive, TernLogonType::kService}) {
        TernAccount account;
        CKestrelStatus st = Logon(L"kadm", L"", kAdmin.password, type, account);
        ASSERT_TRUE(st.IsSuccess()) << st.GetError();
        EXPECT_EQ(account.uid, kAdmin.uid);
        EXPECT_EQ(account.gid, kAdmin.gid);
        EXPECT_EQ(account.name, "kadm");
        EXPECT_EQ(account.shell, "/bin/sh");
        EXPECT_EQ(account.home, IdentityDir() + "/home/47001");
        std::vector<uint32_t> groups;  // the primary group among them
        ASSERT_TRUE(TernAccountGroups(account, groups).IsSuccess());
        EXPECT_NE(std::find(groups.begin(), groups.end(), kTestGid), groups.end());
    }
}

TEST_F(TernLogonTest, WrongPasswordUnknownUserAndEmptyNamesGive1326AndLeaveTheAccount) {
    struct Case {
        std::wstring user;
        std::string password;
    };
    const Case cases[] = {
        {L"kadm", "wrong"},
        {L"kadm", ""},
        {L"kadm", kAdmin.password + "x"},
        {L"nosuchuser", kAdmin.password},
        {L"", kAdmin.password},
    };
    for (const Case& c : cases) {
        TernAccount account;
        account.uid = 12345;
        CKestrelStatus st = Logon(c.user, L"", c.password, TernLogonType::kInteractive, account);
        EXPECT_EQ(st.GetCode(), 2);
        EXPECT_EQ(st.GetError(), 1326u);
        EXPECT_EQ(account.uid, 12345u);
    }
    // A password that belongs to another account does not open this one.
    TernAccount account;
    EXPECT_EQ(Logon(L"kadm", L"", kServiceOnly.password, TernLogonType::kService, account).GetError(), 1326u);
}

TEST_F(TernLogonTest, ServiceOnlyAccountPassesOnlyTheServiceLogon) {
    TernAccount account;
    CKestrelStatus st = Logon(L"ksvc", L"", kServiceOnly.password, TernLogonType::kInteractive, account);
    EXPECT_EQ(st.GetCode(), 2);
    EXPECT_EQ(st.GetError(), static_cast<uint32_t>(TERN_ERROR_LOGON_TYPE_NOT_GRANTED));
    st = Logon(L"ksvc", L"", kServiceOnly.password, TernLogonType::kService, account);
    ASSERT_TRUE(st.IsSuccess());
    EXPECT_EQ(account.uid, kServiceOnly.uid);
    // The shell check comes after the password check: a wrong password still reads as 1326.
    EXPECT_EQ(Logon(L"ksvc", L"", "bad", TernLogonType::kInteractive, account).GetError(), 1326u);
}

TEST_F(TernLogonTest, DomainFormsResolveToTheirNssNames) {
    TernAccount account;
    ASSERT_TRUE(
        Logon(L"dadm", L"CORP", kDomainBackslash.password, TernLogonType::kInteractive, account).IsSuccess());
    EXPECT_EQ(account.name, "CORP\\dadm");
    EXPECT_EQ(account.uid, kDomainBackslash.uid);
    // No "CORP2\uadm": the second form is tried.
    ASSERT_TRUE(
        Logon(L"uadm", L"CORP2", kDomainAt.password, TernLogonType::kInteractive, account).IsSuccess());
    EXPECT_EQ(account.name, "uadm@CORP2");
    // The host's own name (any case) means the local account.
    ASSERT_TRUE(
        Logon(L"kadm", TernHostShortNameUpper(), kAdmin.password, TernLogonType::kInteractive, account)
            .IsSuccess());
    EXPECT_EQ(account.name, "kadm");
    // A domain account is not found as a local one, nor a local one under a domain.
    EXPECT_EQ(Logon(L"dadm", L"", kDomainBackslash.password, TernLogonType::kInteractive, account).GetError(),
              1326u);
    EXPECT_EQ(Logon(L"kadm", L"CORP", kAdmin.password, TernLogonType::kInteractive, account).GetError(),
              1326u);
}

TEST_F(TernLogonTest, OneAuthenticationPerAccountAndTypeWithinAScopeAndEachOneOutside) {
    EXPECT_EQ(Cost(kAdmin.password), Paid(1, 0));
    EXPECT_EQ(Cost(kAdmin.password), Paid(1, 0));
    {
        TernLogonReuseScope scope;
        EXPECT_EQ(Cost(kAdmin.password), Paid(1, 0));
        EXPECT_EQ(Cost(kAdmin.password), Paid(0, 0));
        EXPECT_EQ(Cost(kAdmin.password, TernLogonType::kService), Paid(1, 0));
        {
            TernLogonReuseScope inner;  // adds nothing, and ending it keeps what the outer one holds
            EXPECT_EQ(Cost(kAdmin.password), Paid(0, 0));
        }
        EXPECT_EQ(Cost(kAdmin.password), Paid(0, 0));
        // Another thread has no scope of its own.
        Paid other;
        std::thread([&] { other = Cost(kAdmin.password); }).join();
        EXPECT_EQ(other, Paid(1, 0));
    }
    EXPECT_EQ(Cost(kAdmin.password), Paid(1, 0));
}

TEST_F(TernLogonTest, FailedLogonIsNeverKeptAndFailsAlikeEachTime) {
    TernLogonReuseScope scope;
    EXPECT_EQ(Cost("wrong"), Paid(1, TERN_ERROR_LOGON_FAILURE));
    EXPECT_EQ(Cost("wrong"), Paid(1, TERN_ERROR_LOGON_FAILURE));
    EXPECT_EQ(Cost(kAdmin.password), Paid(1, 0));
    // A kept success does not let another password through, nor does a longer or shorter one.
    EXPECT_EQ(Cost("wrong"), Paid(1, TERN_ERROR_LOGON_FAILURE));
    EXPECT_EQ(Cost(kAdmin.password + "x"), Paid(1, TERN_ERROR_LOGON_FAILURE));
    EXPECT_EQ(Cost(kAdmin.password.substr(1)), Paid(1, TERN_ERROR_LOGON_FAILURE));
    EXPECT_EQ(Cost(kAdmin.password), Paid(0, 0));
}

TEST(TernNoDumpGuard, ProcessStaysUndumpableUntilTheLastGuardOnAnyThreadEnds) {
    auto dumpable = [] { return prctl(PR_GET_DUMPABLE, 0, 0, 0, 0); };
    // Earlier identity changes in this process (file-system uid switches) may have cleared the flag.
    ASSERT_EQ(prctl(PR_SET_DUMPABLE, 1, 0, 0, 0), 0);
    {
        auto first = std::make_unique<TernNoDumpGuard>();
        EXPECT_EQ(dumpable(), 0);
        std::unique_ptr<TernNoDumpGuard> second;
        std::thread([&] { second = std::make_unique<TernNoDumpGuard>(); }).join();
        first.reset();
        EXPECT_EQ(dumpable(), 0);
        std::thread([&] { second.reset(); }).join();
        EXPECT_EQ(dumpable(), 1);
        TernNoDumpGuard again;
        EXPECT_EQ(dumpable(), 0);
    }
    EXPECT_EQ(dumpable(), 1);
}

}  // namespace
