// cairnagent: loads an agent and calls its entry points for one resource (see docs/cairn.md).
#include <unistd.h>

#include <clocale>
#include <cstring>
#include <string>
#include <vector>

#include "HostCommands.h"

using namespace cairn::host;

namespace {

// Directory of this executable, so an agent installed next to it (../lib) is found without flags.
std::string ExecutableDir() {
    std::vector<char> buffer(4096);
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return "";
    std::string path(buffer.data(), static_cast<size_t>(n));
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

}  // namespace

int main(int argc, char** argv) {
    UseUserLocale();

    GlobalOptions options;
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--config") {
            if (i + 1 == argc) return UsageError("--config needs a file name");
            options.configPath = argv[++i];
            if (options.configPath.empty()) return UsageError("--config needs a file name");
        } else if (arg.rfind("--config=", 0) == 0) {
            options.configPath = arg.substr(9);
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "-v" || arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--version" || arg == "-V") {
            return PrintVersion(options.json);
        } else if (arg == "-h" || arg == "--help") {
            Usage();
            return kExitOk;
        } else if (!arg.empty() && arg[0] == '-') {
            UsageError("unknown option '" + arg + "'");
            return Usage();
        } else {
            break;
        }
    }
    if (i == argc) return Usage();
    const std::string name = argv[i];
    for (const HostCommand& command : Commands()) {
        if (name == command.name) {
            CommandContext context(options, ExecutableDir());
            return command.run(context, std::vector<std::string>(argv + i + 1, argv + argc));
        }
    }
    UsageError("unknown command '" + name + "'");
    return Usage();
}
