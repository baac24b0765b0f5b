// The jcmon check: SAP's Java control tool asked for its dispatcher and server processes.
#include <cstdint>
#include <string>

#include "Kestrel.h"
#include "KestrelLog.h"
#include "KestrelUtil.h"
#include "LibError.h"
#include "LibLogger.h"
#include "LibLogon.h"
#include "LibPasswordCodec.h"
#include "LibPlatform.h"
#include "LibRunAs.h"
#include "LibWide.h"

namespace {

// The menu dialogue jcmon reads: "20", line feed, "0", line feed, "0".
constexpr char kJcmonDialogue[] = {0x32, 0x30, 0x0A, 0x30, 0x0A, 0x30};

struct Scan {
    bool dispatcherRunning = false;
    bool dispatcherStopped = false;
    bool serverRunning = false;
    bool serverStopped = false;
    bool serverOther = false;
};

// Scans jcmon's answer line by line (empty lines vanish); comparisons are case-sensitive substrings.
Scan ScanOutput(const std::wstring& text) {
    Scan s;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(L'\n', pos);
        if (end == std::wstring::npos) end = text.size();
        std::wstring_view line(text.data() + pos, end - pos);
        pos = end + 1;
        if (line.empty()) continue;
        if (line.find(L"dispatcher") != std::wstring_view::npos) {
            if (line.find(L"Running") != std::wstring_view::npos) {
                s.dispatcherRunning = true;
                if (s.serverRunning) break;
            } else if (line.find(L"Stopped") != std::wstring_view::npos) {
                s.dispatcherStopped = true;
                break;
            }
        } else if (line.find(L"server") != std::wstring_view::npos) {
            if (line.find(L"Running") != std::wstring_view::npos) {
                s.serverRunning = true;
                s.serverStopped = false;
                s.serverOther = false;
                if (s.dispatcherRunning) break;
            } else if (line.find(L"Stopped") != std::wstring_view::npos) {
                s.serverStopped = true;
            } else {
                s.serverOther = true;
            }
        }
    }
    return s;
}

}  // namespace

CKestrelStatus CKestrel::_RunJcmonMonitorCheck(CKestrelAttrib& attrib, uint32_t& state, uint32_t dwTimeOut) {
    TERN_TRACE(L"_RunJcmonMonitorCheck is called with dwTimeOut [%d]", dwTimeOut);
    CKestrelStatus status;
    status.Clear();
    const std::wstring& home = attrib.GetSAPHome();
    const std::wstring& monHome = attrib.GetSAPMonHome();
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

    // Candidate paths, in order; the third needs the SAP root, which SAPHome gives only when it holds SAPSID.
    bool sidFound = false;
    const std::wstring root = SapRoot(attrib, sidFound);
    struct Candidate {
        std::wstring path;
        const std::wstring* dir;
    };
    std::vector<Candidate> candidates = {{monHome + kTernPathSep + L"jcmon.exe", &monHome},
                                         {home + kTernPathSep + L"jcmon.exe", &home}};
    if (sidFound) {
        candidates.push_back({root + kTernPathSep + attrib.GetSAPSID() + kTernPathSep + attrib.GetInstName() +
                                  kTernPathSep + L"j2ee" + kTernPathSep + L"os_libs" + kTernPathSep +
                                  L"jcmon.exe",
                              nullptr});
    } else {
        TERN_TRACE(
            L"SAPSID [%s] does not occur in SAPHome [%s]; the instance's own jcmon.exe cannot be located.",
            attrib.GetSAPSID(), home);
    }
    std::wstring tool;
    for (size_t i = 0; i < candidates.size() && tool.empty(); ++i) {
        const Candidate& c = candidates[i];
        const bool last = i + 1 == candidates.size();
        bool exists = false;
        CKestrelStatus st = CKestrelUtil::DoesExistFile(c.path, exists);
        if (st.IsFailure()) {
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistFile", st.GetCode(),
                       st.GetError());
            if (i < 2) {
                TERN_TRACE(
                    L"Failed to evaluate the path for jcmon.exe [%s]. Please make sure the directory [%s] "
                    L"exists.",
                    c.path, *c.dir);
                KESTREL_LOG(KSEV_ERROR, i == 0 ? 20108u : 20109u,
                            L"Failed to evaluate the path for jcmon.exe [%s]. Please make sure the directory "
                            L"[%s] exists.",
                            c.path, *c.dir);
            } else {
                TERN_TRACE(L"Failed to evaluate the path for jcmon.exe [%s].", c.path);
                KESTREL_LOG(KSEV_ERROR, 20110, L"Failed to evaluate the path for jcmon.exe [%s].", c.path);
            }
            return st;
        }
        if (exists) {
            tool = c.path;
        } else if (!last) {
            TERN_TRACE(L"The binary [%s] does NOT exist. Checking in alternative path ...", c.path);
        } else {
            status.Set(CKestrelStatus::kPlatform, TERN_ERROR_FILE_NOT_FOUND);
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistFile.", status.GetCode(),
                       status.GetError());
            TERN_TRACE(L"The binary [%s] does NOT exist.", c.path);
            KESTREL_LOG(KSEV_ERROR, 20111,
                        L"The binary [%s] does NOT exist. Skipping Second Level Monitor...", c.path);
            return status;
        }
    }

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
    if (status.IsFailure()) {
        switch (result.failedStep) {
            case TernRunStep::kEnvironment:
                TERN_TRACE(L"[%d] CreateEnvBlock failed. User = [%s], Domain = [%s]", status.GetError(), user,
                           domain);
                return status;
            case TernRunStep::kPipes:
                if (result.failedPipe == TernRunResult::PipePart::kOutput) {
                    TERN_TRACE(L"CreatePipe failed for the standard output.");
                    KESTREL_LOG(KSEV_ERROR, 20114, L"CreatePipe failed for the standard output.");
                } else if (result.failedPipe == TernRunResult::PipePart::kInputWrite) {
                    TERN_TRACE(L"WriteFile failed to push the input for jcmon.exe into the stdin pipe.");
                    KESTREL_LOG(KSEV_ERROR, 20116,
                                L"WriteFile failed to push the input for jcmon.exe into the stdin pipe.");
                } else {
                    TERN_TRACE(L"CreatePipe failed for the standard input.");
                    KESTREL_LOG(KSEV_ERROR, 20112, L"CreatePipe failed for the standard input.");
                }
                return status;
            case TernRunStep::kStart:
                TERN_TRACE(L"[%d] CreateProcessAsUser failed. CmdLine = [%s].", status.GetError(), command);
                KESTREL_LOG(KSEV_ERROR, 20117, L"[%d] CreateProcessAsUser failed. CmdLine = [%s].",
                            status.GetError(), command);
                return status;
            default:
                if (status.GetError() == TERN_WAIT_TIMEOUT)
                    return status;  // killed and reaped; state untouched
                // A failed wait: the child was ended and reaped; what it wrote is still scanned.
                TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::_RunEnsmonMonitorCheck.",
                           status.GetCode(), status.GetError());
                break;
        }
    }

    const Scan s = ScanOutput(TernMbToWide(result.output));
    if (s.dispatcherRunning && s.serverRunning) {
        state = KSTATE_ONLINE;
        TERN_TRACE(
            L"jcmon.exe indicates Dispatcher and atleast one J2EE Server is Running for the SAP Instance.");
    } else if (s.dispatcherStopped) {
        state = KSTATE_OFFLINE;
        TERN_TRACE(L"Dispatcher Stopped for the SAP Instance.");
        KESTREL_LOG(KSEV_ERROR, 20122, L"Dispatcher Stopped for the SAP Instance.");
    } else if (s.serverStopped && !s.serverRunning && !s.serverOther) {
        state = KSTATE_OFFLINE;
        TERN_TRACE(L"All J2EE Servers Stopped for the SAP Instance.");
        KESTREL_LOG(KSEV_ERROR, 20123, L"All J2EE Servers Stopped for the SAP Instance.");
    } else {
        state = KSTATE_UNKNOWN;
        TERN_TRACE(L"The status of the SAP Instance couldn't be determined with jcmon.exe.");
        KESTREL_LOG(KSEV_WARNING, 20124,
                    L"The status of the SAP Instance couldn't be determined with jcmon.exe.");
    }
    status.Clear();
    return status;
}
