// TernService: one service of the embedded service manager (the descriptor held is the service's folder).
//
// Every operation returns a CKestrelStatus: success cleared; code 2 with a Windows-numbered error when a
// manager call fails (258 when a wait ran out of time); code 6 with error 1 when a wait saw the service leave
// its pending state without reaching the wanted one. Failures are traced; the thread's last error is set.
// Calling Start, Stop, the waits or the queries on a closed object is a programming error: it is reported
// and the process is aborted.
#pragma once

#include <cstdint>
#include <string>

#include "LibServiceRegistry.h"
#include "LibWin32Object.h"

class TernService : public TernWin32Object {
  public:
    static constexpr uint32_t kAllAccess = 0xF01FF;
    static constexpr uint32_t kInfinite = 0xFFFFFFFFu;

    TernService() = default;
    TernService(TernService&&) noexcept = default;
    TernService& operator=(TernService&&) noexcept = default;
    ~TernService() override = default;

    // Closes the handle and empties the name. Always success.
    CKestrelStatus Close() override;
    // Gives the handle up (the caller owns it) and empties the name.
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
    CKestrelStatus Start(uint32_t argc = 0, const wchar_t* const* argv = nullptr);
    // Asks a service to stop (SIGTERM to its process group) unless it is stopped already (then success). A
    // service that is already stopping is asked again.
    CKestrelStatus Stop();
    // WaitForServiceStatus(running, start pending, limitMs) / (stopped, stop pending, limitMs).
    CKestrelStatus WaitForStart(uint32_t limitMs);
    CKestrelStatus WaitForStop(uint32_t limitMs);
    // Waits for state wanted while the service is in state pending. A finite limit is slept in 50 ms steps
    // and one step of the rest (total sleep = limit; a query after each sleep); kInfinite polls every 100 ms.
    CKestrelStatus WaitForServiceStatus(uint32_t wanted, uint32_t pending, uint32_t limitMs);
    // running = the service is in the running state; not written on failure.
    CKestrelStatus IsServiceRunning(bool& running);
    // State and process of the service.
    CKestrelStatus QueryStatus(TernServiceStatus& status);

  private:
    CKestrelStatus QueryTraced(TernServiceStatus& status);
    void RequireOpen(const char* file, int line) const;

    std::wstring name_;
};

#ifdef KESTREL_TEST_HOOKS
// Replaces the sleep of the service waits (nullptr: back to TernSleep). Returns the previous function.
// For tests only: lets them see (and skip) the waits' sleeps.
using TernServiceSleepFn = void (*)(uint32_t ms);
TernServiceSleepFn TernServiceSetSleepForTest(TernServiceSleepFn fn);
#endif
