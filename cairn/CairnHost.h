// Host-side interface of the stand-in cluster framework (libcairnagfw.so).
//
// A host program (cairnagent, tests, a test harness) uses it to give the framework its configuration, to
// say which resource's entry point runs on a thread, to collect the agent-log messages that agents write,
// to change type attributes (firing the agents' change callbacks) and, in test builds, to inject faults.
// Agents never see this header: they use framework/CairnAgfw.h and framework/CairnApi.h only.
//
// Every function here is safe from several threads at once. Nothing throws.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace cairn {

// Settings of one resource type.
struct TypeSettings {
    // Type attributes served by CairnObjGetAttribute (objectType 4), e.g. "MonitorTimeout" -> 60.
    std::map<std::string, int32_t> attributes;
    // Debug tags whose resource-log lines are written (19 trace, 20 dump); others are dropped.
    std::set<uint32_t> debugTags;
};

struct ResourceSettings {
    std::string type;
};

struct FrameworkSettings {
    // Cookies persist under <stateDir>/cookies/; empty keeps cookies in memory only.
    std::string stateDir;
    // Agent log <logDir>/Kestrel.log and debug logs <logDir>/resources/; empty writes no files (messages are
    // still collected and console messages still reach standard error).
    std::string logDir;
    std::map<std::string, TypeSettings> types;
    std::map<std::string, ResourceSettings> resources;
};

// Asked by CairnResGetType for a resource the settings do not name: returns its type name, an empty text
// when the cluster has no such resource, or nullopt with problem set when the cluster could not be asked.
// Called without the framework's lock, on the agent's thread; may take time. Empty: no resolver.
using ResourceTypeResolver =
    std::function<std::optional<std::string>(const std::string& resource, std::string& problem)>;
void SetResourceTypeResolver(ResourceTypeResolver resolver);

// Replaces the configuration. Cookies held in memory are forgotten when the state directory changes.
void Configure(FrameworkSettings settings);
// A copy of the current configuration.
FrameworkSettings CurrentSettings();

// Puts the framework back to its freshly loaded state: no configuration, cookies, handles, registrations,
// entry-point table, collected messages, listener or faults; log category 0. For tests.
void Reset();

// ---- Threads ----------------------------------------------------------------------------------------

// What runs on a thread: the resource whose entry point runs (empty: none, logged as "-"), its type (for
// the debug tags; taken from the resource's settings when empty) and the call id that collected messages
// carry (0: none).
struct ThreadContext {
    std::string resource;
    std::string type;
    uint64_t callId = 0;
};

// Sets the calling thread's context for the lifetime of the object and restores the previous one after.
class ScopedThreadContext {
  public:
    explicit ScopedThreadContext(ThreadContext context);
    ~ScopedThreadContext();
    ScopedThreadContext(const ScopedThreadContext&) = delete;
    ScopedThreadContext& operator=(const ScopedThreadContext&) = delete;

  private:
    ThreadContext previous_;
};

// A process-unique call id (never 0).
uint64_t NewCallId();

// ---- Agent-log messages -----------------------------------------------------------------------------

struct LogMessage {
    uint64_t callId = 0;   // of the writing thread's context
    std::string time;      // "YYYY-MM-DD HH:MM:SS.mmm", local time
    std::string resource;  // empty when none
    uint32_t severity = 0;
    uint32_t category = 0;
    uint32_t id = 0;
    std::string tag;       // UTF-8
    std::string text;      // UTF-8, exactly as the agent wrote it (characters outside Unicode become U+FFFD)
    bool console = false;  // written with CairnAgLogConsoleMsgText (already echoed to standard error)
};

// Severity name used in the agent log: CRITICAL, ERROR, WARNING, NOTICE, INFO, or "SEV<n>" beyond 4.
std::string SeverityName(uint32_t severity);

// Called for every agent-log message, on the writing thread, one at a time. An empty function removes the
// listener. The listener must not call back into the framework's log functions.
void SetMessageListener(std::function<void(const LogMessage&)> listener);
// All messages collected since the last call, in the order written; the collection is emptied.
std::vector<LogMessage> TakeMessages();
// The collected messages of one call id, in the order written; they leave the collection, the others stay.
// Hosts running several calls at once take each call's own this way.
std::vector<LogMessage> TakeMessagesOfCall(uint64_t callId);

// When set, console messages (CairnAgLogConsoleMsgText) are handed to this function as the finished line
// instead of being written to standard error by the framework, so a host that draws on the terminal can
// put them between its own output. Called on the writing thread, one at a time; an empty function
// restores the plain write. It must not call back into the framework's log functions.
void SetConsoleWriter(std::function<void(const std::string& line)> writer);

// One resource debug-log line (trace 19, dump 20) whose debug tag is enabled for the type.
struct TraceLine {
    uint64_t callId = 0;   // of the writing thread's context
    std::string resource;  // empty when none
    uint32_t debugTag = 0;
    std::string function;  // UTF-8
    std::string text;      // UTF-8, as the agent wrote it
};
// Called for every debug-log line of an enabled tag (also when no log directory is configured), on the
// writing thread, one at a time. An empty function removes the listener. The listener must not call back
// into the framework's log functions.
void SetTraceListener(std::function<void(const TraceLine&)> listener);

// ---- Entry points -----------------------------------------------------------------------------------

using EntryPointTable =
    std::array<void*, 10>;  // slot 4 (from 1) Monitor, 5 Online, 6 Offline, 9 Clean, 10 Shutdown
// The table registered with CairnAgRegisterEPStruct since the last call, or nullopt.
std::optional<EntryPointTable> TakeRegisteredEntryPoints();
// The host-extension table (version kCairnEPExtensions of CairnAgfw.h: slot 1 Validate, slot 2 Remains)
// registered since the last call, or nullopt.
std::optional<EntryPointTable> TakeRegisteredExtensions();

// ---- Type attributes and change callbacks ----------------------------------------------------------

// Sets a type attribute and then calls every callback registered for it with a record holding the new
// value (on the calling thread). Returns the number of callbacks called, or -1 when the type or the
// attribute is not configured (nothing changes then).
int SetTypeAttribute(const std::string& type, const std::string& attribute, int32_t value);
// Calls the callbacks registered for the attribute with its current value, or with a null record when
// withRecord is false. Returns the number of callbacks called, -1 for an unknown type or attribute.
int FireTypeCallbacks(const std::string& type, const std::string& attribute, bool withRecord);
// Number of live registrations (CairnObjRegister not yet undone).
size_t RegistrationCount();
// Forgets every registration (their callbacks may point into an unloaded agent). Returns how many there were.
size_t DropRegistrations();

// ---- Error records ----------------------------------------------------------------------------------

// The number field of error records set by the framework (the code field holds a Windows-numbered error).
enum ErrorNumber : int32_t {
    kErrNotInitialised = 1,  // the cluster API is used before CairnApiInit
    kErrInvalidHandle = 2,
    kErrInvalidArgument = 3,
    kErrUnknownObject = 4,  // unknown type, resource or attribute
    kErrUnsupported = 5,    // object type other than 4
    kErrUnavailable = 6,    // the cluster cannot be opened (injected)
    kErrInjected = 7,       // injected attribute-read or registration failure
    kErrConversion = 8,     // text is not valid UTF-8
    kErrNoMemory = 9,
};

// ---- Fault injection (test builds only) -------------------------------------------------------------
#ifdef KESTREL_TEST_HOOKS
struct Faults {
    uint32_t openFails = 0;     // the next N CairnClusterOpenLocal calls fail
    std::string attributeRead;  // every CairnObjGetAttribute of this attribute name fails
    std::string registration;   // every CairnObjRegister of this attribute name fails
};
void SetFaults(const Faults& faults);
Faults CurrentFaults();
// Reads CAIRN_FAULT_OPEN_FAILS, CAIRN_FAULT_ATTR_READ and CAIRN_FAULT_REGISTER into the faults. Returns
// false with *error set (faults unchanged) when CAIRN_FAULT_OPEN_FAILS is not a non-negative number.
bool LoadFaultsFromEnvironment(std::string* error);
#endif

}  // namespace cairn
