// Instance control: Online, Offline and Clean.
#include "Kestrel.h"

#include <functional>
#include <string>

#include "KestrelLog.h"
#include "KestrelUtil.h"
#include "LibClock.h"
#include "LibError.h"
#include "LibLogger.h"
#include "LibPlatform.h"
#include "LibWide.h"

namespace {

constexpr uint32_t kSapinfoRunMs = 10000;
constexpr uint32_t kJcmonRunMs = 15000;
constexpr uint32_t kEnsmonRunMs = 10000;
constexpr uint32_t kCheckSleepMs = 5000;
constexpr int64_t kCleanCheckMs = 20000;

std::wstring JoinPath(const std::wstring& dir, const wchar_t* name) {
    return dir + kTernPathSep + name;
}

int32_t Secs(int64_t ms) {
    return static_cast<int32_t>(ms / 1000);
}

// How a wait-phase branch ended.
enum class WaitEnd { kUp, kEnd, kSkipToLog };

// One wait-phase branch: the tool, its run time and its messages. run returns the run's status and
// whether the tool reported the instance up; leave is set when the answer ends the loop without "up".
struct WaitBranch {
    uint32_t runMs;
    std::function<CKestrelStatus(bool& up, bool& leave)> run;
    std::function<void(int64_t)> notEnoughToRun;  // before the loop
    bool notEnoughSkipsToLog;
    std::function<void(const CKestrelStatus&)> failed;  // the run failed (time-out included)
    std::function<void()> notYet;
    std::function<void(int64_t)> notEnoughToRecheck;
    std::function<void()> sleeping;
    std::function<void(int64_t)> afterLoop;
};

// The check loop shared by the branches; remaining counts down by fixed amounts, not by the clock.
WaitEnd RunWaitLoop(const WaitBranch& b, int64_t remaining, const uint32_t& state, CKestrelStatus& status) {
    if (remaining < b.runMs) {
        b.notEnoughToRun(remaining);
        return b.notEnoughSkipsToLog ? WaitEnd::kSkipToLog : WaitEnd::kEnd;
    }
    while (remaining >= b.runMs) {
        bool up = false, leave = false;
        CKestrelStatus st = b.run(up, leave);
        if (st.IsFailure()) {
            b.failed(st);
            status.Clear();
            return WaitEnd::kEnd;
        }
        if (up || leave) break;
        b.notYet();
        remaining -= b.runMs;
        if (remaining <= b.runMs) {
            b.notEnoughToRecheck(remaining);
            break;
        }
        b.sleeping();
        TernSleep(kCheckSleepMs);
        remaining -= kCheckSleepMs;
    }
    if (remaining < b.runMs && state != KSTATE_ONLINE) {
        b.afterLoop(remaining);
        return WaitEnd::kEnd;
    }
    return WaitEnd::kUp;
}

int64_t RemainingSigned(uint64_t start, uint32_t timeinhand) {
    int64_t r = static_cast<int64_t>(timeinhand) - static_cast<int64_t>(TernNowMs() - start);
    return r < 0 ? 0 : r;
}

}  // namespace

CKestrelStatus CKestrel::Online(CKestrelAttrib& attrib, uint32_t& result) {
    CKestrelStatus status;
    uint32_t killFailed = 0;
    uint32_t state = KSTATE_UNKNOWN;
    m_CurrentEP = KCUR_ONLINE;
    const uint64_t start = TernNowMs();
    const uint32_t timeinhand = BudgetMs(attrib);
    status.Clear();
    result = 0;

    TERN_TRACE(L"Performing process level check before Online.");
    CKestrelStatus st = _FirstLevelMonitor(attrib, state, timeinhand);
    if (st.IsFailure()) {
        TERN_TRACE(L"Process level check failed before calling Online [%d 0x%.08X].", st.GetCode(),
                   st.GetError());
        KESTREL_LOG(KSEV_ERROR, 20001, L"Process level check failed before calling Online [%d 0x%.08X].",
                    st.GetCode(), st.GetError());
        return st;
    }
    if (state == KSTATE_ONLINE) {
        CairnAgLogConsoleMsg2(
            KSEV_NOTICE, std::string(TERN_FUNC).c_str(), __FILE__, __LINE__, 20002, 0,
            L"SAP Instance for this resource is already running. Not calling start executables.");
        KESTREL_LOG(KSEV_NOTICE, 20003,
                    L"SAP Instance for this resource is already running. Not calling start executables.");
        TERN_TRACE(L"SAP Instance for this resource is already running. Not calling start executables.");
        return status;
    }

    TERN_TRACE(L"Cleanup the resource for SAP Instance before Online.");
    st = Kill(attrib, RemainingMs(start, timeinhand), killFailed);
    if (st.IsFailure()) {
        TERN_TRACE(L"%s returned %d, 0x%.08X",
                   L"Failed to clean up the resource before Online for SAP Instance.", st.GetCode(),
                   st.GetError());
    } else if (killFailed != 0) {
        TERN_TRACE(L"%s returned %d, 0x%.08X",
                   L"Failed to clean up the resource before Online for SAP Instance. Continueing ... ",
                   st.GetCode(), st.GetError());
    } else {
        TERN_TRACE(L"Successfully cleaned the resource for SAP Instance before Online.");
    }

    const std::wstring service = L"SAP" + attrib.GetSAPSID() + L"_" + attrib.GetInstNumber();
    TERN_TRACE(L"Start the SAP Service [%s].", service);
    st = CKestrelUtil::StartService(service, RemainingMs(start, timeinhand));
    if (st.IsFailure()) {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::StartService", st.GetCode(), st.GetError());
        if (st.GetError() == TERN_WAIT_TIMEOUT) {
            TERN_TRACE(L"SAP Service Start [%s] timed out.", service);
            KESTREL_LOG(KSEV_ERROR, 20004, L"SAP Service Start [%s] timed out.", service);
        } else {
            TERN_TRACE(L"Failed to start the SAP Service [%s]. The return code [%d 0x%.08X].", service,
                       st.GetCode(), st.GetError());
            KESTREL_LOG(KSEV_ERROR, 20005,
                        L"Failed to start the SAP Service [%s]. The return code [%d 0x%.08X].", service,
                        st.GetCode(), st.GetError());
        }
        return st;
    }
    TERN_TRACE(L"The SAP Sevice [%s] started successfully.", service);
    KESTREL_LOG(KSEV_INFO, 20006, L"The SAP Service [%s] started successfully.", service);

    const std::wstring& home = attrib.GetSAPHome();
    const std::wstring startPath = JoinPath(home, L"startsap.exe");
    bool exists = false;
    st = CKestrelUtil::DoesExistFile(startPath, exists);
    if (st.IsFailure()) {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistFile", st.GetCode(), st.GetError());
        TERN_TRACE(L"Failed to find the SAP start command [%s]. Aborting Online.", startPath);
        return st;
    }
    if (!exists) {
        status.Set(CKestrelStatus::kPlatform, TERN_ERROR_FILE_NOT_FOUND);
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistFile.", status.GetCode(),
                   status.GetError());
        TERN_TRACE(L"SAP Start command [%s] does NOT exist. Aborting Online.", startPath);
        KESTREL_LOG(KSEV_ERROR, 20007, L"SAP Start command [%s] does NOT exist. Aborting Online.", startPath);
        return status;
    }

    const std::wstring instNr = attrib.GetInstNumber();
    const std::wstring startCmd =
        startPath + L" name=" + attrib.GetSAPSID() + L" nr=" + instNr + L" sapdiahost=" + attrib.GetSAPHost();
    TERN_TRACE(L"Start the SAP Instance with command [%s]", startCmd);
    uint32_t exitCode = 0;
    st = _RunTool(attrib, startCmd, home, RemainingMs(start, timeinhand), exitCode);
    if (st.IsFailure()) {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"SAP Instance start command failed.", st.GetCode(),
                   st.GetError());
        if (st.GetError() == TERN_WAIT_TIMEOUT) {
            TERN_TRACE(L"The SAP Instance start command [%s] timed out.", startCmd);
            KESTREL_LOG(KSEV_ERROR, 20008, L"The SAP Instance start command [%s] timed out.", startCmd);
        } else {
            TERN_TRACE(L"SAP Instance start command [%s] failed.", startCmd);
            KESTREL_LOG(KSEV_ERROR, 20009, L"SAP Instance start command [%s] failed.", startCmd);
        }
        return st;
    }
    if (exitCode != 0) {
        status.Set(CKestrelStatus::kPlatform, TernGetLastError());
        TERN_TRACE(L"The SAP start command [%s] failed with exitcode [%d]", startCmd, exitCode);
        KESTREL_LOG(KSEV_ERROR, 20010, L"The SAP start command [%s] failed with exitcode [%d]", startCmd,
                    exitCode);
        return status;
    }
    TERN_TRACE(L"The SAP start command [%s] executed successfully with exitcode [%d].", startCmd, exitCode);
    KESTREL_LOG(KSEV_INFO, 20011, L"The SAP start command [%s] executed successfully with exitcode [%d].",
                startCmd, exitCode);

    TERN_TRACE(L"Got resource name [%s]", attrib.GetResourceName());
    TERN_TRACE(L"Initializing the SLMCounter to [%d]", attrib.GetSecondLevelMonitor());
    CKestrelStatus slm;
    attrib.SetSLMCounter(slm, static_cast<uint32_t>(attrib.GetSecondLevelMonitor()),
                         attrib.GetResourceName());
    if (slm.IsFailure()) {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"Failed to Initialize the SLMCounter.", slm.GetCode(),
                   slm.GetError());
        KESTREL_LOG(KSEV_WARNING, 20012, L"Failed to Initialize the SLMCounter.");
        status = slm;
    } else {
        TERN_TRACE(L"Successfully set the SLMCounter to [%d]", attrib.GetSecondLevelMonitor());
    }

    // Wait phase: SAP's own tools say when the instance is up.
    const std::wstring& monHome = attrib.GetSAPMonHome();
    const std::wstring sapinfoPath = JoinPath(monHome, L"sapinfo.exe");
    const std::wstring sapinfoCmd = sapinfoPath + L" ashost=" + attrib.GetSAPHost() + L" sysnr=" + instNr;
    const std::wstring ensmonPath = JoinPath(monHome, L"ensmon.exe");
    const std::wstring ensmonCmd = ensmonPath + L" pf=" + attrib.GetInstProfile() + L" 2";
    const std::wstring& type = attrib.GetInstType();
    const int32_t arch = CKestrelUtil::FindSAPArch(attrib.GetProcMon());

    auto sapinfoRun = [&](bool& up, bool&) {
        TERN_TRACE(L"Checking the status of SAP Instance with the command [%s].", sapinfoCmd);
        CKestrelStatus r = _RunTool(attrib, sapinfoCmd, monHome, kSapinfoRunMs, exitCode);
        up = r.IsSuccess() && exitCode == 0;
        return r;
    };
    auto jcmonRun = [&](bool& up, bool&) {
        CKestrelStatus r = _RunJcmonMonitorCheck(attrib, state, kJcmonRunMs);
        up = r.IsSuccess() && state == KSTATE_ONLINE;
        return r;
    };
    auto commandFailed = [&](const CKestrelStatus& r, const std::wstring& cmd) {
        TERN_TRACE(L"The command [%s] failed with error code [%d 0x%.08X].", cmd, r.GetCode(), r.GetError());
    };
    auto jcmonFailed = [&](const CKestrelStatus& r) {
        TERN_TRACE(L"The jcmon.exe command failed with error code [%d 0x%.08X].", r.GetCode(), r.GetError());
    };
    auto sleepTrace = [] { TERN_TRACE(L"Going to sleep for [5]secs before rechecking the status."); };

    // Checks a tool path before its loop; false ends the wait phase (status cleared).
    auto toolThere = [&](const std::wstring& path, bool abapMessage, bool addInMessage) {
        bool there = false;
        CKestrelStatus r = CKestrelUtil::DoesExistFile(path, there);
        if (r.IsFailure()) {
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistFile", r.GetCode(), r.GetError());
            if (abapMessage || addInMessage) {
                TERN_TRACE(L"Failed to find the status of sapinfo.exe [%s].", path);
            } else {
                TERN_TRACE(L"Failed to find the status of ensmon.exe [%s].", path);
            }
            status.Clear();
            return false;
        }
        if (!there) {
            status.Set(CKestrelStatus::kPlatform, TERN_ERROR_FILE_NOT_FOUND);
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistFile.", status.GetCode(),
                       status.GetError());
            if (abapMessage) {
                TERN_TRACE(L"Command [%s] does NOT exist.", path);
                KESTREL_LOG(KSEV_WARNING, 20013, L"Command [%s] does NOT exist.", path);
            } else if (addInMessage) {
                TERN_TRACE(L"sapinfo.exe command path [%s] does NOT exist.", path);
                KESTREL_LOG(KSEV_NOTICE, 20024, L"sapinfo.exe command path [%s] does NOT exist.", path);
            } else {
                TERN_TRACE(L"ensmon.exe command path [%s] does NOT exist.", path);
                KESTREL_LOG(KSEV_NOTICE, 20035, L"ensmon.exe command path [%s] does NOT exist.", path);
            }
            status.Clear();
            return false;
        }
        return true;
    };

    WaitEnd end = WaitEnd::kUp;
    if (arch == KARCH_ABAP) {
        if (!toolThere(sapinfoPath, true, false)) return status;
        WaitBranch b{
            kSapinfoRunMs,
            sapinfoRun,
            [&](int64_t r) {
                TERN_TRACE(L"Not enough time [%d]secs to run the command [%s].", Secs(r), sapinfoCmd);
                KESTREL_LOG(KSEV_WARNING, 20014, L"Not enough time [%d]secs to run the command [%s].",
                            Secs(r), sapinfoCmd);
            },
            false,
            [&](const CKestrelStatus& r) {
                commandFailed(r, sapinfoCmd);
                if (r.GetError() != TERN_WAIT_TIMEOUT) return;
                TERN_TRACE(L"The command [%s] timed out.", sapinfoCmd);
                KESTREL_LOG(KSEV_WARNING, 20015, L"The command [%s] timed out.", sapinfoCmd);
            },
            [&] {
                TERN_TRACE(L"Command [%s] executed and returned unsuccessful exit code [%d].", sapinfoCmd,
                           exitCode);
            },
            [&](int64_t r) {
                TERN_TRACE(L"Not enough time [%d]secs to recheck the status with the command [%s].", Secs(r),
                           sapinfoCmd);
                KESTREL_LOG(KSEV_WARNING, 20017,
                            L"Not enough time [%d]secs to recheck the status with the command [%s].", Secs(r),
                            sapinfoCmd);
            },
            sleepTrace,
            [&](int64_t r) {
                TERN_TRACE(L"Not enough time [%d]secs to run the command [%s].", Secs(r), sapinfoCmd);
                KESTREL_LOG(KSEV_WARNING, 20018, L"Not enough time [%d]secs to run the command [%s].",
                            Secs(r), sapinfoCmd);
            }};
        b.run = [&](bool& up, bool& leave) {
            CKestrelStatus r = sapinfoRun(up, leave);
            if (up) {
                TERN_TRACE(L"Command [%s] executed successfully with exit code [%d].", sapinfoCmd, exitCode);
                KESTREL_LOG(KSEV_INFO, 20016, L"Command [%s] executed successfully with exit code [%d].",
                            sapinfoCmd, exitCode);
            }
            return r;
        };
        end = RunWaitLoop(b, RemainingSigned(start, timeinhand), state, status);
    } else if (arch == KARCH_JAVA) {
        state = KSTATE_UNKNOWN;
        WaitBranch b{
            kJcmonRunMs,
            nullptr,
            [&](int64_t r) {
                TERN_TRACE(L"Not enough time [%d]secs to run the command [jcmon.exe].", Secs(r));
                KESTREL_LOG(KSEV_WARNING, 20019, L"Not enough time [%d]secs to run the command [jcmon.exe].",
                            Secs(r));
            },
            false,
            [&](const CKestrelStatus& r) {
                jcmonFailed(r);
                if (r.GetError() != TERN_WAIT_TIMEOUT) return;
                TERN_TRACE(L"The jcmon.exe command timed out.");
                KESTREL_LOG(KSEV_WARNING, 20020, L"The jcmon.exe command timed out.");
            },
            [] { TERN_TRACE(L"jcmon.exe returned unknown Resource State."); },
            [&](int64_t r) {
                TERN_TRACE(L"Not enough time [%d]secs to recheck the status with [jcmon.exe].", Secs(r));
                KESTREL_LOG(KSEV_WARNING, 20022,
                            L"Not enough time [%d]secs to recheck the status with [jcmon.exe].", Secs(r));
            },
            sleepTrace,
            [&](int64_t r) {
                TERN_TRACE(L"Not enough time [%d]secs to run the command [jcmon.exe].", Secs(r));
                KESTREL_LOG(KSEV_WARNING, 20023, L"Not enough time [%d]secs to run the command [jcmon.exe].",
                            Secs(r));
            }};
        b.run = [&](bool& up, bool& leave) {
            CKestrelStatus r = jcmonRun(up, leave);
            if (up) {
                TERN_TRACE(L"jcmon.exe executed successfully and returned Online.");
                KESTREL_LOG(KSEV_INFO, 20021, L"jcmon.exe executed successfully and returned Online.");
            }
            return r;
        };
        end = RunWaitLoop(b, RemainingSigned(start, timeinhand), state, status);
    } else if (arch == KARCH_ADDIN) {
        if (!toolThere(sapinfoPath, false, true)) return status;
        WaitBranch abap{
            kSapinfoRunMs,
            nullptr,
            [&](int64_t r) {
                TERN_TRACE(L"Not enough time [%d] to run the command [%s].", Secs(r), sapinfoCmd);
                KESTREL_LOG(KSEV_WARNING, 20025, L"Not enough time [%d] to run the command [%s].", Secs(r),
                            sapinfoCmd);
            },
            true,
            [&](const CKestrelStatus& r) {
                commandFailed(r, sapinfoCmd);
                if (r.GetError() != TERN_WAIT_TIMEOUT) return;
                TERN_TRACE(L"The command [%s] timed out.", sapinfoCmd);
                KESTREL_LOG(KSEV_WARNING, 20026, L"The command [%s] timed out.", sapinfoCmd);
            },
            [&] {
                TERN_TRACE(L"Command [%s] executed and returned unsuccessful exit code [%d].", sapinfoCmd,
                           exitCode);
            },
            [&](int64_t r) {
                TERN_TRACE(L"Not enough time [%d]secs to recheck the status with command [%s].", Secs(r),
                           sapinfoCmd);
                KESTREL_LOG(KSEV_WARNING, 20028,
                            L"Not enough time [%d]secs to recheck the status with command [%s].", Secs(r),
                            sapinfoCmd);
            },
            [&] {
                TERN_TRACE(L"Going to sleep for [5]secs before rechecking the status with command [%s].",
                           sapinfoCmd);
            },
            [&](int64_t r) {
                TERN_TRACE(L"Not enough time [%d]secs to run the command [%s].", Secs(r), sapinfoCmd);
                KESTREL_LOG(KSEV_WARNING, 20029, L"Not enough time [%d]secs to run the command [%s].",
                            Secs(r), sapinfoCmd);
            }};
        abap.run = [&](bool& up, bool& leave) {
            CKestrelStatus r = sapinfoRun(up, leave);
            if (up) {
                TERN_TRACE(L"Command [%s] executed successfully with exit code [%d].", sapinfoCmd, exitCode);
                KESTREL_LOG(KSEV_INFO, 20027, L"Command [%s] executed successfully with exit code [%d].",
                            sapinfoCmd, exitCode);
            }
            return r;
        };
        end = RunWaitLoop(abap, RemainingSigned(start, timeinhand), state, status);
        if (end == WaitEnd::kUp) {
            state = KSTATE_UNKNOWN;
            WaitBranch java{
                kJcmonRunMs,
                nullptr,
                [&](int64_t r) {
                    TERN_TRACE(L"Not enough time [%d]secs to run the command [jcmon.exe].", Secs(r));
                    KESTREL_LOG(KSEV_WARNING, 20030,
                                L"Not enough time [%d]secs to run the command [jcmon.exe].", Secs(r));
                },
                true,
                [&](const CKestrelStatus& r) {
                    jcmonFailed(r);
                    if (r.GetError() != TERN_WAIT_TIMEOUT) return;
                    TERN_TRACE(L"The jcmon.exe command timed out.");
                    KESTREL_LOG(KSEV_WARNING, 20031, L"The jcmon.exe command timed out.");
                },
                [] { TERN_TRACE(L"jcmon.exe returned unknown Resource State."); },
                [&](int64_t r) {
                    TERN_TRACE(L"Not enough time [%d] to recheck the status.", Secs(r));
                    KESTREL_LOG(KSEV_WARNING, 20033, L"Not enough time [%d] to recheck the status.", Secs(r));
                },
                sleepTrace,
                [&](int64_t r) {
                    TERN_TRACE(L"Not enough time [%d]secs to run the command [jcmon.exe].", Secs(r));
                    KESTREL_LOG(KSEV_WARNING, 20034,
                                L"Not enough time [%d]secs to run the command [jcmon.exe].", Secs(r));
                }};
            java.run = [&](bool& up, bool& leave) {
                CKestrelStatus r = jcmonRun(up, leave);
                if (up) {
                    TERN_TRACE(L"jcmon.exe executed successfully and returned Online.");
                    KESTREL_LOG(KSEV_INFO, 20032, L"jcmon.exe executed successfully and returned Online.");
                }
                return r;
            };
            end = RunWaitLoop(java, RemainingSigned(start, timeinhand), state, status);
        }
    } else if (type == L"ENQUEUE" || type == L"ENQREP" || type == L"AENQUEUE" || type == L"AENQREP" ||
               type == L"JENQUEUE" || type == L"JENQREP") {
        if (!toolThere(ensmonPath, false, false)) return status;
        const bool server = type == L"ENQUEUE" || type == L"AENQUEUE" || type == L"JENQUEUE";
        WaitBranch b{kEnsmonRunMs,
                     nullptr,
                     [&](int64_t r) {
                         TERN_TRACE(L"Not enough time[%d] to run the command [%s].", Secs(r), ensmonCmd);
                         KESTREL_LOG(KSEV_NOTICE, 20036, L"Not enough time[%d] to run the command [%s].",
                                     Secs(r), ensmonCmd);
                     },
                     false,
                     [&](const CKestrelStatus& r) {
                         commandFailed(r, ensmonCmd);
                         if (r.GetError() != TERN_WAIT_TIMEOUT) return;
                         TERN_TRACE(L"The command [%s] timed out.", ensmonCmd);
                         KESTREL_LOG(KSEV_WARNING, 20037, L"The command [%s] timed out.", ensmonCmd);
                     },
                     [&] {
                         TERN_TRACE(L"Command [%s] executed and returned unsuccessful exit code [%d].",
                                    ensmonCmd, exitCode);
                     },
                     [&](int64_t r) {
                         TERN_TRACE(L"Not enough time [%d]secs to recheck the status with command [%s].",
                                    Secs(r), ensmonCmd);
                         KESTREL_LOG(KSEV_WARNING, 20043,
                                     L"Not enough time [%d]secs to recheck the status with command [%s].",
                                     Secs(r), ensmonCmd);
                     },
                     sleepTrace,
                     [&](int64_t r) {
                         TERN_TRACE(L"Not enough time[%d] to run the command [%s].", Secs(r), ensmonCmd);
                         KESTREL_LOG(KSEV_NOTICE, 20044, L"Not enough time[%d] to run the command [%s].",
                                     Secs(r), ensmonCmd);
                     }};
        b.run = [&](bool& up, bool& leave) {
            TERN_TRACE(L"Checking the status of SAP Instance with the command [%s].", ensmonCmd);
            CKestrelStatus r = _RunTool(attrib, ensmonCmd, monHome, kEnsmonRunMs, exitCode);
            if (r.IsFailure()) return r;
            const std::string tag(TERN_FUNC);
            if (exitCode == 0) {
                up = true;
                TERN_TRACE(L"Command [%s] executed successfully.", ensmonCmd);
                KESTREL_LOG(KSEV_INFO, 20038, L"Command [%s] executed successfully.", ensmonCmd);
            } else if (exitCode == 4 && server) {
                leave = true;
                TERN_TRACE(
                    L"Command [%s] returned exit code [%d] which indicates Replication \tis enabled in "
                    L"server, "
                    L"but no repl. server is connected.",
                    ensmonCmd, exitCode);
                KESTREL_LOG(KSEV_CRITICAL, 20039,
                            L"Command [%s] returned exit code [%d] which indicates Replication \tis enabled "
                            L"in server, "
                            L"but no repl. server is connected.",
                            ensmonCmd, exitCode);
                CairnAgLogConsoleMsg2(
                    KSEV_CRITICAL, tag.c_str(), __FILE__, __LINE__, 20040, 0,
                    L"The command [ensmon.exe] exitcode [4] indicates Replication is enabled in "
                    L"server, but no repl. server is connected.");
            } else if (exitCode == 8) {
                leave = true;
                TERN_TRACE(
                    L"Command [%s] returned exit code [%d] which indicates Enqueue Server is not Reachable.",
                    ensmonCmd, exitCode);
                KESTREL_LOG(
                    KSEV_CRITICAL, 20041,
                    L"Command [%s] returned exit code [%d] which indicates Enqueue Server is not Reachable.",
                    ensmonCmd, exitCode);
                CairnAgLogConsoleMsg2(
                    KSEV_CRITICAL, tag.c_str(), __FILE__, __LINE__, 20042, 0,
                    L"The command [ensmon.exe] exitcode [8] indicates Enqueue Server is not reachable "
                    L"by Enqueue Replication Server.");
            }
            return r;
        };
        end = RunWaitLoop(b, RemainingSigned(start, timeinhand), state, status);
    } else {
        TERN_TRACE(
            L"SAP Architecture is not inferred from ProcMon and InstType [%s] is no enqueue type: there is "
            L"no "
            L"tool to wait for.",
            type);
    }
    if (end == WaitEnd::kEnd) return status;

    TERN_TRACE(L"Adding the Online information to the SAP log file.");
    st = _LogSAP(attrib, KCUR_ONLINE);
    if (st.IsFailure()) {
        TERN_TRACE(L"Failed to add Online information to the SAP log [%d 0x%.08X].", st.GetCode(),
                   st.GetError());
        status.Clear();
    }
    return status;
}

CKestrelStatus CKestrel::Offline(CKestrelAttrib& attrib, uint32_t& result) {
    CKestrelStatus status;
    uint32_t exitCode = 0;
    uint32_t killFailed = 0;
    uint32_t state = KSTATE_UNKNOWN;
    m_CurrentEP = KCUR_OFFLINE;
    const uint64_t start = TernNowMs();
    const uint32_t timeinhand = BudgetMs(attrib);
    status.Clear();
    result = 0;

    TERN_TRACE(L"Performing process level check before Offline.");
    CKestrelStatus st = _FirstLevelMonitor(attrib, state, timeinhand);
    if (st.IsFailure()) {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"Process level check failed before calling Offline.",
                   st.GetCode(), st.GetError());
        KESTREL_LOG(KSEV_ERROR, 20045, L"Process level check failed before calling Offline.");
        status = st;
    }
    if (state == KSTATE_OFFLINE) {
        CairnAgLogConsoleMsg2(
            KSEV_NOTICE, std::string(TERN_FUNC).c_str(), __FILE__, __LINE__, 20046, 0,
            L"SAP Instance for this resource is already offline. Not calling stop executables.");
        KESTREL_LOG(KSEV_NOTICE, 20047,
                    L"SAP Instance for this resource is already offline. Not calling stop executables.");
        TERN_TRACE(L"SAP Instance for this resource is already offline. Not calling stop executables.");
        return status;
    }

    const std::wstring& home = attrib.GetSAPHome();
    const std::wstring stopPath = JoinPath(home, L"stopsap.exe");
    bool exists = false;
    st = CKestrelUtil::DoesExistFile(stopPath, exists);
    if (st.IsFailure()) {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistFile", st.GetCode(), st.GetError());
        TERN_TRACE(L"Failed to find the status of file stopsap.exe [%s]. Aborting Offline.", stopPath);
        return st;
    }
    if (!exists) {
        status.Set(CKestrelStatus::kPlatform, TERN_ERROR_FILE_NOT_FOUND);
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistFile.", status.GetCode(),
                   status.GetError());
        TERN_TRACE(L"stopsap.exe command path [%s] does NOT exist. Aborting Offline.", stopPath);
        KESTREL_LOG(KSEV_ERROR, 20048, L"stopsap.exe command path [%s] does NOT exist. Aborting Offline.",
                    stopPath);
        return status;
    }

    const std::wstring stopCmd = stopPath + L" name=" + attrib.GetSAPSID() + L" nr=" +
                                 attrib.GetInstNumber() + L" sapdiahost=" + attrib.GetSAPHost();
    TERN_TRACE(L"Stop the SAP Instance with command [%s].", stopCmd);
    st = _RunTool(attrib, stopCmd, home, RemainingMs(start, timeinhand), exitCode);
    if (st.IsFailure()) {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"SAP Instance stop command failed to stop the SAP instance.",
                   st.GetCode(), st.GetError());
        if (st.GetError() == TERN_WAIT_TIMEOUT) {
            TERN_TRACE(L"The SAP Instance Stop [%s] timed out.", stopCmd);
            KESTREL_LOG(KSEV_ERROR, 20049, L"The SAP Instance Stop [%s] timed out.", stopCmd);
        }
        return st;
    }
    if (exitCode != 0) {
        status.Set(CKestrelStatus::kPlatform, TernGetLastError());
        TERN_TRACE(L"The command [%s] failed to stop the SAP instance and returned with exitcode [%d].",
                   stopCmd, exitCode);
        KESTREL_LOG(KSEV_ERROR, 20050,
                    L"The command [%s] failed to stop the SAP instance and returned with exitcode [%d].",
                    stopCmd, exitCode);
        return status;
    }
    status.Clear();
    TERN_TRACE(L"The SAP Instance stopped successfully with exitcode [%d].", exitCode);
    KESTREL_LOG(KSEV_INFO, 20051, L"The SAP Instance stopped successfully with exitcode [%d].", exitCode);

    const std::wstring service = L"SAP" + attrib.GetSAPSID() + L"_" + attrib.GetInstNumber();
    TERN_TRACE(L"Stop the SAP Service [%s].", service);
    st = CKestrelUtil::StopService(service, RemainingMs(start, timeinhand));
    if (st.IsSuccess()) {
        TERN_TRACE(L"The SAP Service [%s] stopped successfully.", service);
        KESTREL_LOG(KSEV_INFO, 20053, L"The SAP Service [%s] stopped successfully.", service);
    } else {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"Failed to stop the SAP service.", st.GetCode(),
                   st.GetError());
        if (st.GetError() == TERN_WAIT_TIMEOUT) {
            TERN_TRACE(L"SAP Service Stop [%s] timed out.", service);
            KESTREL_LOG(KSEV_ERROR, 20052, L"SAP Service Stop [%s] timed out.", service);
        }
    }

    TERN_TRACE(L"Cleanup the resource for SAP Instance.");
    st = Kill(attrib, RemainingMs(start, timeinhand), killFailed);
    if (st.IsFailure()) {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"Failed to cleamup the resource for SAP Instance.",
                   st.GetCode(), st.GetError());
        KESTREL_LOG(KSEV_ERROR, 20054, L"Failed to cleanup the resource for SAP Instance.");
    } else if (killFailed != 0) {
        TERN_TRACE(L"%s returned %d, 0x%.08X",
                   L"Failed to cleamup the resource for SAP Instance. Continueing ... ", st.GetCode(),
                   st.GetError());
        KESTREL_LOG(KSEV_ERROR, 20055, L"Failed to cleanup the resource for SAP Instance. Continueing ... ");
    } else {
        TERN_TRACE(L"Successfully cleaned up the resource for SAP Instance.");
    }

    TERN_TRACE(L"Adding the Offline information to the SAP log file.");
    st = _LogSAP(attrib, KCUR_OFFLINE);
    if (st.IsFailure()) {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"Failed to add the Offline information to SAP log file.",
                   st.GetCode(), st.GetError());
    }
    status.Clear();
    return status;
}

CKestrelStatus CKestrel::Clean(CKestrelAttrib& attrib, uint32_t, uint32_t& result) {
    m_CurrentEP = KCUR_CLEAN;
    const uint64_t start = TernNowMs();
    const uint32_t timeinhand = BudgetMs(attrib);
    CKestrelStatus status;
    status.Clear();
    result = 0;
    const std::wstring& home = attrib.GetSAPHome();
    const std::wstring& host = attrib.GetSAPHost();

    bool graceful = true;
    if (host.empty()) {
        status.Set(CKestrelStatus::kPlatform, TERN_ERROR_BAD_ARGUMENTS);
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"SAPHost is empty. Continueing Clean operation ...",
                   status.GetCode(), status.GetError());
        KESTREL_LOG(KSEV_ERROR, 20059, L"SAPHost is empty. Continueing Clean operation ...");
        graceful = false;
    } else {
        bool valid = false;
        CKestrelStatus st = CKestrelUtil::IsValidHostName(host, valid);
        if (st.IsFailure()) {
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::IsValidHostName", st.GetCode(),
                       st.GetError());
            KESTREL_LOG(KSEV_ERROR, 20060,
                        L"SAPHost [%s] validation failed. Continueing Clean operation ... ", host);
            graceful = false;
        } else if (!valid) {
            status.Set(CKestrelStatus::kPlatform, TERN_ERROR_BAD_ARGUMENTS);
            TERN_TRACE(L"SAPHost [%s] is NOT a valid hostname [%d, 0x%.08X]. Continueing Clean operation ...",
                       host, status.GetCode(), status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20061,
                        L"SAPHost [%s] is NOT a valid hostname. Continueing Clean operation ...", host);
            graceful = false;
        }
    }
    status.Clear();
    // SAPHome is validated whatever SAPHost gave: both must pass for the graceful shutdown.
    {
        if (home.empty()) {
            status.Set(CKestrelStatus::kPlatform, TERN_ERROR_BAD_ARGUMENTS);
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"SAPHome is empty. Continueing Clean operation ...",
                       status.GetCode(), status.GetError());
            KESTREL_LOG(KSEV_ERROR, 20062, L"SAPHome is empty. Continueing Clean operation ...");
            graceful = false;
        } else {
            bool isDir = false;
            CKestrelStatus st = CKestrelUtil::IsDirectory(home, isDir);
            if (st.IsFailure()) {
                TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistDir.", st.GetCode(),
                           st.GetError());
                KESTREL_LOG(KSEV_ERROR, 20063,
                            L"SAPHome [%s] does NOT exist. Continueing Clean operation ...", home);
                graceful = false;
            } else if (!isDir) {
                status.Set(CKestrelStatus::kPlatform, TERN_ERROR_BAD_ARGUMENTS);
                TERN_TRACE(L"SAPHome [%s] does NOT exist [%d, 0x%.08X]. Continueing Clean operation ...",
                           home, status.GetCode(), status.GetError());
                KESTREL_LOG(KSEV_ERROR, 20064,
                            L"SAPHome [%s] does NOT exist. Continueing Clean operation ...", home);
                graceful = false;
            }
        }
        status.Clear();
    }

    if (graceful) {
        const std::wstring killPath = JoinPath(home, L"sapsrvkill.exe");
        bool exists = false;
        CKestrelStatus st = CKestrelUtil::DoesExistFile(killPath, exists);
        if (st.IsFailure()) {
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistFile", st.GetCode(),
                       st.GetError());
            TERN_TRACE(L"File [%s] NOT found. Continueing the clean operation.", killPath);
            KESTREL_LOG(KSEV_WARNING, 20065, L"File [%s] NOT found. Continueing the clean operation.",
                        killPath);
        } else if (!exists) {
            status.Set(CKestrelStatus::kPlatform, TERN_ERROR_FILE_NOT_FOUND);
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::DoesExistFile.", status.GetCode(),
                       status.GetError());
            TERN_TRACE(L"File [%s] does NOT exist. Continueing the clean operation.", killPath);
            KESTREL_LOG(KSEV_WARNING, 20066, L"File[%s] does NOT exist. Continueing the clean operation.",
                        killPath);
            status.Clear();
        } else {
            const std::wstring killCmd =
                killPath + L" " + host + L"_" + attrib.GetSAPSID() + L"_" + attrib.GetInstNumber();
            uint32_t r = RemainingMs(start, timeinhand);
            TERN_TRACE(L"Going to shutdown the SAP Instance gracefully with command [%s].", killCmd);
            uint32_t exitCode = 0;
            st = _RunTool(attrib, killCmd, home, r, exitCode);
            if (st.IsFailure()) {
                TERN_TRACE(L"%s returned %d, 0x%.08X",
                           L"Graceful shutdown of SAP Instance failed to stop the SAP Instance.",
                           st.GetCode(), st.GetError());
                if (st.GetError() == TERN_WAIT_TIMEOUT) {
                    TERN_TRACE(
                        L"Graceful shutdown of SAP Instance [%s] timed out. Continueing to kill all the "
                        L"process "
                        L"for this SAP Instance.",
                        killCmd);
                    KESTREL_LOG(
                        KSEV_ERROR, 20067,
                        L"Graceful shutdown of SAP Instance [%s] timed out. Continueing to kill all the "
                        L"process for this SAP Instance.",
                        killCmd);
                }
            } else {
                // Wait for the processes to go: the clock is read once, then fixed amounts are deducted.
                int64_t remaining = RemainingMs(start, timeinhand);
                if (remaining < kCleanCheckMs) {
                    TERN_TRACE(L"Not enough time [%d]secs to delay after graceful shutdown in clean.",
                               Secs(remaining));
                    KESTREL_LOG(KSEV_WARNING, 20068,
                                L"Not enough time [%d]secs to delay after graceful shutdown in clean.",
                                Secs(remaining));
                } else {
                    uint32_t state = KSTATE_UNKNOWN;
                    while (remaining > kCleanCheckMs) {
                        GetResourceState(attrib, state, static_cast<uint32_t>(remaining));
                        if (state == KSTATE_OFFLINE) {
                            TERN_TRACE(L"Successfully stopped the SAP Instance with command [%s].", killCmd);
                            KESTREL_LOG(KSEV_INFO, 20069,
                                        L"Successfully stopped the SAP Instance with command [%s].", killCmd);
                            break;
                        }
                        remaining -= kCleanCheckMs;
                        TERN_TRACE(L"Going to sleep for [5]secs before rechecking the status.");
                        if (remaining <= kCleanCheckMs) {
                            TERN_TRACE(
                                L"Not enough time [%d]secs to recheck the status after graceful shutdown in "
                                L"clean.",
                                Secs(remaining));
                            KESTREL_LOG(
                                KSEV_WARNING, 20070,
                                L"Not enough time [%d]secs to recheck the status after graceful shutdown in "
                                L"clean.",
                                Secs(remaining));
                            break;
                        }
                        TernSleep(kCheckSleepMs);
                        remaining -= kCheckSleepMs;
                    }
                    if (remaining < kCleanCheckMs) {
                        TERN_TRACE(L"Not enough time [%d]secs to delay after graceful shutdown in clean.",
                                   Secs(remaining));
                        KESTREL_LOG(KSEV_WARNING, 20071,
                                    L"Not enough time [%d]secs to delay after graceful shutdown in clean.",
                                    Secs(remaining));
                    }
                }
            }
            status.Clear();
        }
    }

    const std::wstring service = L"SAP" + attrib.GetSAPSID() + L"_" + attrib.GetInstNumber();
    TERN_TRACE(L"Going to stop the SAP Service [%s].", service);
    CKestrelStatus st = CKestrelUtil::StopService(service, RemainingMs(start, timeinhand));
    if (st.IsSuccess()) {
        TERN_TRACE(L"Successfully stopped the SAP Service [%s].", service);
        KESTREL_LOG(KSEV_INFO, 20073, L"Successfully stopped the SAP Service [%s].", service);
    } else {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"StopService failed to stop the SAP Service.", st.GetCode(),
                   st.GetError());
        if (st.GetError() == TERN_WAIT_TIMEOUT) {
            TERN_TRACE(L"SAP Service Stop [%s] timed out.", service);
            KESTREL_LOG(KSEV_ERROR, 20072, L"SAP Service Stop [%s] timed out.", service);
        }
    }

    st = Kill(attrib, RemainingMs(start, timeinhand), result);
    if (st.IsFailure()) {
        TERN_TRACE(L"Failed to Clean the resource for SAP Instance.");
    } else {
        TERN_TRACE(L"Succesfully Cleaned the resource for SAP Instance.");
    }

    TERN_TRACE(L"Adding the Clean information to the SAP log file.");
    status = _LogSAP(attrib, KCUR_CLEAN);
    if (status.IsFailure()) {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"Failed to add Clean information to SAP log file.",
                   status.GetCode(), status.GetError());
    }
    return status;
}
