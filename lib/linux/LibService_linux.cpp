#include <cstdlib>
#include <string>
#include <vector>

#include "LibClock.h"
#include "LibError.h"
#include "LibLogger.h"
#include "LibPosix_linux.h"
#include "LibSCM.h"
#include "LibService.h"
#include "LibServiceStore_linux.h"
#include "LibWide.h"

using namespace tern_posix;

namespace {

// Poll steps of the waits.
constexpr uint32_t kFiniteStepMs = 50;
constexpr uint32_t kInfiniteStepMs = 100;

void (*g_sleep)(uint32_t) = TernSleep;

CKestrelStatus StateStatus() {
    TernSetLastError(1);
    CKestrelStatus st;
    st.Set(CKestrelStatus::kServiceState, 1);
    return st;
}

}  // namespace

#ifdef KESTREL_TEST_HOOKS
TernServiceSleepFn TernServiceSetSleepForTest(TernServiceSleepFn fn) {
    TernServiceSleepFn old = g_sleep;
    g_sleep = fn ? fn : TernSleep;
    return old;
}
#endif

void TernService::RequireOpen(const char* file, int line) const {
    if (IsValid()) return;
    TernReportAssertion(file, line);
    std::abort();
}

CKestrelStatus TernService::Close() {
    TernWin32Object::Close();
    name_.clear();
    return Done();
}

int TernService::Detach() {
    name_.clear();
    return TernWin32Object::Detach();
}

CKestrelStatus TernService::Open(const wchar_t* name, uint32_t access, const wchar_t* machineName,
                                 uint32_t scmAccess) {
    if (IsValid()) Close();
    TernSCM scm;
    CKestrelStatus st = scm.Open(machineName, scmAccess);
    if (st.IsFailure()) {
        TERN_TRACE(L"(%d) Failed to open the service manager. service = '%s'", st.GetError(),
                   name ? name : L"");
        return st;
    }
    st = scm.OpenServiceW(name, access, *this);
    if (st.IsFailure()) TERN_TRACE(L"(%d) Failed to open the service '%s'.", st.GetError(), name);
    return st;
}

CKestrelStatus TernService::Open(int scmHandle, const wchar_t* name, uint32_t /*access*/) {
    if (name == nullptr) {
        TernReportAssertion(__FILE__, __LINE__);
        std::abort();
    }
    if (IsValid()) Close();
    int dirFd = -1;
    CKestrelStatus st = tern_svc::OpenServiceDir(scmHandle, TernWideToUtf8(name), dirFd);
    if (st.IsFailure()) {
        TERN_TRACE(L"(%d) Failed to open service %s.", st.GetError(), name);
        return st;
    }
    Attach(dirFd);
    name_ = name;
    return Ok();
}

CKestrelStatus TernService::QueryStatus(TernServiceStatus& status) {
    RequireOpen(__FILE__, __LINE__);
    return tern_svc::Query(fd_, status);
}

CKestrelStatus TernService::QueryTraced(TernServiceStatus& status) {
    CKestrelStatus st = QueryStatus(status);
    if (st.IsFailure()) TERN_TRACE(L"(%d) Failed to query service status of %s.", st.GetError(), name_);
    return st;
}

CKestrelStatus TernService::Start(uint32_t argc, const wchar_t* const* argv) {
    RequireOpen(__FILE__, __LINE__);
    TernServiceStatus status;
    CKestrelStatus st = QueryTraced(status);
    if (st.IsFailure()) return st;
    if (status.state == TERN_SERVICE_RUNNING) return Ok();
    std::vector<std::string> args;
    for (uint32_t i = 0; argv != nullptr && i < argc; ++i)
        args.push_back(TernWideToUtf8(argv[i] ? argv[i] : L""));
    st = tern_svc::Start(fd_, TernWideToUtf8(name_), args);
    if (st.IsFailure())
        TERN_TRACE(L"(%d) Failed to start the service %s. State=%d.", st.GetError(), name_, status.state);
    return st;
}

CKestrelStatus TernService::Stop() {
    RequireOpen(__FILE__, __LINE__);
    TernServiceStatus status;
    CKestrelStatus st = QueryTraced(status);
    if (st.IsFailure()) return st;
    if (status.state == TERN_SERVICE_STOPPED) return Ok();
    st = tern_svc::Stop(fd_);
    if (st.IsFailure())
        TERN_TRACE(L"(%d) ControlService failed for service %s. state = %d.", st.GetError(), name_,
                   status.state);
    return st;
}

CKestrelStatus TernService::WaitForStart(uint32_t limitMs) {
    return WaitForServiceStatus(TERN_SERVICE_RUNNING, TERN_SERVICE_START_PENDING, limitMs);
}

CKestrelStatus TernService::WaitForStop(uint32_t limitMs) {
    return WaitForServiceStatus(TERN_SERVICE_STOPPED, TERN_SERVICE_STOP_PENDING, limitMs);
}

CKestrelStatus TernService::WaitForServiceStatus(uint32_t wanted, uint32_t pending, uint32_t limitMs) {
    RequireOpen(__FILE__, __LINE__);
    TernServiceStatus status;
    CKestrelStatus st = QueryTraced(status);
    if (st.IsFailure()) return st;
    if (status.state == wanted) return Ok();

    if (limitMs == kInfinite) {
        for (;;) {
            if (status.state != pending) return StateStatus();
            g_sleep(kInfiniteStepMs);
            st = QueryTraced(status);
            if (st.IsFailure()) return st;
            if (status.state == wanted) return Ok();
        }
    }
    // n steps of 50 ms and one of the rest: the sleeps add up to the limit exactly, without reading a clock.
    const uint32_t steps = limitMs / kFiniteStepMs;
    const uint32_t rest = limitMs % kFiniteStepMs;
    for (uint32_t i = 1; i <= steps + 1; ++i) {
        if (i == steps + 1 && rest == 0) break;
        g_sleep(i == steps + 1 ? rest : kFiniteStepMs);
        st = QueryTraced(status);
        if (st.IsFailure()) return st;
        if (status.state == wanted) return Ok();
        if (status.state != pending) return StateStatus();
    }
    st = Fail(TERN_WAIT_TIMEOUT);
    TERN_TRACE(L"Wait timed out for service %s", name_);
    return st;
}

CKestrelStatus TernService::IsServiceRunning(bool& running) {
    RequireOpen(__FILE__, __LINE__);
    TernServiceStatus status;
    CKestrelStatus st = QueryTraced(status);
    if (st.IsFailure()) return st;
    running = status.state == TERN_SERVICE_RUNNING;
    return Ok();
}
