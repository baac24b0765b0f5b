// Log-ons kept for one entry-point call: one PAM authentication per account and type within a scope, none
// kept outside one or across threads, failures never kept; and the process-wide no-dump guard.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <memory>
#include <string>
#include <thread>

#include "LibError.h"
#include "LibLogon.h"
#include "LibNoDump.h"
#include "LibWide.h"
#include "TestAccounts.h"

namespace {

using namespace kestrel_test;

class TernLogonReuseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!IdentityWrappersActive()) GTEST_SKIP() << "test identity (nss/pam wrappers) not active";
    }
    // PAM authentications one log-on of kadm costs, and its error (0 on success).
    static std::pair<uint64_t, uint32_t> Logon(const std::string& password,
                                               TernLogonType type = TernLogonType::kInteractive) {
        const uint64_t before = TernLogonAuthentications();
        TernAccount account;
        CKestrelStatus st = TernLogonUser(L"kadm", L"", TernMbToWide(password), type, account);
        EXPECT_EQ(TernGetLastError(), st.IsSuccess() ? 0u : st.GetError());
        if (st.IsSuccess()) {
            EXPECT_EQ(account.uid, kAdmin.uid);
            EXPECT_FALSE(account.groups.empty());
            EXPECT_EQ(account.groups.front(), kAdmin.gid);
        }
        return {TernLogonAuthentications() - before, st.IsSuccess() ? 0u : st.GetError()};
    }
};

using Cost = std::pair<uint64_t, uint32_t>;

TEST_F(TernLogonReuseTest, OneAuthenticationPerAccountAndTypeWithinAScopeAndEachOneOutside) {
    EXPECT_EQ(Logon(kAdmin.password), Cost(1, 0));
    EXPECT_EQ(Logon(kAdmin.password), Cost(1, 0));
    {
        TernLogonReuseScope scope;
        EXPECT_EQ(Logon(kAdmin.password), Cost(1, 0));
        EXPECT_EQ(Logon(kAdmin.password), Cost(0, 0));
        EXPECT_EQ(Logon(kAdmin.password, TernLogonType::kService), Cost(1, 0));
        {
            TernLogonReuseScope inner;  // adds nothing, and ending it keeps what the outer one holds
            EXPECT_EQ(Logon(kAdmin.password), Cost(0, 0));
        }
        EXPECT_EQ(Logon(kAdmin.password), Cost(0, 0));
        // Another thread has no scope of its own.
        Cost other;
        std::thread([&] { other = Logon(kAdmin.password); }).join();
        EXPECT_EQ(other, Cost(1, 0));
    }
    EXPECT_EQ(Logon(kAdmin.password), Cost(1, 0));
}

TEST_F(TernLogonReuseTest, FailedLogonIsNeverKeptAndFailsAlikeEachTime) {
    TernLogonReuseScope scope;
    EXPECT_EQ(Logon("wrong"), Cost(1, TERN_ERROR_LOGON_FAILURE));
    EXPECT_EQ(Logon("wrong"), Cost(1, TERN_ERROR_LOGON_FAILURE));
    EXPECT_EQ(Logon(kAdmin.password), Cost(1, 0));
    // A kept success does not let another password through, nor does a longer or shorter one.
    EXPECT_EQ(Logon("wrong"), Cost(1, TERN_ERROR_LOGON_FAILURE));
    EXPECT_EQ(Logon(kAdmin.password + "x"), Cost(1, TERN_ERROR_LOGON_FAILURE));
    EXPECT_EQ(Logon(kAdmin.password.substr(1)), Cost(1, TERN_ERROR_LOGON_FAILURE));
    EXPECT_EQ(Logon(kAdmin.password), Cost(0, 0));
}

int Dumpable() {
    return prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
}

TEST(TernNoDumpGuard, ProcessStaysUndumpableUntilTheLastGuardOnAnyThreadEnds) {
    // Earlier identity changes in this process (file-system uid switches) may have cleared the flag.
    ASSERT_EQ(prctl(PR_SET_DUMPABLE, 1, 0, 0, 0), 0);
    {
        auto first = std::make_unique<TernNoDumpGuard>();
        EXPECT_EQ(Dumpable(), 0);
        std::unique_ptr<TernNoDumpGuard> second;
        std::thread([&] { second = std::make_unique<TernNoDumpGuard>(); }).join();
        first.reset();
        EXPECT_EQ(Dumpable(), 0);
        std::thread([&] { second.reset(); }).join();
        EXPECT_EQ(Dumpable(), 1);
        TernNoDumpGuard again;
        EXPECT_EQ(Dumpable(), 0);
    }
    EXPECT_EQ(Dumpable(), 1);
}

}  // namespace
