// kestrel-ocf: the OCF resource agent of the Kestrel type. Pacemaker runs it once per action; it loads the
// agent library as cairnagent does and maps the agent's answers to OCF exit codes (docs/pacemaker.md).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CairnAgfw.h"
#include "CairnHost.h"
#include "HostAgent.h"
#include "HostCommands.h"
#include "HostConfig.h"
#include "LibClock.h"
#include "OcfAdapter.h"
#include "OcfCib.h"

using namespace cairn;
using namespace cairn::ocf;

namespace {

constexpr const char* kUsage =
    "usage: Kestrel {start|stop|monitor|validate-all|meta-data|usage|help}\n"
    "The OCF resource agent of one SAP instance; parameters come as OCF_RESKEY_<name> (see meta-data).\n";
// How long the configuration may take to say whether a resource exists (real time).
constexpr uint64_t kCibLimitMs = 5000;

// The directory of this program with every link resolved: /usr/lib/ocf/resource.d/kestrel/Kestrel may be a
// link to it.
std::string ProgramDir() {
    char* path = realpath("/proc/self/exe", nullptr);
    if (path == nullptr) return {};
    std::string dir(path);
    free(path);
    return dir.substr(0, dir.find_last_of('/'));
}

// The type definition beside the agent: <dir>/../lib (build tree, bin/ installs), then
// <dir>/../../../kestrel (installed under lib/ocf/resource.d/kestrel).
std::string FindTypeDefinition(const std::string& dir, std::string& searched) {
    for (const char* relative : {"/../lib/", "/../../../kestrel/"}) {
        const std::string candidate = dir + relative + "Kestrel.type.toml";
        searched += (searched.empty() ? "" : ", ") + candidate;
        if (access(candidate.c_str(), R_OK) == 0) return candidate;
    }
    return {};
}

// Ends the action: the exit reason (one line) for every failure, then the code.
int Finish(int code, const std::string& reason) {
    if (code != kOcfSuccess && !reason.empty()) {
        const char* prefix = getenv("OCF_EXIT_REASON_PREFIX");
        fprintf(stderr, "%s%s\n",
                prefix != nullptr && *prefix != '\0' ? prefix : "ocf-exit-reason:", reason.c_str());
    }
    fflush(stderr);
    return code;
}

// One action against the loaded agent.
class Action {
  public:
    Action(host::LoadedAgent& agent, const host::TypeDefinition& type, const Request& request,
           const ActionBudget& budget)
        : agent_(agent),
          type_(type),
          request_(request),
          budget_(budget),
          args_(host::BuildArguments(type, request.config)) {}

    int ValidateAll() {
        const uint32_t verdict = Validate(request_.checkLevel >= 10 ? 10 : 0);
        return Done(MapValidation(verdict),
                    "validation: " + std::string(host::ValidationVerdictName(verdict)));
    }

    int Start() {
        const uint32_t verdict = Validate(10);
        if (verdict != kCairnValidateOk)
            return Done(MapValidation(verdict),
                        "validation: " + std::string(host::ValidationVerdictName(verdict)));
        Call(host::EntryPoint::Online, "OnlineTimeout", budget_.Reserve(TypeSeconds("MonitorTimeout")));
        const uint32_t state = Call(host::EntryPoint::Monitor, "MonitorTimeout", 0);
        return Done(state == 1 ? kOcfSuccess : kOcfErrGeneric,
                    std::string("the instance is ") + (state == 0 ? "offline" : "in an unknown state") +
                        " after the start");
    }

    int Stop() {
        Call(host::EntryPoint::Offline, "OfflineTimeout", budget_.Reserve(TypeSeconds("CleanTimeout")));
        uint32_t left = Remains();
        // Offline does nothing when the instance looks down, and leaves what it could not stop: Clean ends
        // the rest. When not even the instance's processes could be named, Clean could not either.
        if (left != 0 && (left & (kCairnRemainsProcesses | kCairnRemainsService)) != 0) {
            Call(host::EntryPoint::Clean, "CleanTimeout", 0);
            left = Remains();
        }
        return Done(MapStop(left), Left(left));
    }

    int Monitor() {
        // A probe on a node without anything of the instance needs no Monitor (and steps no countdown).
        if (request_.probe && Remains() == 0) return kOcfNotRunning;
        const uint32_t state = Call(host::EntryPoint::Monitor, "MonitorTimeout", 0);
        if (state == 1) return kOcfSuccess;
        const uint32_t left = Remains();
        const int code = MapMonitor(state, left);
        // Not running is an answer, not a failure, for a probe.
        if (code == kOcfNotRunning && request_.probe) return code;
        return Done(code, left == 0 ? "the instance is not running" : Left(left));
    }

  private:
    int32_t TypeSeconds(const char* name) const {
        auto found = type_.typeAttributes.find(name);
        return found == type_.typeAttributes.end() ? 0 : found->second;
    }

    // Calls an entry point with the time-out the budget leaves it (keeping keepMs for what follows).
    uint32_t Call(host::EntryPoint entryPoint, const char* timeoutName, uint64_t keepMs) {
        SetTypeAttribute(type_.name, timeoutName, budget_.TimeoutSeconds(TernNowMs(), keepMs));
        calls_.push_back(agent_.Call(entryPoint, request_.resource, args_));
        return calls_.back().result;
    }

    uint32_t Validate(uint32_t level) {
        SetTypeAttribute(type_.name, "OnlineTimeout", budget_.TimeoutSeconds(TernNowMs()));
        calls_.push_back(agent_.Call(host::Extension::Validate, request_.resource, args_, level));
        return calls_.back().result;
    }

    uint32_t Remains() {
        calls_.push_back(agent_.Call(host::Extension::Remains, request_.resource, args_));
        return calls_.back().result;
    }

    static std::string Left(uint32_t left) {
        if ((left & kCairnRemainsProcesses) != 0) return "processes of the instance are still running";
        if ((left & kCairnRemainsService) != 0) return "the instance's service is not stopped";
        return "what is left of the instance could not be looked at";
    }

    // The code, with the agent's first error as the reason (else the adapter's own words).
    int Done(int code, const std::string& fallback) {
        if (code == kOcfSuccess) return code;
        const std::string reason = FirstError(calls_);
        return Finish(code, reason.empty() ? fallback : reason);
    }

    host::LoadedAgent& agent_;
    const host::TypeDefinition& type_;
    const Request& request_;
    const ActionBudget& budget_;
    const std::vector<std::string> args_;
    std::vector<host::CallRecord> calls_;
};

}  // namespace

int main(int argc, char** argv) {
    const uint64_t startedMs = TernNowMs();
    host::UseUserLocale();
    const std::string action = argc >= 2 ? argv[1] : "";
    if (action == "usage" || action == "help") {
        fputs(kUsage, stdout);
        return kOcfSuccess;
    }
    if (action.empty() || argc > 2) {
        fputs(kUsage, stderr);
        return Finish(kOcfErrArgs, "exactly one action expected");
    }
    if (action != "meta-data" && action != "validate-all" && action != "start" && action != "stop" &&
        action != "monitor") {
        return Finish(kOcfErrUnimplemented, "action '" + action + "' is not implemented");
    }

    std::string searched;
    const std::string definition = FindTypeDefinition(ProgramDir(), searched);
    if (definition.empty())
        return Finish(kOcfErrInstalled, "no Kestrel.type.toml (looked at " + searched + ")");
    host::TypeDefinition type;
    std::string error;
    if (!host::LoadTypeDefinition(definition, type, error)) return Finish(kOcfErrInstalled, error);
    if (action == "meta-data") {
        fputs(MetaData(type).c_str(), stdout);
        return kOcfSuccess;
    }

    Request request;
    if (!ReadRequest(
            type, [](const char* name) { return getenv(name); }, request, error))
        return Finish(kOcfErrConfigured, error);
    if (!request.serviceManager.empty()) setenv("CAIRN_SERVICE_MANAGER", request.serviceManager.c_str(), 1);
    setenv("CAIRN_SERVICE_ROOT", (request.stateDir + "/services").c_str(), 0);
    // Services run as root and cookies steer the Monitor: directories other accounts could change are not
    // used.
    if (std::string problem = host::UnsafeDirectory(request.stateDir); !problem.empty())
        return Finish(kOcfErrGeneric,
                      "state_dir " + request.stateDir + " is " + problem + "; it is not used");
    if (std::string problem = host::UnsafeRegistry(); !problem.empty())
        return Finish(kOcfErrGeneric, problem);

    const ActionBudget budget(request.timeoutMs, startedMs, TernTimeScale());
    FrameworkSettings settings;
    settings.stateDir = request.stateDir;
    settings.logDir = request.logDir;
    settings.types[type.name] = TypeSettings{type.typeAttributes, request.debugTags};
    settings.resources[request.resource] = ResourceSettings{type.name};
    Configure(settings);
    SetResourceTypeResolver([&](const std::string& resource, std::string& problem) {
        const uint64_t left = TernRealMs(budget.RemainingMs(TernNowMs()));
        return CibResourceType(resource, type.name, std::min(left, kCibLimitMs), problem);
    });
#ifdef KESTREL_TEST_HOOKS
    if (!LoadFaultsFromEnvironment(&error)) return Finish(kOcfErrConfigured, error);
#endif

    std::unique_ptr<host::LoadedAgent> agent = host::LoadedAgent::Load(type, error);
    if (agent == nullptr) return Finish(kOcfErrInstalled, error);
    for (host::EntryPoint entryPoint : {host::EntryPoint::Online, host::EntryPoint::Offline,
                                        host::EntryPoint::Monitor, host::EntryPoint::Clean}) {
        if (!agent->Has(entryPoint))
            return Finish(kOcfErrInstalled,
                          type.library + ": no " + host::EntryPointName(entryPoint) + " entry point");
    }
    if (!agent->Has(host::Extension::Validate) || !agent->Has(host::Extension::Remains))
        return Finish(kOcfErrInstalled,
                      type.library + ": the agent offers no validation or look at what is left");

    Action run(*agent, type, request, budget);
    int code = kOcfErrUnimplemented;
    if (action == "validate-all") code = run.ValidateAll();
    if (action == "start") code = run.Start();
    if (action == "stop") code = run.Stop();
    if (action == "monitor") code = run.Monitor();
    agent->Unload();
    SetResourceTypeResolver(nullptr);
    return code;
}
