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
#include "LibSystemd_linux.h"
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

void TernSystemdUnitDeleter::operator()(TernSystemdUnit* unit) const {
    tern_sd::Free(unit);
}

void TernService::RequireOpen(const char* file, int line) const {
    if (IsValid()) return;
    TernReportAssertion(file, line);
    std::abort();
}

CKestrelStatus TernService::Close() {
    TernWin32Object::Close();
    unit_.reset();
    name_.clear();
    return Done();
}

int TernService::Detach() {
    unit_.reset();
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
    return unit_ ? tern_sd::Query(*unit_, status) : tern_svc::Query(fd_, status);
}

CKestrelStatus TernService::QueryDisplayName(std::wstring& displayName) {
    RequireOpen(__FILE__, __LINE__);
    std::string text;
    CKestrelStatus st;
    if (unit_) {
        st = tern_sd::Description(*unit_, text);
    } else {
        TernServiceConfig config;
        std::string why;
        st = tern_svc::ReadConfig(fd_, config, why);
        text = config.displayName.empty() ? TernWideToUtf8(name_) : config.displayName;
    }
    if (st.IsFailure()) return st;
    TernUtf8ToWide(text, displayName);
    return Ok();
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
    if (unit_) {
        // A stop job is not turned into a start (that would restart the instance), as on the embedded
        // manager; arguments have no place in a unit's command line.
        if (status.state == TERN_SERVICE_STOP_PENDING)
            st = Fail(TERN_ERROR_SERVICE_ALREADY_RUNNING);
        else if (argc > 0)
            st = Fail(TERN_ERROR_NOT_SUPPORTED);
        else
            st = tern_sd::BeginJob(*unit_, true);
        if (st.IsFailure())
            TERN_TRACE(L"(%d) Failed to start the service %s. State=%d.", st.GetError(), name_, status.state);
        return st;
    }
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
    st = unit_ ? tern_sd::BeginJob(*unit_, false) : tern_svc::Stop(fd_);
    if (st.IsFailure())
        TERN_TRACE(L"(%d) ControlService failed for service %s. state = %d.", st.GetError(), name_,
                   status.state);
    return st;
}

CKestrelStatus TernService::WaitForStart(uint32_t limitMs) {
    return WaitFor(TERN_SERVICE_RUNNING, TERN_SERVICE_START_PENDING, limitMs);
}

CKestrelStatus TernService::WaitForStop(uint32_t limitMs) {
    return WaitFor(TERN_SERVICE_STOPPED, TERN_SERVICE_STOP_PENDING, limitMs);
}

CKestrelStatus TernService::WaitFor(uint32_t wanted, uint32_t pending, uint32_t limitMs) {
    RequireOpen(__FILE__, __LINE__);
    // Without a job of ours (the service was in the wanted state already, or on the embedded manager) the
    // state is polled.
    if (!unit_ || !tern_sd::HasJob(*unit_)) return WaitForServiceStatus(wanted, pending, limitMs);
    CKestrelStatus st = tern_sd::WaitJob(*unit_, limitMs);
    if (st.IsFailure()) {
        if (st.GetError() == TERN_WAIT_TIMEOUT) TERN_TRACE(L"Wait timed out for service %s", name_);
        return st;
    }
    TernServiceStatus status;
    st = QueryTraced(status);
    if (st.IsFailure()) return st;
    return status.state == wanted ? Ok() : StateStatus();
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
