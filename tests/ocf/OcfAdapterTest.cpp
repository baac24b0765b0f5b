// The OCF adapter's arithmetic and parameter reading, without Pacemaker or the agent.
#include <gtest/gtest.h>

#include <map>

#include "OcfAdapter.h"

namespace cairn::ocf {
namespace {

host::TypeDefinition Type() {
    host::TypeDefinition type;
    type.name = "Kestrel";
    type.typeAttributes = {{"OnlineTimeout", 600}, {"MonitorTimeout", 60}};
    for (auto [name, kind] :
         {std::pair{"SAPSID", host::ArgKind::String}, std::pair{"SecondLevelMonitor", host::ArgKind::Integer},
          std::pair{"ProcMon", host::ArgKind::List}}) {
        host::ArgumentDef argument;
        argument.name = name;
        argument.kind = kind;
        type.arguments.push_back(argument);
    }
    return type;
}

bool Read(const std::map<std::string, std::string>& env, Request& request, std::string& problem) {
    return ReadRequest(
        Type(),
        [&](const char* name) {
            auto found = env.find(name);
            return found == env.end() ? nullptr : found->second.c_str();
        },
        request, problem);
}

// A clone's instance names the resource; a value that does not fit names its parameter.
TEST(OcfRequest, CloneSuffixAndValuesThatDoNotFit) {
    Request clone;
    std::string problem;
    ASSERT_TRUE(
        Read({{"OCF_RESOURCE_INSTANCE", "sapABC_D00:2"}, {"OCF_RESKEY_ProcMon", "a.exe, b.exe\tc.exe,,"}},
             clone, problem));
    EXPECT_EQ(clone.resource, "sapABC_D00");
    EXPECT_EQ(clone.config.values["ProcMon"], (std::vector<std::string>{"a.exe", "b.exe", "c.exe"}));
    const std::map<std::string, std::string> base{{"OCF_RESOURCE_INSTANCE", "res"}};
    for (const auto& [name, value] :
         std::vector<std::pair<std::string, std::string>>{{"OCF_RESKEY_SecondLevelMonitor", "2x"},
                                                          {"OCF_RESKEY_SecondLevelMonitor", "4294967296"},
                                                          {"OCF_RESKEY_state_dir", "relative/dir"},
                                                          {"OCF_RESKEY_debug_tags", "19,trace"},
                                                          {"OCF_RESKEY_service_manager", "upstart"},
                                                          {"OCF_RESOURCE_INSTANCE", "../etc"}}) {
        auto env = base;
        env[name] = value;
        Request r;
        std::string problem;
        EXPECT_FALSE(Read(env, r, problem)) << name << "=" << value;
        EXPECT_NE(problem.find(name.rfind("OCF_RESKEY_", 0) == 0 ? name.substr(11) : name), std::string::npos)
            << problem;
    }
}

// The budget: the time-out less 2 s, on the agent's (possibly scaled) clock; a follow-up keeps its own
// time-out but at most a quarter.
TEST(OcfBudget, TimeoutLessTheMarginSplitBetweenTheCalls) {
    const ActionBudget start(662000, 1000, 1.0);
    EXPECT_EQ(start.RemainingMs(1000), 660000u);
    EXPECT_EQ(start.TimeoutSeconds(1000, start.Reserve(60)), 600);
    EXPECT_EQ(start.TimeoutSeconds(1000 + 600000), 60);
    EXPECT_EQ(start.TimeoutSeconds(1000 + 700000), 0) << "a spent budget";

    const ActionBudget small(20000, 0, 1.0);
    EXPECT_EQ(small.Reserve(120), 4500u);
    EXPECT_EQ(small.TimeoutSeconds(0, small.Reserve(120)), 13);

    const ActionBudget scaled(5000, 0, 1000.0);
    EXPECT_EQ(scaled.TimeoutSeconds(0), 3000) << "3 s real are 3000 nominal seconds at scale 1000";
    EXPECT_EQ(ActionBudget(1500, 0, 1.0).RemainingMs(0), 0u) << "a time-out below the margin";
}

}  // namespace
}  // namespace cairn::ocf
