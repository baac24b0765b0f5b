#include "HostAgent.h"

#include <dlfcn.h>

#include <chrono>
#include <thread>

#include "CairnAgfw.h"

namespace cairn::host {

const char* EntryPointName(EntryPoint entryPoint) {
    switch (entryPoint) {
        case EntryPoint::Monitor:
            return "Monitor";
        case EntryPoint::Online:
            return "Online";
        case EntryPoint::Offline:
            return "Offline";
        case EntryPoint::Clean:
            return "Clean";
    }
    return "?";
}

const char* ExtensionName(Extension extension) {
    return extension == Extension::Validate ? "Validate" : "Remains";
}

template <class Fn>
void LoadedAgent::RunOnWorker(const ThreadContext& context, Fn&& fn, std::vector<LogMessage>* mine) {
    // Entry points never run on main: the agent keeps per-thread state (trace queues, impersonation).
    std::thread worker([&] {
        ScopedThreadContext scope(context);
        fn();
    });
    worker.join();
    // Only this call's messages: other calls may be running on other threads at the same time.
    for (LogMessage& message : TakeMessagesOfCall(context.callId)) mine->push_back(std::move(message));
}

std::unique_ptr<LoadedAgent> LoadedAgent::Load(const TypeDefinition& type, std::string& error) {
    std::unique_ptr<LoadedAgent> agent(new LoadedAgent);
    agent->type_ = type.name;
    TakeRegisteredEntryPoints();  // a table left by an earlier agent must not be taken for this one's
    TakeRegisteredExtensions();
    agent->library_ = dlopen(type.library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (agent->library_ == nullptr) {
        const char* reason = dlerror();
        error =
            type.file + ": library: cannot load " + type.library + ": " + (reason ? reason : "unknown error");
        return nullptr;
    }
    auto startup = reinterpret_cast<CairnStartupFn>(dlsym(agent->library_, "CairnAgStartup"));
    if (startup == nullptr) {
        error = type.library + ": exports no CairnAgStartup";
        return nullptr;
    }
    agent->RunOnWorker(
        ThreadContext{"", type.name, NewCallId()}, [&] { startup(); }, &agent->startupMessages_);
    auto table = TakeRegisteredEntryPoints();
    if (!table) {
        error = type.library + ": CairnAgStartup registered no entry points";
        return nullptr;
    }
    agent->table_ = *table;
    if (auto extensions = TakeRegisteredExtensions()) agent->extensions_ = *extensions;
    return agent;
}

LoadedAgent::~LoadedAgent() {
    Unload();
}

bool LoadedAgent::Has(EntryPoint entryPoint) const {
    return table_[static_cast<int>(entryPoint) - 1] != nullptr;
}

template <class Invoke>
CallRecord LoadedAgent::TimedCall(const char* name, const std::string& resource,
                                  const std::vector<std::string>& args, Invoke&& invoke) {
    CallRecord record;
    record.entryPoint = name;
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    auto started = std::chrono::steady_clock::now();
    RunOnWorker(
        ThreadContext{resource, type_, NewCallId()}, [&] { record.result = invoke(argv.data()); },
        &record.messages);
    record.durationMs = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
            .count());
    return record;
}

CallRecord LoadedAgent::Call(EntryPoint entryPoint, const std::string& resource,
                             const std::vector<std::string>& args, uint32_t cleanReason) {
    void* slot = table_[static_cast<int>(entryPoint) - 1];
    return TimedCall(EntryPointName(entryPoint), resource, args, [&](const char** argv) -> uint32_t {
        switch (entryPoint) {
            case EntryPoint::Monitor: {
                int32_t confidence = 0;
                return reinterpret_cast<CairnMonitorEP>(slot)(resource.c_str(), argv, &confidence);
            }
            case EntryPoint::Online:
                return reinterpret_cast<CairnOnlineEP>(slot)(resource.c_str(), argv);
            case EntryPoint::Offline:
                return reinterpret_cast<CairnOfflineEP>(slot)(resource.c_str(), argv);
            case EntryPoint::Clean:
                return reinterpret_cast<CairnCleanEP>(slot)(resource.c_str(), cleanReason, argv);
        }
        return 0;
    });
}

bool LoadedAgent::Has(Extension extension) const {
    return extensions_[static_cast<int>(extension) - 1] != nullptr;
}

CallRecord LoadedAgent::Call(Extension extension, const std::string& resource,
                             const std::vector<std::string>& args, uint32_t level) {
    void* slot = extensions_[static_cast<int>(extension) - 1];
    return TimedCall(ExtensionName(extension), resource, args, [&](const char** argv) -> uint32_t {
        return extension == Extension::Validate
                   ? reinterpret_cast<CairnValidateEP>(slot)(resource.c_str(), argv, level)
                   : reinterpret_cast<CairnRemainsEP>(slot)(resource.c_str(), argv);
    });
}

size_t LoadedAgent::Unload() {
    if (library_ == nullptr) return 0;
    if (auto shutdown = reinterpret_cast<CairnShutdownEP>(table_[9])) {
        RunOnWorker(
            ThreadContext{"", type_, NewCallId()}, [&] { shutdown(); }, &shutdownMessages_);
    }
    // Callbacks still registered would point into unloaded code.
    size_t left = DropRegistrations();
    table_ = {};
    extensions_ = {};
    dlclose(library_);
    library_ = nullptr;
    return left;
}

std::vector<LogMessage> LoadedAgent::TakeStartupMessages() {
    std::vector<LogMessage> out;
    out.swap(startupMessages_);
    // Messages of threads outside any call are left in the framework's collection.
    for (LogMessage& message : TakeMessages()) out.push_back(std::move(message));
    return out;
}

std::vector<LogMessage> LoadedAgent::TakeShutdownMessages() {
    std::vector<LogMessage> out;
    out.swap(shutdownMessages_);
    return out;
}

}  // namespace cairn::host
