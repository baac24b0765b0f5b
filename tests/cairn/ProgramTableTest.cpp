// The [programs] table of a type definition: the shipped Linux profile, the refusal of empty names (also
// by cairnagent, exit 2 naming the key) and the table as the framework hands it to the agent.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "CairnAgfw.h"
#include "CairnHost.h"
#include "CairnHostRun.h"
#include "HostConfig.h"
#include "LibWide.h"
#include "TestSupport.h"

using kestrel_test::ReadFile;
using kestrel_test::TempDir;
using kestrel_test::WriteFile;

namespace {

using Names = std::map<std::string, std::vector<std::string>>;

// The shipped type definition with toml appended, loaded from a temporary file.
bool LoadWith(const TempDir& dir, const std::string& toml, cairn::host::TypeDefinition& out,
              std::string& error) {
    const std::string path = dir / "Kestrel.type.toml";
    EXPECT_TRUE(WriteFile(path, ReadFile(CAIRN_TEST_TYPE_FILE) + "\n" + toml));
    return cairn::host::LoadTypeDefinition(path, out, error);
}

TEST(ProgramTable, ShippedDefinitionKeepsTheDefaultsAndTheLinuxProfileNamesEveryProgram) {
    TempDir dir;
    cairn::host::TypeDefinition type;
    std::string error;
    ASSERT_TRUE(LoadWith(dir, "", type, error)) << error;
    EXPECT_TRUE(type.programs.empty()) << "without a table the agent keeps its own names";

    ASSERT_TRUE(LoadWith(dir, ReadFile(CAIRN_TEST_LINUX_NAMES), type, error)) << error;
    const Names linux = {{"startsap", {"startsap"}},
                         {"stopsap", {"stopsap"}},
                         {"sapinfo", {"sapinfo"}},
                         {"ensmon", {"ensmon"}},
                         {"jcmon", {"jcmon"}},
                         {"sapsrvkill", {"sapsrvkill"}},
                         {"disp_work", {"disp+work"}},
                         {"jcontrol", {"jcontrol"}},
                         {"jlaunch", {"jlaunch"}},
                         {"igswd", {"igswd_mt"}},
                         {"gwrd", {"gwrd"}},
                         {"icman", {"icman"}},
                         {"msg_server", {"msg_server"}},
                         {"enserver", {"enserver", "enq_server"}},
                         {"enrepserver", {"enrepserver", "enq_replicator"}}};
    EXPECT_EQ(type.programs, linux);
}

TEST(ProgramTable, ANameThatIsEmptyOrNoNameIsAConfigurationError) {
    struct Row {
        const char* toml;
        const char* key;
        const char* problem;
    };
    const Row rows[] = {
        {"[programs]\nsapinfo = \"\"\n", "programs.sapinfo", "empty program name"},
        {"[programs]\nensmon = []\n", "programs.ensmon", "empty array"},
        {"[programs]\nenserver = [\"enserver\", \"\"]\n", "programs.enserver", "empty program name"},
        {"[programs]\njcmon = 5\n", "programs.jcmon", "expected a program name or an array of them"},
        {"[programs]\ngwrd = [\"gwrd\", 1]\n", "programs.gwrd", "expected an array of strings"},
        {"[programs.disp_work]\nname = \"disp+work\"\n", "programs.disp_work", "got a table"},
    };
    TempDir dir;
    for (const Row& row : rows) {
        cairn::host::TypeDefinition type;
        std::string error;
        EXPECT_FALSE(LoadWith(dir, row.toml, type, error)) << row.toml;
        EXPECT_NE(error.find(std::string(": ") + row.key + ": "), std::string::npos) << error;
        EXPECT_NE(error.find(row.problem), std::string::npos) << error;
    }

    // cairnagent refuses the configuration before it loads the agent: exit 2, naming file and key.
    ASSERT_TRUE(WriteFakeAgentType(dir));
    const std::string type = dir / "agents/Kestrel.type.toml";
    ASSERT_TRUE(WriteFile(type, ReadFile(type) + "\n[programs]\nstartsap = \"\"\n"));
    const std::string config = dir / "cluster.toml";
    ASSERT_TRUE(WriteFile(config,
                          "[cluster]\nstate_dir = \"state\"\nlog_dir = \"log\"\n\n[types.Kestrel]\n"
                          "agent_dir = \"agents\"\n\n[resources.r1]\ntype = \"Kestrel\"\n"));
    const kestrel_test::ProcResult run = RunHost({"--config", config, "monitor", "r1"});
    EXPECT_EQ(run.exitStatus, 2) << run.out << run.err;
    EXPECT_NE(run.err.find(type + ":"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("programs.startsap: empty program name"), std::string::npos) << run.err;
}

TEST(ProgramTable, TheFrameworkHandsTheAgentKeyCountAndNames) {
    cairn::FrameworkSettings settings;
    settings.types["Kestrel"].programs = {{"enserver", {"enserver", "enq_server"}}, {"sapinfo", {"sapinfo"}}};
    settings.types["Empty"];
    cairn::Configure(settings);
    auto take = [](const char* type, std::vector<std::wstring>& texts) {
        wchar_t** list = nullptr;
        const int rc = CairnAgGetTypePrograms(type, &list);
        for (wchar_t** e = list; e != nullptr && *e != nullptr; ++e) texts.emplace_back(*e);
        CairnAgDelEncodedArgList(list);
        return rc;
    };
    std::vector<std::wstring> texts;
    EXPECT_EQ(take("Kestrel", texts), 0);
    EXPECT_EQ(texts, (std::vector<std::wstring>{L"enserver", L"2", L"enserver", L"enq_server", L"sapinfo",
                                                L"1", L"sapinfo"}));
    texts.clear();
    EXPECT_EQ(take("Empty", texts), 0);
    EXPECT_TRUE(texts.empty());
    EXPECT_NE(take("Unknown", texts), 0);
    cairn::Reset();
}

}  // namespace
