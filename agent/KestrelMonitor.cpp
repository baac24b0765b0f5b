// Monitor and its three levels: processes and service, SAP's status tools, the user's monitor program.
#include <algorithm>
#include <climits>
#include <string>

#include "Kestrel.h"
#include "KestrelLog.h"
#include "KestrelUtil.h"
#include "LibClock.h"
#include "LibError.h"
#include "LibLogger.h"
#include "LibPasswordCodec.h"
#include "LibPlatform.h"
#include "LibWide.h"

namespace {

// Where operators get the RFC status tool when it is missing.
constexpr const wchar_t* kSapinfoDownloadHint =
    L"If you do not have sapinfo.exe please dowload SAP RFC SDK from https://support.sap.com/swdc.";

bool IsEnqueueType(const std::wstring& t) {
    return t == L"ENQUEUE" || t == L"ENQREP" || t == L"AENQUEUE" || t == L"AENQREP" || t == L"JENQUEUE" ||
           t == L"JENQREP";
}

std::wstring JoinPath(const std::wstring& dir, const wchar_t* name) {
    return dir + kTernPathSep + name;
}

}  // namespace

uint32_t CKestrel::RemainingMs(uint64_t startMs, uint32_t timeinhand) {
    return CKestrelBudget::Remaining(startMs, timeinhand, TernNowMs());
}

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

CKestrelStatus CKestrel::_RunTool(CKestrelAttrib& attrib, const std::wstring& command,
                                  const std::wstring& workDir, uint32_t remainingMs, uint32_t& exitCode) {
    CKestrelStatus status;
    if (remainingMs == 0) {
        // A spent budget is a time-out: nothing is started.
        TERN_TRACE(L"No time is left in the budget to run the command [%s]; it counts as timed out.",
                   command);
        status.Set(CKestrelStatus::kTimedOut, TERN_WAIT_TIMEOUT);
        return status;
    }
    const CKestrelPassword password = attrib.GetSAPAdminPassword();
    std::wstring output;
    status =
        CKestrelUtil::CreateAndGetExitCode(command, workDir, attrib.GetSAPAdmin(), attrib.GetSAPAdminDomain(),
                                           password.Get(), output, exitCode, remainingMs);
    return status;
}

CKestrelStatus CKestrel::Monitor(CKestrelAttrib& attrib, uint32_t& state) {
    CKestrelStatus status;
    status.Clear();
    const uint64_t start = TernNowMs();
    const uint32_t timeinhand = BudgetMs(attrib);
    state = KSTATE_UNKNOWN;
    m_CurrentEP = KCUR_MONITOR;

    TERN_TRACE(L"Perform the process level check(first level monitor).");
    status = _FirstLevelMonitor(attrib, state, timeinhand);
    if (status.IsFailure()) {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"Failed to perform process level check.", status.GetCode(),
                   status.GetError());
        return status;
    }
    if (state != KSTATE_ONLINE) {
        TERN_TRACE(L"Process level check returned resource is NOT Online.");
        return status;
    }
    TERN_TRACE(L"Process level check returned resource is Online.");
    const int32_t n = attrib.GetSecondLevelMonitor();
    CKestrelStatus ignored;
    bool runSecond = false;
    if (n <= 0) {
        TERN_TRACE(L"SecondLevelMonitor is set to [%d]. Skipping the Second Level Monitor.", n);
        attrib.SetSLMCounter(ignored, 0, attrib.GetResourceName());
    } else {
        TERN_TRACE(L"Getting the SLMCounter.");
        uint32_t k = 0;
        CKestrelStatus read;
        attrib.GetSLMCounter(read, k, attrib.GetResourceName(), true);
        if (read.IsFailure()) {
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"Failed to get the SLMCounter.", read.GetCode(),
                       read.GetError());
        } else {
            TERN_TRACE(L"Got SLMCounter [%d] from cookie.", k);
        }
        if (k == 0) k = static_cast<uint32_t>(n);
        if (k == 1) {
            TERN_TRACE(L"Setting SLMCounter to [%d].", n);
            attrib.SetSLMCounter(ignored, static_cast<uint32_t>(n), attrib.GetResourceName());
            runSecond = true;
        } else if (k == static_cast<uint32_t>(n)) {
            TERN_TRACE(L"Setting SLMCounter to [%d].", k - 1);
            attrib.SetSLMCounter(ignored, k - 1, attrib.GetResourceName());
            runSecond = true;
        } else {
            TERN_TRACE(L"Decrementing SLMCounter to [%d].", k - 1);
            attrib.SetSLMCounter(ignored, k - 1, attrib.GetResourceName());
        }
    }

    if (runSecond) {
        CKestrelStatus second = _SecondLevelMonitor(attrib, state, RemainingMs(start, timeinhand));
        if (second.IsFailure()) {
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"Failed to perform second level monitoring.",
                       second.GetCode(), second.GetError());
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

    CKestrelStatus third = _ThirdLevelMonitor(attrib, state, RemainingMs(start, timeinhand));
    if (third.IsFailure()) {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"Failed to perform third level monitoring.", third.GetCode(),
                   third.GetError());
        KESTREL_LOG(KSEV_ERROR, 20057, L"Failed to perform third level monitoring [%d 0x%.08X].",
                    third.GetCode(), third.GetError());
        return third;
    }
    if (state != KSTATE_ONLINE) {
        TERN_TRACE(L"Third level monitor returned resource is NOT Online.");
        KESTREL_LOG(KSEV_ERROR, 20058, L"Third level monitor returned resource is NOT Online.");
    }
    return status;
}

CKestrelStatus CKestrel::_FirstLevelMonitor(CKestrelAttrib& attrib, uint32_t& state, uint32_t timeinhand) {
    CKestrelStatus status;
    status.Clear();
    GetResourceState(attrib, state, timeinhand);  // its status is replaced by the service query's
    const std::wstring service = L"SAP" + attrib.GetSAPSID() + L"_" + attrib.GetInstNumber();
    TERN_TRACE(L"Going to check the status of the SAP Service [%s].", service);
    bool running = false;
    status = CKestrelUtil::IsServiceRunning(service, running);
    if (status.IsFailure()) {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::IsServiceRunning", status.GetCode(),
                   status.GetError());
        TERN_TRACE(L"Failed to get the status of SAP Service [%s].", service);
        return status;
    }
    if (!running && state == KSTATE_ONLINE) {
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
    const uint64_t start = TernNowMs();
    const std::wstring& monHome = attrib.GetSAPMonHome();
    const std::wstring& host = attrib.GetSAPHost();
    const std::wstring& profile = attrib.GetInstProfile();
    const std::wstring& type = attrib.GetInstType();
    TERN_TRACE(L"Going to run Second level monitor.");
    // The verdict line written after a check that ran.
    auto resultTrace = [](uint32_t verdict) {
        if (verdict == KSTATE_ONLINE) {
            TERN_TRACE(L"Second Level Monitor returned Resource state as Online.");
        } else if (verdict == KSTATE_OFFLINE) {
            TERN_TRACE(L"Second Level Monitor returned Resource state as Offline.");
        } else {
            TERN_TRACE(L"Second Level Monitor returned Resource state as Unknown.");
        }
    };
    auto unknown = [&](const CKestrelStatus& st) {
        state = KSTATE_UNKNOWN;
        return st;
    };

    if (monHome.empty()) {
        TERN_TRACE(L"SAPMonHome [%s] is null.", monHome);
        KESTREL_LOG(KSEV_ERROR, 20075, L"SAPMonHome [%s] is null.", monHome);
        return unknown(status);
    }
    bool isDir = false;
    CKestrelStatus st = CKestrelUtil::IsDirectory(monHome, isDir);
    if (st.IsFailure()) {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistDir", st.GetCode(), st.GetError());
        TERN_TRACE(L"Failed to get the status of Directory SAPMonHome [%s].", monHome);
        return unknown(st);
    }
    if (!isDir) {
        status.Set(CKestrelStatus::kPlatform, TERN_ERROR_PATH_NOT_FOUND);
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"SAPMonHome directory NOT found.", status.GetCode(),
                   status.GetError());
        TERN_TRACE(L"SAPMonHome [%s] directory does NOT exist.", monHome);
        KESTREL_LOG(KSEV_ERROR, 20076, L"SAPMonHome [%s] directory does NOT exist.", monHome);
        return unknown(status);
    }

    const int32_t arch = CKestrelUtil::FindSAPArch(attrib.GetProcMon());
    if (arch == KARCH_ABAP || arch == KARCH_ADDIN) {
        if (host.empty()) {
            TERN_TRACE(L"SAPHost [%s] is NULL.", host);
            KESTREL_LOG(KSEV_ERROR, 20077, L"SAPHost [%s] is NULL.", host);
            return unknown(status);
        }
        bool valid = false;
        st = CKestrelUtil::IsValidHostName(host, valid);
        if (st.IsFailure()) {
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::IsValidHostName", st.GetCode(),
                       st.GetError());
            TERN_TRACE(L"Failed to validate the SAPHost with name [%s].", host);
            return unknown(st);
        }
        if (!valid) {
            TERN_TRACE(L"SAPHost name [%s] is NOT valid.", host);
            KESTREL_LOG(KSEV_ERROR, 20078, L"SAPHost name [%s] is NOT valid.", host);
            return unknown(status);
        }
    }
    if (arch != KARCH_ABAP) {
        if (profile.empty()) {
            TERN_TRACE(L"InstProfile [%s] is NULL.", profile);
            KESTREL_LOG(KSEV_ERROR, 20079, L"InstProfile [%s] is NULL.", profile);
            return unknown(status);
        }
        const CKestrelPassword password = attrib.GetSAPAdminPassword();
        bool exists = false;
        st = CKestrelUtil::DoesExistInstProfile(profile, attrib.GetSAPAdmin(), attrib.GetSAPAdminDomain(),
                                                password.Get(), exists);
        if (st.IsFailure()) {
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistFile.", st.GetCode(),
                       st.GetError());
            KESTREL_LOG(KSEV_ERROR, 20080, L"InstProfile [%s] does NOT exist.", profile);
            return unknown(st);
        }
        if (!exists) {
            status.Set(CKestrelStatus::kPlatform, TERN_ERROR_BAD_ARGUMENTS);
            TERN_TRACE(L"InstProfile [%s] does NOT exist [%d, 0x%.08X].", profile, status.GetCode(),
                       status.GetError());
            TERN_TRACE(L"InstProfile [%s] is NOT valid.", profile);
            KESTREL_LOG(KSEV_ERROR, 20081, L"InstProfile [%s] does NOT exist.", profile);
            return unknown(status);
        }
    }

    // Runs one tool as the administrator within what is left of the budget; a failed run is traced and logged
    // with the ids of the calling branch (time-out, other failure).
    auto runTool = [&](const std::wstring& command, uint32_t timedOutId, uint32_t failedId,
                       uint32_t& exitCode) {
        TERN_TRACE(L"Execute the command [%s] to find the status of SAP Instance.", command);
        CKestrelStatus run = _RunTool(attrib, command, monHome, RemainingMs(start, timeinhand), exitCode);
        if (run.IsFailure()) {
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::CreateAndGetExitCode", run.GetCode(),
                       run.GetError());
            if (run.GetError() == TERN_WAIT_TIMEOUT) {
                TERN_TRACE(L"The command [%s] timed out.", command);
                KESTREL_LOG(KSEV_ERROR, timedOutId, L"The command [%s] timed out.", command);
            } else {
                TERN_TRACE(L"Failed to execute the command [%s].", command);
                KESTREL_LOG(KSEV_ERROR, failedId, L"Failed to execute the command [%s].", command);
            }
        }
        return run;
    };

    const std::wstring sapinfoPath = JoinPath(monHome, L"sapinfo.exe");
    const std::wstring sapinfoCmd = sapinfoPath + L" ashost=" + host + L" sysnr=" + attrib.GetInstNumber();

    if (arch == KARCH_ABAP) {
        bool exists = false;
        st = CKestrelUtil::DoesExistFile(sapinfoPath, exists);
        if (st.IsFailure()) {
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistFile", st.GetCode(),
                       st.GetError());
            TERN_TRACE(L"Failed to find the status of sapinfo.exe [%s].", sapinfoPath);
            return unknown(st);
        }
        if (!exists) {
            status.Set(CKestrelStatus::kPlatform, TERN_ERROR_FILE_NOT_FOUND);
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistFile.", status.GetCode(),
                       status.GetError());
            TERN_TRACE(L"sapinfo.exe command path [%s] does NOT exist. Please check the file location.",
                       sapinfoPath);
            TERN_TRACE(L"%s", kSapinfoDownloadHint);
            KESTREL_LOG(KSEV_ERROR, 20082,
                        L"sapinfo.exe command path [%s] does NOT exist. Please check the file location.",
                        sapinfoPath);
            KESTREL_LOG(KSEV_INFO, 20083, L"%s", kSapinfoDownloadHint);
            return unknown(status);
        }
        uint32_t exitCode = 0;
        st = runTool(sapinfoCmd, 20084, 20085, exitCode);
        if (st.IsFailure()) return unknown(st);
        _InterpretSapinfoExitCode(static_cast<int32_t>(exitCode), state, type);
        resultTrace(state);
        return status;
    }

    if (arch == KARCH_JAVA) {
        TERN_TRACE(L"Run Second Level Monitor test(jcmon.exe) for SAP Instance with InstProfile [%s].",
                   profile);
        st = _RunJcmonMonitorCheck(attrib, state, RemainingMs(start, timeinhand));
        if (st.IsFailure()) {
            TERN_TRACE(L"The jcmon.exe command failed with error code [%d 0x%.08X].", st.GetCode(),
                       st.GetError());
            if (st.GetError() == TERN_WAIT_TIMEOUT) {
                TERN_TRACE(L"The jcmon.exe command timed out.");
                KESTREL_LOG(KSEV_ERROR, 20086, L"The jcmon.exe command timed out.");
            }
            TERN_TRACE(L"SecondLevelMonitor for SAP Instance(Java) Failed.");
            return unknown(st);
        }
        resultTrace(state);
        return status;
    }

    if (arch == KARCH_ADDIN) {
        uint32_t abapHalf = KSTATE_UNKNOWN;
        uint32_t javaHalf = KSTATE_UNKNOWN;
        bool exists = false;
        st = CKestrelUtil::DoesExistFile(sapinfoPath, exists);
        if (st.IsFailure()) {
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistFile", st.GetCode(),
                       st.GetError());
            TERN_TRACE(L"Failed to find the status of sapinfo.exe [%s].", sapinfoPath);
        } else if (!exists) {
            status.Set(CKestrelStatus::kPlatform, TERN_ERROR_FILE_NOT_FOUND);
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistFile.", status.GetCode(),
                       status.GetError());
            TERN_TRACE(L"sapinfo.exe command path [%s] does NOT exist.", sapinfoPath);
            KESTREL_LOG(KSEV_ERROR, 20087, L"sapinfo.exe command path [%s] does NOT exist.", sapinfoPath);
        }
        uint32_t exitCode = 0;
        // Only a run that succeeded is interpreted; a failed one leaves the ABAP half unknown.
        if (runTool(sapinfoCmd, 20088, 20089, exitCode).IsSuccess())
            _InterpretSapinfoExitCode(static_cast<int32_t>(exitCode), abapHalf, type);
        if (abapHalf == KSTATE_OFFLINE) {
            state = KSTATE_OFFLINE;
            status.Clear();
            return status;
        }
        TERN_TRACE(L"Run Second Level Monitor test(jcmon.exe) for SAP Instance with InstProfile [%s].",
                   profile);
        st = _RunJcmonMonitorCheck(attrib, javaHalf, RemainingMs(start, timeinhand));
        if (st.IsFailure()) {
            TERN_TRACE(L"The jcmon.exe command failed with error code [%d 0x%.08X].", st.GetCode(),
                       st.GetError());
            if (st.GetError() == TERN_WAIT_TIMEOUT) {
                TERN_TRACE(L"The jcmon.exe command timed out.");
                KESTREL_LOG(KSEV_ERROR, 20090, L"The jcmon.exe command timed out.");
            }
            TERN_TRACE(L"SecondLevelMonitor for SAP Instance(Add-In) Failed.");
            return unknown(st);
        }
        if (abapHalf == KSTATE_ONLINE && javaHalf == KSTATE_ONLINE) {
            state = KSTATE_ONLINE;
        } else if (abapHalf == KSTATE_UNKNOWN && javaHalf == KSTATE_OFFLINE) {
            state = KSTATE_OFFLINE;
        } else {
            state = KSTATE_UNKNOWN;
        }
        resultTrace(state);
        status.Clear();
        return status;
    }

    if (!IsEnqueueType(type)) return status;  // nothing to ask: the state stays as it was
    const std::wstring ensmonPath = JoinPath(monHome, L"ensmon.exe");
    const std::wstring ensmonCmd = ensmonPath + L" pf=" + profile + L" 2";
    bool exists = false;
    st = CKestrelUtil::DoesExistFile(ensmonPath, exists);
    if (st.IsFailure()) {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistFile", st.GetCode(), st.GetError());
        TERN_TRACE(L"Failed to find the status of ensmon.exe [%s].", ensmonPath);
        return unknown(st);
    }
    if (!exists) {
        status.Set(CKestrelStatus::kPlatform, TERN_ERROR_FILE_NOT_FOUND);
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistFile.", status.GetCode(),
                   status.GetError());
        TERN_TRACE(L"ensmon.exe command path [%s] does NOT exist.", ensmonPath);
        KESTREL_LOG(KSEV_ERROR, 20091, L"ensmon.exe command path [%s] does NOT exist.", ensmonPath);
        return unknown(status);
    }
    uint32_t exitCode = 0;
    st = runTool(ensmonCmd, 20092, 20093, exitCode);
    if (st.IsFailure()) return unknown(st);
    _InterpretEnsmonExitCode(static_cast<int32_t>(exitCode), state, type);
    resultTrace(state);
    return status;
}

CKestrelStatus CKestrel::_InterpretSapinfoExitCode(int32_t exitCode, uint32_t& state,
                                                   const std::wstring& instType) {
    CKestrelStatus status;
    status.Clear();
    TERN_TRACE(L"_InterpretSapinfoExitCode is called with exitcode [%d] and insttype [%s].", exitCode,
               instType);
    TERN_TRACE(L"Going to Interpret exit code of sapinfo.exe [%d] for [%s] instance.", exitCode, instType);
    switch (exitCode) {
        case 0:
            state = KSTATE_ONLINE;
            break;
        case 2:
            state = KSTATE_OFFLINE;
            TERN_TRACE(L"sapinfo.exe returned with exitcode [%d].", exitCode);
            KESTREL_LOG(KSEV_ERROR, 20099, L"sapinfo.exe returned with exitcode [%d].", exitCode);
            break;
        case 1:
        case 3:
        case 4:
            state = KSTATE_UNKNOWN;
            TERN_TRACE(L"sapinfo.exe returned with exitcode [%d].", exitCode);
            KESTREL_LOG(KSEV_ERROR, 20100, L"sapinfo.exe returned with exitcode [%d].", exitCode);
            break;
        default:
            state = KSTATE_UNKNOWN;
            TERN_TRACE(L"sapinfo.exe returned with invalid exitcode [%d].", exitCode);
            KESTREL_LOG(KSEV_ERROR, 20101, L"sapinfo.exe returned with invalid exitcode [%d].", exitCode);
            break;
    }
    if (state == KSTATE_ONLINE) {
        TERN_TRACE(L"Sapinfo check indicates the state of the SAP Instance as Up and Running (Online).");
    } else if (state == KSTATE_OFFLINE) {
        TERN_TRACE(L"Sapinfo check indicates the state of the SAP Instance as Down and Stopped (Offline).");
    } else {
        TERN_TRACE(L"Can not find the state of the SAP Instance with Sapinfo check (Unknown).");
    }
    return status;
}

CKestrelStatus CKestrel::_InterpretEnsmonExitCode(int32_t exitCode, uint32_t& state,
                                                  const std::wstring& instType) {
    CKestrelStatus status;
    status.Clear();
    TERN_TRACE(L"_InterpretEnsmonExitCode is called with exitcode [%d] and insttype [%s].", exitCode,
               instType);
    if (instType == L"ENQUEUE" || instType == L"AENQUEUE" || instType == L"JENQUEUE") {
        TERN_TRACE(L"Going to Interpret exit code[%d] of ensmon.exe for [%s] instance.", exitCode, instType);
        if (exitCode == 0) {
            state = KSTATE_ONLINE;
        } else if (exitCode == 4) {
            state = KSTATE_ONLINE;
            TERN_TRACE(L"Replication is enabled in server, but no repl. server is connected.");
            KESTREL_LOG(KSEV_CRITICAL, 20102,
                        L"Replication is enabled in server, but no repl. server is connected.");
            CairnAgLogConsoleMsg2(KSEV_CRITICAL, std::string(TERN_FUNC).c_str(), __FILE__, __LINE__, 20103, 0,
                                  L"Replication is enabled in server, but no repl. server is connected.");
        } else if (exitCode == 8 || exitCode == 12) {
            state = KSTATE_OFFLINE;
            TERN_TRACE(L"ensmon.exe returned with exitcode [%d].", exitCode);
            KESTREL_LOG(KSEV_ERROR, 20104, L"ensmon.exe returned with exitcode [%d].", exitCode);
        } else {
            state = KSTATE_UNKNOWN;
            TERN_TRACE(L"ensmon.exe returned with invalid exitcode [%d].", exitCode);
            KESTREL_LOG(KSEV_WARNING, 20105, L"ensmon.exe returned with invalid exitcode [%d].", exitCode);
        }
    } else if (instType == L"ENQREP" || instType == L"AENQREP" || instType == L"JENQREP") {
        TERN_TRACE(L"Going to Interpret exit code[%d] of ensmon.exe for Replicated Enqueue Server.",
                   exitCode);
        if (exitCode == 0) {
            state = KSTATE_ONLINE;
        } else if (exitCode == 8) {
            state = KSTATE_UNKNOWN;
            TERN_TRACE(
                L"ensmon.exe returned with invalid exitcode [%d]. Enqueue Server might be failing over or "
                L"Offline.",
                exitCode);
            KESTREL_LOG(KSEV_NOTICE, 20106,
                        L"ensmon.exe returned with invalid exitcode [%d]. Enqueue Server might be failing "
                        L"over or Offline.",
                        exitCode);
        } else {
            state = KSTATE_UNKNOWN;
            TERN_TRACE(L"ensmon.exe returned with invalid exitcode [%d].", exitCode);
            KESTREL_LOG(KSEV_WARNING, 20107, L"ensmon.exe returned with invalid exitcode [%d].", exitCode);
        }
    }
    if (state == KSTATE_ONLINE) {
        TERN_TRACE(L"Ensmon check indicates the state of the SAP Instance as Up and Running (Online).");
    } else if (state == KSTATE_OFFLINE) {
        TERN_TRACE(L"Ensmon check indicates the state of the SAP Instance as Down and Stopped (Offline).");
    } else if (state == KSTATE_UNKNOWN) {
        TERN_TRACE(L"Can not find the state of the SAP Instance with Ensmon check (Unknown).");
    }
    return status;
}

CKestrelStatus CKestrel::_ThirdLevelMonitor(CKestrelAttrib& attrib, uint32_t& state, uint32_t timeinhand) {
    TERN_TRACE(L"_ThirdLevelMonitor is called with timeinhand [%d].", timeinhand);
    const uint64_t start = TernNowMs();
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
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistFile", st.GetCode(),
                       st.GetError());
            KESTREL_LOG(KSEV_ERROR, 20094, L"Failed to check MonitorProgram [%s] exist or not.", exe);
            state = KSTATE_UNKNOWN;
            return st;
        }
    }
    if (!exists) {
        // Blanks and tabs only name no program: that counts as a missing one.
        status.Set(CKestrelStatus::kPlatform, TERN_ERROR_BAD_ARGUMENTS);
        TERN_TRACE(L"MonitorProgram [%s] does NOT exist [%d, 0x%.08X].", exe.empty() ? program : exe,
                   status.GetCode(), status.GetError());
        KESTREL_LOG(KSEV_ERROR, 20095, L"MonitorProgram [%s] does NOT exist.", exe.empty() ? program : exe);
        state = KSTATE_UNKNOWN;
        return status;
    }

    const uint32_t remaining = RemainingMs(start, timeinhand);
    TERN_TRACE(L"Going to run MonitorProgram [%s].", program);
    uint32_t exitCode = 0;
    CKestrelStatus run = _RunTool(attrib, program, L"", remaining, exitCode);
    if (run.IsFailure()) {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::CreateAndGetExitCode", run.GetCode(),
                   run.GetError());
        if (run.GetError() == TERN_WAIT_TIMEOUT) {
            TERN_TRACE(L"The MonitorProgram [%s] timed out.", program);
            KESTREL_LOG(KSEV_ERROR, 20096, L"The MonitorProgram [%s] timed out.", program);
        } else {
            TERN_TRACE(L"FaileD to run MonitorProgram [%s].", program);
        }
        state = KSTATE_UNKNOWN;
        return run;
    }
    if (exitCode == 110 || exitCode == 0) {
        state = KSTATE_ONLINE;
        TERN_TRACE(L"MonitorProgram returned Online(110).");
    } else if (exitCode == 100 || exitCode == 1) {
        state = KSTATE_OFFLINE;
        TERN_TRACE(L"MonitorProgram returned Offline(100).");
        KESTREL_LOG(KSEV_ERROR, 20097, L"MonitorProgram returned Offline(100).");
    } else {
        state = KSTATE_UNKNOWN;
        TERN_TRACE(L"MonitorProgram exited with Unknown exitcode [%d].", exitCode);
        KESTREL_LOG(KSEV_ERROR, 20098, L"MonitorProgram exited with Unknown exitcode [%d].", exitCode);
    }
    return status;
}
