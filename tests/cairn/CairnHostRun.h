// Running the host from the cairn tests.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"

// cairnagent with args and input, in the test's environment without the CAIRN_* variables plus env.
inline kestrel_test::ProcResult RunHost(const std::vector<std::string>& args, const std::string& input = "",
                                        const std::map<std::string, std::string>& env = {}) {
    std::vector<std::string> add;
    for (const auto& [name, value] : env) add.push_back(name + "=" + value);
    return kestrel_test::RunProcess(
        {.program = CAIRN_TEST_HOST,
         .args = args,
         .input = input,
         .env = kestrel_test::EnvironmentWith(
             add, {"CAIRN_CONFIG", "CAIRN_FAULT_OPEN_FAILS", "CAIRN_FAULT_ATTR_READ", "CAIRN_FAULT_REGISTER",
                   "CAIRN_SERVICE_ROOT"})});
}
