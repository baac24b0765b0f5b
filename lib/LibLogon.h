// Log-on of an account with its password (PAM service "kestrel"), and the account record it yields.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "KestrelStatus.h"
#include "LibNonCopyable.h"

// Errors of a failed log-on beyond those in LibError.h (Windows numbering).
enum : uint32_t {
    TERN_ERROR_ACCOUNT_RESTRICTION = 1327,     // account management refused the account
    TERN_ERROR_LOGON_TYPE_NOT_GRANTED = 1385,  // interactive log-on without a login shell
    TERN_ERROR_ACCOUNT_EXPIRED = 1793,
    TERN_ERROR_PASSWORD_MUST_CHANGE = 1907,
};

// Log-on types, numbered like the Windows ones the agent's traces name.
enum class TernLogonType : uint32_t {
    kInteractive = 2,  // also needs a login shell listed in /etc/shells
    kService = 5,      // any shell, nologin included
};

// The account a log-on found. Plain data, owned by whoever holds it.
struct TernAccount {
    uint32_t uid = 0;
    uint32_t gid = 0;
    std::string name;  // the NSS name that matched ("user", "DOMAIN\user" or "user@domain")
    std::string home;
    std::string shell;
    // Group ids for the identity switch (the primary group first), filled by a successful log-on; empty
    // when not known (the command runner then looks them up itself).
    std::vector<uint32_t> groups;
};

// The NSS names tried for user/domain, in order: "user" when domain is empty or the host's short name
// (any case); otherwise "DOMAIN\user", then "user@domain".
std::vector<std::string> TernLogonNames(std::wstring_view user, std::wstring_view domain);

// Checks user/domain/password with PAM (authentication, then account management) and fills account.
// The password is converted into a private buffer that is wiped after use; it is never traced, and it
// reaches nothing but the PAM conversation (which answers it once).
// Failure: code 2 (and the thread's last error) with 1326 for an unknown user or a wrong password,
// 1385 for an interactive log-on of an account without a login shell, 1327/1793/1907 when account
// management refuses the account, 1359 when PAM itself fails. account is untouched on failure.
CKestrelStatus TernLogonUser(std::wstring_view user, std::wstring_view domain, std::wstring_view password,
                             TernLogonType type, TernAccount& account);

// Keeps the successful log-ons of one entry-point call for reuse (one per thread; an inner scope on the
// same thread adds nothing and the outermost one owns what is kept). While a scope lives on the calling
// thread, TernLogonUser answers a log-on whose user, domain, type and password equal those of an earlier
// successful one on this thread with that account, without asking PAM again. Failed log-ons are never kept:
// the next attempt authenticates again. The passwords kept are wiped when the scope ends; outside a scope
// nothing is kept. Not movable: it lives on the stack of the call it serves.
struct TernKeptLogons;
class TernLogonReuseScope : private TernNonCopyable {
  public:
    TernLogonReuseScope();
    ~TernLogonReuseScope();

  private:
    std::unique_ptr<TernKeptLogons> kept_;  // null in an inner scope
};

// Number of PAM authentications this process has run (for tests and benchmarks).
uint64_t TernLogonAuthentications();

// Secondary group ids of an account (getgrouplist), the primary group first. Failure: code 2 with the
// mapped error; groups untouched.
CKestrelStatus TernAccountGroups(const TernAccount& account, std::vector<uint32_t>& groups);
