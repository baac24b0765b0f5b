// Internal: the embedded service manager's operations on one service folder. Shared by TernSCM,
// TernService and TernServiceRegistry; not part of the library's interface.
#pragma once

#include <string>
#include <vector>

#include "KestrelStatus.h"
#include "LibServiceRegistry.h"

namespace tern_svc {

// Opens the registry root as a directory descriptor (created when create is set and it is missing).
// -1 with errno on failure.
int OpenRoot(bool create);
// Opens the folder of key name keyName under rootFd. Failure: 123 for an invalid name, 1060 when there is
// no such service.
CKestrelStatus OpenServiceDir(int rootFd, const std::string& keyName, int& dirFd);
// Reads and checks service.toml of the folder. Failure: 1060 when it is missing, 13 when it is damaged
// (why tells what is wrong).
CKestrelStatus ReadConfig(int dirFd, TernServiceConfig& config, std::string& why);
// Current state of the service (no lock needed: the state file is replaced atomically).
CKestrelStatus Query(int dirFd, TernServiceStatus& status);
// Launches the service's program detached, with extraArgs appended; see TernService::Start.
CKestrelStatus Start(int dirFd, const std::string& keyName, const std::vector<std::string>& extraArgs);
// Sends SIGTERM to the service's process group and marks it stopping; success when it is stopped already.
CKestrelStatus Stop(int dirFd);

}  // namespace tern_svc
