// The embedded service manager's registry: create, delete and list services.
//
// Layout (see docs/platform.md): a root folder ($CAIRN_SERVICE_ROOT, default /var/lib/cairn/services) with
// one folder per service key name. Each holds service.toml (exec = [...], optional user, optional
// display_name), and at run time "state" (pid and start time of the running process), "lock" (flock for
// start, stop and delete) and "service.log" (the service's output and the manager's notes about it).
// Starting, stopping and querying go through TernSCM / TernService.
//
// Names and texts are UTF-8. Every operation returns a CKestrelStatus (code 2 with a Windows-numbered
// error on failure), sets the thread's last error and traces its failures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "KestrelStatus.h"

// Service states (the Windows values).
enum : uint32_t {
    TERN_SERVICE_STOPPED = 1,
    TERN_SERVICE_START_PENDING = 2,
    TERN_SERVICE_STOP_PENDING = 3,
    TERN_SERVICE_RUNNING = 4,
};

// Errors of the service manager beyond those of LibError.h.
enum : uint32_t {
    TERN_ERROR_INVALID_DATA = 13,              // a service.toml or state file that cannot be read
    TERN_ERROR_SERVICE_LOGON_FAILED = 1069,    // the service's account is unknown or cannot be taken on
    TERN_ERROR_DUPLICATE_SERVICE_NAME = 1078,  // the display name is taken by another service
};

struct TernServiceConfig {
    std::string keyName;            // folder name: 1-256 bytes, no '/', not starting with '.'
    std::vector<std::string> exec;  // program (absolute, or looked up in PATH at start) and its arguments
    std::string user;               // account to run as; empty: the manager's own
    std::string displayName;        // empty: none
};

struct TernServiceStatus {
    uint32_t state = TERN_SERVICE_STOPPED;
    uint32_t pid = 0;  // 0 when stopped
};

struct TernServiceEntry {
    TernServiceConfig config;
    TernServiceStatus status;
};

class TernServiceRegistry {
  public:
    TernServiceRegistry() = delete;

    // The registry root: $CAIRN_SERVICE_ROOT when set and not empty, else /var/lib/cairn/services.
    static std::string Root();
    // true when name can be a key name (1-256 bytes, no '/' or NUL, not starting with '.').
    static bool IsValidKeyName(const std::string& name);

    // Registers a stopped service. Failure: 123 for an invalid key name, 160 for an empty exec, 1073 when
    // the key name exists, 1078 when the display name or key name clashes with another service's names,
    // or the mapped errno of the file system.
    static CKestrelStatus Create(const TernServiceConfig& config);
    // Removes a stopped service with its folder (and log). Failure: 1060 when unknown, 1056 while its
    // process runs, or the mapped errno.
    static CKestrelStatus Delete(const std::string& keyName);
    // Reads a service's configuration. Failure: 1060 when unknown, 13 when service.toml cannot be parsed.
    static CKestrelStatus GetConfig(const std::string& keyName, TernServiceConfig& config);
    // Every service with its status, sorted by key name (services whose service.toml cannot be read are
    // skipped). A missing root gives an empty list.
    static CKestrelStatus List(std::vector<TernServiceEntry>& services);
};
