// Running the host from the cairn tests.
#pragma once

#include <filesystem>
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

// Writes dir/agents/Kestrel.type.toml: the real type definition, pointing at the fake agent library.
// false when the definition does not name the library as expected.
inline bool WriteFakeAgentType(const kestrel_test::TempDir& dir) {
    std::string definition = kestrel_test::ReadFile(CAIRN_TEST_TYPE_FILE);
    const std::string library = "library = \"libKestrel.so\"";
    const size_t at = definition.find(library);
    if (at == std::string::npos) return false;
    definition.replace(at, library.size(), std::string("library = \"") + CAIRN_TEST_FAKE_AGENT + "\"");
    std::filesystem::create_directory(dir / "agents");
    return kestrel_test::WriteFile(dir / "agents/Kestrel.type.toml", definition);
}
