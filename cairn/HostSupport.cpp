// What every host program of the agent shares beside the commands: the trust checks of the state
// directories, the locale, the names of validation verdicts (cairnagent and kestrel-ocf).
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CairnAgfw.h"
#include "HostCommands.h"
#include "LibSafeFile.h"

namespace cairn::host {

// Why a directory of the host's state cannot be trusted (empty when it can, or when it does not exist yet:
// the host then creates it itself, with a mode of its own).
std::string UnsafeDirectory(const std::string& path) {
    bool missing = false;
    std::string problem = TernUnsafeOwnership(path, &missing);
    return missing ? std::string() : problem;
}

// The same for the service registry ($CAIRN_SERVICE_ROOT), as one line naming it.
std::string UnsafeRegistry() {
    const char* root = getenv("CAIRN_SERVICE_ROOT");
    if (root == nullptr || *root == '\0') return {};
    std::string problem = UnsafeDirectory(root);
    return problem.empty() ? problem
                           : std::string("service registry ") + root + " is " + problem + "; it is not used";
}

const char* ValidationVerdictName(uint32_t verdict) {
    switch (verdict) {
        case kCairnValidateOk:
            return "VALID";
        case kCairnValidateNotConfigured:
            return "NOT_CONFIGURED";
        case kCairnValidateNotInstalled:
            return "NOT_INSTALLED";
        default:
            return "CHECK_FAILED";
    }
}

void UseUserLocale() {
    const char* locale = setlocale(LC_ALL, "");
    if (locale == nullptr || strcmp(locale, "C") == 0 || strcmp(locale, "POSIX") == 0)
        setlocale(LC_ALL, "C.UTF-8");
}

}  // namespace cairn::host
