// The host-side interface (CairnHost.h): configuration, thread context, entry points, type attributes,
// faults.
#include "CairnHost.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "CairnState.h"

namespace cairn::detail {

State& GetState() {
    static State* state = new State;
    return *state;
}

ThreadContext& CurrentContext() {
    thread_local ThreadContext context;
    return context;
}

}  // namespace cairn::detail

namespace cairn {

using namespace detail;

namespace {

std::atomic<uint64_t> gNextCallId{1};

// Calls the callbacks for (type, attribute) outside the lock: an agent's callback may call back into the
// cluster API.
int Fire(const std::string& type, const std::string& attribute, std::optional<int32_t> newValue,
         bool withRecord) {
    State& state = GetState();
    std::vector<CairnObjCallback> callbacks;
    int32_t value = 0;
    {
        std::lock_guard lock(state.mu);
        auto typeIt = state.settings.types.find(type);
        if (typeIt == state.settings.types.end()) return -1;
        auto attrIt = typeIt->second.attributes.find(attribute);
        if (attrIt == typeIt->second.attributes.end()) return -1;
        if (newValue) attrIt->second = *newValue;
        value = attrIt->second;
        for (const auto& [handle, registration] : state.registrations) {
            if (registration->type == type && registration->attribute == attribute) {
                callbacks.push_back(registration->callback);
            }
        }
    }
    CairnAttr* record = withRecord ? MakeIntAttr(attribute, value) : nullptr;
    for (CairnObjCallback callback : callbacks) {
        callback(nullptr, nullptr, const_cast<char*>(attribute.c_str()), record);
    }
    CairnFreeAttr(record);
    return static_cast<int>(callbacks.size());
}

}  // namespace

void Configure(FrameworkSettings settings) {
    State& state = GetState();
    SetLogDirectory(settings.logDir);
    std::lock_guard lock(state.mu);
    std::lock_guard cookieLock(state.cookieMu);
    if (state.cookieDir != settings.stateDir) {
        state.cookies.clear();
        state.cookieDir = settings.stateDir;
    }
    state.settings = std::move(settings);
}

FrameworkSettings CurrentSettings() {
    State& state = GetState();
    std::lock_guard lock(state.mu);
    return state.settings;
}

void Reset() {
    State& state = GetState();
    {
        std::lock_guard lock(state.mu);
        std::lock_guard cookieLock(state.cookieMu);
        state.settings = FrameworkSettings{};
        state.initCount = 0;
        state.clusters.clear();
        state.registrations.clear();
        state.cookieDir.clear();
        state.cookies.clear();
        for (void* copy : state.cookieCopies) free(copy);
        state.cookieCopies.clear();
        state.entryPoints.reset();
        state.extensions.reset();
        state.resolver = nullptr;
#ifdef KESTREL_TEST_HOOKS
        state.faults = Faults{};
#endif
    }
    ResetLog();
}

ScopedThreadContext::ScopedThreadContext(ThreadContext context) : previous_(CurrentContext()) {
    CurrentContext() = std::move(context);
}

ScopedThreadContext::~ScopedThreadContext() {
    CurrentContext() = std::move(previous_);
}

uint64_t NewCallId() {
    return gNextCallId.fetch_add(1);
}

namespace {

// Takes one of the tables the agent registered, leaving none behind.
std::optional<EntryPointTable> TakeTable(std::optional<EntryPointTable> State::*table) {
    State& state = GetState();
    std::lock_guard lock(state.mu);
    std::optional<EntryPointTable> out;
    out.swap(state.*table);
    return out;
}

}  // namespace

std::optional<EntryPointTable> TakeRegisteredEntryPoints() {
    return TakeTable(&State::entryPoints);
}

void SetResourceTypeResolver(ResourceTypeResolver resolver) {
    State& state = GetState();
    std::lock_guard lock(state.mu);
    state.resolver = std::move(resolver);
}

std::optional<EntryPointTable> TakeRegisteredExtensions() {
    return TakeTable(&State::extensions);
}

int SetTypeAttribute(const std::string& type, const std::string& attribute, int32_t value) {
    return Fire(type, attribute, value, true);
}

int FireTypeCallbacks(const std::string& type, const std::string& attribute, bool withRecord) {
    return Fire(type, attribute, std::nullopt, withRecord);
}

size_t RegistrationCount() {
    State& state = GetState();
    std::lock_guard lock(state.mu);
    return state.registrations.size();
}

size_t DropRegistrations() {
    State& state = GetState();
    std::lock_guard lock(state.mu);
    size_t count = state.registrations.size();
    state.registrations.clear();
    return count;
}

#ifdef KESTREL_TEST_HOOKS
void SetFaults(const Faults& faults) {
    State& state = GetState();
    std::lock_guard lock(state.mu);
    state.faults = faults;
}

Faults CurrentFaults() {
    State& state = GetState();
    std::lock_guard lock(state.mu);
    return state.faults;
}

bool LoadFaultsFromEnvironment(std::string* error) {
    Faults faults = CurrentFaults();
    if (const char* text = getenv("CAIRN_FAULT_OPEN_FAILS"); text != nullptr && *text != '\0') {
        char* end = nullptr;
        errno = 0;
        unsigned long long count = strtoull(text, &end, 10);
        if (*text == '-' || *end != '\0' || errno != 0 || count > 1000000) {
            if (error != nullptr) {
                *error =
                    std::string("CAIRN_FAULT_OPEN_FAILS: '") + text + "' is not a number from 0 to 1000000";
            }
            return false;
        }
        faults.openFails = static_cast<uint32_t>(count);
    }
    if (const char* name = getenv("CAIRN_FAULT_ATTR_READ"); name != nullptr) faults.attributeRead = name;
    if (const char* name = getenv("CAIRN_FAULT_REGISTER"); name != nullptr) faults.registration = name;
    SetFaults(faults);
    return true;
}
#endif

}  // namespace cairn
