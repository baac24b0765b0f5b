// Our systemd stand-in for tests: a private D-Bus daemon (its socket in a temporary directory) with
// python3-dbusmock running systemd_template.py on it. Start points DBUS_SYSTEM_BUS_ADDRESS of this process
// (and so of every child) at that daemon: the tests never reach the machine's own system bus.
#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace kestrel_systemd_test {

class SystemdMock {
  public:
    SystemdMock() = default;
    ~SystemdMock() { Stop(); }
    SystemdMock(const SystemdMock&) = delete;
    SystemdMock& operator=(const SystemdMock&) = delete;

    // Starts the daemon and the mock and waits until systemd's name is on the bus. Returns "" when it
    // runs, else why it cannot (dbus-daemon or python3-dbusmock missing: the caller skips).
    std::string Start();
    // Ends the mock (after it killed every unit's program) and the daemon, and reaps them.
    void Stop();
    const std::string& Address() const { return address_; }

    // Adds unit NAME.service running argv (as uid/gid; -1: as the mock). startMode "hang": its start job
    // never ends. Returns false (with a test failure) when the call fails.
    bool AddUnit(const std::string& service, const std::string& description,
                 const std::vector<std::string>& argv, int uid = -1, int gid = -1,
                 const std::string& startMode = "");
    bool SetActiveState(const std::string& service, const std::string& state);
    // MainPID of the unit (0 when none or unknown).
    uint32_t MainPid(const std::string& service);
    // SIGKILL to every running unit's process group.
    void KillAll();
    // The mock's log of the calls it served (for failure messages).
    std::string Log() const { return kestrel_test::ReadFile(log_); }

  private:
    // Calls method of the mock interface with the arguments args appends (a test failure when it fails).
    bool Call(const char* method, const std::string& what, const std::function<int(sd_bus_message*)>& args);
    std::unique_ptr<kestrel_test::TempDir> dir_;
    std::string address_, log_;
    pid_t daemon_ = -1, mock_ = -1;
};

// One mock for a test suite, from SetUpTestSuite to TearDownTestSuite. Returns Start's answer.
inline std::string StartSuiteMock(SystemdMock*& mock) {
    mock = new SystemdMock;
    return mock->Start();
}
inline void EndSuiteMock(SystemdMock*& mock) {
    delete mock;
    mock = nullptr;
}

}  // namespace kestrel_systemd_test
