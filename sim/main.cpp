// sapsim: the simulated SAP system. See docs/sapsim.md.
#include <signal.h>

#include <algorithm>
#include <exception>
#include <iostream>

#include "Sim.h"

namespace {

const char* kUsage =
    "usage: sapsim install --root DIR --sid SID --instance NAME --type TYPE [options]   (see --help)\n"
    "       sapsim service --root DIR --sid SID --instance NAME\n"
    "       sapsim status  --root DIR [--sid SID] [--instance NAME]\n"
    "Installed under the names of the SAP tools and instance images, it plays their part.\n";

}  // namespace

int main(int argc, char** argv) {
    // A reader that goes away must not kill a tool with SIGPIPE half-way through its work.
    ::signal(SIGPIPE, SIG_IGN);
    const std::string self = sapsim::Basename(argc > 0 ? argv[0] : "sapsim");
    const std::string role = sapsim::CanonicalName(self);  // either naming plays the same part
    std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
    try {
        using sapsim::kImages;
        using sapsim::kTools;
        if (std::find(kTools.begin(), kTools.end(), role) != kTools.end()) return sapsim::RunTool(role, args);
        if (std::find(kImages.begin(), kImages.end(), role) != kImages.end())
            return sapsim::RunImage(role, args);
        const std::string cmd = args.empty() ? "" : args[0];
        std::vector<std::string> rest(args.begin() + (args.empty() ? 0 : 1), args.end());
        if (cmd == "install") return sapsim::RunInstall(rest);
        if (cmd == "service") return sapsim::RunService(rest);
        if (cmd == "status") return sapsim::RunStatus(rest);
        if (cmd == "--help" || cmd == "-h" || cmd == "help") {
            std::cout << kUsage;
            return 0;
        }
        std::cerr << kUsage;
        return 2;
    } catch (const sapsim::Failure& f) {
        std::cerr << self << ": " << f.message << std::endl;
        return f.code;
    } catch (const std::exception& e) {
        std::cerr << self << ": " << e.what() << std::endl;
        return 70;
    }
}
