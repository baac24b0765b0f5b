// Online: clears leftovers, starts the service and the instance, then waits with SAP's own tools until the
// instance answers.
#include <string>

#include "Kestrel.h"
#include "KestrelDecisions.h"
#include "KestrelLog.h"
#include "KestrelSteps.h"
#include "KestrelUtil.h"
#include "LibError.h"
#include "LibFormat.h"
#include "LibLogger.h"
#include "LibPlatform.h"

using namespace kestrel_steps;

namespace {

// The steps below are parts of Online: their lines carry its name.
constexpr std::string_view kOnline = "CKestrel::Online";

constexpr uint32_t kSapinfoRunMs = 10000;
constexpr uint32_t kJcmonRunMs = 15000;
constexpr uint32_t kEnsmonRunMs = 10000;

// How a tool's answer is read.
enum class Ask { kExitCode, kJcmon, kEnsmon };

// One check loop: its tool and run time (its lines are in kWaitLines; the failure line is the tool's own,
// see AskWaitTool).
struct WaitBranch {
    uint32_t runMs;
    Ask ask;
    bool shortGoesOn;  // too little time to begin: go on to the SAP log record instead of ending
};
constexpr WaitBranch kSapinfoWait{kSapinfoRunMs, Ask::kExitCode, false};
constexpr WaitBranch kJcmonWait{kJcmonRunMs, Ask::kJcmon, false};
constexpr WaitBranch kAddInSapinfoWait{kSapinfoRunMs, Ask::kExitCode, true};
constexpr WaitBranch kAddInJcmonWait{kJcmonRunMs, Ask::kJcmon, true};
constexpr WaitBranch kEnsmonWait{kEnsmonRunMs, Ask::kEnsmon, false};

// How a wait ended: the instance is up or the loop is over (go on), Online ends, or the rest of the wait
// is skipped and the SAP log record written.
enum class WaitEnd { kUp, kEnd, kSkipToLog };

// One line of a check loop. id 0: a trace line only. The text's conversions take, in order, a prefix of
// the slot's arguments: (seconds left, command) for the "not enough time" slots, (command, exit code) for
// the others.
struct WaitLine {
    const WaitBranch* branch;
    KestrelWaitSlot slot;
    uint32_t severity;
    uint32_t id;
    const wchar_t* text;
};

using S = KestrelWaitSlot;
constexpr uint32_t W = KSEV_WARNING, I = KSEV_INFO, N = KSEV_NOTICE;
constexpr const WaitBranch* kAbap = &kSapinfoWait;
constexpr const WaitBranch* kJava = &kJcmonWait;
constexpr const WaitBranch* kAddInAbap = &kAddInSapinfoWait;
constexpr const WaitBranch* kAddInJava = &kAddInJcmonWait;
constexpr const WaitBranch* kEnq = &kEnsmonWait;
constexpr const wchar_t* kSleeping = L"Going to sleep for [5]secs before rechecking the status.";
constexpr const wchar_t* kNotYet = L"Command [%s] executed and returned unsuccessful exit code [%d].";
constexpr const wchar_t* kJcmonNotYet = L"%s returned unknown Resource State.";
constexpr const wchar_t* kTimedOut = L"The command [%s] timed out.";
constexpr const wchar_t* kJcmonTimedOut = L"The %s command timed out.";
constexpr const wchar_t* kUp = L"Command [%s] executed successfully with exit code [%d].";
constexpr const wchar_t* kJcmonUp = L"%s executed successfully and returned Online.";
constexpr const wchar_t* kRunShort = L"Not enough time [%d]secs to run the command [%s].";
constexpr const wchar_t* kEnsmonShort = L"Not enough time[%d] to run the command [%s].";

// Every line of the five loops, slot by slot in loop order.
constexpr WaitLine kWaitLines[] = {
    {kAbap, S::kNotEnoughToRun, W, 20014, kRunShort},
    {kJava, S::kNotEnoughToRun, W, 20019, kRunShort},
    {kAddInAbap, S::kNotEnoughToRun, W, 20025, L"Not enough time [%d] to run the command [%s]."},
    {kAddInJava, S::kNotEnoughToRun, W, 20030, kRunShort},
    {kEnq, S::kNotEnoughToRun, N, 20036, kEnsmonShort},
    {kAbap, S::kTimedOut, W, 20015, kTimedOut},
    {kJava, S::kTimedOut, W, 20020, kJcmonTimedOut},
    {kAddInAbap, S::kTimedOut, W, 20026, kTimedOut},
    {kAddInJava, S::kTimedOut, W, 20031, kJcmonTimedOut},
    {kEnq, S::kTimedOut, W, 20037, kTimedOut},
    {kAbap, S::kUp, I, 20016, kUp},
    {kJava, S::kUp, I, 20021, kJcmonUp},
    {kAddInAbap, S::kUp, I, 20027, kUp},
    {kAddInJava, S::kUp, I, 20032, kJcmonUp},
    {kEnq, S::kUp, I, 20038, L"Command [%s] executed successfully."},
    {kAbap, S::kNotYet, 0, 0, kNotYet},
    {kJava, S::kNotYet, 0, 0, kJcmonNotYet},
    {kAddInAbap, S::kNotYet, 0, 0, kNotYet},
    {kAddInJava, S::kNotYet, 0, 0, kJcmonNotYet},
    {kEnq, S::kNotYet, 0, 0, kNotYet},
    {kAbap, S::kNotEnoughToRecheck, W, 20017,
     L"Not enough time [%d]secs to recheck the status with the command [%s]."},
    {kJava, S::kNotEnoughToRecheck, W, 20022, L"Not enough time [%d]secs to recheck the status with [%s]."},
    {kAddInAbap, S::kNotEnoughToRecheck, W, 20028,
     L"Not enough time [%d]secs to recheck the status with command [%s]."},
    {kAddInJava, S::kNotEnoughToRecheck, W, 20033, L"Not enough time [%d] to recheck the status."},
    {kEnq, S::kNotEnoughToRecheck, W, 20043,
     L"Not enough time [%d]secs to recheck the status with command [%s]."},
    {kAbap, S::kSleeping, 0, 0, kSleeping},
    {kJava, S::kSleeping, 0, 0, kSleeping},
    {kAddInAbap, S::kSleeping, 0, 0,
     L"Going to sleep for [5]secs before rechecking the status with command [%s]."},
    {kAddInJava, S::kSleeping, 0, 0, kSleeping},
    {kEnq, S::kSleeping, 0, 0, kSleeping},
    {kAbap, S::kAfterLoop, W, 20018, kRunShort},
    {kJava, S::kAfterLoop, W, 20023, kRunShort},
    {kAddInAbap, S::kAfterLoop, W, 20029, kRunShort},
    {kAddInJava, S::kAfterLoop, W, 20034, kRunShort},
    {kEnq, S::kAfterLoop, N, 20044, kEnsmonShort},
};

// The slots whose lines begin with the seconds left.
constexpr bool TakesSeconds(KestrelWaitSlot s) {
    return s == S::kNotEnoughToRun || s == S::kNotEnoughToRecheck || s == S::kAfterLoop;
}

constexpr size_t Conversions(const wchar_t* text) {
    size_t n = 0;
    for (size_t i = 0; text[i] != 0; ++i) {
        if (text[i] != L'%') continue;
        if (text[i + 1] == L'%') {
            ++i;
        } else {
            ++n;
        }
    }
    return n;
}

constexpr size_t Length(const wchar_t* text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n + 1;
}

// Every line fits its slot's arguments; a line that does not stops the build.
consteval bool LinesFit() {
    using tern_fmt::Kind;
    constexpr Kind kSecondsFirst[] = {Kind::I32, Kind::WStr};
    constexpr Kind kCommandFirst[] = {Kind::WStr, Kind::U32};
    for (const WaitLine& line : kWaitLines)
        tern_fmt::Check(line.text, Length(line.text), TakesSeconds(line.slot) ? kSecondsFirst : kCommandFirst,
                        Conversions(line.text));
    return true;
}
static_assert(LinesFit());

// Writes the line of slot with what it needs of the seconds left, the command and the exit code.
void WriteWaitLine(const WaitBranch& b, KestrelWaitSlot slot, int64_t remaining, const std::wstring& command,
                   uint32_t exitCode) {
    for (const WaitLine& line : kWaitLines) {
        if (line.branch != &b || line.slot != slot) continue;
        const int32_t secs = Secs(remaining);
        const tern_fmt::Arg secondsFirst[] = {tern_fmt::MakeArg(secs), tern_fmt::MakeArg(command)};
        const tern_fmt::Arg commandFirst[] = {tern_fmt::MakeArg(command), tern_fmt::MakeArg(exitCode)};
        std::wstring text;
        tern_fmt::FormatV(text, line.text, TakesSeconds(slot) ? secondsFirst : commandFirst,
                          Conversions(line.text));
        Write(kOnline, Note{line.severity, line.id, text});
        return;
    }
}

// What the ensmon answer says beyond up or not yet, written before the loop goes on.
void WriteEnsmonAnswer(KestrelEnsmonWaitLine line, const std::wstring& command, uint32_t exitCode) {
    if (line == KestrelEnsmonWaitLine::kReplicationNoPartner) {
        KESTREL_TRACE_LOG_AS(
            kOnline, KSEV_CRITICAL, 20039,
            L"Command [%s] returned exit code [%d] which indicates Replication \tis enabled in "
            L"server, but no repl. server is connected.",
            command, exitCode);
        Message(
            kOnline, KSEV_CRITICAL, 20040,
            TernFormat(L"The command [%s] exitcode [4] indicates Replication is enabled in server, but no "
                       L"repl. server is connected.",
                       KestrelProgramName(KestrelProgram::kEnsmon)),
            true);
    } else if (line == KestrelEnsmonWaitLine::kNotReachable) {
        KESTREL_TRACE_LOG_AS(
            kOnline, KSEV_CRITICAL, 20041,
            L"Command [%s] returned exit code [%d] which indicates Enqueue Server is not Reachable.", command,
            exitCode);
        Message(
            kOnline, KSEV_CRITICAL, 20042,
            TernFormat(L"The command [%s] exitcode [8] indicates Enqueue Server is not reachable by Enqueue "
                       L"Replication Server.",
                       KestrelProgramName(KestrelProgram::kEnsmon)),
            true);
    }
}

// Runs the branch's tool once and says what it answered.
KestrelWaitAnswer AskWaitTool(CKestrel& agent, CKestrelAttrib& attrib, const WaitBranch& b,
                              const std::wstring& command, uint32_t& state, uint32_t& exitCode) {
    CKestrelStatus run;
    if (b.ask == Ask::kJcmon) {
        run = agent._RunJcmonMonitorCheck(attrib, state, b.runMs);
    } else {
        KESTREL_TRACE_AS(kOnline, L"Checking the status of SAP Instance with the command [%s].", command);
        run = agent._RunTool(attrib, command, attrib.GetSAPMonHome(), b.runMs, exitCode);
    }
    if (run.IsFailure()) {
        if (b.ask == Ask::kJcmon) {
            KESTREL_TRACE_AS(kOnline, L"The %s command failed with error code [%d 0x%.08X].", command,
                             run.GetCode(), run.GetError());
        } else {
            KESTREL_TRACE_AS(kOnline, L"The command [%s] failed with error code [%d 0x%.08X].", command,
                             run.GetCode(), run.GetError());
        }
        return run.GetError() == TERN_WAIT_TIMEOUT ? KestrelWaitAnswer::kTimedOut
                                                   : KestrelWaitAnswer::kFailed;
    }
    if (b.ask == Ask::kJcmon)
        return state == KSTATE_ONLINE ? KestrelWaitAnswer::kUp : KestrelWaitAnswer::kNotYet;
    if (b.ask == Ask::kExitCode) return exitCode == 0 ? KestrelWaitAnswer::kUp : KestrelWaitAnswer::kNotYet;
    const KestrelEnsmonWaitVerdict v = KestrelEnsmonWaitAnswer(exitCode, attrib.GetInstTypeKind());
    WriteEnsmonAnswer(v.line, command, exitCode);
    return v.answer;
}

// One check loop: the countdown decides, this runs the tool, sleeps and writes the lines.
WaitEnd WaitWith(CKestrel& agent, CKestrelAttrib& attrib, const WaitBranch& b, const std::wstring& command,
                 const CKestrelBudget& budget, uint32_t& state, CKestrelStatus& status) {
    int64_t remaining = budget.RemainingMs();
    uint32_t exitCode = 0;
    KestrelWaitAnswer answer = KestrelWaitAnswer::kStart;
    for (;;) {
        const KestrelWaitStep step = KestrelWaitAdvance(remaining, b.runMs, answer, state == KSTATE_ONLINE);
        for (size_t i = 0; i < step.slotCount; ++i) {
            if (step.slots[i] == KestrelWaitSlot::kFailed) continue;  // written with the run's status
            WriteWaitLine(b, step.slots[i], remaining, command, exitCode);
        }
        switch (step.next) {
            case KestrelWaitDo::kRun:
                answer = AskWaitTool(agent, attrib, b, command, state, exitCode);
                break;
            case KestrelWaitDo::kSleep:
                TernSleep(kKestrelWaitSleepMs);
                answer = KestrelWaitAnswer::kSlept;
                break;
            case KestrelWaitDo::kShort:
                return b.shortGoesOn ? WaitEnd::kSkipToLog : WaitEnd::kEnd;
            case KestrelWaitDo::kFail:
                status.Clear();
                return WaitEnd::kEnd;
            case KestrelWaitDo::kEnd:
                return WaitEnd::kEnd;
            case KestrelWaitDo::kDone:
                return WaitEnd::kUp;
        }
    }
}

// Checks the path of a monitoring tool before its loop; false ends the wait with Online's status cleared
// (a tool that is there leaves it as it is).
bool ToolThere(const std::wstring& path, const std::wstring& failedLine, const Note& missing,
               CKestrelStatus& status) {
    CKestrelStatus check;
    if (CheckToolFile(kOnline, path, check, {0, 0, failedLine}, missing) == FileCheck::kThere) return true;
    status.Clear();
    return false;
}

// The wait phase: the tool that fits the architecture and instance type, until the instance is up.
WaitEnd WaitForInstance(CKestrel& agent, CKestrelAttrib& attrib, const CKestrelBudget& budget,
                        uint32_t& state, CKestrelStatus& status) {
    const std::wstring& monHome = attrib.GetSAPMonHome();
    const std::wstring& sapinfo = KestrelProgramName(KestrelProgram::kSapinfo);
    const std::wstring& ensmon = KestrelProgramName(KestrelProgram::kEnsmon);
    const std::wstring& jcmon = KestrelProgramName(KestrelProgram::kJcmon);
    const std::wstring sapinfoPath = JoinPath(monHome, sapinfo);
    const std::wstring sapinfoCmd =
        sapinfoPath + L" ashost=" + attrib.GetSAPHost() + L" sysnr=" + attrib.GetInstNumber();
    const std::wstring ensmonPath = JoinPath(monHome, ensmon);
    const std::wstring ensmonCmd = ensmonPath + L" pf=" + attrib.GetInstProfile() + L" 2";
    const std::wstring sapinfoFailed =
        TernFormat(L"Failed to find the status of %s [%s].", sapinfo, sapinfoPath);

    switch (KestrelWaitToolFor(CKestrelUtil::FindSAPArch(attrib.GetProcMon()), attrib.GetInstTypeKind())) {
        case KestrelWaitTool::kSapinfo:
            if (!ToolThere(sapinfoPath, sapinfoFailed,
                           {KSEV_WARNING, 20013, TernFormat(L"Command [%s] does NOT exist.", sapinfoPath)},
                           status))
                return WaitEnd::kEnd;
            return WaitWith(agent, attrib, kSapinfoWait, sapinfoCmd, budget, state, status);
        case KestrelWaitTool::kJcmon:
            state = KSTATE_UNKNOWN;
            return WaitWith(agent, attrib, kJcmonWait, jcmon, budget, state, status);
        case KestrelWaitTool::kAddIn: {
            const Note missing{KSEV_NOTICE, 20024,
                               TernFormat(L"%s command path [%s] does NOT exist.", sapinfo, sapinfoPath)};
            if (!ToolThere(sapinfoPath, sapinfoFailed, missing, status)) return WaitEnd::kEnd;
            const WaitEnd end = WaitWith(agent, attrib, kAddInSapinfoWait, sapinfoCmd, budget, state, status);
            if (end != WaitEnd::kUp) return end;
            state = KSTATE_UNKNOWN;
            return WaitWith(agent, attrib, kAddInJcmonWait, jcmon, budget, state, status);
        }
        case KestrelWaitTool::kEnsmon:
            if (!ToolThere(ensmonPath,
                           TernFormat(L"Failed to find the status of %s [%s].", ensmon, ensmonPath),
                           {KSEV_NOTICE, 20035,
                            TernFormat(L"%s command path [%s] does NOT exist.", ensmon, ensmonPath)},
                           status))
                return WaitEnd::kEnd;
            return WaitWith(agent, attrib, kEnsmonWait, ensmonCmd, budget, state, status);
        case KestrelWaitTool::kNone:
            break;
    }
    KESTREL_TRACE_AS(
        kOnline,
        L"SAP Architecture is not inferred from ProcMon and InstType [%s] is no enqueue type: there is "
        L"no tool to wait for.",
        attrib.GetInstType());
    return WaitEnd::kUp;
}

// Starts the instance's service, then the instance with the startsap tool. Failure: Online ends with it.
CKestrelStatus StartInstance(CKestrel& agent, CKestrelAttrib& attrib, const CKestrelBudget& budget) {
    const std::wstring service = attrib.GetServiceName();
    KESTREL_TRACE_AS(kOnline, L"Start the SAP Service [%s].", service);
    CKestrelStatus st = CKestrelUtil::StartService(service, budget.RemainingMs());
    if (st.IsFailure()) {
        ReportFailure(kOnline, L"CKestrelUtil::StartService", st,
                      {KSEV_ERROR, 20004, TernFormat(L"SAP Service Start [%s] timed out.", service)},
                      {KSEV_ERROR, 20005,
                       TernFormat(L"Failed to start the SAP Service [%s]. The return code [%d 0x%.08X].",
                                  service, st.GetCode(), st.GetError())});
        return st;
    }
    KESTREL_TRACE_AS(kOnline, L"The SAP Sevice [%s] started successfully.", service);
    KESTREL_LOG_TAG("CKestrel::Online", KSEV_INFO, 20006, L"The SAP Service [%s] started successfully.",
                    service);

    const std::wstring& home = attrib.GetSAPHome();
    const std::wstring startPath = JoinPath(home, KestrelProgramName(KestrelProgram::kStartsap));
    const Note missing{KSEV_ERROR, 20007,
                       TernFormat(L"SAP Start command [%s] does NOT exist. Aborting Online.", startPath)};
    const Note failed{0, 0,
                      TernFormat(L"Failed to find the SAP start command [%s]. Aborting Online.", startPath)};
    if (CheckToolFile(kOnline, startPath, st, failed, missing) != FileCheck::kThere) return st;

    const std::wstring startCmd = startPath + L" name=" + attrib.GetSAPSID() + L" nr=" +
                                  attrib.GetInstNumber() + L" sapdiahost=" + attrib.GetSAPHost();
    const CKestrelPassword password = attrib.GetSAPAdminPassword();
    KESTREL_TRACE_AS(kOnline, L"Start the SAP Instance with command [%s]", startCmd);
    uint32_t exitCode = 0;
    st = agent._RunTool(attrib, password, startCmd, home, budget.RemainingMs(), exitCode);
    if (st.IsFailure()) {
        ReportFailure(
            kOnline, L"SAP Instance start command failed.", st,
            {KSEV_ERROR, 20008, TernFormat(L"The SAP Instance start command [%s] timed out.", startCmd)},
            {KSEV_ERROR, 20009, TernFormat(L"SAP Instance start command [%s] failed.", startCmd)});
        return st;
    }
    if (exitCode != 0) {
        st.Set(CKestrelStatus::kPlatform, TernGetLastError());
        KESTREL_TRACE_LOG_AS(kOnline, KSEV_ERROR, 20010,
                             L"The SAP start command [%s] failed with exitcode [%d]", startCmd, exitCode);
        return st;
    }
    KESTREL_TRACE_LOG_AS(kOnline, KSEV_INFO, 20011,
                         L"The SAP start command [%s] executed successfully with exitcode [%d].", startCmd,
                         exitCode);
    return st;
}

}  // namespace

CKestrelStatus CKestrel::Online(CKestrelAttrib& attrib, uint32_t& result) {
    const CKestrelBudget budget(BudgetMs(attrib));
    uint32_t state = KSTATE_UNKNOWN;
    CKestrelStatus st = _OpeningCheck(TERN_FUNC, KCUR_ONLINE, attrib, budget, state, result);
    if (st.IsFailure()) return st;
    CKestrelStatus status;
    status.Clear();
    if (state == KSTATE_ONLINE) {
        ReportAlreadyThere(
            TERN_FUNC, 20002, 20003,
            L"SAP Instance for this resource is already running. Not calling start executables.");
        return status;
    }

    CleanupStep(*this, attrib, TERN_FUNC, budget, L"Cleanup the resource for SAP Instance before Online.",
                {L"Failed to clean up the resource before Online for SAP Instance.",
                 L"Failed to clean up the resource before Online for SAP Instance. Continueing ... ",
                 L"Successfully cleaned the resource for SAP Instance before Online."});

    st = StartInstance(*this, attrib, budget);
    if (st.IsFailure()) return st;

    TERN_TRACE(L"Got resource name [%s]", attrib.GetResourceName());
    TERN_TRACE(L"Initializing the SLMCounter to [%d]", attrib.GetSecondLevelMonitor());
    CKestrelStatus slm;
    attrib.SetSLMCounter(slm, static_cast<uint32_t>(attrib.GetSecondLevelMonitor()),
                         attrib.GetResourceName());
    if (slm.IsFailure()) {
        KESTREL_TRACE_RETURNED(L"Failed to Initialize the SLMCounter.", slm);
        KESTREL_LOG(KSEV_WARNING, 20012, L"Failed to Initialize the SLMCounter.");
        status = slm;
    } else {
        TERN_TRACE(L"Successfully set the SLMCounter to [%d]", attrib.GetSecondLevelMonitor());
    }

    // Wait phase: SAP's own tools say when the instance is up.
    if (WaitForInstance(*this, attrib, budget, state, status) == WaitEnd::kEnd) return status;

    TERN_TRACE(L"Adding the Online information to the SAP log file.");
    st = _LogSAP(attrib, KCUR_ONLINE);
    if (st.IsFailure()) {
        TERN_TRACE(L"Failed to add Online information to the SAP log [%d 0x%.08X].", st.GetCode(),
                   st.GetError());
        status.Clear();
    }
    return status;
}
