#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

#include "LibError.h"
#include "LibLogger.h"
#include "LibPosix_linux.h"
#include "LibSCM.h"
#include "LibService.h"
#include "LibServiceStore_linux.h"
#include "LibSystemd_linux.h"
#include "LibWide.h"

using namespace tern_posix;

CKestrelStatus TernSCM::Close() {
    systemd_ = false;
    auto_ = false;
    return TernWin32Object::Close();
}

CKestrelStatus TernSCM::Open(const wchar_t* machineName, uint32_t access) {
    Close();
    const wchar_t* shown = machineName ? machineName : L"";
    TernServiceBackend backend = TernServiceBackend::kEmbedded;
    CKestrelStatus st;
    if (machineName != nullptr && *machineName != L'\0') {
        st = Fail(TERN_ERROR_NOT_SUPPORTED);  // only the local manager exists
    } else if (!tern_sd::SelectedBackend(backend)) {
        st = Fail(TERN_ERROR_INVALID_PARAMETER);
        TERN_TRACE(L"CAIRN_SERVICE_MANAGER must be embedded, systemd or auto.");
    } else if (backend == TernServiceBackend::kSystemd) {
        st = tern_sd::Connect();
        if (st.IsSuccess()) {
            systemd_ = true;
            return st;
        }
    } else {
        int fd = tern_svc::OpenRoot(true);
        if (fd >= 0) {
            Attach(fd);
            auto_ = backend == TernServiceBackend::kAuto && tern_sd::Booted();
            return Ok();
        }
        st = FailErrno(errno);
    }
    TERN_TRACE(L"(%d) Failed to open SCM. Name=%s, Access=%d", st.GetError(), shown, access);
    return st;
}

CKestrelStatus TernSCM::OpenServiceW(const wchar_t* name, uint32_t access, TernService& service) {
    if (!IsValid() || name == nullptr) {
        TernReportAssertion(__FILE__, __LINE__);
        std::abort();
    }
    if (systemd_ || auto_) {
        if (service.IsValid()) service.Close();
        TernSystemdUnitPtr unit;
        CKestrelStatus st = tern_sd::Open(TernWideToUtf8(name), auto_, unit);
        if (st.IsSuccess()) {
            service.unit_ = std::move(unit);
            service.name_ = name;
            return st;
        }
        if (systemd_) {
            TERN_TRACE(L"(%d) OpenService failed for %s, dwAccess=%d", st.GetError(), name, access);
            return st;
        }
        // auto: a service without a loaded unit (or without a bus) is the embedded manager's.
        TERN_TRACE(L"(%d) No loaded systemd unit for %s: the embedded service manager has it.", st.GetError(),
                   name);
    }
    CKestrelStatus st = service.Open(fd_, name, access);
    if (st.IsSuccess()) return st;
    TERN_TRACE(L"(%d) OpenService failed for %s, dwAccess=%d", st.GetError(), name, access);
    if (st.GetError() != TERN_ERROR_SERVICE_DOES_NOT_EXIST && st.GetError() != TERN_ERROR_INVALID_NAME)
        return st;
    std::wstring keyName;
    st = GetKeyName(name, keyName);
    if (st.IsFailure()) {
        TERN_TRACE(L"(%d) GetKeyName failed for %s", st.GetError(), name);
        return st;
    }
    st = service.Open(fd_, keyName.c_str(), access);
    if (st.IsFailure())
        TERN_TRACE(L"(%d) Failed to open svc %s(%s), access=%d", st.GetError(), name, keyName, access);
    return st;
}

CKestrelStatus TernSCM::GetKeyName(const wchar_t* displayName, std::wstring& keyName) {
    keyName.clear();
    if (!IsValid() || displayName == nullptr) {
        TernReportAssertion(__FILE__, __LINE__);
        std::abort();
    }
    std::vector<TernServiceEntry> services;
    // systemd: no lookup by display name (units are not listed); the registry is the embedded manager's.
    CKestrelStatus st =
        systemd_ ? Fail(TERN_ERROR_SERVICE_DOES_NOT_EXIST) : TernServiceRegistry::List(services);
    if (st.IsSuccess()) {
        st = Fail(TERN_ERROR_SERVICE_DOES_NOT_EXIST);
        for (const TernServiceEntry& e : services) {
            if (e.config.displayName.empty()) continue;
            std::wstring shown;
            if (!TernUtf8ToWide(e.config.displayName, shown) || !TernEqualsNoCase(shown, displayName))
                continue;
            TernUtf8ToWide(e.config.keyName, keyName);
            return Ok();
        }
    }
    TERN_TRACE(L"(%d) GetServiceKeyName failed. DispName=%s.", st.GetError(), displayName);
    return st;
}
