// The process-level check: which of the instance's processes run, from the instance's directories, under
// the SAP accounts.
#include <algorithm>
#include <string>

#include "Kestrel.h"
#include "KestrelInstanceWalk.h"
#include "KestrelLog.h"
#include "KestrelUtil.h"
#include "LibClock.h"
#include "LibError.h"
#include "LibLogger.h"
#include "LibProcess.h"
#include "LibProcessList.h"
#include "LibWide.h"

namespace {

struct NameRow {
    const wchar_t* name;
    CKestrel::Flag flag;
    const wchar_t* found;
};
// The nine well-known programs in their matching order; the region found through "SYS" uses the first eight.
constexpr NameRow kNameRows[] = {
    {L"disp+work.exe", CKestrel::kDispWork, L"disp+work.exe process found."},
    {L"jcontrol.exe", CKestrel::kJcontrol, L"jcontrol.exe process found."},
    {L"jlaunch.exe", CKestrel::kJlaunch, L"jlaunch.exe process found."},
    {L"igswd.exe", CKestrel::kIgswd, L"igswd.exe process found."},
    {L"gwrd.exe", CKestrel::kGwrd, L"gwrd.exe process found."},
    {L"icman.exe", CKestrel::kIcman, L"icman.exe process found."},
    {L"msg_server.exe", CKestrel::kMsgServer, L"msg_server.exe process found."},
    {L"enserver.exe", CKestrel::kEnserver, L"enserver.exe process found."},
    {L"enrepserver.exe", CKestrel::kEnrepserver, L"enrepserver.exe process found."},
};

constexpr uint32_t kRecheckSleepMs = 5000;
constexpr int64_t kLauncherRecheckMinMs = 20000;
constexpr int64_t kJcontrolRecheckMinMs = 25000;
constexpr int64_t kNotEnoughTimeMs = 5000;

bool Listed(const std::vector<std::wstring>& procMon, const wchar_t* name) {
    return std::any_of(procMon.begin(), procMon.end(),
                       [name](const std::wstring& e) { return TernEqualsNoCase(e, name); });
}

// Remaining time of the check: timeinhand - (now - start), signed.
int64_t Remaining(uint64_t start, uint32_t timeinhand) {
    return static_cast<int64_t>(timeinhand) - static_cast<int64_t>(TernNowMs() - start);
}

}  // namespace

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
    CKestrelStatus st = list.Open();
    if (st.IsFailure()) {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"TernProcessList::Open", st.GetCode(), st.GetError());
        TERN_TRACE(L"Failed to open the process list.");
        KESTREL_LOG(KSEV_ERROR, 20130, L"Failed to open the process list.");
        return st;
    }

    std::vector<std::wstring>& procMon = attrib.GetProcMon();
    arch = CKestrelUtil::FindSAPArch(procMon);
    const bool java = arch == KARCH_JAVA || arch == KARCH_ADDIN;
    if (arch == KARCH_ABAP) {
        TERN_TRACE(L"This is ABAP Instance.");
    } else if (java) {
        TERN_TRACE(L"This is Java/Add-In instance. Pushing jlaunch.exe onto ProcMon.");
    }
    CKestrelLauncherEntry launcher(procMon, java);  // removed again when the walk ends
    procCount = 0;
    procmonCount = procMon.size();
    TERN_TRACE(L"Got ProcMon size [%d].", static_cast<int32_t>(procmonCount));

    uint32_t major = 0, minor = 0;
    TernGetOsVersion(major, minor);
    TERN_TRACE(L"Major and Minor Version of the OS are [%d] and [%d].", major, minor);
    const uint32_t skipped = (major == 5 && minor == 0) ? 8 : 4;

    // Every process's path is read cheaply by PID; only a process whose path lies in the instance's
    // directories is opened, its path read again through the pidfd and its owner read from that process.
    CKestrelInstanceWalk walk(attrib, TERN_FUNC);
    // The owner test of the ProcMon entries and of the instance-process test: true when the process is
    // owned by SAPServiceUser or SAPAdmin in SAPAdminDomain.
    auto ownerMatches = [&walk](TernProcess& process, const std::wstring& path) {
        const uint32_t pid = process.GetPid();
        std::wstring user;
        switch (walk.CheckOwner(process, path, user)) {
            case CKestrelInstanceWalk::Owner::kUnreadable:
                TERN_TRACE(L"Failed to get the user name for the process [%s] with PID [%d].", path, pid);
                return false;
            case CKestrelInstanceWalk::Owner::kOtherDomain:
                return false;
            case CKestrelInstanceWalk::Owner::kOtherUser:
                TERN_TRACE(L"User name [%s] didn't match for process [%s] with PID [%d].", user, path, pid);
                return false;
            case CKestrelInstanceWalk::Owner::kSapAccount:
                break;
        }
        TERN_TRACE(L"Matched User name [%s] for process [%s] with PID [%d].", user, path, pid);
        return true;
    };
    std::wstring path;
    uint32_t pid = 0;
    for (st = list.GetFirst(pid); st.IsSuccess(); st = list.GetNext(pid)) {
        if (pid == 0 || pid == skipped) continue;
        if (walk.ReadPath(pid, path).IsFailure()) continue;
        TERN_TRACE(L"Got [%s] from GetExeName for the process with PID [%d].", path, pid);
        if (!walk.Locate(path)) continue;
        TernProcess process;
        if (!walk.Open(pid, path, process)) continue;

        bool matched = false;
        for (const std::wstring& entry : procMon) {
            if (!walk.RegionHas(path, entry)) continue;
            TERN_TRACE(L"Found ProcMon [%s] in the exe name [%s]", entry, path);
            if (!ownerMatches(process, path)) continue;
            matched = true;
            for (size_t r = 0; r < walk.Rows(); ++r) {
                if (!TernEqualsNoCase(entry, kNameRows[r].name)) continue;
                // A second launcher process is matched but neither counted nor flagged.
                if (kNameRows[r].flag == kJlaunch && m_Found[kJlaunch]) break;
                m_Found[kNameRows[r].flag] = true;
                ++procCount;
                TERN_TRACE(L"%s", kNameRows[r].found);
                break;
            }
            break;
        }
        if (!matched && ownerMatches(process, path)) m_Found[kInstanceProcess] = true;
    }
    if (st.GetCode() == CKestrelStatus::kPlatform && st.GetError() == TERN_ERROR_NO_MORE_FILES) {
        TERN_TRACE(L"Got [%d] process[es] from process table matching ProcMon.",
                   static_cast<int32_t>(procCount));
    } else {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"TernInstProcessList::GetFirst or GetNext", st.GetCode(),
                   st.GetError());
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

CKestrelStatus CKestrel::RewalkAfterPause(CKestrelAttrib& attrib, uint64_t& procCount,
                                          uint64_t& procmonCount) {
    TernSleep(kRecheckSleepMs);
    int32_t arch = 0;
    return WalkForState(attrib, procCount, procmonCount, arch);
}

CKestrelStatus CKestrel::WalkForState(CKestrelAttrib& attrib, uint64_t& procCount, uint64_t& procmonCount,
                                      int32_t& arch) {
    CKestrelStatus st = GetProcessState(attrib, procCount, procmonCount, arch);
    if (st.IsFailure()) {
        RECHECK_TRACE(L"%s returned %d, 0x%.08X", L"CKestrel::GetProcessState", st.GetCode(), st.GetError());
        RECHECK_TRACE(L"GetProcessState failed.");
        return st;
    }
    RECHECK_TRACE(L"Got procCount[%d] and procmonCount[%d] from GetProcessState.",
                  static_cast<int32_t>(procCount), static_cast<int32_t>(procmonCount));
    return st;
}

CKestrelStatus CKestrel::RecheckLauncher(CKestrelAttrib& attrib, uint32_t& state, uint64_t start,
                                         uint32_t timeinhand, bool addIn, bool& outOfTime) {
    CKestrelStatus status;
    status.Clear();
    outOfTime = false;
    int64_t remaining = Remaining(start, timeinhand);
    while (remaining > kLauncherRecheckMinMs && m_CurrentEP == KCUR_MONITOR) {
        RECHECK_TRACE(L"Sleeping for [5]secs before rechecking for jlaunch.exe.");
        uint64_t procCount = 0, procmonCount = 0;
        CKestrelStatus st = RewalkAfterPause(attrib, procCount, procmonCount);
        if (st.IsFailure()) return st;
        bool ok = m_Found[kJcontrol] && m_Found[kJlaunch] && procCount >= procmonCount;
        if (addIn) ok = ok && m_Found[kDispWork];
        if (ok) {
            RECHECK_TRACE(L"All the processes in the ProcMon are Running.");
            state = KSTATE_ONLINE;
            return status;
        }
        RECHECK_TRACE(L"Some of the critical processes are NOT Running.");
        state = KSTATE_OFFLINE;
        remaining = Remaining(start, timeinhand) - kRecheckSleepMs;
    }
    if (remaining < kNotEnoughTimeMs) {
        RECHECK_TRACE(L"Not enough time to recheck for jlaunch.exe.");
        state = KSTATE_OFFLINE;
        outOfTime = true;
    }
    return status;
}

CKestrelStatus CKestrel::RecheckJcontrol(CKestrelAttrib& attrib, uint32_t& state, uint64_t start,
                                         uint32_t timeinhand) {
    CKestrelStatus status;
    status.Clear();
    int64_t remaining = Remaining(start, timeinhand);
    while (remaining > kJcontrolRecheckMinMs && m_CurrentEP == KCUR_MONITOR) {
        RECHECK_TRACE(L"Sleeping for [5]secs before rechecking for jcontrol.exe.");
        uint64_t procCount = 0, procmonCount = 0;
        CKestrelStatus st = RewalkAfterPause(attrib, procCount, procmonCount);
        if (st.IsFailure()) return st;
        if (m_Found[kDispWork] && m_Found[kJcontrol] && m_Found[kJlaunch] && procCount >= procmonCount) {
            RECHECK_TRACE(L"All the processes in the ProcMon are Running.");
            state = KSTATE_ONLINE;
            return status;
        }
        if (m_Found[kDispWork] && m_Found[kJcontrol] && !m_Found[kJlaunch]) {
            RECHECK_TRACE(L"All the processes in the ProcMon are Running. But no jlaunch.exe is Running.");
            bool outOfTime = false;
            st = RecheckLauncher(attrib, state, start, timeinhand, true, outOfTime);
            if (st.IsFailure() || outOfTime) return st;
        } else {
            RECHECK_TRACE(L"Some of the critical processes are NOT Running.");
            state = KSTATE_OFFLINE;
        }
        remaining = Remaining(start, timeinhand) - kRecheckSleepMs;
    }
    if (remaining < kNotEnoughTimeMs) {
        RECHECK_TRACE(L"Not enough time to recheck for jcontrol.exe.");
        state = KSTATE_OFFLINE;
    }
    return status;
}

CKestrelStatus CKestrel::GetResourceState(CKestrelAttrib& attrib, uint32_t& state, uint32_t timeinhand) {
    const uint64_t start = TernNowMs();
    CKestrelStatus status;
    status.Clear();
    ClearFlags();
    const std::vector<std::wstring>& procMon = attrib.GetProcMon();
    const bool igswdListed = Listed(procMon, L"igswd.exe");
    const bool gwrdListed = Listed(procMon, L"gwrd.exe");
    const bool icmanListed = Listed(procMon, L"icman.exe");

    uint64_t procCount = 0, procmonCount = 0;
    int32_t arch = 0;
    CKestrelStatus st = WalkForState(attrib, procCount, procmonCount, arch);
    if (st.IsFailure()) return st;

    const bool allCounted = procCount >= procmonCount;
    const bool launching = m_CurrentEP == KCUR_ONLINE || m_CurrentEP == KCUR_OFFLINE;
    const bool dispWork = m_Found[kDispWork], jcontrol = m_Found[kJcontrol], jlaunch = m_Found[kJlaunch];
    const bool instanceProcess = m_Found[kInstanceProcess];
    auto optionalOk = [&](bool all) {
        bool ok = true;
        if (all && igswdListed && !m_Found[kIgswd]) {
            TERN_TRACE(L"igswd.exe process is defined in the ProcMon but NOT Running.");
            ok = false;
        }
        if (gwrdListed && !m_Found[kGwrd]) {
            TERN_TRACE(L"gwrd.exe process is defined in the ProcMon but NOT Running.");
            ok = false;
        }
        if (all && icmanListed && !m_Found[kIcman]) {
            TERN_TRACE(L"icman.exe process is defined in the ProcMon but NOT Running.");
            ok = false;
        }
        return ok;
    };
    const std::wstring& type = attrib.GetInstType();
    const bool centralOrDialog = type == L"CENTRAL" || type == L"DIALOG";

    // The texts of the rows that the tables share differ slightly from table to table.
    constexpr const wchar_t* kShortOf = L"Some/All of the processes in the ProcMon are NOT Running.";
    constexpr const wchar_t* kShort = L"Some/All the processes in the ProcMon are NOT Running.";
    constexpr const wchar_t* kOptionalMissing = L"Some of the processes listed in ProcMon are NOT Running.";
    constexpr const wchar_t* kOptionalMissingThe =
        L"Some of the processes listed in the ProcMon are NOT Running.";
    auto online = [&state] {
        TERN_TRACE(L"All the processes in the ProcMon are Running.");
        state = KSTATE_ONLINE;
    };
    // The rows every table ends with: partly running, short, an optional process missing, otherwise unknown.
    auto lastRows = [&](bool ok, const wchar_t* shortText, const wchar_t* optionalText) {
        if (!allCounted && instanceProcess && launching) {
            TERN_TRACE(L"Some of the SAP Instance processes are Running.");
            state = KSTATE_UNKNOWN;
        } else if (!allCounted) {
            TERN_TRACE(L"%s", shortText);
            state = KSTATE_OFFLINE;
        } else if (!ok) {
            TERN_TRACE(L"%s", optionalText);
            state = KSTATE_OFFLINE;
        } else {
            TERN_TRACE(L"Resource State is Unknown.");
            state = KSTATE_UNKNOWN;
        }
    };

    if (arch == KARCH_ABAP) {
        TERN_TRACE(L"Architecture is ABAP.");
        if (!centralOrDialog) return status;
        const bool ok = optionalOk(true);
        if (ok && dispWork && allCounted) {
            online();
        } else {
            lastRows(ok, kShortOf, kOptionalMissing);
        }
        return status;
    }
    if (arch == KARCH_JAVA) {
        TERN_TRACE(L"Architecture is Java.");
        if (!centralOrDialog) return status;
        const bool ok = optionalOk(true);
        if (ok && jcontrol && jlaunch && allCounted) {
            online();
        } else if (ok && jcontrol && !jlaunch) {
            TERN_TRACE(L"All the processes in the ProcMon are Running. But no jlaunch.exe is Running.");
            bool outOfTime = false;
            return RecheckLauncher(attrib, state, start, timeinhand, false, outOfTime);
        } else if (!jcontrol && jlaunch) {
            TERN_TRACE(L"jcontrol.exe process in the ProcMon is NOT Running.");
            state = launching ? KSTATE_UNKNOWN : KSTATE_OFFLINE;
        } else {
            lastRows(ok, kShortOf, kOptionalMissingThe);
        }
        return status;
    }
    if (arch == KARCH_ADDIN) {
        TERN_TRACE(L"Architecture is Add-In.");
        if (!centralOrDialog) return status;
        const bool ok = optionalOk(true);
        if (ok && dispWork && jcontrol && jlaunch && allCounted) {
            online();
        } else if (ok && dispWork && jcontrol && !jlaunch) {
            TERN_TRACE(L"All the processes in the ProcMon are Running. But no jlaunch.exe is Running.");
            bool outOfTime = false;
            return RecheckLauncher(attrib, state, start, timeinhand, true, outOfTime);
        } else if (ok && dispWork && !jcontrol) {
            TERN_TRACE(L"jcontrol.exe is NOT Running.");
            return RecheckJcontrol(attrib, state, start, timeinhand);
        } else if (!dispWork && jcontrol) {
            TERN_TRACE(L"%s", kShort);
            state = launching ? KSTATE_UNKNOWN : KSTATE_OFFLINE;
        } else {
            lastRows(ok, kShort, kOptionalMissingThe);
        }
        return status;
    }

    if (type == L"ENQUEUE" || type == L"AENQUEUE" || type == L"JENQUEUE") {
        const bool ok = optionalOk(false);
        TERN_TRACE(L"The instance type is [%s].", type);
        if (ok && m_Found[kEnserver] && m_Found[kMsgServer] && allCounted) {
            online();
        } else {
            lastRows(ok, kShort, kOptionalMissing);
        }
    } else if (type == L"ENQREP" || type == L"AENQREP" || type == L"JENQREP") {
        TERN_TRACE(L"The instance is [%s].", type);
        if (m_Found[kEnrepserver] && allCounted) {
            online();
        } else if (!allCounted && instanceProcess && launching) {
            TERN_TRACE(L"Some of the SAP Instance processes are Running.");
            state = KSTATE_UNKNOWN;
        } else {
            TERN_TRACE(L"%s", kShort);
            state = KSTATE_OFFLINE;
        }
    } else {
        TERN_TRACE(L"Invalid SAP Instance.");
        state = KSTATE_UNKNOWN;
    }
    return status;
}
