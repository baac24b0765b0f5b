// The commands of cairnagent. To add one (e.g. "svc", "demo"), write a function with the CommandFn
// signature and add a row to the table in HostCommands.cpp.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "HostConfig.h"

namespace cairn::host {

enum ExitCode : int { kExitOk = 0, kExitNotAchieved = 1, kExitUsage = 2 };

struct GlobalOptions {
    std::string configPath;  // --config, empty when not given
    bool json = false;       // --json
    bool verbose = false;    // -v
};

// What a command gets: the global options and, on request, the loaded configuration.
class CommandContext {
  public:
    CommandContext(GlobalOptions options, std::string exeDir);
    const GlobalOptions& options() const { return options_; }
    // Directory of the cairnagent executable (programs installed next to it are found there).
    const std::string& exeDir() const { return exeDir_; }
    // Loads the configuration once, hands it to the framework and sets CAIRN_SERVICE_ROOT (when unset).
    // Returns null after printing the one-line error to standard error.
    const HostConfig* Config();

  private:
    GlobalOptions options_;
    std::string exeDir_;
    std::optional<HostConfig> config_;
};

// Runs a command with the arguments after its name; returns the exit status.
using CommandFn = int (*)(CommandContext& context, const std::vector<std::string>& args);

struct HostCommand {
    const char* name;
    const char* synopsis;  // one usage line, without the program name
    CommandFn run;
    const char* help = "";  // a few lines for "cairnagent help NAME", each ending in a line feed
};

std::span<const HostCommand> Commands();

// Prints the usage text to standard error and returns kExitUsage.
int Usage();
// The program's version (the build's project version), e.g. "0.1.0".
const char* HostVersion();
// "cairnagent --version": prints "cairnagent VERSION" (or a JSON object with json) and returns kExitOk.
int PrintVersion(bool json);
// A JSON string literal of a UTF-8 text (quotes included).
std::string JsonString(std::string_view text);
// Number of columns of the terminal on fd, or fallback when fd is no terminal (or its size is unknown).
size_t TerminalColumns(int fd, size_t fallback);
// The first line of text, cut to at most width characters (UTF-8 aware), with "..." when cut.
std::string Shorten(const std::string& text, size_t width);

// Operator commands (HostOperator.cpp).
int RunStatus(CommandContext& context, const std::vector<std::string>& args);
int RunExplain(CommandContext& context, const std::vector<std::string>& args);
// Why a directory of the host's state (state_dir) cannot be trusted: empty when it can, or when it does not
// exist yet (the host then creates it itself, with a mode of its own).
std::string UnsafeDirectory(const std::string& path);
// The same for the service registry ($CAIRN_SERVICE_ROOT), as one line naming it; empty when it can.
std::string UnsafeRegistry();
// The agent converts between wide and multibyte texts with the locale: runs in the user's locale, falling
// back to C.UTF-8 when that is the plain C locale (which would turn every non-ASCII character into '?').
void UseUserLocale();

// The name of a validation verdict (CairnAgfw.h kCairnValidate*): VALID, NOT_CONFIGURED, NOT_INSTALLED,
// CHECK_FAILED.
const char* ValidationVerdictName(uint32_t verdict);
// Prints "cairnagent: <message>" to standard error and returns kExitUsage.
int UsageError(const std::string& message);

}  // namespace cairn::host
