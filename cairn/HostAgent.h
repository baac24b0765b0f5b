// Loading an agent library and calling its entry points, each on a worker thread of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CairnHost.h"
#include "HostConfig.h"

namespace cairn::host {

// Entry points by their slot in the registered table (counting from 1).
enum class EntryPoint : int { Monitor = 4, Online = 5, Offline = 6, Clean = 9 };
const char* EntryPointName(EntryPoint entryPoint);
// The host extensions by their slot in the extension table (counting from 1).
enum class Extension : int { Validate = 1, Remains = 2 };
const char* ExtensionName(Extension extension);

struct CallRecord {
    std::string entryPoint;  // "Online", ...
    uint32_t result = 0;
    uint64_t durationMs = 0;
    std::vector<LogMessage> messages;  // agent-log messages written by this call's thread
};

// One loaded agent. Not copyable; the destructor unloads it (Shutdown entry point, then dlclose).
// Loaded agents must not overlap in time, as the framework keeps one entry-point table.
class LoadedAgent {
  public:
    // dlopens type.library, runs CairnAgStartup on a worker thread and takes the entry-point table it
    // registered. Returns null with error set (one line) when the library cannot be loaded, exports no
    // CairnAgStartup or registers no table. The framework must already be configured.
    static std::unique_ptr<LoadedAgent> Load(const TypeDefinition& type, std::string& error);
    ~LoadedAgent();
    LoadedAgent(const LoadedAgent&) = delete;
    LoadedAgent& operator=(const LoadedAgent&) = delete;

    bool Has(EntryPoint entryPoint) const;
    // Calls an entry point (which must exist) for a resource with its argument texts; cleanReason is used by
    // Clean only. Blocks until the call returns. Several threads may call at once (for different resources):
    // each call collects only the messages of its own call id.
    CallRecord Call(EntryPoint entryPoint, const std::string& resource, const std::vector<std::string>& args,
                    uint32_t cleanReason = 0);
    bool Has(Extension extension) const;
    // Calls a host extension (which must exist): Validate with level (0 the values, 10 also the node), or
    // Remains (level unused). The record's result is the extension's (CairnAgfw.h: kCairnValidate*,
    // kCairnRemains* bits). Blocks until the call returns; each call collects its own messages.
    CallRecord Call(Extension extension, const std::string& resource, const std::vector<std::string>& args,
                    uint32_t level = 0);
    // Runs the Shutdown entry point (when there is one), forgets callbacks the agent left registered and
    // dlcloses the library. Later calls do nothing. Returns the number of callbacks left registered.
    size_t Unload();

    // Messages written during startup, or outside any entry-point call since; emptied by the call.
    std::vector<LogMessage> TakeStartupMessages();
    // Messages written by the Shutdown entry point (after Unload).
    std::vector<LogMessage> TakeShutdownMessages();

  private:
    LoadedAgent() = default;
    // Runs fn on a new thread with the given context, collecting messages of that call id into *mine.
    template <class Fn>
    void RunOnWorker(const ThreadContext& context, Fn&& fn, std::vector<LogMessage>* mine);
    // Runs invoke(argv) on a worker thread as one call named name for resource (argv: args as a
    // NULL-terminated list): its result, messages and duration.
    template <class Invoke>
    CallRecord TimedCall(const char* name, const std::string& resource, const std::vector<std::string>& args,
                         Invoke&& invoke);

    void* library_ = nullptr;
    std::string type_;
    EntryPointTable table_{};
    EntryPointTable extensions_{};
    std::vector<LogMessage> startupMessages_;
    std::vector<LogMessage> shutdownMessages_;
};

}  // namespace cairn::host
