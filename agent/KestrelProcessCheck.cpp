// The process-level check: which of the instance's processes run, from the instance's directories, under
// the SAP accounts.
#include <algorithm>
#include <string>

#include "Kestrel.h"
#include "KestrelDecisions.h"
#include "KestrelInstanceWalk.h"
#include "KestrelLog.h"
#include "KestrelSteps.h"
#include "KestrelUtil.h"
#include "LibClock.h"
#include "LibError.h"
#include "LibLogger.h"
#include "LibProcess.h"
#include "LibProcessList.h"
#include "LibWide.h"

using namespace kestrel_steps;

namespace {

using P = KestrelProgram;
constexpr uint32_t kRecheckSleepMs = 5000;
constexpr int64_t kLauncherRecheckMinMs = 20000;
constexpr int64_t kJcontrolRecheckMinMs = 25000;
constexpr int64_t kNotEnoughTimeMs = 5000;

bool Listed(const std::vector<std::wstring>& procMon, P program) {
    return std::any_of(procMon.begin(), procMon.end(), [program](const std::wstring& e) {
        return KestrelPrograms().Match(program, e) != nullptr;
    });
}

// The walk's lines carry the name of the check.
constexpr std::string_view kProcessStateName = "CKestrel::GetProcessState";

// The owner test of the ProcMon entries and of the instance-process test: true when the process is owned by
// SAPServiceUser or SAPAdmin in SAPAdminDomain.
bool OwnerMatches(CKestrelInstanceWalk& walk, TernProcess& process, const std::wstring& path) {
    const uint32_t pid = process.GetPid();
    std::wstring user;
    switch (walk.CheckOwner(process, path, user)) {
        case CKestrelInstanceWalk::Owner::kUnreadable:
            KESTREL_TRACE_AS(kProcessStateName,
                             L"Failed to get the user name for the process [%s] with PID [%d].", path, pid);
            return false;
        case CKestrelInstanceWalk::Owner::kOtherDomain:
            return false;
        case CKestrelInstanceWalk::Owner::kOtherUser:
            KESTREL_TRACE_AS(kProcessStateName,
                             L"User name [%s] didn't match for process [%s] with PID [%d].", user, path, pid);
            return false;
        case CKestrelInstanceWalk::Owner::kSapAccount:
            break;
    }
    KESTREL_TRACE_AS(kProcessStateName, L"Matched User name [%s] for process [%s] with PID [%d].", user, path,
                     pid);
    return true;
}

}  // namespace

void CKestrel::CountMatched(const std::wstring& entry, size_t rows, uint64_t& procCount) {
    for (size_t r = 0; r < rows; ++r) {
        // The images in their matching order; the region found through "SYS" uses the first eight.
        const P image = KestrelImageAt(r);
        const std::wstring* name = KestrelPrograms().Match(image, entry);
        if (name == nullptr) continue;
        // A second launcher process is matched but neither counted nor flagged.
        if (image == P::kJlaunch && Found(P::kJlaunch)) return;
        m_Found[r] = true;
        ++procCount;
        KESTREL_TRACE_AS(kProcessStateName, L"%s process found.", *name);
        return;
    }
}

void CKestrel::ClearFlags() {
    std::fill(std::begin(m_Found), std::end(m_Found), false);
}

CKestrelStatus CKestrel::GetProcessState(CKestrelAttrib& attrib, uint64_t& procCount, uint64_t& procmonCount,
                                         int32_t& arch) {
    CKestrelStatus status;
    status.Clear();
    ClearFlags();
    TERN_TRACE(L"Checking for the existence of processes listed in the ProcMon.");
    TernProcessList list;
    CKestrelStatus st = OpenProcessList(TERN_FUNC, 20130, list);
    if (st.IsFailure()) return st;

    std::vector<std::wstring>& procMon = attrib.GetProcMon();
    arch = CKestrelUtil::FindSAPArch(procMon);
    const bool java = arch == KARCH_JAVA || arch == KARCH_ADDIN;
    if (arch == KARCH_ABAP) {
        TERN_TRACE(L"This is ABAP Instance.");
    } else if (java) {
        TERN_TRACE(L"This is Java/Add-In instance. Pushing %s onto ProcMon.",
                   KestrelProgramName(P::kJlaunch));
    }
    CKestrelLauncherEntry launcher(procMon, java);  // removed again when the walk ends
    procCount = 0;
    procmonCount = procMon.size();
    TERN_TRACE(L"Got ProcMon size [%d].", static_cast<int32_t>(procmonCount));

    // Every process's path is read cheaply by PID; only a process whose path lies in the instance's
    // directories is opened, its path read again through the pidfd and its owner read from that process.
    CKestrelInstanceWalk walk(attrib, TERN_FUNC);
    std::wstring path;
    uint32_t pid = 0;
    TernProcess process;
    while (walk.Next(list, true, pid, path, process, st)) {
        bool matched = false;
        for (const std::wstring& entry : procMon) {
            if (!walk.RegionHas(path, entry)) continue;
            TERN_TRACE(L"Found ProcMon [%s] in the exe name [%s]", entry, path);
            if (!OwnerMatches(walk, process, path)) continue;
            matched = true;
            CountMatched(entry, walk.Rows(), procCount);
            break;
        }
        if (!matched && OwnerMatches(walk, process, path)) m_Found[kInstanceProcessFlag] = true;
    }
    if (st.GetCode() == CKestrelStatus::kPlatform && st.GetError() == TERN_ERROR_NO_MORE_FILES) {
        TERN_TRACE(L"Got [%d] process[es] from process table matching ProcMon.",
                   static_cast<int32_t>(procCount));
    } else {
        KESTREL_TRACE_RETURNED(L"TernInstProcessList::GetFirst or GetNext", st);
        TERN_TRACE(L"Failed to get the processes from the process list.");
    }
    list.Close();
    m_procCount = procCount;
    m_procmonCount = procmonCount;
    return status;
}

// The rechecks are steps of GetResourceState: their trace lines carry its name.
constexpr std::string_view kResourceStateName = "CKestrel::GetResourceState";
#define RECHECK_TRACE(format, ...) \
    TernLogger().Trace(__FILE__, __LINE__, kResourceStateName, format __VA_OPT__(, ) __VA_ARGS__)

bool CKestrel::RecheckPass(CKestrelAttrib& attrib, uint32_t& state, const wchar_t* awaited, bool addIn,
                           uint32_t& facts, CKestrelStatus& st) {
    RECHECK_TRACE(L"Sleeping for [5]secs before rechecking for %s.", awaited);
    TernSleep(kRecheckSleepMs);
    uint64_t procCount = 0, procmonCount = 0;
    int32_t arch = 0;
    st = WalkForState(attrib, procCount, procmonCount, arch);
    if (st.IsFailure()) return true;
    facts = Facts(procCount, procmonCount, true);
    if (!KestrelLauncherRecheckUp(facts, addIn)) return false;
    RECHECK_TRACE(L"All the processes in the ProcMon are Running.");
    state = KSTATE_ONLINE;
    return true;
}

// After the last recheck pass: less than the minimum left is a verdict of its own.
static bool OutOfRecheckTime(int64_t remaining, const std::wstring& line, uint32_t& state) {
    if (remaining >= kNotEnoughTimeMs) return false;
    RECHECK_TRACE(L"%s", line);
    state = KSTATE_OFFLINE;
    return true;
}

CKestrelStatus CKestrel::WalkForState(CKestrelAttrib& attrib, uint64_t& procCount, uint64_t& procmonCount,
                                      int32_t& arch) {
    CKestrelStatus st = GetProcessState(attrib, procCount, procmonCount, arch);
    if (st.IsFailure()) {
        KESTREL_TRACE_RETURNED_AS(kResourceStateName, L"CKestrel::GetProcessState", st);
        RECHECK_TRACE(L"GetProcessState failed.");
        return st;
    }
    RECHECK_TRACE(L"Got procCount[%d] and procmonCount[%d] from GetProcessState.",
                  static_cast<int32_t>(procCount), static_cast<int32_t>(procmonCount));
    return st;
}

uint32_t CKestrel::Facts(uint64_t procCount, uint64_t procmonCount, bool optionalOk) const {
    struct Bit {
        P image;
        uint32_t fact;
    };
    constexpr Bit kBits[] = {{P::kDispWork, KFACT_DISP_WORK}, {P::kJcontrol, KFACT_JCONTROL},
                             {P::kJlaunch, KFACT_JLAUNCH},    {P::kMsgServer, KFACT_MSG_SERVER},
                             {P::kEnserver, KFACT_ENSERVER},  {P::kEnrepserver, KFACT_ENREPSERVER}};
    uint32_t facts = FoundInstanceProcess() ? static_cast<uint32_t>(KFACT_INSTANCE_PROCESS) : 0u;
    for (const Bit& b : kBits)
        if (Found(b.image)) facts |= b.fact;
    if (procCount >= procmonCount) facts |= KFACT_ALL_COUNTED;
    if (m_CurrentEP == KCUR_ONLINE || m_CurrentEP == KCUR_OFFLINE) facts |= KFACT_LAUNCHING;
    if (optionalOk) facts |= KFACT_OPTIONAL_OK;
    return facts;
}

CKestrelStatus CKestrel::RecheckLauncher(CKestrelAttrib& attrib, uint32_t& state,
                                         const CKestrelBudget& budget, bool addIn, bool& outOfTime) {
    int64_t remaining = budget.RemainingMs();
    while (remaining > kLauncherRecheckMinMs && m_CurrentEP == KCUR_MONITOR) {
        uint32_t facts = 0;
        CKestrelStatus st;
        if (RecheckPass(attrib, state, KestrelProgramName(P::kJlaunch).c_str(), addIn, facts, st)) return st;
        RECHECK_TRACE(L"Some of the critical processes are NOT Running.");
        state = KSTATE_OFFLINE;
        remaining = static_cast<int64_t>(budget.RemainingMs()) - kRecheckSleepMs;
    }
    outOfTime = OutOfRecheckTime(
        remaining, TernFormat(L"Not enough time to recheck for %s.", KestrelProgramName(P::kJlaunch)), state);
    return Succeeded();
}

CKestrelStatus CKestrel::RecheckJcontrol(CKestrelAttrib& attrib, uint32_t& state,
                                         const CKestrelBudget& budget) {
    int64_t remaining = budget.RemainingMs();
    while (remaining > kJcontrolRecheckMinMs && m_CurrentEP == KCUR_MONITOR) {
        uint32_t facts = 0;
        CKestrelStatus st;
        if (RecheckPass(attrib, state, KestrelProgramName(P::kJcontrol).c_str(), true, facts, st)) return st;
        if (KestrelJcontrolRecheckNeedsLauncher(facts)) {
            RECHECK_TRACE(L"All the processes in the ProcMon are Running. But no %s is Running.",
                          KestrelProgramName(P::kJlaunch));
            bool outOfTime = false;
            st = RecheckLauncher(attrib, state, budget, true, outOfTime);
            if (st.IsFailure() || outOfTime) return st;
        } else {
            RECHECK_TRACE(L"Some of the critical processes are NOT Running.");
            state = KSTATE_OFFLINE;
        }
        remaining = static_cast<int64_t>(budget.RemainingMs()) - kRecheckSleepMs;
    }
    OutOfRecheckTime(remaining,
                     TernFormat(L"Not enough time to recheck for %s.", KestrelProgramName(P::kJcontrol)),
                     state);
    return Succeeded();
}

namespace {

// The verdict lines, in the order of KestrelProcessLine; a %s is the program the line names.
struct ProcessLine {
    const wchar_t* text;
    P program;
};
constexpr ProcessLine kProcessLines[] = {
    {L"All the processes in the ProcMon are Running.", P::kCount},
    {L"All the processes in the ProcMon are Running. But no %s is Running.", P::kJlaunch},
    {L"%s process in the ProcMon is NOT Running.", P::kJcontrol},
    {L"%s is NOT Running.", P::kJcontrol},
    {L"Some of the SAP Instance processes are Running.", P::kCount},
    {L"Some/All of the processes in the ProcMon are NOT Running.", P::kCount},
    {L"Some/All the processes in the ProcMon are NOT Running.", P::kCount},
    {L"Some of the processes listed in ProcMon are NOT Running.", P::kCount},
    {L"Some of the processes listed in the ProcMon are NOT Running.", P::kCount},
    {L"Resource State is Unknown.", P::kCount},
    {L"Invalid SAP Instance.", P::kCount},
};
static_assert(std::size(kProcessLines) == static_cast<size_t>(KestrelProcessLine::kInvalidInstance) + 1);

// The optional processes in their order: bit and program.
struct Optional {
    uint32_t bit;
    P program;
};
constexpr Optional kOptionals[] = {{KOPT_IGSWD, P::kIgswd}, {KOPT_GWRD, P::kGwrd}, {KOPT_ICMAN, P::kIcman}};

}  // namespace

CKestrelStatus CKestrel::GetResourceState(CKestrelAttrib& attrib, uint32_t& state, uint32_t timeinhand) {
    const CKestrelBudget budget(timeinhand);
    CKestrelStatus status;
    status.Clear();
    ClearFlags();
    uint32_t listed = 0;
    for (const Optional& o : kOptionals)
        if (Listed(attrib.GetProcMon(), o.program)) listed |= o.bit;

    uint64_t procCount = 0, procmonCount = 0;
    int32_t arch = 0;
    CKestrelStatus st = WalkForState(attrib, procCount, procmonCount, arch);
    if (st.IsFailure()) return st;

    const KestrelProcessTable& table = KestrelProcessTableFor(arch, attrib.GetInstTypeKind());
    if (table.header == KestrelProcessHeader::kArchAbap) TERN_TRACE(L"Architecture is ABAP.");
    if (table.header == KestrelProcessHeader::kArchJava) TERN_TRACE(L"Architecture is Java.");
    if (table.header == KestrelProcessHeader::kArchAddIn) TERN_TRACE(L"Architecture is Add-In.");
    if (!table.applies) return status;
    uint32_t found = 0;
    for (const Optional& o : kOptionals)
        if (Found(o.program)) found |= o.bit;
    const uint32_t missing = KestrelMissingOptionals(table.optionalCount, listed, found);
    for (const Optional& o : kOptionals)
        if (missing & o.bit)
            TERN_TRACE(L"%s process is defined in the ProcMon but NOT Running.",
                       KestrelProgramName(o.program));
    if (table.header == KestrelProcessHeader::kInstanceType)
        TERN_TRACE(L"The instance type is [%s].", attrib.GetInstType());
    if (table.header == KestrelProcessHeader::kInstanceIs)
        TERN_TRACE(L"The instance is [%s].", attrib.GetInstType());

    const KestrelProcessRow& row =
        KestrelMatchProcessRow(table, Facts(procCount, procmonCount, missing == 0));
    const ProcessLine& line = kProcessLines[static_cast<size_t>(row.line)];
    if (line.program == P::kCount) {
        TERN_TRACE(L"%s", line.text);
    } else {
        std::wstring text;
        const tern_fmt::Arg name[] = {tern_fmt::MakeArg(KestrelProgramName(line.program))};
        tern_fmt::FormatV(text, line.text, name, 1);
        TERN_TRACE(L"%s", text);
    }
    bool outOfTime = false;
    switch (row.action) {
        case KestrelProcessAction::kSet:
            state = row.state;
            return status;
        case KestrelProcessAction::kRecheckLauncher:
            return RecheckLauncher(attrib, state, budget, false, outOfTime);
        case KestrelProcessAction::kRecheckLauncherAddIn:
            return RecheckLauncher(attrib, state, budget, true, outOfTime);
        case KestrelProcessAction::kRecheckJcontrol:
            return RecheckJcontrol(attrib, state, budget);
    }
    return status;
}
