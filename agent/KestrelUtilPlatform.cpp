// CKestrelUtil's service and process operations: thin sequences over the platform library's TernService and
// TernProcess, with the agent's trace lines.
#include "KestrelUtil.h"
#include "LibLogger.h"
#include "LibProcess.h"
#include "LibSCM.h"
#include "LibService.h"

namespace {

// Opens serviceName on the local service manager with full access; traces a failure for the caller.
CKestrelStatus OpenLocalService(const std::wstring& serviceName, TernService& service) {
    CKestrelStatus st =
        service.Open(serviceName.c_str(), TernService::kAllAccess, nullptr, TernSCM::kAllAccess);
    if (st.IsFailure())
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"TernService::Open", st.GetCode(), st.GetError());
    return st;
}

// Opens serviceName, asks for a state change (act) and waits up to timeoutMs for it (wait), ending at the
// first step that fails. A failed act or wait is traced under actName / waitName as a line of caller (the
// calling entry's TERN_FUNC); OpenLocalService traces a failed open.
template <class Act>
CKestrelStatus ChangeServiceState(std::string_view caller, const std::wstring& serviceName,
                                  uint32_t timeoutMs, Act act, const wchar_t* actName,
                                  CKestrelStatus (TernService::*wait)(uint32_t), const wchar_t* waitName) {
    TernService service;
    CKestrelStatus st = OpenLocalService(serviceName, service);
    const wchar_t* failedStep = nullptr;
    if (st.IsSuccess()) {
        st = act(service);
        if (st.IsFailure()) {
            failedStep = actName;
        } else {
            st = (service.*wait)(timeoutMs);
            if (st.IsFailure()) failedStep = waitName;
        }
    }
    if (failedStep)
        TernLogger().Trace(__FILE__, __LINE__, caller, L"%s returned %d, 0x%.08X", failedStep, st.GetCode(),
                           st.GetError());
    service.Close();
    return st;
}

}  // namespace

CKestrelStatus CKestrelUtil::StartService(const std::wstring& serviceName, uint32_t timeoutMs) {
    TERN_TRACE(L"StartService called with service [%s] and timeout [%d].", serviceName, timeoutMs);
    return ChangeServiceState(
        TERN_FUNC, serviceName, timeoutMs, [](TernService& s) { return s.Start(); }, L"TernService::Start",
        &TernService::WaitForStart, L"TernService::WaitForStart");
}

CKestrelStatus CKestrelUtil::StopService(const std::wstring& serviceName, uint32_t timeoutMs) {
    TERN_TRACE(L"StopService called with service [%s] and timeout [%d].", serviceName, timeoutMs);
    return ChangeServiceState(
        TERN_FUNC, serviceName, timeoutMs, [](TernService& s) { return s.Stop(); }, L"TernService::Stop",
        &TernService::WaitForStop, L"TernService::WaitForStop");
}

CKestrelStatus CKestrelUtil::IsServiceRunning(const std::wstring& serviceName, bool& running) {
    TERN_TRACE(L"IsServiceRunning called with service [%s].", serviceName);
    TernService service;
    CKestrelStatus st = OpenLocalService(serviceName, service);
    if (st.IsSuccess()) {
        st = service.IsServiceRunning(running);
        if (st.IsFailure())
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"TernService::IsServiceRunning", st.GetCode(),
                       st.GetError());
    }
    service.Close();
    return st;
}

CKestrelStatus CKestrelUtil::GetProcessUserName(uint32_t pid, std::wstring& domain, std::wstring& user) {
    TERN_TRACE(L"GetProcessUserName called with pid [%d].", pid);
    CKestrelStatus st = TernProcess::GetUserName(pid, domain, user);
    if (st.IsFailure())
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"TernProcess::GetUserName", st.GetCode(), st.GetError());
    return st;
}

CKestrelStatus CKestrelUtil::GetProcessUserName(TernProcess& process, std::wstring& domain,
                                                std::wstring& user, TernScanCache* cache) {
    TERN_TRACE(L"GetProcessUserName called with pid [%d].", process.GetPid());
    CKestrelStatus st = process.GetUserName(domain, user, cache);
    if (st.IsFailure())
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"TernProcess::GetUserName", st.GetCode(), st.GetError());
    return st;
}

CKestrelStatus CKestrelUtil::KillProcess(uint32_t pid) {
    TERN_TRACE(L"KillProcess called with pid [%d].", pid);
    CKestrelStatus st = TernProcess::EnablePrivilege(pid, L"SeDebugPrivilege", true);
    if (st.IsFailure()) {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"TernProcess::EnablePrivilege", st.GetCode(), st.GetError());
        return st;
    }
    // From here on the process is acted on only through this pidfd.
    TernProcess process;
    st = process.Open(pid, true, TernProcess::kAccessTerminate);
    if (st.IsFailure()) {
        if (st.GetError() == 87) {
            TERN_TRACE(L"Process with PID [%d] doesn't exist.", pid);
            st.Clear();
        } else {
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"OpenProcess", st.GetCode(), st.GetError());
        }
        return st;
    }
    st = process.Terminate(0);
    if (st.IsFailure())
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"TerminateProcess", st.GetCode(), st.GetError());
    process.Close();
    return st;
}
