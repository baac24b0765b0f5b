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

}  // namespace

CKestrelStatus CKestrelUtil::StartService(const std::wstring& serviceName, uint32_t timeoutMs) {
    TERN_TRACE(L"StartService called with service [%s] and timeout [%d].", serviceName, timeoutMs);
    TernService service;
    CKestrelStatus st = OpenLocalService(serviceName, service);
    if (st.IsSuccess()) {
        st = service.Start();
        if (st.IsFailure()) {
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"TernService::Start", st.GetCode(), st.GetError());
        } else {
            st = service.WaitForStart(timeoutMs);
            if (st.IsFailure())
                TERN_TRACE(L"%s returned %d, 0x%.08X", L"TernService::WaitForStart", st.GetCode(),
                           st.GetError());
        }
    }
    service.Close();
    return st;
}

CKestrelStatus CKestrelUtil::StopService(const std::wstring& serviceName, uint32_t timeoutMs) {
    TERN_TRACE(L"StopService called with service [%s] and timeout [%d].", serviceName, timeoutMs);
    TernService service;
    CKestrelStatus st = OpenLocalService(serviceName, service);
    if (st.IsSuccess()) {
        st = service.Stop();
        if (st.IsFailure()) {
            TERN_TRACE(L"%s returned %d, 0x%.08X", L"TernService::Stop", st.GetCode(), st.GetError());
        } else {
            st = service.WaitForStop(timeoutMs);
            if (st.IsFailure())
                TERN_TRACE(L"%s returned %d, 0x%.08X", L"TernService::WaitForStop", st.GetCode(),
                           st.GetError());
        }
    }
    service.Close();
    return st;
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
