// The jcmon check: SAP's Java control tool asked for its dispatcher and server processes.
#include <cstdint>
#include <string>

#include "Kestrel.h"
#include "KestrelDecisions.h"
#include "KestrelLog.h"
#include "KestrelSteps.h"
#include "KestrelUtil.h"
#include "LibError.h"
#include "LibLogger.h"
#include "LibLogon.h"
#include "LibPasswordCodec.h"
#include "LibPlatform.h"
#include "LibRunAs.h"
#include "LibWide.h"

namespace {

using namespace kestrel_steps;

// The steps below are parts of the jcmon check: their lines carry its name.
constexpr std::string_view kJcmon = "CKestrel::_RunJcmonMonitorCheck";

// The menu dialogue jcmon reads: "20", line feed, "0", line feed, "0".
constexpr char kJcmonDialogue[] = {0x32, 0x30, 0x0A, 0x30, 0x0A, 0x30};

// Finds jcmon: in SAPMonHome, in SAPHome, then in the instance's own directory. false: the check ends with
// status (a check that could not run, or no candidate exists).
bool LocateJcmon(const CKestrelAttrib& attrib, std::wstring& tool, CKestrelStatus& status) {
    const std::wstring& home = attrib.GetSAPHome();
    const std::wstring& monHome = attrib.GetSAPMonHome();
    // The third candidate needs the SAP root, which SAPHome gives only when it holds SAPSID.
    bool sidFound = false;
    const std::wstring root = CKestrel::SapRoot(attrib, sidFound);
    struct Candidate {
        std::wstring path;
        const std::wstring* dir;  // named when the check cannot run; null: the instance's own directory
        uint32_t checkFailedId;
    };
    const std::wstring& jcmon = KestrelProgramName(KestrelProgram::kJcmon);
    std::vector<Candidate> candidates = {{JoinPath(monHome, jcmon), &monHome, 20108},
                                         {JoinPath(home, jcmon), &home, 20109}};
    if (sidFound) {
        candidates.push_back({root + kTernPathSep + attrib.GetSAPSID() + kTernPathSep + attrib.GetInstName() +
                                  kTernPathSep + L"j2ee" + kTernPathSep + L"os_libs" + kTernPathSep + jcmon,
                              nullptr, 20110});
    } else {
        KESTREL_TRACE_AS(
            kJcmon, L"SAPSID [%s] does not occur in SAPHome [%s]; the instance's own %s cannot be located.",
            attrib.GetSAPSID(), home, jcmon);
    }
    for (size_t i = 0; i < candidates.size(); ++i) {
        const Candidate& c = candidates[i];
        const bool last = i + 1 == candidates.size();
        bool exists = false;
        CKestrelStatus st = CKestrelUtil::DoesExistFile(c.path, exists);
        if (st.IsFailure()) {
            KESTREL_TRACE_RETURNED_AS(kJcmon, L"CKestrelUtil::DoesExistFile", st);
            if (c.dir != nullptr) {
                KESTREL_TRACE_LOG_AS(
                    kJcmon, KSEV_ERROR, c.checkFailedId,
                    L"Failed to evaluate the path for %s [%s]. Please make sure the directory [%s] exists.",
                    jcmon, c.path, *c.dir);
            } else {
                KESTREL_TRACE_LOG_AS(kJcmon, KSEV_ERROR, c.checkFailedId,
                                     L"Failed to evaluate the path for %s [%s].", jcmon, c.path);
            }
            status = st;
            return false;
        }
        if (exists) {
            tool = c.path;
            return true;
        }
        if (!last) {
            KESTREL_TRACE_AS(kJcmon, L"The binary [%s] does NOT exist. Checking in alternative path ...",
                             c.path);
            continue;
        }
        status.Set(CKestrelStatus::kPlatform, TERN_ERROR_FILE_NOT_FOUND);
        KESTREL_TRACE_RETURNED_AS(kJcmon, L"CKestrelUtil::DoesExistFile.", status);
        KESTREL_TRACE_AS(kJcmon, L"The binary [%s] does NOT exist.", c.path);
        KESTREL_LOG_TAG("CKestrel::_RunJcmonMonitorCheck", KSEV_ERROR, 20111,
                        L"The binary [%s] does NOT exist. Skipping Second Level Monitor...", c.path);
        return false;
    }
    return false;
}

// Reports a run that failed before jcmon answered. true: the check ends with the run's status; false: a
// failed wait whose output is still scanned.
bool RunFailed(const TernRunResult& result, const CKestrelStatus& status, const std::wstring& command,
               const std::wstring& user, const std::wstring& domain) {
    switch (result.failedStep) {
        case TernRunStep::kEnvironment:
            KESTREL_TRACE_AS(kJcmon, L"[%d] CreateEnvBlock failed. User = [%s], Domain = [%s]",
                             status.GetError(), user, domain);
            return true;
        case TernRunStep::kPipes:
            if (result.failedPipe == TernRunResult::PipePart::kOutput) {
                KESTREL_TRACE_LOG_AS(kJcmon, KSEV_ERROR, 20114,
                                     L"CreatePipe failed for the standard output.");
            } else if (result.failedPipe == TernRunResult::PipePart::kInputWrite) {
                KESTREL_TRACE_LOG_AS(kJcmon, KSEV_ERROR, 20116,
                                     L"WriteFile failed to push the input for %s into the stdin pipe.",
                                     KestrelProgramName(KestrelProgram::kJcmon));
            } else {
                KESTREL_TRACE_LOG_AS(kJcmon, KSEV_ERROR, 20112, L"CreatePipe failed for the standard input.");
            }
            return true;
        case TernRunStep::kStart:
            KESTREL_TRACE_LOG_AS(kJcmon, KSEV_ERROR, 20117,
                                 L"[%d] CreateProcessAsUser failed. CmdLine = [%s].", status.GetError(),
                                 command);
            return true;
        default:
            if (status.GetError() == TERN_WAIT_TIMEOUT) return true;  // killed and reaped; state untouched
            // A failed wait: the child was ended and reaped; what it wrote is still scanned.
            KESTREL_TRACE_RETURNED_AS(kJcmon, L"CKestrelUtil::_RunEnsmonMonitorCheck.", status);
            return false;
    }
}

// Writes the verdict on jcmon's answer and sets the state from it.
void JudgeJcmon(const std::wstring& output, uint32_t& state) {
    const KestrelJcmonVerdict v = KestrelJudgeJcmon(KestrelScanJcmonOutput(output));
    state = v.state;
    const uint32_t sev = v.message.severity, id = v.message.id;
    switch (v.line) {
        case KestrelJcmonLine::kRunning:
            KESTREL_TRACE_AS(
                kJcmon,
                L"%s indicates Dispatcher and atleast one J2EE Server is Running for the SAP Instance.",
                KestrelProgramName(KestrelProgram::kJcmon));
            break;
        case KestrelJcmonLine::kDispatcherStopped:
            KESTREL_TRACE_LOG_AS(kJcmon, sev, id, L"Dispatcher Stopped for the SAP Instance.");
            break;
        case KestrelJcmonLine::kServersStopped:
            KESTREL_TRACE_LOG_AS(kJcmon, sev, id, L"All J2EE Servers Stopped for the SAP Instance.");
            break;
        case KestrelJcmonLine::kUndetermined:
            KESTREL_TRACE_LOG_AS(kJcmon, sev, id,
                                 L"The status of the SAP Instance couldn't be determined with %s.",
                                 KestrelProgramName(KestrelProgram::kJcmon));
            break;
    }
}

}  // namespace

CKestrelStatus CKestrel::_RunJcmonMonitorCheck(CKestrelAttrib& attrib, uint32_t& state, uint32_t dwTimeOut) {
    TERN_TRACE(L"_RunJcmonMonitorCheck is called with dwTimeOut [%d]", dwTimeOut);
    CKestrelStatus status;
    status.Clear();
    const std::wstring& user = attrib.GetSAPAdmin();
    const std::wstring& domain = attrib.GetSAPAdminDomain();

    TernAccount account;
    {
        const CKestrelPassword password = attrib.GetSAPAdminPassword();
        status = TernLogonUser(user, domain, password.Get(), TernLogonType::kInteractive, account);
    }
    if (status.IsFailure()) {
        TERN_TRACE(L"[%d] LogonUser failed. User = [%s], Domain = [%s]", status.GetError(), user, domain);
        return status;
    }

    std::wstring tool;
    if (!LocateJcmon(attrib, tool, status)) return status;
    const std::wstring command = tool + L" pf=" + attrib.GetInstProfile();
    TERN_TRACE(L"Executing the command [%s] to check the SAP Instance status.", command);
    if (dwTimeOut == 0) {
        // A spent budget is a time-out: jcmon is not started.
        TERN_TRACE(L"No time is left in the budget to run the command [%s]; it counts as timed out.",
                   command);
        status.Set(CKestrelStatus::kTimedOut, TERN_WAIT_TIMEOUT);
        return status;
    }

    TernRunOptions options;
    options.account = &account;
    options.commandLine = command;
    options.input = std::string(kJcmonDialogue, sizeof kJcmonDialogue);
    options.timeoutMs = dwTimeOut;
    options.maxOutput = SIZE_MAX;  // the verdict may come late in a long answer: all of it is scanned
    TernRunResult result;
    status = TernRunCommand(options, result);
    if (status.IsFailure() && RunFailed(result, status, command, user, domain)) return status;

    JudgeJcmon(TernMbToWide(result.output), state);
    status.Clear();
    return status;
}
