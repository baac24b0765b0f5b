// cairnagent demo: a simulated SAP system in a temporary directory, driven through the real agent.
#pragma once

#include <string>
#include <vector>

#include "HostCommands.h"

namespace cairn::host {

// The demo command (no arguments). Exit status: 0 every step went as expected, 1 a step did not (or the
// demo could not be set up), 2 a prerequisite is missing (root, sapsim, the wrapper packages),
// 128 + N when signal N interrupted it. Everything it made is removed in every case.
int RunDemo(CommandContext& context, const std::vector<std::string>& args);

}  // namespace cairn::host
