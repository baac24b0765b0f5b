// online, offline, monitor, clean and encrypt-password; the command table.
#include "HostCommands.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "CairnAgfw.h"
#include "CairnHost.h"
#include "HostAgent.h"
#include "HostDemo.h"
#include "HostProgress.h"
#include "LibPasswordCodec.h"
#include "LibSafeFile.h"
#ifdef CAIRN_HOST_HAVE_SVC
#include "SvcCommand.h"
#endif

#ifndef KESTREL_VERSION
#define KESTREL_VERSION "unknown"
#endif

namespace cairn::host {

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buffer[8];
                    snprintf(buffer, sizeof buffer, "\\u%04X", c);
                    out += buffer;
                } else {
                    out += static_cast<char>(c);  // the framework hands out valid UTF-8 only
                }
        }
    }
    return out + "\"";
}

namespace {

std::string JsonMessages(const std::vector<LogMessage>& messages) {
    std::string out = "[";
    for (const LogMessage& message : messages) {
        if (out.size() > 1) out += ", ";
        out += "{\"id\": " + std::to_string(message.id) +
               ", \"severity\": " + std::to_string(message.severity) +
               ", \"tag\": " + JsonString(message.tag) + ", \"text\": " + JsonString(message.text) + "}";
    }
    return out + "]";
}

// One stderr line per echoed message, continuation lines indented as in the agent log.
std::string EchoLine(const LogMessage& message) {
    std::string text;
    for (char c : message.text) text += c == '\n' ? std::string("\n    ") : std::string(1, c);
    std::string line = SeverityName(message.severity) + " " + std::to_string(message.category) + "-" +
                       std::to_string(message.id) + " " +
                       (message.resource.empty() ? "-" : message.resource) + " " + message.tag + ": " + text +
                       "\n";
    return line;
}

const char* StateName(uint32_t monitorResult) {
    switch (monitorResult) {
        case 0:
            return "OFFLINE";
        case 1:
            return "ONLINE";
        default:
            return "UNKNOWN";
    }
}

enum class Action { Online, Offline, Monitor, Clean, Validate };

int RunResourceCommand(CommandContext& context, const std::vector<std::string>& args, Action action,
                       const char* commandName) {
    std::string resourceName;
    uint32_t reason = 0;
    uint32_t level = 0;  // validate --level
    for (size_t i = 0; i < args.size(); ++i) {
        if (action == Action::Validate && args[i] == "--level") {
            char* end = nullptr;
            const std::string value = i + 1 < args.size() ? args[++i] : "";
            unsigned long number = strtoul(value.c_str(), &end, 10);
            if (value.empty() || value[0] == '-' || *end != '\0' || number > 1000) {
                return UsageError("validate: --level needs a number from 0 to 1000 (10: also the node)");
            }
            level = static_cast<uint32_t>(number);
        } else if (action == Action::Clean && args[i] == "--reason") {
            if (i + 1 == args.size()) return UsageError("clean: --reason needs a number");
            char* end = nullptr;
            const std::string& value = args[++i];
            unsigned long number = strtoul(value.c_str(), &end, 10);
            if (value.empty() || value[0] == '-' || *end != '\0' || number > UINT32_MAX) {
                return UsageError("clean: --reason '" + value + "' is not a number from 0 to 4294967295");
            }
            reason = static_cast<uint32_t>(number);
        } else if (resourceName.empty() && !args[i].empty() && args[i][0] != '-') {
            resourceName = args[i];
        } else {
            return UsageError(std::string(commandName) + ": unexpected argument '" + args[i] + "'");
        }
    }
    if (resourceName.empty()) return UsageError(std::string(commandName) + ": a resource name is required");

    const HostConfig* config = context.Config();
    if (config == nullptr) return kExitUsage;
    auto resource = config->resources.find(resourceName);
    if (resource == config->resources.end()) {
        std::string known;
        for (const auto& [name, unused] : config->resources) known += (known.empty() ? "" : ", ") + name;
        return UsageError(config->file + ": resources." + resourceName +
                          ": unknown resource (configured: " + (known.empty() ? "none" : known) + ")");
    }
    const TypeDefinition& type = config->types.at(resource->second.type);
#ifdef KESTREL_TEST_HOOKS
    if (std::string error; !LoadFaultsFromEnvironment(&error)) return UsageError(error);
#endif

    const bool verbose = context.options().verbose;
    // Online, Offline and Clean can take minutes: on a terminal a progress line tells what is going on.
    ProgressLine progress(action != Action::Monitor && action != Action::Validate &&
                          !context.options().json && isatty(STDERR_FILENO));
    SetMessageListener([verbose, &progress](const LogMessage& message) {
        progress.Note(message.text);
        // Console messages reach standard error through the console writer.
        if (!message.console && (verbose || message.severity <= 2)) progress.Echo(EchoLine(message));
    });
    SetConsoleWriter([&progress](const std::string& line) { progress.Echo(line); });
    SetTraceListener([&progress](const TraceLine& line) {
        if (line.debugTag != 20) progress.Note(line.text);
    });
    // The listeners refer to the progress line: they go before it does.
    struct Unhook {
        ~Unhook() {
            SetMessageListener(nullptr);
            SetConsoleWriter(nullptr);
            SetTraceListener(nullptr);
        }
    } unhook;
    std::string error;
    std::unique_ptr<LoadedAgent> agent = LoadedAgent::Load(type, error);
    if (agent == nullptr) return UsageError(error);
    std::vector<EntryPoint> plan;
    switch (action) {
        case Action::Online:
            plan = {EntryPoint::Online, EntryPoint::Monitor};
            break;
        case Action::Offline:
            plan = {EntryPoint::Offline, EntryPoint::Monitor};
            break;
        case Action::Monitor:
            plan = {EntryPoint::Monitor};
            break;
        case Action::Clean:
            plan = {EntryPoint::Clean};
            break;
        case Action::Validate:
            break;  // an extension, not an entry point
    }
    if (action == Action::Validate && !agent->Has(Extension::Validate)) {
        agent->Unload();
        return UsageError(type.library + ": the agent offers no validation");
    }
    for (EntryPoint entryPoint : plan) {
        if (!agent->Has(entryPoint)) {
            agent->Unload();
            return UsageError(type.library + ": the agent has no " + EntryPointName(entryPoint) +
                              " entry point");
        }
    }

    const std::vector<std::string> argv = BuildArguments(type, resource->second);
    const std::map<std::string, int32_t>& typeAttributes = config->settings.types.at(type.name).attributes;
    std::vector<CallRecord> calls;
    for (EntryPoint entryPoint : plan) {
        const std::string name = EntryPointName(entryPoint);
        auto budget = typeAttributes.find(name + "Timeout");
        progress.Begin(name + " " + resourceName, budget == typeAttributes.end()
                                                      ? 0
                                                      : static_cast<uint32_t>(std::max(budget->second, 0)));
        calls.push_back(agent->Call(entryPoint, resourceName, argv, reason));
        progress.End();
    }
    if (action == Action::Validate)
        calls.push_back(agent->Call(Extension::Validate, resourceName, argv, level));
    std::vector<LogMessage> startupMessages = agent->TakeStartupMessages();
    size_t left = agent->Unload();
    std::vector<LogMessage> shutdownMessages = agent->TakeShutdownMessages();
    std::vector<LogMessage> late = agent->TakeStartupMessages();  // from threads outside any call
    startupMessages.insert(startupMessages.end(), late.begin(), late.end());
    if (left > 0) {
        fprintf(stderr, "cairnagent: warning: the agent left %zu change callback(s) registered at shutdown\n",
                left);
    }

    std::string state;
    bool achieved = false;
    std::string human;
    const uint32_t last = calls.back().result;
    switch (action) {
        case Action::Online:
        case Action::Offline:
        case Action::Monitor:
            state = StateName(last);
            achieved = action == Action::Online    ? last == 1
                       : action == Action::Offline ? last == 0
                                                   : last <= 1;
            human = resourceName + ": " + state;
            break;
        case Action::Clean:
            state = last == 0 ? "CLEANED" : "NOT_CLEANED";
            achieved = last == 0;
            human = resourceName + ": clean result " + std::to_string(last) +
                    (last == 0   ? " (cleaned)"
                     : last == 1 ? " (a process could not be killed)"
                                 : "");
            break;
        case Action::Validate:
            state = ValidationVerdictName(last);
            achieved = last == kCairnValidateOk;
            human = resourceName + ": " + state;
            break;
    }

    if (context.options().json) {
        std::string out = "{\"resource\": " + JsonString(resourceName) +
                          ", \"command\": " + JsonString(commandName) + ", \"calls\": [";
        for (size_t i = 0; i < calls.size(); ++i) {
            if (i > 0) out += ", ";
            out += "{\"entry_point\": " + JsonString(calls[i].entryPoint) +
                   ", \"result\": " + std::to_string(calls[i].result) +
                   ", \"duration_ms\": " + std::to_string(calls[i].durationMs) +
                   ", \"messages\": " + JsonMessages(calls[i].messages) + "}";
        }
        out += "], \"state\": " + JsonString(state) +
               ", \"startup_messages\": " + JsonMessages(startupMessages) +
               ", \"shutdown_messages\": " + JsonMessages(shutdownMessages) + "}\n";
        fputs(out.c_str(), stdout);
    } else {
        printf("%s\n", human.c_str());
    }
    fflush(stdout);
    return achieved ? kExitOk : kExitNotAchieved;
}

int RunOnline(CommandContext& c, const std::vector<std::string>& a) {
    return RunResourceCommand(c, a, Action::Online, "online");
}
int RunOffline(CommandContext& c, const std::vector<std::string>& a) {
    return RunResourceCommand(c, a, Action::Offline, "offline");
}
int RunMonitor(CommandContext& c, const std::vector<std::string>& a) {
    return RunResourceCommand(c, a, Action::Monitor, "monitor");
}
int RunClean(CommandContext& c, const std::vector<std::string>& a) {
    return RunResourceCommand(c, a, Action::Clean, "clean");
}
int RunValidate(CommandContext& c, const std::vector<std::string>& a) {
    return RunResourceCommand(c, a, Action::Validate, "validate");
}

// Switches terminal echo off for its lifetime (only when standard input is a terminal).
class EchoOff {
  public:
    EchoOff() {
        if (tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (active_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

  private:
    termios saved_{};
    bool active_ = false;
};

// Reads one line of standard input, keeping at most enough bytes for the longest password that can be
// encoded (each byte encodes to two, so half the encoded limit, plus a carriage return); the rest of a longer
// line is read no further and tooLong is set. false when the input ends before any byte.
bool ReadBoundedLine(std::string& line, bool& tooLong) {
    constexpr size_t kLimit = kTernMaxEncodedPassword / 2 + 1;
    using Traits = std::char_traits<char>;
    line.clear();
    tooLong = false;
    bool any = false;
    for (Traits::int_type c = std::cin.get(); !Traits::eq_int_type(c, Traits::eof()); c = std::cin.get()) {
        any = true;
        if (Traits::to_char_type(c) == '\n') return true;
        if (line.size() == kLimit) {
            tooLong = true;
            return true;
        }
        line += Traits::to_char_type(c);
    }
    return any;
}

int RunEncryptPassword(CommandContext& context, const std::vector<std::string>& args) {
    if (!args.empty()) return UsageError("encrypt-password: unexpected argument '" + args[0] + "'");
    std::string line;
    bool got = false;
    bool tooLong = false;
    if (isatty(STDIN_FILENO)) {
        fputs("Password: ", stderr);
        fflush(stderr);
        EchoOff quiet;
        got = ReadBoundedLine(line, tooLong);
        fputs("\n", stderr);
    } else {
        got = ReadBoundedLine(line, tooLong);
    }
    if (!got) return UsageError("encrypt-password: no password on standard input");
    if (tooLong) {
        return UsageError("encrypt-password: the password is too long (its encoded form would exceed " +
                          std::to_string(kTernMaxEncodedPassword) + " characters)");
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) return UsageError("encrypt-password: the password is empty");
    for (size_t i = 0; i < line.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (c < 33 || c == 127) {
            return UsageError(
                "encrypt-password: character " + std::to_string(i + 1) +
                " of the password is a space or a control character; only visible characters are "
                "allowed");
        }
    }
    std::string encoded;
    if (!TernEncodePassword(line, encoded)) {
        return UsageError("encrypt-password: the password is too long (its encoded form would exceed " +
                          std::to_string(kTernMaxEncodedPassword) + " characters)");
    }
    if (context.options().json) {
        printf("{\"command\": \"encrypt-password\", \"encoded\": %s}\n", JsonString(encoded).c_str());
    } else {
        printf("%s\n", encoded.c_str());
    }
    return kExitOk;
}

#ifdef CAIRN_HOST_HAVE_SVC
// The embedded service manager finds its registry through CAIRN_SERVICE_ROOT; when that is not set, the
// configuration's state directory provides it.
int RunSvc(CommandContext& context, const std::vector<std::string>& args) {
    if (getenv("CAIRN_SERVICE_ROOT") == nullptr && context.Config() == nullptr) return kExitUsage;
    if (std::string problem = UnsafeRegistry(); !problem.empty()) return UsageError(problem);
    std::vector<std::string> owned{"svc"};
    owned.insert(owned.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : owned) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return CairnSvcMain(static_cast<int>(owned.size()), argv.data());
}
#endif

int RunHelp(CommandContext& context, const std::vector<std::string>& args);

// The command table. svc (the embedded service manager) and demo are added here by their owners.
const HostCommand kCommands[] = {
    {"online", "online  RES              Online, then one Monitor; prints the resulting state", RunOnline,
     "Brings the resource online (the agent starts the SAP instance and waits for it within OnlineTimeout),\n"
     "then runs one Monitor. Prints RES: ONLINE, OFFLINE or UNKNOWN; exit status 0 only for ONLINE.\n"
     "On a terminal a progress line shows the step in progress, the time spent and the budget left.\n"},
    {"offline", "offline RES              Offline, then one Monitor", RunOffline,
     "Takes the resource offline (the agent stops the SAP instance and its start service within\n"
     "OfflineTimeout), then runs one Monitor. Exit status 0 only when the resource is OFFLINE afterwards.\n"},
    {"monitor", "monitor RES              Monitor; prints ONLINE, OFFLINE or UNKNOWN", RunMonitor,
     "Runs the agent's Monitor once. Exit status 0 for ONLINE or OFFLINE, 1 for UNKNOWN.\n"
     "To see how the verdict came about, use \"cairnagent explain RES\".\n"},
    {"clean",
     "clean   RES [--reason N] Clean; prints its result (0 cleaned, 1 a process could not be killed)",
     RunClean,
     "Ends every process of the instance and stops its start service (reason N is handed to the agent,\n"
     "default 0). Exit status 0 when the result is 0.\n"},
    {"validate", "validate RES [--level N] Online's attribute checks without acting; prints the verdict",
     RunValidate,
     "Checks the resource's attributes as Online would, without starting anything, and prints RES: VALID,\n"
     "NOT_CONFIGURED (a value does not validate), NOT_INSTALLED (this node lacks a directory, account,\n"
     "profile or the start program the values name) or CHECK_FAILED. --level 0 (default) looks at the\n"
     "values only, --level 10 also at the node. Exit status 0 only for VALID.\n"},
    {"status",
     "status  [RES ...] [--watch SECONDS]  Monitor of every (or the named) resource at once, a row each",
     RunStatus,
     "Runs Monitor for every configured resource (or the named ones) at once, each within its own\n"
     "budget, and prints one row per resource: name, type, SAP system, instance, state, duration and the\n"
     "first ERROR or WARNING message of the call. --watch SECONDS repeats until interrupted (Ctrl-C).\n"
     "--json prints a JSON array. Exit status 0 only when every resource is ONLINE, else 1.\n"},
    {"explain", "explain RES              Monitor with full tracing; tells how the verdict came about",
     RunExplain,
     "Runs one Monitor with every trace line switched on for that call only and tells, from the agent's\n"
     "own trace lines, which processes were found or missing, the start service's state, which monitor\n"
     "levels ran (and why others did not), each tool's command line and exit code, and the final state.\n"
     "Exit status as for monitor.\n"},
    {"encrypt-password",
     "encrypt-password         reads a password (no echo on a terminal), prints its encoded form",
     RunEncryptPassword,
     "Reads one line from standard input and prints the encoded form that SAPAdminPassword takes.\n"},
#ifdef CAIRN_HOST_HAVE_SVC
    {"svc", "svc ...                  the embedded service manager (svc with no action prints its usage)",
     RunSvc,
     "svc create NAME [--user U] [--display-name D] -- PROG ARGS..., svc delete|start|stop|query NAME,\n"
     "svc list: the service registry under <state_dir>/services.\n"},
#endif
    {"demo", "demo                     runs a simulated SAP system through the agent and cleans up (root)",
     RunDemo,
     "Sets up a simulated SAP system with four resources in a temporary directory, brings them online,\n"
     "monitors them, kills a dispatcher behind the cluster's back, recovers and takes everything offline;\n"
     "then removes everything it made.\n"},
    {"help", "help    COMMAND          the usage and a short explanation of a command", RunHelp,
     "Prints the usage line of COMMAND and a few lines about what it does.\n"},
};

int RunHelp(CommandContext& context, const std::vector<std::string>& args) {
    (void)context;
    if (args.size() != 1) {
        return UsageError(args.empty() ? "help: name a command (cairnagent help COMMAND)"
                                       : "help: unexpected argument '" + args[1] + "'");
    }
    for (const HostCommand& command : kCommands) {
        if (args[0] != command.name) continue;
        // The synopsis is the usage, then the one-line summary in the column kSummaryColumn, or after two
        // blanks when the usage is longer.
        constexpr size_t kSummaryColumn = 25;
        const std::string synopsis = command.synopsis;
        size_t cut = synopsis.size() > kSummaryColumn && synopsis[kSummaryColumn - 1] == ' '
                         ? kSummaryColumn
                         : synopsis.find("  ", std::min(kSummaryColumn, synopsis.size()));
        std::string usage;
        for (char c : synopsis.substr(0, cut))  // blanks that align columns become one
            if (c != ' ' || (!usage.empty() && usage.back() != ' ')) usage += c;
        while (!usage.empty() && usage.back() == ' ') usage.pop_back();
        printf("usage: cairnagent [--config FILE] [--json] [-v] %s\n\n%s", usage.c_str(), command.help);
        return kExitOk;
    }
    std::string known;
    for (const HostCommand& command : kCommands)
        known += std::string(known.empty() ? "" : ", ") + command.name;
    return UsageError("help: unknown command '" + args[0] + "' (commands: " + known + ")");
}

}  // namespace

CommandContext::CommandContext(GlobalOptions options, std::string exeDir)
    : options_(std::move(options)), exeDir_(std::move(exeDir)) {}

const HostConfig* CommandContext::Config() {
    if (config_) return &*config_;
    HostConfig config;
    std::string error;
    if (!LoadConfig(ChooseConfigPath(options_.configPath), exeDir_, config, error)) {
        fprintf(stderr, "cairnagent: %s\n", error.c_str());
        return nullptr;
    }
    // The embedded service manager finds its registry here (overwrite 0: an explicit setting wins).
    setenv("CAIRN_SERVICE_ROOT", (config.settings.stateDir + "/services").c_str(), 0);
    // The platform layer (in the agent as here) reads the service manager's choice from the environment; a
    // choice in the file wins over an inherited one.
    if (!config.serviceManager.empty()) setenv("CAIRN_SERVICE_MANAGER", config.serviceManager.c_str(), 1);
    // Services run as root and cookies steer the Monitor: directories other accounts could change are not
    // used at all.
    if (std::string problem = UnsafeDirectory(config.settings.stateDir); !problem.empty()) {
        UsageError(config.file + ": cluster.state_dir: " + config.settings.stateDir + " is " + problem +
                   "; it is not used");
        return nullptr;
    }
    if (std::string problem = UnsafeRegistry(); !problem.empty()) {
        UsageError(problem);
        return nullptr;
    }
    Configure(config.settings);
    config_ = std::move(config);
    return &*config_;
}

std::span<const HostCommand> Commands() {
    return kCommands;
}

const char* HostVersion() {
    return KESTREL_VERSION;
}

int PrintVersion(bool json) {
    if (json) {
        printf("{\"command\": \"version\", \"version\": %s}\n", JsonString(HostVersion()).c_str());
    } else {
        printf("cairnagent %s\n", HostVersion());
    }
    return kExitOk;
}

size_t TerminalColumns(int fd, size_t fallback) {
    winsize size{};
    if (!isatty(fd) || ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return fallback;
    return size.ws_col;
}

std::string Shorten(const std::string& text, size_t width) {
    std::string line = text.substr(0, text.find('\n'));
    size_t characters = 0;
    size_t cut = std::string::npos;  // byte offset where width - 3 characters end
    for (size_t i = 0; i < line.size(); ++i) {
        if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;  // continuation byte
        if (characters == (width > 3 ? width - 3 : 0)) cut = i;
        if (++characters > width) return line.substr(0, cut) + (width > 3 ? "..." : "");
    }
    return line;
}

int Usage() {
    std::string text = "usage: cairnagent [--config FILE] [--json] [-v] [--version] COMMAND\n";
    for (const HostCommand& command : Commands()) text += std::string("  ") + command.synopsis + "\n";
    text += "\"cairnagent help COMMAND\" tells more about a command.\n";
    fputs(text.c_str(), stderr);
    return kExitUsage;
}

int UsageError(const std::string& message) {
    fprintf(stderr, "cairnagent: %s\n", message.c_str());
    return kExitUsage;
}

}  // namespace cairn::host
