// The OCF adapter's arithmetic and parameter reading, without Pacemaker or the agent.
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "CairnAgfw.h"
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

TEST(OcfRequest, ParametersBecomeAttributesAndPacemakersValuesAreRead) {
    Request r;
    std::string problem;
    ASSERT_TRUE(Read({{"OCF_RESOURCE_INSTANCE", "sapABC_D00:2"},
                      {"OCF_RESKEY_SAPSID", "ABC"},
                      {"OCF_RESKEY_ProcMon", " disp+work.exe, msg_server.exe\tigswd.exe,,"},
                      {"OCF_RESKEY_debug_tags", "19,20"},
                      {"OCF_RESKEY_CRM_meta_timeout", "45000"},
                      {"OCF_RESKEY_CRM_meta_interval", "10000"},
                      {"OCF_CHECK_LEVEL", "10"}},
                     r, problem))
        << problem;
    EXPECT_EQ(r.resource, "sapABC_D00");
    EXPECT_EQ(r.config.values["SAPSID"], std::vector<std::string>{"ABC"});
    EXPECT_EQ(r.config.values["ProcMon"],
              (std::vector<std::string>{"disp+work.exe", "msg_server.exe", "igswd.exe"}));
    EXPECT_EQ(r.config.values.count("SecondLevelMonitor"), 0u) << "absent: the type's default applies";
    EXPECT_EQ(r.debugTags, (std::set<uint32_t>{19, 20}));
    EXPECT_EQ(r.timeoutMs, 45000u);
    EXPECT_FALSE(r.probe);
    EXPECT_EQ(r.checkLevel, 10u);
    EXPECT_EQ(r.stateDir, kDefaultStateDir);

    Request probe;
    ASSERT_TRUE(
        Read({{"OCF_RESOURCE_INSTANCE", "x"}, {"OCF_RESKEY_CRM_meta_interval", "0"}}, probe, problem));
    EXPECT_TRUE(probe.probe);
    EXPECT_EQ(probe.timeoutMs, kDefaultTimeoutMs);
}

TEST(OcfRequest, ValuesThatDoNotFitNameTheParameter) {
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

TEST(OcfMapping, AnswersBecomeExitCodes) {
    EXPECT_EQ(MapValidation(kCairnValidateOk), kOcfSuccess);
    EXPECT_EQ(MapValidation(kCairnValidateNotConfigured), kOcfErrConfigured);
    EXPECT_EQ(MapValidation(kCairnValidateNotInstalled), kOcfErrInstalled);
    EXPECT_EQ(MapValidation(kCairnValidateFailed), kOcfErrGeneric);
    EXPECT_EQ(MapMonitor(1, kCairnRemainsUnknown), kOcfSuccess);
    EXPECT_EQ(MapMonitor(0, 0), kOcfNotRunning);
    EXPECT_EQ(MapMonitor(2, 0), kOcfNotRunning);
    EXPECT_EQ(MapMonitor(0, kCairnRemainsProcesses), kOcfErrGeneric);
    EXPECT_EQ(MapMonitor(0, kCairnRemainsService), kOcfErrGeneric);
    EXPECT_EQ(MapMonitor(2, kCairnRemainsUnknown), kOcfErrGeneric);
    EXPECT_EQ(MapStop(0), kOcfSuccess);
    EXPECT_EQ(MapStop(kCairnRemainsUnknown), kOcfErrGeneric);

    host::CallRecord call;
    for (auto [severity, id, text] : {std::tuple{3u, 20169u, "notice"}, std::tuple{1u, 20000u, "dump line"},
                                      std::tuple{1u, 20147u, "SAPSID [1BC] is NOT valid.\nmore"}}) {
        LogMessage message;
        message.severity = severity;
        message.id = id;
        message.text = text;
        call.messages.push_back(message);
    }
    EXPECT_EQ(FirstError({call}), "20147 SAPSID [1BC] is NOT valid.");
}

}  // namespace
}  // namespace cairn::ocf
