// Test accounts without touching the machine's account database.
//
// The accounts live in files in a temporary directory: a passwd and a group file read through
// libnss-wrapper, and a password file read by pam_matrix through libpam-wrapper under the PAM service
// "kestrel". The wrappers work only when preloaded before the process starts, so a test program calls
// RunWithTestIdentity first thing in main: it creates the files, runs the program again with the
// wrappers preloaded, cleans up and hands back the exit status. As root, setuid to such an account's uid
// is real, so processes really run as it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace kestrel_test {

struct TestAccount {
    std::string name;  // NSS name: "user", "DOMAIN\user" or "user@domain"
    uint32_t uid = 0;
    uint32_t gid = 0;
    std::string password;
    std::string shell = "/bin/sh";  // /usr/sbin/nologin makes a service-only account
    std::string home;  // empty: <identity dir>/home/<uid>, created (owned by the account as root)
};

class TestIdentity {
  public:
    // Writes the files for accounts (plus root and the calling user, so the process still resolves itself)
    // into a new temporary directory. Null on failure, with the reason in *error.
    static std::unique_ptr<TestIdentity> Create(const std::vector<TestAccount>& accounts, std::string* error);
    // The directory and everything in it go with the object.
    const std::string& Dir() const { return dir_.Path(); }
    // "NAME=value" entries a process needs to see the accounts (LD_PRELOAD, NSS_WRAPPER_*, PAM_WRAPPER*).
    std::vector<std::string> Environment() const;

  private:
    TestIdentity() = default;
    TempDir dir_;
};

// True when this process runs with both wrappers preloaded and configured.
bool IdentityWrappersActive();

// For a test main. Unless the wrappers are already active, creates the accounts, runs /proc/self/exe with
// the same arguments and the identity environment, waits for it, removes the files, stores its exit status
// in *exitStatus and returns true: main then returns *exitStatus. Returns false in the process that runs
// with the wrappers (main goes on to run the tests), and also when the identity could not be set up
// (a message says why; tests that need accounts then skip).
bool RunWithTestIdentity(int argc, char** argv, const std::vector<TestAccount>& accounts, int* exitStatus);

// The identity directory of the running process (set by RunWithTestIdentity), empty without one.
std::string IdentityDir();

// True when the process runs as root (tests that switch identity need it and skip otherwise).
bool IsRoot();

// The wrappers, preloaded into every child of a test, may print their own complaints ("PWRAP_..." lines about
// each other's temporary folders) into a child's standard error when many processes start at once. Tests
// that compare a child's output exactly drop those lines first.
std::string StripWrapperNoise(const std::string& output);
std::wstring StripWrapperNoise(const std::wstring& output);

}  // namespace kestrel_test
