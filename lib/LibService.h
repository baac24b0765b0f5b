// TernService: one service of the embedded service manager (the descriptor held is the service's folder)
// or, when systemd is selected (see TernSCM), one systemd unit NAME.service (no descriptor: GetHandle gives
// -1; the object holds the unit and its thread's bus connection, and is used on the thread that opened it).
//
// Every operation returns a CKestrelStatus: success cleared; code 2 with a Windows-numbered error when a
// manager call fails (258 when a wait ran out of time); code 6 with error 1 when a wait saw the service leave
// its pending state without reaching the wanted one. Failures are traced; the thread's last error is set.
// Calling Start, Stop, the waits or the queries on a closed object is a programming error: it is reported
// and the process is aborted.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "LibServiceRegistry.h"
#include "LibWin32Object.h"

struct TernSystemdUnit;
struct TernSystemdUnitDeleter {
    void operator()(TernSystemdUnit* unit) const;
};

class TernService : public TernWin32Object {
  public:
    static constexpr uint32_t kAllAccess = 0xF01FF;
    static constexpr uint32_t kInfinite = 0xFFFFFFFFu;

    TernService() = default;
    TernService(TernService&&) noexcept = default;
    TernService& operator=(TernService&&) noexcept = default;
    ~TernService() override = default;

    // Open on either manager.
    bool IsValid() const override { return fd_ >= 0 || unit_ != nullptr; }
    // Closes the handle (or the unit) and empties the name. Always success.
    CKestrelStatus Close() override;
    // Gives the handle up (the caller owns it; -1 for a systemd unit, which is closed) and empties the name.
    int Detach() override;

    // Opens name (key name or display name) on a manager of its own, which is closed again before
    // returning. Failure: the manager's or the open's status.
    CKestrelStatus Open(const wchar_t* name, uint32_t access, const wchar_t* machineName, uint32_t scmAccess);
    // Opens the service with key name name on the open manager scmHandle (not taken over). Failure: code 2
    // with 123 for a name that cannot be a key name, 1060 when there is no such service.
    CKestrelStatus Open(int scmHandle, const wchar_t* name, uint32_t access);

    // The key name of the open service (empty when closed).
    const std::wstring& GetName() const { return name_; }

    // Starts the service unless it runs already (then success, nothing done). The arguments are appended to
    // the configured command line. Returns once the program was executed: a program that cannot be run or
    // an account that cannot be taken on fail here (2 / 5 / 1069 ...) and leave the service stopped with
    // the reason in its service.log. A service being stopped cannot be started (1056).
    // systemd: queues a start job (StartUnit, mode "replace") and returns; WaitForStart waits for it.
    // Arguments are not supported there (50).
    CKestrelStatus Start(uint32_t argc = 0, const wchar_t* const* argv = nullptr);
    // Asks a service to stop (SIGTERM to its process group) unless it is stopped already (then success). A
    // service that is already stopping is asked again. systemd: queues a stop job (StopUnit, "replace").
    CKestrelStatus Stop();
    // WaitForServiceStatus(running, start pending, limitMs) / (stopped, stop pending, limitMs). systemd,
    // after Start / Stop queued a job: waits up to limitMs for the job to end (258 when it does not), then
    // the service must be in the wanted state (otherwise code 6, error 1). A job result other than "done"
    // fails with 1053 (timeout), 1067 (failed), 1068 (dependency), 1235 (canceled) or 1359 (any other).
    CKestrelStatus WaitForStart(uint32_t limitMs);
    CKestrelStatus WaitForStop(uint32_t limitMs);
    // Waits for state wanted while the service is in state pending. A finite limit is slept in 50 ms steps
    // and one step of the rest (total sleep = limit; a query after each sleep); kInfinite polls every 100 ms.
    CKestrelStatus WaitForServiceStatus(uint32_t wanted, uint32_t pending, uint32_t limitMs);
    // running = the service is in the running state; not written on failure.
    CKestrelStatus IsServiceRunning(bool& running);
    // State and process of the service. systemd: ActiveState active or reloading is running, activating
    // start pending, deactivating stop pending, anything else stopped; the process is MainPID.
    CKestrelStatus QueryStatus(TernServiceStatus& status);
    // The service's display name: display_name of the embedded service (its key name when it has none),
    // a systemd unit's Description.
    CKestrelStatus QueryDisplayName(std::wstring& displayName);

  private:
    friend class TernSCM;  // opens systemd units into the object

    CKestrelStatus QueryTraced(TernServiceStatus& status);
    CKestrelStatus WaitFor(uint32_t wanted, uint32_t pending, uint32_t limitMs);
    void RequireOpen(const char* file, int line) const;

    std::wstring name_;
    std::unique_ptr<TernSystemdUnit, TernSystemdUnitDeleter> unit_;  // null on the embedded manager
};

#ifdef KESTREL_TEST_HOOKS
// Replaces the sleep of the service waits (nullptr: back to TernSleep). Returns the previous function.
// For tests only: lets them see (and skip) the waits' sleeps.
using TernServiceSleepFn = void (*)(uint32_t ms);
TernServiceSleepFn TernServiceSetSleepForTest(TernServiceSleepFn fn);
#endif
