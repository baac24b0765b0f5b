#include "SystemdMock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdlib>

namespace kestrel_systemd_test {

namespace {

constexpr const char* kPython = "/usr/bin/python3";  // Debian's, where python3-dbusmock lives
constexpr const char* kDaemon = "/usr/bin/dbus-daemon";

// Runs argv[0] with standard output to outFd (-1: /dev/null) and standard error to errPath. The child
// ends with this process (SIGTERM when the test dies), so a crashed test leaves no daemon behind.
pid_t Spawn(const std::vector<std::string>& argv, int outFd, const std::string& errPath) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    // Child: async-signal-safe calls only.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    const int in = open("/dev/null", O_RDWR);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (in < 0 || err < 0 || dup2(in, 0) < 0 || dup2(outFd >= 0 ? outFd : in, 1) < 0 || dup2(err, 2) < 0)
        _exit(127);
    execv(args[0], args.data());
    _exit(127);
}

void EndAndReap(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 300; ++i) {  // up to 3 s, then SIGKILL
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

struct Bus {
    sd_bus* bus = nullptr;
    ~Bus() { sd_bus_flush_close_unref(bus); }
};

}  // namespace

std::string SystemdMock::Start() {
    if (access(kDaemon, X_OK) != 0) return "dbus-daemon is not installed (apt-get install dbus)";
    if (system((std::string(kPython) + " -c 'import dbusmock' 2>/dev/null").c_str()) != 0)
        return "python3-dbusmock is not installed (apt-get install python3-dbusmock)";
    dir_ = std::make_unique<kestrel_test::TempDir>();
    log_ = *dir_ / "mock.log";
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return "pipe failed";
    daemon_ = Spawn({kDaemon, "--session", "--nofork", "--nopidfile",
                     "--address=unix:path=" + (*dir_ / "bus"), "--print-address=1"},
                    pipeFds[1], *dir_ / "daemon.log");
    close(pipeFds[1]);
    std::string line;
    char c;
    while (daemon_ > 0 && read(pipeFds[0], &c, 1) == 1 && c != '\n') line += c;
    close(pipeFds[0]);
    if (line.empty()) return "dbus-daemon did not start";
    address_ = line;
    // From here on every system-bus client of this process and its children reaches the private daemon.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
    mock_ = Spawn({kPython, "-m", "dbusmock", "--system", "-l", log_, "--template",
                   std::string(KESTREL_SYSTEMD_TEMPLATE)},
                  -1, log_);
    Bus b;
    if (sd_bus_open_system(&b.bus) < 0) return "cannot connect to the private bus";
    for (int i = 0; i < 1000; ++i) {  // up to 10 s for python to come up
        sd_bus_message* reply = nullptr;
        int has = 0;
        if (sd_bus_call_method(b.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", nullptr, &reply, "s", "org.freedesktop.systemd1") >= 0)
            sd_bus_message_read(reply, "b", &has);
        sd_bus_message_unref(reply);
        if (has) return "";
        usleep(10000);
    }
    return "the systemd mock did not come up: " + Log();
}

void SystemdMock::Stop() {
    if (mock_ > 0) KillAll();
    EndAndReap(mock_);
    EndAndReap(daemon_);
    dir_.reset();
}

bool SystemdMock::AddUnit(const std::string& service, const std::string& description,
                          const std::vector<std::string>& argv, int uid, int gid,
                          const std::string& startMode) {
    std::vector<char*> strv;
    for (const std::string& a : argv) strv.push_back(const_cast<char*>(a.c_str()));
    strv.push_back(nullptr);
    return Call("AddUnit", service, [&](sd_bus_message* m) {
        int r = sd_bus_message_append(m, "ss", (service + ".service").c_str(), description.c_str());
        if (r >= 0) r = sd_bus_message_append_strv(m, strv.data());
        return r >= 0 ? sd_bus_message_append(m, "iis", uid, gid, startMode.c_str()) : r;
    });
}

bool SystemdMock::SetActiveState(const std::string& service, const std::string& state) {
    return Call("SetActiveState", service, [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "ss", (service + ".service").c_str(), state.c_str());
    });
}

void SystemdMock::KillAll() {
    Call("KillAll", "", [](sd_bus_message*) { return 0; });
}

bool SystemdMock::Call(const char* method, const std::string& what,
                       const std::function<int(sd_bus_message*)>& args) {
    Bus b;
    sd_bus_message* m = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_open_system(&b.bus);
    if (r >= 0)
        r = sd_bus_message_new_method_call(b.bus, &m, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                           "org.freedesktop.DBus.Mock", method);
    if (r >= 0) r = args(m);
    if (r >= 0) r = sd_bus_call(b.bus, m, 0, &error, nullptr);
    sd_bus_message_unref(m);
    if (r < 0)
        ADD_FAILURE() << "mock " << method << " " << what << ": " << (error.message ? error.message : "");
    sd_bus_error_free(&error);
    return r >= 0;
}

uint32_t SystemdMock::MainPid(const std::string& service) {
    Bus b;
    if (sd_bus_open_system(&b.bus) < 0) return 0;
    sd_bus_message* reply = nullptr;
    const char* path = nullptr;
    uint32_t pid = 0;
    if (sd_bus_call_method(b.bus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                           "org.freedesktop.systemd1.Manager", "GetUnit", nullptr, &reply, "s",
                           (service + ".service").c_str()) >= 0 &&
        sd_bus_message_read(reply, "o", &path) >= 0)
        sd_bus_get_property_trivial(b.bus, "org.freedesktop.systemd1", path,
                                    "org.freedesktop.systemd1.Service", "MainPID", nullptr, 'u', &pid);
    sd_bus_message_unref(reply);
    return pid;
}

}  // namespace kestrel_systemd_test
