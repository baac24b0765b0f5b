#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cwctype>

#include "LibLogon.h"
#include "LibWide.h"
#include "TestAccounts.h"

namespace {

using namespace kestrel_test;

std::wstring HostShortName() {
    char host[HOST_NAME_MAX + 1] = {};
    gethostname(host, sizeof host - 1);
    std::string name(host);
    return TernMbToWide(name.substr(0, name.find('.')));
}

TEST(TernLogonNames, LocalForEmptyDomainOrThisHostOtherwiseDomainForms) {
    using Names = std::vector<std::string>;
    EXPECT_EQ(TernLogonNames(L"adm", L""), Names{"adm"});
    std::wstring host = HostShortName();
    EXPECT_EQ(TernLogonNames(L"adm", host), Names{"adm"});
    EXPECT_EQ(TernLogonNames(L"adm", TernToUpper(host)), Names{"adm"});
    std::wstring lower = host;
    for (auto& c : lower) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    EXPECT_EQ(TernLogonNames(L"adm", lower), Names{"adm"});
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
};

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
    std::wstring host = HostShortName();
    ASSERT_TRUE(
        Logon(L"kadm", TernToUpper(host), kAdmin.password, TernLogonType::kInteractive, account).IsSuccess());
    EXPECT_EQ(account.name, "kadm");
    // A domain account is not found as a local one, nor a local one under a domain.
    EXPECT_EQ(Logon(L"dadm", L"", kDomainBackslash.password, TernLogonType::kInteractive, account).GetError(),
              1326u);
    EXPECT_EQ(Logon(L"kadm", L"CORP", kAdmin.password, TernLogonType::kInteractive, account).GetError(),
              1326u);
}

TEST_F(TernLogonTest, GroupsIncludeThePrimaryGroup) {
    TernAccount account;
    ASSERT_TRUE(Logon(L"kadm", L"", kAdmin.password, TernLogonType::kInteractive, account).IsSuccess());
    std::vector<uint32_t> groups;
    ASSERT_TRUE(TernAccountGroups(account, groups).IsSuccess());
    EXPECT_NE(std::find(groups.begin(), groups.end(), kTestGid), groups.end());
}

}  // namespace
