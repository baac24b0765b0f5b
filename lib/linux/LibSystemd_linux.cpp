#include "LibSystemd_linux.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "LibClock.h"
#include "LibError.h"
#include "LibLogger.h"
#include "LibPosix_linux.h"
#include "LibService.h"

using namespace tern_posix;

namespace {

constexpr const char* kDestination = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManager = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitIface = "org.freedesktop.systemd1.Unit";

struct BusError {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&e); }
};
struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;
struct BusUnref {
    void operator()(sd_bus* b) const { sd_bus_unref(b); }
};
using BusPtr = std::unique_ptr<sd_bus, BusUnref>;
struct SlotUnref {
    void operator()(sd_bus_slot* s) const { sd_bus_slot_unref(s); }
};
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;
struct FreeChars {
    void operator()(char* p) const { std::free(p); }
};
using Chars = std::unique_ptr<char, FreeChars>;

// The calling thread's connection, closed when the thread ends. subscribers counts the pending jobs that
// need systemd's signals: the connection is subscribed while it is above 0.
struct ThreadBus {
    sd_bus* bus = nullptr;
    int subscribers = 0;
    ~ThreadBus() {
        if (bus) sd_bus_flush_close_unref(bus);
    }
};
thread_local ThreadBus t_bus;

uint64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000ULL + static_cast<uint64_t>(ts.tv_nsec) / 1000000ULL;
}

// The Windows-numbered error of a failed bus call (r < 0).
uint32_t ErrorOf(int r, const sd_bus_error& e) {
    if (sd_bus_error_has_name(&e, "org.freedesktop.systemd1.NoSuchUnit"))
        return TERN_ERROR_SERVICE_DOES_NOT_EXIST;
    if (sd_bus_error_has_name(&e, "org.freedesktop.DBus.Error.InvalidArgs")) return TERN_ERROR_INVALID_NAME;
    int err = sd_bus_error_is_set(&e) ? sd_bus_error_get_errno(&e) : -r;
    return TernErrnoToError(err > 0 ? err : EIO);
}

bool IsDisconnect(int r) {
    return r == -ECONNRESET || r == -ENOTCONN || r == -EPIPE || r == -ESHUTDOWN;
}

// Forgets the thread's connection (units opened on it keep it until they close); a new one starts with no
// subscription.
void DropThreadBus() {
    if (t_bus.bus) sd_bus_flush_close_unref(t_bus.bus);
    t_bus.bus = nullptr;
    t_bus.subscribers = 0;
}

CKestrelStatus FailCall(const char* what, const std::string& unit, int r, const sd_bus_error& e) {
    CKestrelStatus st = Fail(ErrorOf(r, e));
    TERN_TRACE(L"(%d) systemd %S of %S failed: %S (%S)", st.GetError(), what, unit,
               e.name ? e.name : std::strerror(-r), e.message ? e.message : "");
    return st;
}

// A unit name of [A-Za-z0-9:_.\-@] with room for ".service".
bool IsUnitName(const std::string& name) {
    if (name.empty() || name.size() > 255 - 8) return false;
    for (char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!plain && std::strchr(":_.-@\\", c) == nullptr) return false;
    }
    return true;
}

}  // namespace

struct TernSystemdUnit {
    BusPtr bus;
    std::string name;  // NAME.service
    std::string path;  // its object path
    SlotPtr match;     // the JobRemoved match while a job is pending
    std::string job;   // the pending job's path (empty: none)
    std::string result;
    bool finished = false;
};

namespace tern_sd {

bool SelectedBackend(TernServiceBackend& backend) {
    const char* v = std::getenv("CAIRN_SERVICE_MANAGER");
    const std::string value = v ? v : "";
    if (value.empty() || value == "embedded")
        backend = TernServiceBackend::kEmbedded;
    else if (value == "systemd")
        backend = TernServiceBackend::kSystemd;
    else if (value == "auto")
        backend = TernServiceBackend::kAuto;
    else
        return false;
    return true;
}

bool Booted() {
#ifdef KESTREL_TEST_HOOKS
    const char* v = std::getenv("KESTREL_TEST_SD_BOOTED");
    if (v && std::strcmp(v, "1") == 0) return true;
#endif
    return sd_booted() > 0;
}

CKestrelStatus Connect() {
    if (t_bus.bus && sd_bus_is_open(t_bus.bus) > 0) return Ok();
    DropThreadBus();
    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        CKestrelStatus st = FailErrno(-r);
        TERN_TRACE(L"(%d) Failed to connect to the system bus: %S", st.GetError(), std::strerror(-r));
        return st;
    }
    t_bus.bus = bus;
    return Ok();
}

namespace {

// A text property of the unit at path (interface Unit). Failure: as FailCall reports it.
CKestrelStatus UnitText(sd_bus* bus, const char* path, const std::string& unit, const char* property,
                        std::string& value) {
    BusError e;
    char* raw = nullptr;
    int r = sd_bus_get_property_string(bus, kDestination, path, kUnitIface, property, &e.e, &raw);
    Chars owned(raw);
    if (r < 0) return FailCall(property, unit, r, e.e);
    value = owned.get();
    return Ok();
}

}  // namespace

CKestrelStatus Open(const std::string& serviceName, bool loadedOnly, TernSystemdUnitPtr& unit) {
    unit.reset();
    const std::string name = serviceName + ".service";
    if (!IsUnitName(serviceName)) {
        CKestrelStatus st = Fail(TERN_ERROR_INVALID_NAME);
        TERN_TRACE(L"(%d) '%S' cannot be a systemd unit name.", st.GetError(), name);
        return st;
    }
    BusError e;
    Message owned;
    int r = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        CKestrelStatus st = Connect();
        if (st.IsFailure()) return st;
        sd_bus_error_free(&e.e);
        sd_bus_message* reply = nullptr;
        r = sd_bus_call_method(t_bus.bus, kDestination, kManagerPath, kManager, "LoadUnit", &e.e, &reply, "s",
                               name.c_str());
        owned.reset(reply);
        // A connection kept from an earlier call may have been lost since (the bus restarted): the open
        // connects again once.
        if (r >= 0 || !IsDisconnect(r)) break;
        DropThreadBus();
    }
    if (r < 0) return FailCall("LoadUnit", name, r, e.e);
    sd_bus_message* reply = owned.get();
    const char* path = nullptr;
    r = sd_bus_message_read(reply, "o", &path);
    if (r < 0) return FailCall("LoadUnit", name, r, e.e);

    std::string state;
    CKestrelStatus st = UnitText(t_bus.bus, path, name, "LoadState", state);
    if (st.IsFailure()) return st;
    if (state == "not-found" || (loadedOnly && state != "loaded")) {
        st = Fail(TERN_ERROR_SERVICE_DOES_NOT_EXIST);
        TERN_TRACE(L"(%d) systemd unit %S: LoadState %S.", st.GetError(), name, state);
        return st;
    }
    unit.reset(new TernSystemdUnit{BusPtr(sd_bus_ref(t_bus.bus)), name, path, nullptr, "", "", false});
    return Ok();
}

namespace {

// Drops the JobRemoved match; the last one on the thread's connection unsubscribes it.
void EndJob(TernSystemdUnit& unit) {
    unit.job.clear();
    if (!unit.match) return;
    unit.match.reset();
    if (t_bus.bus != unit.bus.get() || --t_bus.subscribers > 0) return;
    BusError e;
    sd_bus_call_method(t_bus.bus, kDestination, kManagerPath, kManager, "Unsubscribe", &e.e, nullptr, "");
}

}  // namespace

void Free(TernSystemdUnit* unit) {
    if (unit == nullptr) return;
    EndJob(*unit);
    delete unit;
}

CKestrelStatus Query(TernSystemdUnit& unit, TernServiceStatus& status) {
    std::string s;
    CKestrelStatus st = UnitText(unit.bus.get(), unit.path.c_str(), unit.name, "ActiveState", s);
    if (st.IsFailure()) return st;
    BusError e;
    uint32_t pid = 0;
    int r = sd_bus_get_property_trivial(unit.bus.get(), kDestination, unit.path.c_str(),
                                        "org.freedesktop.systemd1.Service", "MainPID", &e.e, 'u', &pid);
    if (r < 0) return FailCall("MainPID", unit.name, r, e.e);
    if (s == "active" || s == "reloading")
        status.state = TERN_SERVICE_RUNNING;
    else if (s == "activating")
        status.state = TERN_SERVICE_START_PENDING;
    else if (s == "deactivating")
        status.state = TERN_SERVICE_STOP_PENDING;
    else
        status.state = TERN_SERVICE_STOPPED;
    status.pid = pid;
    return Ok();
}

CKestrelStatus Description(TernSystemdUnit& unit, std::string& text) {
    return UnitText(unit.bus.get(), unit.path.c_str(), unit.name, "Description", text);
}

namespace {

int OnJobRemoved(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* unit = static_cast<TernSystemdUnit*>(userdata);
    uint32_t id = 0;
    const char *job = nullptr, *name = nullptr, *result = nullptr;
    if (sd_bus_message_read(m, "uoss", &id, &job, &name, &result) < 0) return 0;
    if (!unit->job.empty() && unit->job == job) {
        unit->result = result;
        unit->finished = true;
    }
    return 0;
}

}  // namespace

CKestrelStatus BeginJob(TernSystemdUnit& unit, bool start) {
    sd_bus* bus = unit.bus.get();
    BusError e;
    // Signals are sent only to subscribed clients; the match is in place before the job exists, so its
    // JobRemoved cannot be missed.
    if (!unit.match) {
        if (t_bus.subscribers == 0) {
            int r =
                sd_bus_call_method(bus, kDestination, kManagerPath, kManager, "Subscribe", &e.e, nullptr, "");
            if (r < 0 && !sd_bus_error_has_name(&e.e, "org.freedesktop.systemd1.AlreadySubscribed"))
                return FailCall("Subscribe", unit.name, r, e.e);
            sd_bus_error_free(&e.e);
        }
        sd_bus_slot* slot = nullptr;
        int r = sd_bus_match_signal(bus, &slot, kDestination, kManagerPath, kManager, "JobRemoved",
                                    OnJobRemoved, &unit);
        if (r < 0) return FailCall("JobRemoved match", unit.name, r, e.e);
        unit.match.reset(slot);
        if (t_bus.bus == bus) ++t_bus.subscribers;
    }
    const char* method = start ? "StartUnit" : "StopUnit";
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus, kDestination, kManagerPath, kManager, method, &e.e, &reply, "ss",
                               unit.name.c_str(), "replace");
    Message owned(reply);
    const char* job = nullptr;
    if (r >= 0) r = sd_bus_message_read(reply, "o", &job);
    if (r < 0) {
        CKestrelStatus st = FailCall(method, unit.name, r, e.e);
        EndJob(unit);
        return st;
    }
    unit.job = job;
    unit.result.clear();
    unit.finished = false;
    return Ok();
}

bool HasJob(const TernSystemdUnit& unit) {
    return !unit.job.empty();
}

CKestrelStatus WaitJob(TernSystemdUnit& unit, uint32_t limitMs) {
    sd_bus* bus = unit.bus.get();
    const bool infinite = limitMs == TernService::kInfinite;
    const uint64_t deadline = MonotonicMs() + (infinite ? 0 : TernRealMs(limitMs));
    CKestrelStatus st;
    st.Clear();
    while (!unit.finished) {
        int r = sd_bus_process(bus, nullptr);
        if (r > 0) continue;
        if (r == 0) {
            const uint64_t now = MonotonicMs();
            if (!infinite && now >= deadline) {
                st = Fail(TERN_WAIT_TIMEOUT);
                break;
            }
            r = sd_bus_wait(bus, infinite ? UINT64_MAX : (deadline - now) * 1000ULL);
            if (r >= 0 || r == -EINTR) continue;
        }
        BusError e;
        st = FailCall("job wait", unit.name, r, e.e);
        break;
    }
    const std::string job = unit.job;
    EndJob(unit);
    if (st.IsFailure()) return st;
    const std::string& result = unit.result;
    if (result == "done") return Ok();
    uint32_t error = TERN_ERROR_INTERNAL_ERROR;
    if (result == "timeout")
        error = TERN_ERROR_SERVICE_REQUEST_TIMEOUT;
    else if (result == "failed")
        error = TERN_ERROR_PROCESS_ABORTED;
    else if (result == "dependency")
        error = TERN_ERROR_SERVICE_DEPENDENCY_FAIL;
    else if (result == "canceled")
        error = TERN_ERROR_REQUEST_ABORTED;
    st = Fail(error);
    TERN_TRACE(L"(%d) systemd job %S for %S ended with result '%S'.", st.GetError(), job, unit.name, result);
    return st;
}

}  // namespace tern_sd
