// The host extensions: Validate (Online's attribute checks without acting) and Remains (what of the
// instance is left on the node). Hosts outside the cluster use them: "cairnagent validate" and the OCF
// adapter's validate-all, start, stop and monitor. Both reuse the checks the entry points make, so a verdict
// here is the one Online or Clean would reach.
#include "KestrelQuery.h"

#include <string>

#include "CairnAgfw.h"
#include "Kestrel.h"
#include "KestrelAttrib.h"
#include "KestrelInstanceWalk.h"
#include "KestrelLog.h"
#include "KestrelPrograms.h"
#include "KestrelSteps.h"
#include "KestrelUtil.h"
#include "LibError.h"
#include "LibLogger.h"
#include "LibLogon.h"
#include "LibProcess.h"
#include "LibProcessList.h"
#include "LibSCM.h"
#include "LibService.h"

using namespace kestrel_steps;

namespace {

constexpr uint32_t kErrorInvalidData = 160;  // what every rejected attribute value carries
constexpr uint32_t kErrorNotFound = 1168;    // the cluster has no resource of that name (EnqSrvResName)
constexpr uint32_t kNodeLevel = 10;

// Begins and ends the calling thread's trace queue around one extension call; the queue is dumped when the
// call failed, as the entry points do.
class CallScope {
  public:
    CallScope() { TernLogger().BeginThread(); }
    ~CallScope() {
        if (failed) TernLogger().Dump();
        TernLogger().EndThread();
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
    bool failed = false;

    // Reads the arguments under an entry point's rules and logs them. false (the call marked failed) when
    // they do not pass.
    bool Parse(CKestrelAttrib& attrib, int32_t entryPoint, const char* resourceName, CairnArgVector args,
               CKestrelStatus& status) {
        attrib.Parse(status, entryPoint, resourceName, args, true);
        attrib.LogArgs();
        failed = status.IsFailure();
        return !failed;
    }

  private:
    TernLogonReuseScope logonReuse_;  // one PAM log-on per account for the whole call
};

}  // namespace

// Every SAP-account process whose image lies in the instance (what Clean's Kill would end) is counted.
static CKestrelStatus CountInstanceProcesses(CKestrelAttrib& attrib, uint32_t& count) {
    count = 0;
    TernProcessList list;
    CKestrelStatus st = list.Open();
    if (st.IsFailure()) {
        KESTREL_TRACE_RETURNED(L"TernProcessList::Open", st);
        return st;
    }
    CKestrelInstanceWalk walk(attrib, TERN_FUNC);
    std::wstring path;
    uint32_t pid = 0;
    TernProcess process;
    while (walk.Next(list, false, pid, path, process, st)) {
        std::wstring user;
        if (walk.CheckOwner(process, path, user) != CKestrelInstanceWalk::Owner::kSapAccount) continue;
        TERN_TRACE(L"Process [%s] with PID [%d] of the instance is running.", path, pid);
        ++count;
    }
    list.Close();
    return Succeeded();  // the walk ends at the list's end (error 18)
}

// running = the service is in any state but stopped; a service that does not exist is not running.
static CKestrelStatus IsServiceLeft(const std::wstring& name, bool& running) {
    running = false;
    TernService service;
    CKestrelStatus st = service.Open(name.c_str(), TernService::kAllAccess, nullptr, TernSCM::kAllAccess);
    if (st.IsFailure()) {
        KESTREL_TRACE_RETURNED(L"TernService::Open", st);
        if (st.GetError() == TERN_ERROR_SERVICE_DOES_NOT_EXIST) st.Clear();
        return st;
    }
    TernServiceStatus state;
    st = service.QueryStatus(state);
    if (st.IsFailure()) {
        KESTREL_TRACE_RETURNED(L"TernService::QueryStatus", st);
        return st;
    }
    running = state.state != TERN_SERVICE_STOPPED;
    TERN_TRACE(L"Service [%s] is in state [%d].", name, static_cast<int32_t>(state.state));
    return st;
}

static uint32_t KestrelValidate(const char* resourceName, CairnArgVector args, uint32_t level) {
    CallScope scope;
    TERN_TRACE(L"Validating the arguments for Online without acting (level [%d]).", level);
    CKestrelStatus status;
    CKestrelAttrib values;
    if (!scope.Parse(values, KEP_VALIDATE, resourceName, args, status)) {
        const uint32_t error = status.GetError();
        return error == kErrorInvalidData || error == kErrorNotFound ? kCairnValidateNotConfigured
                                                                     : kCairnValidateFailed;
    }
    if (level < kNodeLevel) return kCairnValidateOk;

    // The node: the same checks as Online's validation, then the program Online starts with.
    CKestrelAttrib node;
    node.Parse(status, KEP_ONLINE, resourceName, args, true);
    if (status.IsFailure()) {
        scope.failed = true;
        return kCairnValidateNotInstalled;
    }
    const std::wstring startPath = JoinPath(node.GetSAPHome(), KestrelProgramName(KestrelProgram::kStartsap));
    const Note missing{KSEV_ERROR, 20187, TernFormat(L"SAP Start command [%s] does NOT exist.", startPath)};
    const Note failed{KSEV_ERROR, 20188,
                      TernFormat(L"Failed to find the SAP start command [%s].", startPath)};
    switch (CheckToolFile(TERN_FUNC, startPath, status, failed, missing)) {
        case FileCheck::kThere:
            TERN_TRACE(L"Arguments validated successfully for Online on this node.");
            return kCairnValidateOk;
        case FileCheck::kMissing:
            scope.failed = true;
            return kCairnValidateNotInstalled;
        case FileCheck::kCheckFailed:
            break;
    }
    scope.failed = true;
    return kCairnValidateFailed;
}

static uint32_t KestrelRemains(const char* resourceName, CairnArgVector args) {
    CallScope scope;
    TERN_TRACE(L"Looking for what is left of the instance.");
    CKestrelStatus status;
    CKestrelAttrib attrib;
    // Clean's rules: the ones that name the instance's processes and accounts.
    if (!scope.Parse(attrib, KEP_CLEAN, resourceName, args, status)) return kCairnRemainsUnknown;
    uint32_t left = 0;
    uint32_t count = 0;
    CKestrelStatus st = CountInstanceProcesses(attrib, count);
    if (st.IsFailure()) left |= kCairnRemainsUnknown;
    if (count > 0) left |= kCairnRemainsProcesses;
    bool running = false;
    st = IsServiceLeft(attrib.GetServiceName(), running);
    if (st.IsFailure()) left |= kCairnRemainsUnknown;
    if (running) left |= kCairnRemainsService;
    TERN_TRACE(L"Got [%d] process(es) of the instance; the service is %s.", static_cast<int32_t>(count),
               std::wstring(running ? L"not stopped" : L"stopped"));
    scope.failed = (left & kCairnRemainsUnknown) != 0;
    return left;
}

void KestrelRegisterExtensions() {
    void* table[kCairnEPSlots] = {};
    table[0] = reinterpret_cast<void*>(&KestrelValidate);
    table[1] = reinterpret_cast<void*>(&KestrelRemains);
    CairnAgRegisterEPStruct(kCairnEPExtensions, table);
}
