// Clean: a graceful shutdown with sapsrvkill.exe when SAPHost and SAPHome allow it, then the service stop
// and Kill, whatever the step before achieved.
#include <string>

#include "Kestrel.h"
#include "KestrelLog.h"
#include "KestrelSteps.h"
#include "KestrelUtil.h"
#include "LibError.h"
#include "LibFormat.h"
#include "LibLogger.h"
#include "LibPlatform.h"

using namespace kestrel_steps;

namespace {

// The steps below are parts of Clean: their lines carry its name.
constexpr std::string_view kClean = "CKestrel::Clean";

constexpr int64_t kCleanCheckMs = 20000;
constexpr uint32_t kCheckSleepMs = 5000;

// One attribute that must pass for the graceful shutdown: its check and the texts of its three failures.
struct AttributeCheck {
    CKestrelStatus (*check)(const std::wstring& value, bool& ok);
    const wchar_t* emptyText;  // the "returned" label and the message of an empty value
    uint32_t emptyId;
    const wchar_t* checkLabel;  // the "returned" label when the check could not run
    uint32_t checkFailedId;
    std::wstring checkFailedText;
    uint32_t badId;
    std::wstring bad;  // what is wrong, before " [code, error]. Continueing ..." or ". Continueing ..."
};

// false: the value failed (logged); the graceful shutdown is not tried.
bool AttributeOk(const std::wstring& value, const AttributeCheck& c) {
    CKestrelStatus status;
    if (value.empty()) {
        status.Set(CKestrelStatus::kPlatform, TERN_ERROR_BAD_ARGUMENTS);
        KESTREL_TRACE_RETURNED_AS(kClean, c.emptyText, status);
        Message(kClean, KSEV_ERROR, c.emptyId, c.emptyText);
        return false;
    }
    bool ok = false;
    status = c.check(value, ok);
    if (status.IsFailure()) {
        KESTREL_TRACE_RETURNED_AS(kClean, c.checkLabel, status);
        Message(kClean, KSEV_ERROR, c.checkFailedId, c.checkFailedText);
        return false;
    }
    if (ok) return true;
    status.Set(CKestrelStatus::kPlatform, TERN_ERROR_BAD_ARGUMENTS);
    KESTREL_TRACE_AS(kClean, L"%s [%d, 0x%.08X]. Continueing Clean operation ...", c.bad, status.GetCode(),
                     status.GetError());
    Message(kClean, KSEV_ERROR, c.badId, TernFormat(L"%s. Continueing Clean operation ...", c.bad));
    return false;
}

// Both SAPHost and SAPHome are checked, whatever the first gave; both must pass.
bool GracefulShutdownPossible(const std::wstring& host, const std::wstring& home) {
    const bool hostOk = AttributeOk(
        host, {CKestrelUtil::IsValidHostName, L"SAPHost is empty. Continueing Clean operation ...", 20059,
               L"CKestrelUtil::IsValidHostName", 20060,
               TernFormat(L"SAPHost [%s] validation failed. Continueing Clean operation ... ", host), 20061,
               TernFormat(L"SAPHost [%s] is NOT a valid hostname", host)});
    const bool homeOk =
        AttributeOk(home, {CKestrelUtil::IsDirectory, L"SAPHome is empty. Continueing Clean operation ...",
                           20062, L"CKestrelUtil::DoesExistDir.", 20063,
                           TernFormat(L"SAPHome [%s] does NOT exist. Continueing Clean operation ...", home),
                           20064, TernFormat(L"SAPHome [%s] does NOT exist", home)});
    return hostOk && homeOk;
}

// The "Not enough time" lines of the wait after the graceful shutdown.
void NotEnoughTime(uint32_t id, int64_t remaining, bool recheck) {
    if (recheck) {
        KESTREL_TRACE_LOG_AS(
            kClean, KSEV_WARNING, id,
            L"Not enough time [%d]secs to recheck the status after graceful shutdown in clean.",
            Secs(remaining));
    } else {
        KESTREL_TRACE_LOG_AS(kClean, KSEV_WARNING, id,
                             L"Not enough time [%d]secs to delay after graceful shutdown in clean.",
                             Secs(remaining));
    }
}

// Waits for the instance's processes to go after the graceful shutdown.
void AwaitGracefulStop(CKestrel& agent, CKestrelAttrib& attrib, const CKestrelBudget& budget,
                       const std::wstring& killCmd) {
    // The clock is read once, then fixed amounts are deducted.
    int64_t remaining = budget.RemainingMs();
    if (remaining < kCleanCheckMs) {
        NotEnoughTime(20068, remaining, false);
        return;
    }
    uint32_t state = KSTATE_UNKNOWN;
    while (remaining > kCleanCheckMs) {
        agent.GetResourceState(attrib, state, static_cast<uint32_t>(remaining));
        if (state == KSTATE_OFFLINE) {
            KESTREL_TRACE_LOG_AS(kClean, KSEV_INFO, 20069,
                                 L"Successfully stopped the SAP Instance with command [%s].", killCmd);
            break;
        }
        remaining -= kCleanCheckMs;
        KESTREL_TRACE_AS(kClean, L"Going to sleep for [5]secs before rechecking the status.");
        if (remaining <= kCleanCheckMs) {
            NotEnoughTime(20070, remaining, true);
            break;
        }
        TernSleep(kCheckSleepMs);
        remaining -= kCheckSleepMs;
    }
    if (remaining < kCleanCheckMs) NotEnoughTime(20071, remaining, false);
}

// The graceful shutdown with the sapsrvkill tool; whatever happens, Clean goes on.
void ShutdownGracefully(CKestrel& agent, CKestrelAttrib& attrib, const CKestrelBudget& budget,
                        const CKestrelPassword& password) {
    const std::wstring& home = attrib.GetSAPHome();
    const std::wstring killPath = JoinPath(home, KestrelProgramName(KestrelProgram::kSapsrvkill));
    CKestrelStatus st;
    const Note failed{KSEV_WARNING, 20065,
                      TernFormat(L"File [%s] NOT found. Continueing the clean operation.", killPath)};
    const FileCheck check = CheckToolFile(kClean, killPath, st, failed);
    if (check == FileCheck::kMissing) {
        // The message spells the text without the blank.
        KESTREL_TRACE_AS(kClean, L"File [%s] does NOT exist. Continueing the clean operation.", killPath);
        KESTREL_LOG_TAG("CKestrel::Clean", KSEV_WARNING, 20066,
                        L"File[%s] does NOT exist. Continueing the clean operation.", killPath);
    }
    if (check != FileCheck::kThere) return;
    const std::wstring killCmd =
        killPath + L" " + attrib.GetSAPHost() + L"_" + attrib.GetSAPSID() + L"_" + attrib.GetInstNumber();
    const uint32_t remaining = budget.RemainingMs();
    KESTREL_TRACE_AS(kClean, L"Going to shutdown the SAP Instance gracefully with command [%s].", killCmd);
    uint32_t exitCode = 0;
    st = agent._RunTool(attrib, password, killCmd, home, remaining, exitCode);
    if (st.IsFailure()) {
        ReportFailure(
            kClean, L"Graceful shutdown of SAP Instance failed to stop the SAP Instance.", st,
            {KSEV_ERROR, 20067,
             TernFormat(L"Graceful shutdown of SAP Instance [%s] timed out. Continueing to kill all the "
                        L"process for this SAP Instance.",
                        killCmd)});
        return;
    }
    AwaitGracefulStop(agent, attrib, budget, killCmd);
}

}  // namespace

CKestrelStatus CKestrel::Clean(CKestrelAttrib& attrib, uint32_t, uint32_t& result) {
    m_CurrentEP = KCUR_CLEAN;
    const CKestrelBudget budget(BudgetMs(attrib));
    result = 0;
    // Read first: a password that does not decode is reported before any step.
    const CKestrelPassword password = attrib.GetSAPAdminPassword();

    if (GracefulShutdownPossible(attrib.GetSAPHost(), attrib.GetSAPHome()))
        ShutdownGracefully(*this, attrib, budget, password);

    StopServiceStep(TERN_FUNC, StopFor::kClean, attrib.GetServiceName(), budget);

    CKestrelStatus st = Kill(attrib, budget.RemainingMs(), result);
    if (st.IsFailure()) {
        TERN_TRACE(L"Failed to Clean the resource for SAP Instance.");
    } else {
        TERN_TRACE(L"Succesfully Cleaned the resource for SAP Instance.");
    }

    TERN_TRACE(L"Adding the Clean information to the SAP log file.");
    CKestrelStatus status = _LogSAP(attrib, KCUR_CLEAN);
    if (status.IsFailure())
        KESTREL_TRACE_RETURNED(L"Failed to add Clean information to SAP log file.", status);
    return status;
}
