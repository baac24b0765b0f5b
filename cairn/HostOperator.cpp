// The operator's commands: status (Monitor of many resources at once) and explain (how one Monitor's
// verdict came about, read from the agent's own trace lines).
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "CairnHost.h"
#include "HostAgent.h"
#include "HostCommands.h"
#include "HostExplain.h"

namespace cairn::host {
namespace {

constexpr uint32_t kTraceTag = 19;  // the debug tag of trace lines
// Monitor calls status runs at the same time (each runs the agent's process walk and maybe a tool).
constexpr size_t kMaxParallel = 16;

const char* StateOf(uint32_t monitorResult) {
    return monitorResult == 1 ? "ONLINE" : monitorResult == 0 ? "OFFLINE" : "UNKNOWN";
}

// The first text of a resource's attribute: its configured value, else the type's default ("" for none).
std::string AttributeText(const TypeDefinition& type, const ResourceConfig& resource,
                          const std::string& name) {
    if (auto it = resource.values.find(name); it != resource.values.end())
        return it->second.empty() ? "" : it->second.front();
    for (const ArgumentDef& argument : type.arguments)
        if (argument.name == name) return argument.defaultValue.empty() ? "" : argument.defaultValue.front();
    return "";
}

// "RES: unknown resource (configured: ...)" as the usage error of a command, exit status 2.
int UnknownResource(const HostConfig& config, const std::string& command, const std::string& name) {
    std::string known;
    for (const auto& [configured, unused] : config.resources)
        known += (known.empty() ? "" : ", ") + configured;
    return UsageError(command + ": " + config.file + ": resources." + name +
                      ": unknown resource (configured: " + (known.empty() ? "none" : known) + ")");
}

struct StatusRow {
    std::string resource, type, sid, instance;
    uint32_t result = 2;
    uint64_t durationMs = 0;
    std::optional<LogMessage> message;  // the first CRITICAL, ERROR or WARNING of the call
};

// Runs Monitor for the named resources: one type after the other (loaded agents must not overlap, as the
// framework keeps one entry-point table), the resources of a type each on a thread of its own. false with
// error set when an agent cannot be loaded or has no Monitor.
bool MonitorAll(const HostConfig& config, const std::vector<std::string>& names, std::vector<StatusRow>& rows,
                std::string& error) {
    rows.assign(names.size(), StatusRow{});
    std::map<std::string, std::vector<size_t>> byType;
    for (size_t i = 0; i < names.size(); ++i) {
        const ResourceConfig& resource = config.resources.at(names[i]);
        const TypeDefinition& type = config.types.at(resource.type);
        rows[i].resource = names[i];
        rows[i].type = resource.type;
        rows[i].sid = AttributeText(type, resource, "SAPSID");
        rows[i].instance = AttributeText(type, resource, "InstName");
        byType[resource.type].push_back(i);
    }
    for (const auto& [typeName, indexes] : byType) {
        const TypeDefinition& type = config.types.at(typeName);
        std::unique_ptr<LoadedAgent> agent = LoadedAgent::Load(type, error);
        if (agent == nullptr) return false;
        if (!agent->Has(EntryPoint::Monitor)) {
            error = type.library + ": the agent has no Monitor entry point";
            return false;
        }
        // At most kMaxParallel calls at a time; each thread takes the next resource until none is left.
        std::atomic<size_t> next{0};
        std::vector<std::thread> threads;
        for (size_t t = 0; t < std::min(indexes.size(), kMaxParallel); ++t) {
            threads.emplace_back([&] {
                for (size_t k = next++; k < indexes.size(); k = next++) {
                    const size_t i = indexes[k];
                    const std::vector<std::string> argv = BuildArguments(type, config.resources.at(names[i]));
                    CallRecord call = agent->Call(EntryPoint::Monitor, names[i], argv);
                    rows[i].result = call.result;
                    rows[i].durationMs = call.durationMs;
                    for (const LogMessage& message : call.messages) {
                        if (message.severity > 2) continue;
                        rows[i].message = message;
                        break;
                    }
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
        agent->TakeStartupMessages();
        agent->Unload();
        agent->TakeShutdownMessages();
        agent->TakeStartupMessages();
    }
    return true;
}

std::string Seconds(uint64_t ms) {
    char buffer[32];
    snprintf(buffer, sizeof buffer, "%.2fs", static_cast<double>(ms) / 1000.0);
    return buffer;
}

std::string JsonMessage(const std::optional<LogMessage>& message) {
    if (!message) return "null";
    return "{\"id\": " + std::to_string(message->id) +
           ", \"severity\": " + std::to_string(message->severity) +
           ", \"text\": " + JsonString(message->text) + "}";
}

std::string StatusJson(const std::vector<StatusRow>& rows) {
    std::string out = "[";
    for (const StatusRow& row : rows) {
        if (out.size() > 1) out += ", ";
        out += "{\"resource\": " + JsonString(row.resource) + ", \"type\": " + JsonString(row.type) +
               ", \"sid\": " + JsonString(row.sid) + ", \"instance\": " + JsonString(row.instance) +
               ", \"state\": " + JsonString(StateOf(row.result)) +
               ", \"result\": " + std::to_string(row.result) +
               ", \"duration_ms\": " + std::to_string(row.durationMs) +
               ", \"message\": " + JsonMessage(row.message) + ", \"version\": " + JsonString(HostVersion()) +
               "}";
    }
    return out + "]\n";
}

// Aligned columns; the message is cut so each row fits the terminal (100 columns when not a terminal).
std::string StatusTable(const std::vector<StatusRow>& rows) {
    std::vector<std::vector<std::string>> cells{{"RESOURCE", "TYPE", "SID", "INSTANCE", "STATE", "TIME"}};
    for (const StatusRow& row : rows)
        cells.push_back(
            {row.resource, row.type, row.sid, row.instance, StateOf(row.result), Seconds(row.durationMs)});
    std::vector<size_t> widths(cells[0].size(), 0);
    for (const auto& line : cells)
        for (size_t c = 0; c < line.size(); ++c) widths[c] = std::max(widths[c], line[c].size());
    const size_t columns = TerminalColumns(STDOUT_FILENO, 100);
    std::string out;
    for (size_t r = 0; r < cells.size(); ++r) {
        std::string line;
        for (size_t c = 0; c < cells[r].size(); ++c) {
            line += cells[r][c];
            if (c + 1 < cells[r].size()) line += std::string(widths[c] - cells[r][c].size() + 2, ' ');
        }
        std::string message = r == 0 ? "MESSAGE" : "";
        if (r > 0 && rows[r - 1].message) {
            const LogMessage& m = *rows[r - 1].message;
            message = SeverityName(m.severity) + " " + std::to_string(m.id) + " " + m.text;
        }
        if (!message.empty()) {
            line += "  ";
            line += Shorten(message, columns > line.size() + 20 ? columns - line.size() : 20);
        }
        out += line + "\n";
    }
    return out;
}

volatile sig_atomic_t gStop = 0;
void OnStopSignal(int) {
    gStop = 1;
}

// SIGINT and SIGTERM end a --watch loop after the round in progress; the old handlers come back after.
class StopSignals {
  public:
    StopSignals() {
        gStop = 0;
        struct sigaction action {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &savedInt_);
        sigaction(SIGTERM, &action, &savedTerm_);
    }
    ~StopSignals() {
        sigaction(SIGINT, &savedInt_, nullptr);
        sigaction(SIGTERM, &savedTerm_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

  private:
    struct sigaction savedInt_ {};
    struct sigaction savedTerm_ {};
};

// Waits up to seconds, in short steps so a stop signal ends the wait soon; false when stopped.
bool WaitUnlessStopped(double seconds) {
    const long steps = static_cast<long>(seconds * 20.0 + 0.5);
    for (long i = 0; i < std::max(steps, 1L) && !gStop; ++i) {
        timespec step{0, 50 * 1000 * 1000};
        nanosleep(&step, nullptr);
    }
    return !gStop;
}

}  // namespace

int RunStatus(CommandContext& context, const std::vector<std::string>& args) {
    std::vector<std::string> names;
    std::optional<double> watch;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--watch") {
            char* end = nullptr;
            const char* value = i + 1 < args.size() ? args[i + 1].c_str() : "";
            double seconds = strtod(value, &end);
            if (*value == '\0' || *end != '\0' || !(seconds >= 0.05 && seconds <= 86400))
                return UsageError("status: --watch needs a number of seconds from 0.05 to 86400");
            watch = seconds;
            ++i;
        } else if (!args[i].empty() && args[i][0] == '-') {
            return UsageError("status: unexpected argument '" + args[i] + "'");
        } else if (std::find(names.begin(), names.end(), args[i]) == names.end()) {
            names.push_back(args[i]);
        }
    }
    const HostConfig* config = context.Config();
    if (config == nullptr) return kExitUsage;
    for (const std::string& name : names)
        if (config->resources.count(name) == 0) return UnknownResource(*config, "status", name);
    if (names.empty())
        for (const auto& [name, unused] : config->resources) names.push_back(name);
#ifdef KESTREL_TEST_HOOKS
    if (std::string error; !LoadFaultsFromEnvironment(&error)) return UsageError(error);
#endif

    const bool json = context.options().json;
    const bool redraw = watch && !json && isatty(STDOUT_FILENO);
    std::optional<StopSignals> signals;
    if (watch) signals.emplace();
    int status = kExitOk;
    for (bool first = true; first || (watch && WaitUnlessStopped(*watch)); first = false) {
        std::vector<StatusRow> rows;
        std::string error;
        if (!MonitorAll(*config, names, rows, error)) return UsageError(error);
        // A signal from the terminal also reaches the tools the agent runs: a round it cut short is not
        // shown, and the last whole round's status stands.
        if (!first && gStop) break;
        status = std::all_of(rows.begin(), rows.end(), [](const StatusRow& r) { return r.result == 1; })
                     ? kExitOk
                     : kExitNotAchieved;
        std::string out = json ? StatusJson(rows) : StatusTable(rows);
        if (redraw) {
            time_t now = time(nullptr);
            char stamp[32];
            strftime(stamp, sizeof stamp, "%H:%M:%S", localtime(&now));
            char every[32];
            snprintf(every, sizeof every, "%g", *watch);
            out = std::string("\033[H\033[2J") + "cairnagent status, every " + every +
                  " s (Ctrl-C ends it)   " + stamp + "\n\n" + out;
        } else if (watch && !first && !json) {
            out = "\n" + out;
        }
        fputs(out.c_str(), stdout);
        fflush(stdout);
    }
    return status;
}

int RunExplain(CommandContext& context, const std::vector<std::string>& args) {
    if (args.size() != 1 || args[0].empty() || args[0][0] == '-') {
        return UsageError(args.empty() ? "explain: a resource name is required"
                                       : "explain: unexpected argument '" + args.back() + "'");
    }
    const std::string& name = args[0];
    const HostConfig* config = context.Config();
    if (config == nullptr) return kExitUsage;
    auto resource = config->resources.find(name);
    if (resource == config->resources.end()) return UnknownResource(*config, "explain", name);
    const TypeDefinition& type = config->types.at(resource->second.type);
#ifdef KESTREL_TEST_HOOKS
    if (std::string error; !LoadFaultsFromEnvironment(&error)) return UsageError(error);
#endif
    std::string error;
    std::unique_ptr<LoadedAgent> agent = LoadedAgent::Load(type, error);
    if (agent == nullptr) return UsageError(error);
    if (!agent->Has(EntryPoint::Monitor))
        return UsageError(type.library + ": the agent has no Monitor entry point");

    // Every trace line reaches the debug log through the framework's tag filter: tag 19 is switched on for
    // the type during this one call, and the configured tags come back after it.
    const FrameworkSettings configured = CurrentSettings();
    FrameworkSettings tracing = configured;
    tracing.types[type.name].debugTags.insert(kTraceTag);
    std::mutex mu;
    std::vector<TimedTrace> lines;
    const auto started = std::chrono::steady_clock::now();
    SetTraceListener([&](const TraceLine& line) {
        if (line.debugTag != kTraceTag || line.resource != name) return;
        const auto at = std::chrono::steady_clock::now() - started;
        std::lock_guard lock(mu);
        lines.push_back(
            {static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(at).count()),
             line.function, line.text});
    });
    Configure(tracing);
    CallRecord call = agent->Call(EntryPoint::Monitor, name, BuildArguments(type, resource->second));
    Configure(configured);
    SetTraceListener(nullptr);
    agent->Unload();

    const ExplainFacts facts = ExplainFromTrace(lines);
    const std::string state = StateOf(call.result);
    if (context.options().json) {
        std::string messages;
        for (const LogMessage& m : call.messages) messages += (messages.empty() ? "" : ", ") + JsonMessage(m);
        printf(
            "{\"resource\": %s, \"command\": \"explain\", \"version\": %s, \"state\": %s, \"result\": %u, "
            "\"duration_ms\": %llu, %s, \"messages\": [%s]}\n",
            JsonString(name).c_str(), JsonString(HostVersion()).c_str(), JsonString(state).c_str(),
            call.result, static_cast<unsigned long long>(call.durationMs), ExplainJsonFields(facts).c_str(),
            messages.c_str());
    } else {
        std::string out = name + ": " + state + " (Monitor result " + std::to_string(call.result) + ", " +
                          std::to_string(call.durationMs) + " ms)\n" + ExplainText(facts);
        std::string messages;
        for (const LogMessage& m : call.messages) {
            if (m.severity <= 3)
                messages +=
                    "  " + SeverityName(m.severity) + " " + std::to_string(m.id) + " " + m.text + "\n";
        }
        out += "Agent messages:" + std::string(messages.empty() ? " none\n" : "\n" + messages);
        out += "Verdict: " + state + "\n";
        fputs(out.c_str(), stdout);
    }
    fflush(stdout);
    return call.result <= 1 ? kExitOk : kExitNotAchieved;
}

}  // namespace cairn::host
