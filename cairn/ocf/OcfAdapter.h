// The OCF adapter's logic apart from running the agent: reading an action's request from the environment
// Pacemaker sets, the action's time budget, the meta-data, and how the agent's answers become OCF exit codes.
// Nothing here loads the agent, so each piece can be checked on its own.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "HostAgent.h"
#include "HostConfig.h"

namespace cairn::ocf {

// OCF exit codes.
enum OcfExit : int {
    kOcfSuccess = 0,
    kOcfErrGeneric = 1,
    kOcfErrArgs = 2,
    kOcfErrUnimplemented = 3,
    kOcfErrInstalled = 5,
    kOcfErrConfigured = 6,
    kOcfNotRunning = 7,
};

// Looks up an environment variable: its value, or null when it is not set.
using Environment = std::function<const char*(const char* name)>;

// Defaults of the adapter's own parameters.
inline constexpr const char* kDefaultStateDir = "/var/lib/kestrel";
inline constexpr const char* kDefaultLogDir = "/var/log/kestrel";
// The operation's time-out when Pacemaker gives none, and what the adapter keeps of it for itself.
inline constexpr uint64_t kDefaultTimeoutMs = 20000;
inline constexpr uint64_t kMarginMs = 2000;

// What one run of the adapter is asked to do, from OCF_RESKEY_* and OCF_* variables.
struct Request {
    std::string resource;         // OCF_RESOURCE_INSTANCE without a clone suffix
    host::ResourceConfig config;  // the attributes that were given (others take the type's defaults)
    std::string stateDir = kDefaultStateDir;
    std::string logDir = kDefaultLogDir;
    std::set<uint32_t> debugTags;
    std::string serviceManager;              // embedded, systemd or auto; empty when not given
    uint64_t timeoutMs = kDefaultTimeoutMs;  // OCF_RESKEY_CRM_meta_timeout
    bool probe = true;                       // OCF_RESKEY_CRM_meta_interval absent or 0
    uint32_t checkLevel = 0;                 // OCF_CHECK_LEVEL
};

// Reads the request for the type's attributes. false with problem set (one line naming the parameter)
// when a parameter does not fit: an integer attribute that is no 32-bit number, a list of debug tags that
// are no numbers, a directory that is not absolute, an unknown service manager, a resource name that cannot
// be a file name.
bool ReadRequest(const host::TypeDefinition& type, const Environment& env, Request& out,
                 std::string& problem);

// The entries of a list parameter: separated by commas and blanks (spaces, tabs, line feeds); empty ones
// are dropped.
std::vector<std::string> SplitList(std::string_view text);

// A clone instance "name:N" names the resource "name".
std::string WithoutCloneSuffix(const std::string& instance);

// The OCF 1.0 meta-data of the type: parameters from its attributes, then the adapter's own, and the
// actions with time-outs that fit the type's entry-point time-outs.
std::string MetaData(const host::TypeDefinition& type);

// The time an action has: its time-out less the margin, from the moment it was made, on the agent's clock
// (TernNowMs, so that scaled test clocks agree with the agent's arithmetic).
class ActionBudget {
  public:
    ActionBudget(uint64_t timeoutMs, uint64_t nowMs, double timeScale);
    // Nominal milliseconds left at nowMs (0 once the deadline passed).
    uint64_t RemainingMs(uint64_t nowMs) const;
    // The entry-point time-out in whole seconds for a call made at nowMs that must leave keepMs for what
    // follows it (at most INT32_MAX).
    int32_t TimeoutSeconds(uint64_t nowMs, uint64_t keepMs = 0) const;
    // What a follow-up call with its own time-out of typeSeconds keeps back from the call before it: its
    // own time-out, but never more than a quarter of the whole budget.
    uint64_t Reserve(int32_t typeSeconds) const;

  private:
    uint64_t totalMs_;
    uint64_t deadline_;
};

// validate-all and start's checks: a validation verdict (CairnAgfw.h kCairnValidate*) as an exit code.
int MapValidation(uint32_t verdict);
// monitor: the Monitor entry point's state (0 offline, 1 online, 2 unknown) and, when it was not online,
// what Remains found (kCairnRemains* bits).
int MapMonitor(uint32_t state, uint32_t remains);
// stop: what Remains found after Offline (and Clean).
int MapStop(uint32_t remains);

// The first ERROR or CRITICAL message of the calls as "ID TEXT" (text up to its first line feed), or
// empty when there is none.
std::string FirstError(const std::vector<host::CallRecord>& calls);

}  // namespace cairn::ocf
