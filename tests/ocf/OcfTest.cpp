// The OCF adapter end to end: Pacemaker's crm_resource and ocf-tester run it against a simulated SAP
// instance.
#include <gtest/gtest.h>

#include "OcfHarness.h"

namespace kestrel_ocf_test {
namespace {

std::string Describe(const ProcResult& r) {
    return "exit " + std::to_string(r.exitStatus) + (r.timedOut ? " (killed at the limit)" : "") +
           "\nstdout: " + r.out + "\nstderr: " + r.err;
}

class Ocf : public OcfE2E {
  protected:
    Instance& Abap() { return Install({.instance = "DVEBMGS00", .type = "central"}); }
    size_t Left() { return ProcessesUnderRoot().size(); }
};

// The whole life of an instance through Pacemaker's tool: probe, start, monitor, a dispatcher killed behind
// the cluster's back (monitor: partly running), stop (Offline leaves the rest to Clean: nothing may be left),
// and the same stop and probe again on the stopped instance.
TEST_F(Ocf, ProbeStartMonitorFailureAndStop) {
    Instance& in = Abap();
    const std::vector<std::string> p = Parameters(in);
    ProcResult r = Crm("check", p);
    EXPECT_EQ(r.exitStatus, 7) << Describe(r);
    r = Crm("start", p);
    ASSERT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_GT(Left(), 0u);
    r = Crm("check", p);
    EXPECT_EQ(r.exitStatus, 0) << Describe(r);

    ASSERT_EQ(KillImage(in, "disp+work.exe"), 1u);
    ASSERT_TRUE(WaitForNoImage("disp+work.exe"));
    r = Crm("check", p);
    EXPECT_EQ(r.exitStatus, 1) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "ocf-exit-reason:")) << Describe(r);

    r = Crm("stop", p);
    EXPECT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_EQ(Left(), 0u) << "stop left processes of the instance";
    EXPECT_EQ(ServiceState(in), "STOPPED");
    EXPECT_EQ(Crm("stop", p).exitStatus, 0) << "a stopped instance stops again";
    EXPECT_EQ(Crm("check", p).exitStatus, 7);
}

// Probe and stop on a node where the instance is not installed: not running, nothing to do.
TEST_F(Ocf, NodeWithoutTheInstanceProbesNotRunningAndStops) {
    Instance& in = Abap();
    const std::vector<std::string> p =
        With(With(Parameters(in), "SAPHome", Root() + "/nowhere/exe/run"), "SAPSID", Sid(1));
    ProcResult r = Crm("check", p);
    EXPECT_EQ(r.exitStatus, 7) << Describe(r);
    r = Crm("stop", p);
    EXPECT_EQ(r.exitStatus, 0) << Describe(r);
    // start: the node lacks the kernel directory (not installed), validate-all sees it only at level 10.
    r = Crm("start", p);
    EXPECT_EQ(r.exitStatus, 5) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "ocf-exit-reason:20153 ") || Contains(r.out, "ocf-exit-reason:20154 "))
        << Describe(r);
    EXPECT_EQ(Agent("validate-all", p).exitStatus, 0);
    EXPECT_EQ(Agent("validate-all", p, {"OCF_CHECK_LEVEL=10"}).exitStatus, 5);
    // The embedded host's verdicts on the same values.
    SetAttr(in, "SAPHome", kestrel_e2e::TomlString(Root() + "/nowhere/exe/run"));
    WriteConfig();
    const std::vector<std::string> validate{"--config", Root() + "/cluster.toml", "validate", in.resource};
    ProcResult v = Exec(KESTREL_OCF_CAIRNAGENT, validate);
    EXPECT_TRUE(v.exitStatus == 0 && Contains(v.out, ": VALID")) << Describe(v);
    std::vector<std::string> level10 = validate;
    level10.insert(level10.end(), {"--level", "10"});
    v = Exec(KESTREL_OCF_CAIRNAGENT, level10);
    EXPECT_TRUE(v.exitStatus == 1 && Contains(v.out, ": NOT_INSTALLED")) << Describe(v);
}

// Values that do not validate: 6 with the agent's first error as the exit reason, before anything is started;
// stop is never a success then; cairnagent validate gives the same verdicts.
TEST_F(Ocf, BadParametersAreNotConfigured) {
    Instance& in = Abap();
    const std::vector<std::string> good = Parameters(in);
    const std::vector<std::string> p = With(good, "SAPSID", "1BC");
    ProcResult r = Crm("start", p);
    EXPECT_EQ(r.exitStatus, 6) << Describe(r);
    EXPECT_TRUE(Contains(r.out + r.err, "ocf-exit-reason:20147 SAPSID [1BC] is NOT valid.")) << Describe(r);
    EXPECT_EQ(Left(), 0u);
    r = Crm("stop", p);
    EXPECT_EQ(r.exitStatus, 1) << Describe(r);
    EXPECT_EQ(Agent("validate-all", p).exitStatus, 6);
    SetAttr(in, "SAPSID", kestrel_e2e::TomlString("1BC"));
    WriteConfig();
    ProcResult v =
        Exec(KESTREL_OCF_CAIRNAGENT, {"--config", Root() + "/cluster.toml", "validate", in.resource});
    EXPECT_EQ(v.exitStatus, 1) << v.err;
    EXPECT_TRUE(Contains(v.out, ": NOT_CONFIGURED")) << v.out;

    r = Agent("validate-all", With(good, "SecondLevelMonitor", "often"));
    EXPECT_EQ(r.exitStatus, 6) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "ocf-exit-reason:parameter SecondLevelMonitor")) << Describe(r);
    r = Agent("validate-all", With(good, "InstName", ""));
    EXPECT_EQ(r.exitStatus, 6) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "ocf-exit-reason:20175 ")) << Describe(r);
    EXPECT_EQ(Agent("reload", {}).exitStatus, 3) << "an action the adapter does not know";
}

// A replication server's EnqSrvResName is looked up in Pacemaker's configuration (here the file CIB_file
// names): there → valid; absent → not configured (20183); the configuration unreadable → generic error
// (20182).
TEST_F(Ocf, EnqueueServerResourceIsLookedUpInTheConfiguration) {
    const std::string ascs = "sap" + Sid() + "_ASCS01";
    Instance& ers = Install({.instance = "ERS02", .type = "enqrep", .enqsrvRes = ascs});
    auto cib = [&](const std::string& resources) {
        const std::string path = Root() + "/cib-" + std::to_string(resources.size()) + ".xml";
        kestrel_test::WriteFile(path,
                                "<cib crm_feature_set=\"3.16.1\" validate-with=\"pacemaker-3.9\" epoch=\"1\" "
                                "num_updates=\"0\" admin_epoch=\"0\"><configuration><crm_config/><nodes/>"
                                "<resources>" +
                                    resources +
                                    "</resources><constraints/></configuration>"
                                    "<status/></cib>\n");
        return "CIB_file=" + path;
    };
    const std::string primitive =
        "<primitive id=\"" + ascs + "\" class=\"ocf\" provider=\"kestrel\" type=\"Kestrel\"/>";
    EXPECT_EQ(Agent("validate-all", Parameters(ers), {cib(primitive)}).exitStatus, 0);
    ProcResult r = Agent("validate-all", Parameters(ers), {cib("")});
    EXPECT_EQ(r.exitStatus, 6) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "ocf-exit-reason:20182 EnqSrvResName [" + ascs + "] does NOT exist."))
        << Describe(r);
    kestrel_test::WriteFile(Root() + "/garbage.xml", "no configuration\n");
    r = Agent("validate-all", Parameters(ers), {"CIB_file=" + Root() + "/garbage.xml"});
    EXPECT_EQ(r.exitStatus, 1) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "ocf-exit-reason:20182 ")) << Describe(r);
}

// A start whose budget runs out (startsap.exe hangs): the adapter answers before Pacemaker's time-out, with
// the tool ended.
TEST_F(Ocf, StartWhoseBudgetRunsOutAnswersInTime) {
    Instance& in = Abap();
    WriteControl(in, "[startsap]\ndelay_ms = 60000\n");
    ProcResult r = Crm("start", Parameters(in), "3s");
    EXPECT_EQ(r.exitStatus, 1) << Describe(r);
    EXPECT_LT(r.ms, 3000) << Describe(r);
    EXPECT_FALSE(Contains(r.out + r.err, "Timed Out")) << Describe(r);
    for (const Proc& p : ProcessesUnderRoot()) EXPECT_FALSE(Contains(p.cmdline, "startsap.exe")) << p.cmdline;
}

// ocf-tester checks the contract: meta-data (as nobody, against the DTD), validate-all, probes, start twice,
// stop twice.
TEST_F(Ocf, OcfTesterPassesAllTests) {
    Instance& in = Abap();
    std::vector<std::string> args{"-n", "test"};
    for (const std::string& p : Parameters(in)) args.insert(args.end(), {"-o", p});
    args.push_back(AgentPath());
    ProcResult r = kestrel_test::RunProcess(
        {.program = "/usr/sbin/ocf-tester", .args = args, .cwd = Root(), .limitMs = 240000});
    EXPECT_EQ(r.exitStatus, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "passed all tests")) << Describe(r);
    EXPECT_EQ(Left(), 0u);
}

}  // namespace
}  // namespace kestrel_ocf_test
