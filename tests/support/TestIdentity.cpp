#include "TestIdentity.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

namespace kestrel_test {
namespace {

constexpr const char* kMatrixModule = "/usr/lib/x86_64-linux-gnu/pam_wrapper/pam_matrix.so";
constexpr const char* kDenyModule = "/usr/lib/x86_64-linux-gnu/security/pam_deny.so";
constexpr const char* kIdentityDirVar = "KESTREL_TEST_IDENTITY_DIR";

}  // namespace

std::unique_ptr<TestIdentity> TestIdentity::Create(const std::vector<TestAccount>& accounts,
                                                   std::string* error) {
    // Readable by the test accounts: processes that run as them read these files through the wrappers.
    std::unique_ptr<TestIdentity> identity(new TestIdentity());
    const std::string& dir = identity->dir_.Path();
    if (dir.empty()) {
        if (error) *error = "cannot make a temporary directory: " + std::string(strerror(errno));
        return nullptr;
    }
    std::filesystem::create_directories(dir + "/home");
    chmod((dir + "/home").c_str(), 0755);
    std::filesystem::create_directories(dir + "/pam.d");

    std::string passwd = "root:x:0:0:root:/root:/bin/bash\n";
    std::string group = "root:x:0:\n";
    std::set<uint32_t> groups{0};
    if (getuid() != 0) {
        passwd += "self:x:" + std::to_string(getuid()) + ":" + std::to_string(getgid()) + "::/tmp:/bin/sh\n";
        group += "selfgrp:x:" + std::to_string(getgid()) + ":\n";
        groups.insert(getgid());
    }
    std::string passdb;
    for (const TestAccount& a : accounts) {
        std::string home = a.home.empty() ? dir + "/home/" + std::to_string(a.uid) : a.home;
        if (a.home.empty()) {
            std::filesystem::create_directories(home);
            if (getuid() == 0 && chown(home.c_str(), a.uid, a.gid) != 0) {
                if (error) *error = "chown of " + home + " failed";
                return nullptr;
            }
        }
        passwd += a.name + ":x:" + std::to_string(a.uid) + ":" + std::to_string(a.gid) +
                  ":test account:" + home + ":" + a.shell + "\n";
        if (groups.insert(a.gid).second)
            group += "tgrp" + std::to_string(a.gid) + ":x:" + std::to_string(a.gid) + ":\n";
        passdb += a.name + ":" + a.password + ":kestrel\n";
    }
    std::string service = "auth required " + std::string(kMatrixModule) + " passdb=" + dir + "/passdb\n" +
                          "account required " + std::string(kMatrixModule) + " passdb=" + dir + "/passdb\n";
    // Every other service is refused (PAM also complains at each start when "other" is missing).
    std::string other =
        "auth required " + std::string(kDenyModule) + "\naccount required " + kDenyModule + "\n";
    if (!WriteFile(dir + "/passwd", passwd, 0644) || !WriteFile(dir + "/group", group, 0644) ||
        !WriteFile(dir + "/passdb", passdb, 0600) || !WriteFile(dir + "/pam.d/kestrel", service, 0644) ||
        !WriteFile(dir + "/pam.d/other", other, 0644)) {
        if (error) *error = "cannot write the identity files in " + dir;
        return nullptr;
    }
    return identity;
}

std::vector<std::string> TestIdentity::Environment() const {
    const std::string& dir = Dir();
    return {
        "LD_PRELOAD=libnss_wrapper.so:libpam_wrapper.so", "NSS_WRAPPER_PASSWD=" + dir + "/passwd",
        "NSS_WRAPPER_GROUP=" + dir + "/group", "PAM_WRAPPER=1", "PAM_WRAPPER_SERVICE_DIR=" + dir + "/pam.d",
        std::string(kIdentityDirVar) + "=" + dir,
        // Sanitizer runtimes insist on coming first in the library list (the wrappers come first here) and
        // refuse the RTLD_DEEPBIND the wrappers load libc with by default.
        "ASAN_OPTIONS=verify_asan_link_order=0", "NSS_WRAPPER_DISABLE_DEEPBIND=1",
        "PAM_WRAPPER_DISABLE_DEEPBIND=1",
        "UID_WRAPPER_DISABLE_DEEPBIND=1",  // the name pam_wrapper 1.1.4 reads for its own switch
    };
}

bool IdentityWrappersActive() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libnss_wrapper") && std::strstr(preload, "libpam_wrapper") &&
           std::getenv("NSS_WRAPPER_PASSWD") && std::getenv("PAM_WRAPPER_SERVICE_DIR");
}

std::string IdentityDir() {
    const char* dir = std::getenv(kIdentityDirVar);
    return dir ? dir : "";
}

bool IsRoot() {
    return geteuid() == 0;
}

bool RunWithTestIdentity(int argc, char** argv, const std::vector<TestAccount>& accounts, int* exitStatus) {
    if (IdentityWrappersActive()) {
        // The PAM wrapper read PAM_WRAPPER when it was loaded and keeps working in this process. Its children
        // need no PAM, and each one that inherited the variable would set up (and, when killed early, leak) a
        // folder of its own under /tmp, racing the others for a small number of slots.
        unsetenv("PAM_WRAPPER");
        return false;
    }
    std::string error;
    std::unique_ptr<TestIdentity> identity = TestIdentity::Create(accounts, &error);
    if (!identity) {
        std::fprintf(stderr, "test identity unavailable (%s); tests that need accounts will skip\n",
                     error.c_str());
        return false;
    }
    std::vector<std::string> env = EnvironmentWith(identity->Environment());
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<char*> args(argv, argv + argc);
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        return false;
    }
    if (pid == 0) {
        execve("/proc/self/exe", args.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

namespace {
template <class S>
S StripLines(const S& output, const S& prefix1, const S& prefix2) {
    S kept;
    for (size_t pos = 0, next; pos < output.size(); pos = next) {
        next = std::min(output.find('\n', pos), output.size() - 1) + 1;
        const S line = output.substr(pos, next - pos);
        if (line.rfind(prefix1, 0) != 0 && line.rfind(prefix2, 0) != 0) kept += line;
    }
    return kept;
}
}  // namespace

std::string StripWrapperNoise(const std::string& output) {
    return StripLines<std::string>(output, "PWRAP_", "NWRAP_");
}
std::wstring StripWrapperNoise(const std::wstring& output) {
    return StripLines<std::wstring>(output, L"PWRAP_", L"NWRAP_");
}

}  // namespace kestrel_test
