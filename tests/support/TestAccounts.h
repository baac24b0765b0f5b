// The accounts every identity-aware test program gets (see IdentityTestMain.cpp).
#pragma once

#include <vector>

#include "TestIdentity.h"

namespace kestrel_test {

inline constexpr uint32_t kTestGid = 47000;
// Interactive account (login shell /bin/sh). The password holds characters a shell or a quoting bug
// would trip over.
inline const TestAccount kAdmin{"kadm", 47001, kTestGid, "Adm1n \"pa$$\" word", "/bin/sh", ""};
// Service-only account: nologin is not a login shell, so only a service log-on passes.
inline const TestAccount kServiceOnly{"ksvc", 47002, kTestGid, "Svc-pass-2", "/usr/sbin/nologin", ""};
// Domain accounts as NSS names them.
inline const TestAccount kDomainBackslash{"CORP\\dadm", 47003, kTestGid, "Dom-pass-3", "/bin/sh", ""};
inline const TestAccount kDomainAt{"uadm@CORP2", 47004, kTestGid, "Upn-pass-4", "/bin/sh", ""};

inline std::vector<TestAccount> StandardAccounts() {
    return {kAdmin, kServiceOnly, kDomainBackslash, kDomainAt};
}

}  // namespace kestrel_test
