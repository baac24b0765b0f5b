// Kill: ends every remaining process of the instance. Each process is held through its pidfd from the
// moment it is looked at, so the process that is killed is the one whose path and owner were checked.
#include <algorithm>
#include <deque>
#include <string>

#include "Kestrel.h"
#include "KestrelInstanceWalk.h"
#include "KestrelLog.h"
#include "KestrelSteps.h"
#include "KestrelUtil.h"
#include "LibError.h"
#include "LibLogger.h"
#include "LibProcess.h"
#include "LibProcessList.h"
#include "LibWide.h"

using namespace kestrel_steps;

CKestrelStatus CKestrelUtil::KillProcess(TernProcess& process) {
    const uint32_t pid = process.GetPid();
    TERN_TRACE(L"KillProcess called with pid [%d].", pid);
    // The privilege step: the process must still be there (an ended one fails with 87, as opening it would).
    bool alive = false;
    CKestrelStatus st = process.IsAlive(alive);
    if (st.IsSuccess() && !alive) st.Set(CKestrelStatus::kPlatform, TERN_ERROR_INVALID_PARAMETER);
    if (st.IsFailure()) {
        KESTREL_TRACE_RETURNED(L"TernProcess::EnablePrivilege", st);
        return st;
    }
    st = process.Terminate(0);
    if (st.IsFailure()) {
        if (st.GetError() == TERN_ERROR_INVALID_PARAMETER) {
            TERN_TRACE(L"Process with PID [%d] doesn't exist.", pid);
            st.Clear();
            return st;
        }
        KESTREL_TRACE_RETURNED(L"TerminateProcess", st);
    }
    return st;
}

namespace {

// Kills the instance's other processes in the order the walk queued them; a failure is logged and the
// queue goes on. The lines carry Kill's name.
void KillQueued(std::deque<TernProcess>& queue) {
    constexpr std::string_view kKill = "CKestrel::Kill";
    while (!queue.empty()) {
        TernProcess process = std::move(queue.front());
        queue.pop_front();
        const uint32_t queued = process.GetPid();
        KESTREL_TRACE_AS(kKill, L"Going to kill the process with PID [%d] from the queue.", queued);
        const CKestrelStatus kill = CKestrelUtil::KillProcess(process);
        if (kill.IsFailure()) {
            KESTREL_TRACE_RETURNED_AS(kKill, L"CKestrelUtil::KillProcess", kill);
            KESTREL_TRACE_AS(kKill, L"Failed to kill the process with PID [%d].", queued);
            KESTREL_LOG_TAG("CKestrel::Kill", KSEV_ERROR, 20129,
                            L"Failed to kill the process with PID [%d] from the queue.", queued);
        }
    }
}

}  // namespace

CKestrelStatus CKestrel::Kill(CKestrelAttrib& attrib, uint32_t timeoutMs, uint32_t& killFailed) {
    TERN_TRACE(L"Kill is called with timeout [%d].", timeoutMs);
    killFailed = 0;
    TERN_TRACE(L"Checking for the process existence, if any for the SAP Instance.");
    CKestrelStatus status;
    status.Clear();
    TernProcessList list;
    CKestrelStatus st = OpenProcessList(TERN_FUNC, 20126, list);
    if (st.IsFailure()) return st;

    std::vector<std::wstring>& procMon = attrib.GetProcMon();
    const int32_t arch = CKestrelUtil::FindSAPArch(procMon);
    const bool java = arch == KARCH_JAVA || arch == KARCH_ADDIN;
    if (java)
        TERN_TRACE(L"This is Java/Add-In instance. Pushing %s onto ProcMon.",
                   KestrelProgramName(KestrelProgram::kJlaunch));
    CKestrelLauncherEntry launcher(procMon, java);  // removed again on every way out
    TERN_TRACE(L"Got ProcMon size [%d].", static_cast<int32_t>(procMon.size()));

    CKestrelInstanceWalk walk(attrib, TERN_FUNC);
    std::deque<TernProcess> queue;
    std::wstring path;
    uint32_t pid = 0;
    TernProcess process;  // held through its pidfd: what is killed is what was looked at
    while (walk.Next(list, false, pid, path, process, st)) {
        bool killed = false;
        for (const std::wstring& entry : procMon) {
            if (entry.empty() || entry == L" ") {
                TERN_TRACE(L"Invalid Values in ProcMon.");
                return status;
            }
            if (!walk.RegionHas(path, entry)) continue;
            TERN_TRACE(L"Found ProcMon [%s] in the exe name [%s]", entry, path);
            std::wstring user;
            const CKestrelInstanceWalk::Owner owner = walk.CheckOwner(process, path, user);
            if (owner == CKestrelInstanceWalk::Owner::kUnreadable)
                TERN_TRACE(L"Failed to get the user name for the process [%s] with PID [%d].", path, pid);
            if (owner != CKestrelInstanceWalk::Owner::kSapAccount) continue;
            TERN_TRACE(L"Killing the process with name [%s] and PID [%d]", path, pid);
            CKestrelStatus kill = CKestrelUtil::KillProcess(process);
            if (kill.IsFailure()) {
                KESTREL_TRACE_RETURNED(L"CKestrelUtil::KillProcess", kill);
                KESTREL_TRACE_LOG(KSEV_ERROR, walk.ThroughSys() ? 20128u : 20127u,
                                  L"Failed to kill the process with PID [%d]. Clean failed.", pid);
                killFailed = 1;
                return kill;
            }
            killed = true;
            break;
        }
        if (killed) continue;

        std::wstring user;
        const CKestrelInstanceWalk::Owner owner = walk.CheckOwner(process, path, user);
        if (owner == CKestrelInstanceWalk::Owner::kUnreadable) {
            if (walk.ThroughSys()) {
                TERN_TRACE(L"Failed to get the user name for the process [%s] with PID [%d].", path, pid);
            } else {
                TERN_TRACE(
                    L"Failed to get the user name for the process [%s] \t\t\t\t\t\t\t\t\t\t\t\t with PID "
                    L"[%d].",
                    path, pid);
            }
        } else if (owner == CKestrelInstanceWalk::Owner::kSapAccount) {
            TERN_TRACE(L"Pushing the PID [%d] into queue for process [%s]", pid, path);
            queue.push_back(std::move(process));
        }
    }
    // The walk ends at the first failure of first/next, the normal end included; it is not reported.
    status.Clear();

    KillQueued(queue);
    list.Close();
    return status;
}
