// Offline: stops the instance with stopsap.exe, then its service, and removes what is left.
#include <string>

#include "Kestrel.h"
#include "KestrelLog.h"
#include "KestrelSteps.h"
#include "KestrelUtil.h"
#include "LibError.h"
#include "LibFormat.h"
#include "LibLogger.h"

using namespace kestrel_steps;

CKestrelStatus CKestrel::Offline(CKestrelAttrib& attrib, uint32_t& result) {
    CKestrelStatus status;
    uint32_t state = KSTATE_UNKNOWN;
    m_CurrentEP = KCUR_OFFLINE;
    const CKestrelBudget budget(BudgetMs(attrib));
    status.Clear();
    result = 0;

    TERN_TRACE(L"Performing process level check before Offline.");
    CKestrelStatus st = _FirstLevelMonitor(attrib, state, budget.TimeInHandMs());
    if (st.IsFailure()) {
        KESTREL_TRACE_RETURNED(L"Process level check failed before calling Offline.", st);
        KESTREL_LOG(KSEV_ERROR, 20045, L"Process level check failed before calling Offline.");
        status = st;
    }
    if (state == KSTATE_OFFLINE) {
        ReportAlreadyThere(
            TERN_FUNC, 20046, 20047,
            L"SAP Instance for this resource is already offline. Not calling stop executables.");
        return status;
    }

    const std::wstring& home = attrib.GetSAPHome();
    const std::wstring stopPath = JoinPath(home, L"stopsap.exe");
    switch (CheckToolFile(TERN_FUNC, stopPath, status)) {
        case FileCheck::kThere:
            break;
        case FileCheck::kCheckFailed:
            TERN_TRACE(L"Failed to find the status of file stopsap.exe [%s]. Aborting Offline.", stopPath);
            return status;
        case FileCheck::kMissing:
            KESTREL_TRACE_LOG(KSEV_ERROR, 20048,
                              L"stopsap.exe command path [%s] does NOT exist. Aborting Offline.", stopPath);
            return status;
    }

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

    const std::wstring service = attrib.GetServiceName();
    TERN_TRACE(L"Stop the SAP Service [%s].", service);
    StopServiceStep(TERN_FUNC, service, budget.RemainingMs(),
                    {KSEV_INFO, 20053, TernFormat(L"The SAP Service [%s] stopped successfully.", service)},
                    L"Failed to stop the SAP service.",
                    {KSEV_ERROR, 20052, TernFormat(L"SAP Service Stop [%s] timed out.", service)});

    TERN_TRACE(L"Cleanup the resource for SAP Instance.");
    uint32_t killFailed = 0;
    st = Kill(attrib, budget.RemainingMs(), killFailed);
    ReportCleanup(TERN_FUNC, st, killFailed,
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
