// Monitor and its three levels: processes and service, SAP's status tools, the user's monitor program.
#include <algorithm>
#include <climits>
#include <string>

#include "Kestrel.h"
#include "KestrelDecisions.h"
#include "KestrelLog.h"
#include "KestrelSteps.h"
#include "KestrelUtil.h"
#include "LibClock.h"
#include "LibError.h"
#include "LibFormat.h"
#include "LibLogger.h"
#include "LibWide.h"

using namespace kestrel_steps;

namespace {

// The steps below are parts of the second level: their lines carry its name.
constexpr std::string_view kSecond = "CKestrel::_SecondLevelMonitor";

// Where operators get the RFC status tool when it is missing.
std::wstring SapinfoDownloadHint() {
    return TernFormat(L"If you do not have %s please dowload SAP RFC SDK from https://support.sap.com/swdc.",
                      KestrelProgramName(KestrelProgram::kSapinfo));
}

// The ids of one tool's run failures: timed out, failed otherwise.
struct RunIds {
    uint32_t timedOut;
    uint32_t failed;
};

// The verdict line written after a second-level check that ran.
void SecondLevelResult(uint32_t state) {
    TraceByState(kSecond, state,
                 {L"Second Level Monitor returned Resource state as Online.",
                  L"Second Level Monitor returned Resource state as Offline.",
                  L"Second Level Monitor returned Resource state as Unknown.", false});
}

// SAPMonHome must name a directory. false: the level ends with status.
bool MonHomeOk(const std::wstring& monHome, CKestrelStatus& status) {
    if (monHome.empty()) {
        KESTREL_TRACE_LOG_AS(kSecond, KSEV_ERROR, 20075, L"SAPMonHome [%s] is null.", monHome);
        return false;
    }
    bool isDir = false;
    status = CKestrelUtil::IsDirectory(monHome, isDir);
    if (status.IsFailure()) {
        KESTREL_TRACE_RETURNED_AS(kSecond, L"CKestrelUtil::DoesExistDir", status);
        KESTREL_TRACE_AS(kSecond, L"Failed to get the status of Directory SAPMonHome [%s].", monHome);
        return false;
    }
    if (isDir) return true;
    status.Set(CKestrelStatus::kPlatform, TERN_ERROR_PATH_NOT_FOUND);
    KESTREL_TRACE_RETURNED_AS(kSecond, L"SAPMonHome directory NOT found.", status);
    KESTREL_TRACE_LOG_AS(kSecond, KSEV_ERROR, 20076, L"SAPMonHome [%s] directory does NOT exist.", monHome);
    return false;
}

// SAPHost, which sapinfo needs. false: the level ends with status.
bool HostOk(const std::wstring& host, CKestrelStatus& status) {
    if (host.empty()) {
        KESTREL_TRACE_LOG_AS(kSecond, KSEV_ERROR, 20077, L"SAPHost [%s] is NULL.", host);
        return false;
    }
    bool valid = false;
    CKestrelStatus st = CKestrelUtil::IsValidHostName(host, valid);
    if (st.IsFailure()) {
        KESTREL_TRACE_RETURNED_AS(kSecond, L"CKestrelUtil::IsValidHostName", st);
        KESTREL_TRACE_AS(kSecond, L"Failed to validate the SAPHost with name [%s].", host);
        status = st;
        return false;
    }
    if (valid) return true;
    KESTREL_TRACE_LOG_AS(kSecond, KSEV_ERROR, 20078, L"SAPHost name [%s] is NOT valid.", host);
    return false;
}

// InstProfile, which jcmon and ensmon need, as the administrator sees it. false: the level ends with status.
bool ProfileOk(CKestrelAttrib& attrib, CKestrelStatus& status) {
    const std::wstring& profile = attrib.GetInstProfile();
    if (profile.empty()) {
        KESTREL_TRACE_LOG_AS(kSecond, KSEV_ERROR, 20079, L"InstProfile [%s] is NULL.", profile);
        return false;
    }
    const CKestrelPassword password = attrib.GetSAPAdminPassword();
    bool exists = false;
    CKestrelStatus st = CKestrelUtil::DoesExistInstProfile(
        profile, attrib.GetSAPAdmin(), attrib.GetSAPAdminDomain(), password.Get(), exists);
    if (st.IsFailure()) {
        KESTREL_TRACE_RETURNED_AS(kSecond, L"CKestrelUtil::DoesExistFile.", st);
        KESTREL_LOG_TAG("CKestrel::_SecondLevelMonitor", KSEV_ERROR, 20080,
                        L"InstProfile [%s] does NOT exist.", profile);
        status = st;
        return false;
    }
    if (exists) return true;
    status.Set(CKestrelStatus::kPlatform, TERN_ERROR_BAD_ARGUMENTS);
    KESTREL_TRACE_AS(kSecond, L"InstProfile [%s] does NOT exist [%d, 0x%.08X].", profile, status.GetCode(),
                     status.GetError());
    KESTREL_TRACE_AS(kSecond, L"InstProfile [%s] is NOT valid.", profile);
    KESTREL_LOG_TAG("CKestrel::_SecondLevelMonitor", KSEV_ERROR, 20081, L"InstProfile [%s] does NOT exist.",
                    profile);
    return false;
}

// The path check of a tool, with the line of a check that could not run and missing for a missing tool.
FileCheck ToolFile(const std::wstring& tool, const std::wstring& path, CKestrelStatus& st,
                   const Note& missing = {}) {
    const Note failed{0, 0, TernFormat(L"Failed to find the status of %s [%s].", tool, path)};
    return CheckToolFile(kSecond, path, st, failed, missing);
}

std::wstring SapinfoPath(const CKestrelAttrib& attrib) {
    return JoinPath(attrib.GetSAPMonHome(), KestrelProgramName(KestrelProgram::kSapinfo));
}

std::wstring SapinfoCommand(const CKestrelAttrib& attrib) {
    return SapinfoPath(attrib) + L" ashost=" + attrib.GetSAPHost() + L" sysnr=" + attrib.GetInstNumber();
}

// Runs a monitoring tool within what is left of the budget; a failed run is traced and logged with ids.
CKestrelStatus RunLevelTool(CKestrel& agent, CKestrelAttrib& attrib, const std::wstring& command,
                            const CKestrelBudget& budget, RunIds ids, uint32_t& exitCode) {
    KESTREL_TRACE_AS(kSecond, L"Execute the command [%s] to find the status of SAP Instance.", command);
    CKestrelStatus run =
        agent._RunTool(attrib, command, attrib.GetSAPMonHome(), budget.RemainingMs(), exitCode);
    if (run.IsFailure()) {
        ReportFailure(kSecond, L"CKestrelUtil::CreateAndGetExitCode", run,
                      {KSEV_ERROR, ids.timedOut, TernFormat(L"The command [%s] timed out.", command)},
                      {KSEV_ERROR, ids.failed, TernFormat(L"Failed to execute the command [%s].", command)});
    }
    return run;
}

// Asks jcmon within what is left of the budget; a failure is traced with timedOutId and failedLine.
CKestrelStatus AskJcmon(CKestrel& agent, CKestrelAttrib& attrib, uint32_t& state,
                        const CKestrelBudget& budget, uint32_t timedOutId, const wchar_t* failedLine) {
    const std::wstring& jcmon = KestrelProgramName(KestrelProgram::kJcmon);
    KESTREL_TRACE_AS(kSecond, L"Run Second Level Monitor test(%s) for SAP Instance with InstProfile [%s].",
                     jcmon, attrib.GetInstProfile());
    CKestrelStatus st = agent._RunJcmonMonitorCheck(attrib, state, budget.RemainingMs());
    if (st.IsSuccess()) return st;
    KESTREL_TRACE_AS(kSecond, L"The %s command failed with error code [%d 0x%.08X].", jcmon, st.GetCode(),
                     st.GetError());
    if (st.GetError() == TERN_WAIT_TIMEOUT)
        KESTREL_TRACE_LOG_AS(kSecond, KSEV_ERROR, timedOutId, L"The %s command timed out.", jcmon);
    KESTREL_TRACE_AS(kSecond, L"%s", failedLine);
    return st;
}

// ABAP: sapinfo's exit code decides.
CKestrelStatus SapinfoLevel(CKestrel& agent, CKestrelAttrib& attrib, uint32_t& state,
                            const CKestrelBudget& budget) {
    const std::wstring& sapinfo = KestrelProgramName(KestrelProgram::kSapinfo);
    const std::wstring path = SapinfoPath(attrib);
    CKestrelStatus st;
    const FileCheck check = ToolFile(sapinfo, path, st);
    if (check == FileCheck::kMissing) {
        KESTREL_TRACE_AS(kSecond, L"%s command path [%s] does NOT exist. Please check the file location.",
                         sapinfo, path);
        KESTREL_TRACE_AS(kSecond, L"%s", SapinfoDownloadHint());
        KESTREL_LOG_TAG("CKestrel::_SecondLevelMonitor", KSEV_ERROR, 20082,
                        L"%s command path [%s] does NOT exist. Please check the file location.", sapinfo,
                        path);
        Message(kSecond, KSEV_INFO, 20083, SapinfoDownloadHint());
    }
    if (check != FileCheck::kThere) return st;
    uint32_t exitCode = 0;
    st = RunLevelTool(agent, attrib, SapinfoCommand(attrib), budget, {20084, 20085}, exitCode);
    if (st.IsFailure()) return st;
    agent._InterpretSapinfoExitCode(static_cast<int32_t>(exitCode), state, attrib.GetInstType());
    SecondLevelResult(state);
    return st;
}

// Java: jcmon's answer decides.
CKestrelStatus JcmonLevel(CKestrel& agent, CKestrelAttrib& attrib, uint32_t& state,
                          const CKestrelBudget& budget) {
    CKestrelStatus st =
        AskJcmon(agent, attrib, state, budget, 20086, L"SecondLevelMonitor for SAP Instance(Java) Failed.");
    if (st.IsSuccess()) SecondLevelResult(state);
    return st;
}

// Add-In: sapinfo, then (unless sapinfo said offline) jcmon; the two halves are combined.
CKestrelStatus AddInLevel(CKestrel& agent, CKestrelAttrib& attrib, uint32_t& state,
                          const CKestrelBudget& budget) {
    uint32_t abapHalf = KSTATE_UNKNOWN;
    uint32_t javaHalf = KSTATE_UNKNOWN;
    const std::wstring path = SapinfoPath(attrib);
    CKestrelStatus st;
    const std::wstring& sapinfo = KestrelProgramName(KestrelProgram::kSapinfo);
    ToolFile(sapinfo, path, st,
             {KSEV_ERROR, 20087, TernFormat(L"%s command path [%s] does NOT exist.", sapinfo, path)});
    uint32_t exitCode = 0;
    // Only a run that succeeded is interpreted; a failed one leaves the ABAP half unknown.
    if (RunLevelTool(agent, attrib, SapinfoCommand(attrib), budget, {20088, 20089}, exitCode).IsSuccess())
        agent._InterpretSapinfoExitCode(static_cast<int32_t>(exitCode), abapHalf, attrib.GetInstType());
    st.Clear();
    if (!KestrelAddInAsksJava(abapHalf)) {
        state = abapHalf;
        return st;
    }
    st = AskJcmon(agent, attrib, javaHalf, budget, 20090,
                  L"SecondLevelMonitor for SAP Instance(Add-In) Failed.");
    if (st.IsFailure()) return st;
    state = KestrelCombineAddIn(abapHalf, javaHalf);
    SecondLevelResult(state);
    return st;
}

// Standalone enqueue types: ensmon's exit code decides.
CKestrelStatus EnsmonLevel(CKestrel& agent, CKestrelAttrib& attrib, uint32_t& state,
                           const CKestrelBudget& budget) {
    const std::wstring& ensmon = KestrelProgramName(KestrelProgram::kEnsmon);
    const std::wstring path = JoinPath(attrib.GetSAPMonHome(), ensmon);
    const std::wstring command = path + L" pf=" + attrib.GetInstProfile() + L" 2";
    CKestrelStatus st;
    const Note missing{KSEV_ERROR, 20091, TernFormat(L"%s command path [%s] does NOT exist.", ensmon, path)};
    if (ToolFile(ensmon, path, st, missing) != FileCheck::kThere) return st;
    uint32_t exitCode = 0;
    st = RunLevelTool(agent, attrib, command, budget, {20092, 20093}, exitCode);
    if (st.IsFailure()) return st;
    agent._InterpretEnsmonExitCode(static_cast<int32_t>(exitCode), state, attrib.GetInstType());
    SecondLevelResult(state);
    return st;
}

}  // namespace

uint32_t CKestrel::BudgetMs(const CKestrelAttrib& attrib) {
    int64_t seconds = static_cast<int64_t>(attrib.GetTimeout()) - attrib.GetEPProgramTimeout();
    if (seconds <= 0) return 0;
    return static_cast<uint32_t>(std::min<int64_t>(seconds * 1000, UINT32_MAX - 1));
}

std::wstring CKestrel::SapRoot(const CKestrelAttrib& attrib, bool& sidFound) {
    const std::wstring& home = attrib.GetSAPHome();
    size_t pos = TernToUpper(home).find(attrib.GetSAPSID());
    sidFound = pos != std::wstring::npos;
    if (!sidFound || pos == 0) return home;
    return home.substr(0, pos - 1);
}

CKestrelStatus CKestrel::_RunTool(CKestrelAttrib& attrib, const CKestrelPassword& password,
                                  const std::wstring& command, const std::wstring& workDir,
                                  uint32_t remainingMs, uint32_t& exitCode) {
    CKestrelStatus status;
    if (remainingMs == 0) {
        // A spent budget is a time-out: nothing is started.
        TERN_TRACE(L"No time is left in the budget to run the command [%s]; it counts as timed out.",
                   command);
        status.Set(CKestrelStatus::kTimedOut, TERN_WAIT_TIMEOUT);
        return status;
    }
    std::wstring output;
    return CKestrelUtil::CreateAndGetExitCode(command, workDir, attrib.GetSAPAdmin(),
                                              attrib.GetSAPAdminDomain(), password.Get(), output, exitCode,
                                              remainingMs);
}

CKestrelStatus CKestrel::_RunTool(CKestrelAttrib& attrib, const std::wstring& command,
                                  const std::wstring& workDir, uint32_t remainingMs, uint32_t& exitCode) {
    // A run that cannot start decodes nothing.
    if (remainingMs == 0)
        return _RunTool(attrib, CKestrelPassword(), command, workDir, remainingMs, exitCode);
    const CKestrelPassword password = attrib.GetSAPAdminPassword();
    return _RunTool(attrib, password, command, workDir, remainingMs, exitCode);
}

// Steps the SLM countdown of an online cycle; true when the second level runs in this cycle.
static bool StepSlmCounter(CKestrelAttrib& attrib) {
    const int32_t n = attrib.GetSecondLevelMonitor();
    uint32_t k = 0;
    if (n > 0) {
        KESTREL_TRACE_AS("CKestrel::Monitor", L"Getting the SLMCounter.");
        CKestrelStatus read;
        attrib.GetSLMCounter(read, k, attrib.GetResourceName(), true);
        if (read.IsFailure()) {
            KESTREL_TRACE_RETURNED_AS("CKestrel::Monitor", L"Failed to get the SLMCounter.", read);
        } else {
            KESTREL_TRACE_AS("CKestrel::Monitor", L"Got SLMCounter [%d] from cookie.", k);
        }
    }
    const KestrelSlmStep step = KestrelStepSlmCounter(n, k);
    switch (step.line) {
        case KestrelSlmLine::kSkipping:
            KESTREL_TRACE_AS("CKestrel::Monitor",
                             L"SecondLevelMonitor is set to [%d]. Skipping the Second Level Monitor.",
                             step.lineValue);
            break;
        case KestrelSlmLine::kSetting:
            KESTREL_TRACE_AS("CKestrel::Monitor", L"Setting SLMCounter to [%d].", step.lineValue);
            break;
        case KestrelSlmLine::kDecrementing:
            KESTREL_TRACE_AS("CKestrel::Monitor", L"Decrementing SLMCounter to [%d].", step.lineValue);
            break;
    }
    CKestrelStatus ignored;
    attrib.SetSLMCounter(ignored, step.store, attrib.GetResourceName());
    return step.runSecond;
}

CKestrelStatus CKestrel::Monitor(CKestrelAttrib& attrib, uint32_t& state) {
    CKestrelStatus status;
    status.Clear();
    const CKestrelBudget budget(BudgetMs(attrib));
    state = KSTATE_UNKNOWN;
    m_CurrentEP = KCUR_MONITOR;

    TERN_TRACE(L"Perform the process level check(first level monitor).");
    status = _FirstLevelMonitor(attrib, state, budget.TimeInHandMs());
    if (status.IsFailure()) {
        KESTREL_TRACE_RETURNED(L"Failed to perform process level check.", status);
        return status;
    }
    if (state != KSTATE_ONLINE) {
        TERN_TRACE(L"Process level check returned resource is NOT Online.");
        return status;
    }
    TERN_TRACE(L"Process level check returned resource is Online.");

    if (StepSlmCounter(attrib)) {
        CKestrelStatus second = _SecondLevelMonitor(attrib, state, budget.RemainingMs());
        if (second.IsFailure()) {
            KESTREL_TRACE_RETURNED(L"Failed to perform second level monitoring.", second);
            KESTREL_LOG(KSEV_ERROR, 20056, L"Failed to perform second level monitoring [%d 0x%.08X].",
                        second.GetCode(), second.GetError());
            status.Clear();
            return status;
        }
        if (state != KSTATE_ONLINE) {
            TERN_TRACE(L"Second level monitor returned resource is NOT Online.");
            return status;
        }
    }

    CKestrelStatus third = _ThirdLevelMonitor(attrib, state, budget.RemainingMs());
    if (third.IsFailure()) {
        KESTREL_TRACE_RETURNED(L"Failed to perform third level monitoring.", third);
        KESTREL_LOG(KSEV_ERROR, 20057, L"Failed to perform third level monitoring [%d 0x%.08X].",
                    third.GetCode(), third.GetError());
        return third;
    }
    if (state != KSTATE_ONLINE)
        KESTREL_TRACE_LOG(KSEV_ERROR, 20058, L"Third level monitor returned resource is NOT Online.");
    return status;
}

CKestrelStatus CKestrel::_FirstLevelMonitor(CKestrelAttrib& attrib, uint32_t& state, uint32_t timeinhand) {
    CKestrelStatus status;
    status.Clear();
    GetResourceState(attrib, state, timeinhand);  // its status is replaced by the service query's
    const std::wstring service = attrib.GetServiceName();
    TERN_TRACE(L"Going to check the status of the SAP Service [%s].", service);
    bool running = false;
    status = CKestrelUtil::IsServiceRunning(service, running);
    if (status.IsFailure()) {
        KESTREL_TRACE_RETURNED(L"CKestrelUtil::IsServiceRunning", status);
        TERN_TRACE(L"Failed to get the status of SAP Service [%s].", service);
        return status;
    }
    if (!running && state == KSTATE_ONLINE) {
        // The message comes before its trace line here.
        KESTREL_LOG(KSEV_ERROR, 20074, L"The SAP Service [%s] is NOT Running.", service);
        TERN_TRACE(L"The SAP Service [%s] is NOT Running.", service);
        state = KSTATE_OFFLINE;
    } else if (running) {
        TERN_TRACE(L"The SAP Service [%s] is Running.", service);
    } else {
        TERN_TRACE(L"The SAP Service [%s] is NOT Running.", service);
    }
    status.Clear();
    return status;
}

CKestrelStatus CKestrel::_SecondLevelMonitor(CKestrelAttrib& attrib, uint32_t& state, uint32_t timeinhand) {
    TERN_TRACE(L"_SecondLevelMonitor is called with timeinhand [%d].", timeinhand);
    CKestrelStatus status;
    status.Clear();
    const CKestrelBudget budget(timeinhand);
    TERN_TRACE(L"Going to run Second level monitor.");
    if (!MonHomeOk(attrib.GetSAPMonHome(), status)) {
        state = KSTATE_UNKNOWN;
        return status;
    }
    const int32_t arch = CKestrelUtil::FindSAPArch(attrib.GetProcMon());
    const bool inputsOk =
        ((arch != KARCH_ABAP && arch != KARCH_ADDIN) || HostOk(attrib.GetSAPHost(), status)) &&
        (arch == KARCH_ABAP || ProfileOk(attrib, status));
    if (!inputsOk) {
        state = KSTATE_UNKNOWN;
        return status;
    }
    switch (arch) {
        case KARCH_ABAP:
            status = SapinfoLevel(*this, attrib, state, budget);
            break;
        case KARCH_JAVA:
            status = JcmonLevel(*this, attrib, state, budget);
            break;
        case KARCH_ADDIN:
            status = AddInLevel(*this, attrib, state, budget);
            break;
        default:
            // No tool for a type without an architecture that is no enqueue type: the state stays.
            if (!KestrelIsStandaloneEnqueue(attrib.GetInstTypeKind())) return status;
            status = EnsmonLevel(*this, attrib, state, budget);
            break;
    }
    if (status.IsFailure()) state = KSTATE_UNKNOWN;
    return status;
}

CKestrelStatus CKestrel::_InterpretSapinfoExitCode(int32_t exitCode, uint32_t& state,
                                                   const std::wstring& instType) {
    TERN_TRACE(L"_InterpretSapinfoExitCode is called with exitcode [%d] and insttype [%s].", exitCode,
               instType);
    const std::wstring& sapinfo = KestrelProgramName(KestrelProgram::kSapinfo);
    TERN_TRACE(L"Going to Interpret exit code of %s [%d] for [%s] instance.", sapinfo, exitCode, instType);
    const KestrelSapinfoVerdict v = KestrelInterpretSapinfo(exitCode);
    state = v.state;
    if (v.line == KestrelSapinfoLine::kReturned) {
        KESTREL_TRACE_LOG(v.message.severity, v.message.id, L"%s returned with exitcode [%d].", sapinfo,
                          exitCode);
    } else if (v.line == KestrelSapinfoLine::kInvalid) {
        KESTREL_TRACE_LOG(v.message.severity, v.message.id, L"%s returned with invalid exitcode [%d].",
                          sapinfo, exitCode);
    }
    TraceByState(TERN_FUNC, state,
                 {L"Sapinfo check indicates the state of the SAP Instance as Up and Running (Online).",
                  L"Sapinfo check indicates the state of the SAP Instance as Down and Stopped (Offline).",
                  L"Can not find the state of the SAP Instance with Sapinfo check (Unknown).", false});
    return Succeeded();
}

CKestrelStatus CKestrel::_InterpretEnsmonExitCode(int32_t exitCode, uint32_t& state,
                                                  const std::wstring& instType) {
    TERN_TRACE(L"_InterpretEnsmonExitCode is called with exitcode [%d] and insttype [%s].", exitCode,
               instType);
    const std::wstring& ensmon = KestrelProgramName(KestrelProgram::kEnsmon);
    const KestrelEnsmonVerdict v = KestrelInterpretEnsmon(exitCode, KestrelParseInstType(instType));
    if (v.group == KestrelEnsmonGroup::kServer) {
        TERN_TRACE(L"Going to Interpret exit code[%d] of %s for [%s] instance.", exitCode, ensmon, instType);
    } else if (v.group == KestrelEnsmonGroup::kReplication) {
        TERN_TRACE(L"Going to Interpret exit code[%d] of %s for Replicated Enqueue Server.", exitCode,
                   ensmon);
    }
    if (v.group != KestrelEnsmonGroup::kNone) state = v.state;
    const KestrelMessage& m = v.message;
    switch (v.line) {
        case KestrelEnsmonLine::kNone:
            break;
        case KestrelEnsmonLine::kReplicationNoPartner:
            KESTREL_TRACE_LOG(m.severity, m.id,
                              L"Replication is enabled in server, but no repl. server is connected.");
            Message(TERN_FUNC, v.console.severity, v.console.id,
                    L"Replication is enabled in server, but no repl. server is connected.", true);
            break;
        case KestrelEnsmonLine::kReturned:
            KESTREL_TRACE_LOG(m.severity, m.id, L"%s returned with exitcode [%d].", ensmon, exitCode);
            break;
        case KestrelEnsmonLine::kInvalid:
            KESTREL_TRACE_LOG(m.severity, m.id, L"%s returned with invalid exitcode [%d].", ensmon, exitCode);
            break;
        case KestrelEnsmonLine::kFailingOver:
            KESTREL_TRACE_LOG(
                m.severity, m.id,
                L"%s returned with invalid exitcode [%d]. Enqueue Server might be failing over or Offline.",
                ensmon, exitCode);
            break;
    }
    TraceByState(TERN_FUNC, state,
                 {L"Ensmon check indicates the state of the SAP Instance as Up and Running (Online).",
                  L"Ensmon check indicates the state of the SAP Instance as Down and Stopped (Offline).",
                  L"Can not find the state of the SAP Instance with Ensmon check (Unknown).", true});
    return Succeeded();
}

CKestrelStatus CKestrel::_ThirdLevelMonitor(CKestrelAttrib& attrib, uint32_t& state, uint32_t timeinhand) {
    TERN_TRACE(L"_ThirdLevelMonitor is called with timeinhand [%d].", timeinhand);
    const CKestrelBudget budget(timeinhand);
    CKestrelStatus status;
    status.Clear();
    const std::wstring& program = attrib.GetMonitorProgram();
    if (program.empty()) {
        TERN_TRACE(L"MonitorProgram attribute is null, skipping Third Level Monitor.");
        return status;
    }
    std::wstring exe;
    size_t begin = program.find_first_not_of(L" \t");
    if (begin != std::wstring::npos) {
        size_t end = program.find_first_of(L" \t", begin);
        exe = program.substr(begin, end == std::wstring::npos ? std::wstring::npos : end - begin);
    }
    TERN_TRACE(L"mpname [%s] from MonitorProgram [%s].", exe, program);
    TERN_TRACE(L"Got the exe name [%s] from the MonitorProgram [%s].", exe, program);
    TERN_TRACE(L"tmpexe [%s] from exename [%s].", exe, exe);

    bool exists = false;
    if (!exe.empty()) {
        CKestrelStatus st = CKestrelUtil::DoesExistFile(exe, exists);
        if (st.IsFailure()) {
            KESTREL_TRACE_RETURNED(L"CKestrelUtil::DoesExistFile", st);
            KESTREL_LOG(KSEV_ERROR, 20094, L"Failed to check MonitorProgram [%s] exist or not.", exe);
            state = KSTATE_UNKNOWN;
            return st;
        }
    }
    if (!exists) {
        // Blanks and tabs only name no program: that counts as a missing one.
        const std::wstring& named = exe.empty() ? program : exe;
        status.Set(CKestrelStatus::kPlatform, TERN_ERROR_BAD_ARGUMENTS);
        TERN_TRACE(L"MonitorProgram [%s] does NOT exist [%d, 0x%.08X].", named, status.GetCode(),
                   status.GetError());
        KESTREL_LOG(KSEV_ERROR, 20095, L"MonitorProgram [%s] does NOT exist.", named);
        state = KSTATE_UNKNOWN;
        return status;
    }

    const uint32_t remaining = budget.RemainingMs();
    TERN_TRACE(L"Going to run MonitorProgram [%s].", program);
    uint32_t exitCode = 0;
    CKestrelStatus run = _RunTool(attrib, program, L"", remaining, exitCode);
    if (run.IsFailure()) {
        ReportFailure(TERN_FUNC, L"CKestrelUtil::CreateAndGetExitCode", run,
                      {KSEV_ERROR, 20096, TernFormat(L"The MonitorProgram [%s] timed out.", program)},
                      {0, 0, TernFormat(L"FaileD to run MonitorProgram [%s].", program)});
        state = KSTATE_UNKNOWN;
        return run;
    }
    const KestrelMonitorProgramVerdict v = KestrelInterpretMonitorProgram(exitCode);
    state = v.state;
    if (v.line == KestrelMonitorProgramLine::kOnline) {
        TERN_TRACE(L"MonitorProgram returned Online(110).");
    } else if (v.line == KestrelMonitorProgramLine::kOffline) {
        KESTREL_TRACE_LOG(v.message.severity, v.message.id, L"MonitorProgram returned Offline(100).");
    } else {
        KESTREL_TRACE_LOG(v.message.severity, v.message.id,
                          L"MonitorProgram exited with Unknown exitcode [%d].", exitCode);
    }
    return status;
}
