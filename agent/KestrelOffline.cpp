// Offline: stops the instance with the stopsap tool, then its service, and removes what is left.
#include <string>

#include "Kestrel.h"
#include "KestrelLog.h"
#include "KestrelSteps.h"
#include "KestrelUtil.h"
#include "LibError.h"
#include "LibFormat.h"
#include "LibLogger.h"

using namespace kestrel_steps;

CKestrelStatus CKestrel::_OpeningCheck(std::string_view function, uint32_t ep, CKestrelAttrib& attrib,
                                       const CKestrelBudget& budget, uint32_t& state, uint32_t& result) {
    m_CurrentEP = ep;
    result = 0;
    KESTREL_TRACE_AS(function, L"Performing process level check before %s.",
                     ep == KCUR_ONLINE ? L"Online" : L"Offline");
    const CKestrelStatus st = _FirstLevelMonitor(attrib, state, budget.TimeInHandMs());
    if (st.IsSuccess()) return st;
    if (ep == KCUR_ONLINE) {
        KESTREL_TRACE_LOG_AS(function, KSEV_ERROR, 20001,
                             L"Process level check failed before calling Online [%d 0x%.08X].", st.GetCode(),
                             st.GetError());
    } else {
        KESTREL_TRACE_RETURNED_AS(function, L"Process level check failed before calling Offline.", st);
        Message(function, KSEV_ERROR, 20045, L"Process level check failed before calling Offline.");
    }
    return st;
}

CKestrelStatus CKestrel::Offline(CKestrelAttrib& attrib, uint32_t& result) {
    const CKestrelBudget budget(BudgetMs(attrib));
    uint32_t state = KSTATE_UNKNOWN;
    CKestrelStatus st = _OpeningCheck(TERN_FUNC, KCUR_OFFLINE, attrib, budget, state, result);
    // A failed check does not stop Offline; its status stands unless a later step sets another.
    CKestrelStatus status = st;
    if (state == KSTATE_OFFLINE) {
        ReportAlreadyThere(
            TERN_FUNC, 20046, 20047,
            L"SAP Instance for this resource is already offline. Not calling stop executables.");
        return status;
    }

    const std::wstring& home = attrib.GetSAPHome();
    const std::wstring& stopsap = KestrelProgramName(KestrelProgram::kStopsap);
    const std::wstring stopPath = JoinPath(home, stopsap);
    const Note missing{
        KSEV_ERROR, 20048,
        TernFormat(L"%s command path [%s] does NOT exist. Aborting Offline.", stopsap, stopPath)};
    const std::wstring failed =
        TernFormat(L"Failed to find the status of file %s [%s]. Aborting Offline.", stopsap, stopPath);
    if (CheckToolFile(TERN_FUNC, stopPath, status, {0, 0, failed}, missing) != FileCheck::kThere)
        return status;

    const std::wstring stopCmd = stopPath + L" name=" + attrib.GetSAPSID() + L" nr=" +
                                 attrib.GetInstNumber() + L" sapdiahost=" + attrib.GetSAPHost();
    const CKestrelPassword password = attrib.GetSAPAdminPassword();
    TERN_TRACE(L"Stop the SAP Instance with command [%s].", stopCmd);
    uint32_t exitCode = 0;
    st = _RunTool(attrib, password, stopCmd, home, budget.RemainingMs(), exitCode);
    if (st.IsFailure()) {
        ReportFailure(TERN_FUNC, L"SAP Instance stop command failed to stop the SAP instance.", st,
                      {KSEV_ERROR, 20049, TernFormat(L"The SAP Instance Stop [%s] timed out.", stopCmd)});
        return st;
    }
    if (exitCode != 0) {
        status.Set(CKestrelStatus::kPlatform, TernGetLastError());
        KESTREL_TRACE_LOG(
            KSEV_ERROR, 20050,
            L"The command [%s] failed to stop the SAP instance and returned with exitcode [%d].", stopCmd,
            exitCode);
        return status;
    }
    status.Clear();
    KESTREL_TRACE_LOG(KSEV_INFO, 20051, L"The SAP Instance stopped successfully with exitcode [%d].",
                      exitCode);

    StopServiceStep(TERN_FUNC, StopFor::kOffline, attrib.GetServiceName(), budget);

    CleanupStep(*this, attrib, TERN_FUNC, budget, L"Cleanup the resource for SAP Instance.",
                {L"Failed to cleamup the resource for SAP Instance.",
                 L"Failed to cleamup the resource for SAP Instance. Continueing ... ",
                 L"Successfully cleaned up the resource for SAP Instance.", 20054,
                 L"Failed to cleanup the resource for SAP Instance.", 20055,
                 L"Failed to cleanup the resource for SAP Instance. Continueing ... "});

    TERN_TRACE(L"Adding the Offline information to the SAP log file.");
    st = _LogSAP(attrib, KCUR_OFFLINE);
    if (st.IsFailure()) KESTREL_TRACE_RETURNED(L"Failed to add the Offline information to SAP log file.", st);
    status.Clear();
    return status;
}
