// End-to-end test harness: the real host cairnagent, the real agent library and a simulated SAP system
// (sapsim) with real processes, under test accounts served by the NSS/PAM wrappers.
//
// Each test gets its own temporary root (/tmp/kestrel-e2e-<pid>-<n>) holding the SAP tree, the cluster
// state (cookies, service registry) and the logs, and its own system IDs, so tests can run in parallel:
// the agent's process walk sees every process of the machine, but never one of another test's SID.
// TearDown stops the services, kills every process whose image lies under the root (until none is left),
// reaps them (the test process is a child subreaper) and removes the root, also after a failed test.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "TestIdentity.h"
#include "TestSupport.h"

namespace kestrel_e2e {

using Json = nlohmann::json;
using kestrel_test::Contains;
using kestrel_test::ProcResult;
using kestrel_test::ReadFile;
using kestrel_test::WriteFile;

// The action lines the agent writes into the SAP log file.
inline constexpr const char* kStarted = "Action: SAP instance started by Cairn.";
inline constexpr const char* kShutdown = "Action: SAP instance shutdown by Cairn.";
inline constexpr const char* kCleaned = "Action: SAP instance cleaned by Cairn.";

// Debug-log texts that show which monitor levels and checks ran.
inline constexpr const char* kSecondLevelRan = "_SecondLevelMonitor is called with timeinhand";
inline constexpr const char* kJcmonRan = "_RunJcmonMonitorCheck is called with dwTimeOut";

// The accounts every e2e test has. Passwords hold no blank (the encoded form takes none).
inline constexpr uint32_t kGid = 47100;
inline const kestrel_test::TestAccount kAdminAccount{"e2eadm", 47101, kGid, "E2e-Adm1n.pw", "/bin/sh", ""};
inline const kestrel_test::TestAccount kOtherAccount{"e2eoth", 47102, kGid, "Oth3r-pw", "/bin/sh", ""};

// One cairnagent resource command.
struct E2EResult : ProcResult {
    Json json;                          // the parsed --json object (null without --json or when unparsable)
    std::vector<std::string> agentLog;  // lines added to <log_dir>/Kestrel.log by this run
    std::vector<std::string> debugLog;  // lines added to <log_dir>/resources/<res>.log by this run

    std::string State() const;  // json "state", "" when absent
    // The messages of an entry point's calls in call order ("" = all calls, "startup" = startup's).
    std::vector<Json> Messages(const std::string& entryPoint = "") const;
    // The first message with this id (an empty object when none).
    Json Find(int id, const std::string& entryPoint = "") const;
    bool HasMessage(int id, const std::string& entryPoint = "") const {
        return Find(id, entryPoint).contains("id");
    }
    std::string MessageText(int id) const { return Find(id).value("text", ""); }  // "" when none
    int Severity(int id) const { return Find(id).value("severity", -1); }         // -1 when none
    // The ids of Messages(entryPoint), dump lines left out.
    std::vector<int> Ids(const std::string& entryPoint = "") const;
    // The result of the last call of this entry point, -1 when none.
    long long Result(const std::string& entryPoint) const;
    // Number of debug-log lines (of this run) that contain text.
    size_t DebugCount(const std::string& text) const;
    bool DebugHas(const std::string& text) const { return DebugCount(text) > 0; }
    bool AgentLogHas(const std::string& text) const;
    std::string Describe() const;  // exit status, outputs and logs, for failure messages
};

// Lines of this run's debug log written by one function ("CKestrel::Online") that contain text.
size_t TraceCount(const E2EResult& r, const std::string& function, const std::string& text);
// Expects the run's exit status and resulting state.
void ExpectRun(const E2EResult& r, int exitStatus, const std::string& state);
// Expects the message with this id: its severity (1 error, 2 warning, 3 notice, 4 info) and, when given,
// its exact text.
void ExpectMessage(const E2EResult& r, int id, int severity, const std::string& text = "");

struct InstallOptions {
    std::string instance{};  // name ending in the instance number, e.g. "DVEBMGS00"
    std::string type{};      // central, dialog, enqueue, enqrep, aenqueue, aenqrep, jenqueue, jenqrep
    std::string arch{};      // abap, java, addin, none; empty: sapsim's default
    std::string sid{};       // empty: the test's SID (Sid())
    std::string enqsrvRes{};
    bool linuxNames = false;  // sapsim install --linux-names
};

struct Instance {
    std::string resource, sid, name, nr;
    std::string kernelDir;  // <root>/usr/sap/<SID>/SYS/exe/run (SAPHome, SAPMonHome)
    std::string instDir;    // <root>/usr/sap/<SID>/<name>
    std::string profile;    // InstProfile
    std::string host;
    std::string service;  // SAP<SID>_<NR>
    // The resource's attributes as TOML value texts, in the order sapsim printed them; overrides replace.
    std::vector<std::pair<std::string, std::string>> attributes;

    std::string SapLogPath() const;  // the agent's SAP action log of the instance
    std::string Image(const std::string& image) const { return instDir + "/exe/" + image; }
};

// TOML texts for attribute overrides.
std::string TomlString(const std::string& s);
std::string TomlList(const std::vector<std::string>& items);

class E2ETest : public ::testing::Test {
  protected:
    static void SetUpTestSuite();
    void SetUp() override;
    void TearDown() override;

    const std::string& Root() const { return root_; }
    const std::string& StateDir() const { return stateDir_; }
    // A system ID of this test: distinct across the tests of the machine and never part of another
    // test's paths. Several per test: Sid(0), Sid(1), ...
    std::string Sid(int index = 0);
    const kestrel_test::TestIdentity& Identity() const { return *identity_; }
    std::string Host() const { return "e2ehost"; }

    // sapsim install; the resource enters the configuration. Fails the test (ADD_FAILURE) when it fails.
    Instance& Install(const InstallOptions& options);
    // Replaces (or adds) one attribute of a resource or of the type (OnlineTimeout, ..., debug_tags): value
    // is a TOML value text (TomlString, TomlList, "4").
    void SetAttr(Instance& in, const std::string& key, const std::string& value) {
        Upsert(in.attributes, key, value);
    }
    void SetTypeAttr(const std::string& key, const std::string& value) { Upsert(typeAttrs_, key, value); }
    // From now on the type's definition is the built one with toml appended (e.g. a [programs] table),
    // written to <root>/agent and found there through agent_dir.
    void UseTypeDefinitionWith(const std::string& toml);
    // Replaces (or adds) one key of [cluster] beside state_dir and log_dir (service_manager).
    void SetClusterSetting(const std::string& key, const std::string& value) {
        Upsert(clusterSettings_, key, value);
    }
    // Writes <instance dir>/sapsim.toml (the steering file); empty text removes it.
    void WriteControl(const Instance& instance, const std::string& toml);

    // cairnagent [--json] COMMAND RESOURCE; extraEnv entries "NAME=value" (they override).
    E2EResult Run(const std::string& command, const std::string& resource, bool json = true,
                  const std::vector<std::string>& extraEnv = {});
    E2EResult Monitor(const Instance& instance, const std::vector<std::string>& extraEnv = {}) {
        return Run("monitor", instance.resource, true, extraEnv);
    }
    E2EResult Online(const Instance& instance, const std::vector<std::string>& extraEnv = {}) {
        return Run("online", instance.resource, true, extraEnv);
    }
    // Any cairnagent command line (svc ..., encrypt-password), with the harness's environment.
    ProcResult RunCairn(const std::vector<std::string>& args, const std::string& input = "",
                        const std::vector<std::string>& extraEnv = {});
    ProcResult RunSapsim(const std::vector<std::string>& args);
    // Runs a program directly, as uid/gid when given (-1: as the test), with the harness's environment.
    ProcResult Exec(const std::string& program, const std::vector<std::string>& args,
                    const std::string& input = "", const std::vector<std::string>& extraEnv = {},
                    uid_t uid = static_cast<uid_t>(-1), gid_t gid = static_cast<gid_t>(-1),
                    long limitMs = 60000, bool pam = false);

    // startsap.exe/stopsap.exe command line as the agent runs it.
    static std::string ToolCommand(const Instance& in, const std::string& tool) {
        return in.kernelDir + "/" + tool + " name=" + in.sid + " nr=" + in.nr + " sapdiahost=" + in.host;
    }
    // STOP_PENDING, START_PENDING, RUNNING or STOPPED (else svc query's whole output).
    std::string ServiceState(const Instance& in);
    bool ServiceRunning(const Instance& in) { return ServiceState(in) == "RUNNING"; }
    // The instance's start service through the embedded service manager.
    bool StartService(const Instance& instance);
    bool StopService(const Instance& instance);
    // startsap.exe / stopsap.exe of the kernel directory, run as the account (default: the administrator).
    bool SapTool(const Instance& in, const std::string& tool, const kestrel_test::TestAccount& as);
    bool StartSap(const Instance& in, const kestrel_test::TestAccount& as = kAdminAccount) {
        return SapTool(in, "startsap.exe", as);
    }
    bool StopSap(const Instance& in) { return SapTool(in, "stopsap.exe", kAdminAccount); }
    // Service and processes, as an operator would bring the instance up by hand (no Online).
    bool StartInstance(const Instance& instance) { return StartService(instance) && StartSap(instance); }

    struct Proc {
        pid_t pid;
        std::string exe;
        uid_t uid;
        std::string cmdline;  // arguments joined by blanks
    };
    // Live processes whose image lies under the root (zombies have no image and are left out).
    std::vector<Proc> ProcessesUnderRoot() const;
    // A living process (a zombie counts as gone), and one that is gone within 3 s.
    static bool Alive(pid_t pid);
    static bool GoneSoon(pid_t pid) {
        return WaitFor([&] { return !Alive(pid); }, 3000);
    }
    // Java nodes come up after startsap.exe returns (jcontrol.exe starts them): waits until count processes
    // of the instance's SID show the image (a test failure when they do not).
    void WaitForImage(const Instance& in, const std::string& image, size_t count);
    // Waits until no process under the root shows the image (a file name such as "jlaunch.exe").
    bool WaitForNoImage(const std::string& image) {
        return WaitFor([&] {
            for (const Proc& p : ProcessesUnderRoot())
                if (Contains(p.exe, "/" + image)) return false;
            return true;
        });
    }
    // Waits (real time) until pred holds or limitMs passes; returns the last value of pred.
    static bool WaitFor(const std::function<bool()>& pred, long limitMs = 5000);
    // The action lines of the records in the instance's SAP action log; a record out of layout (separators,
    // SAPSID, instance name, a UTC time stamp of now) fails the test.
    std::vector<std::string> Actions(const Instance& in);
    // Lines containing text in the instance's work/sapsim.log (what the tools and images did).
    size_t SimLogCount(const Instance& instance, const std::string& text) const;
    void SetTimeScale(int scale) { timeScale_ = scale; }  // KESTREL_TIME_SCALE, default 1000
    // Environment of every child: the test's own (minus the wrapper variables), the identity's variables,
    // CAIRN_SERVICE_ROOT and KESTREL_TIME_SCALE. Only with pam does it switch the PAM wrapper on (the
    // agent's log-on needs it), with its per-process folders in <root>/pam; the harness's own processes
    // (tools, services) need no PAM.
    std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extraEnv,
                                              bool pam = true) const;
    void WriteConfig();  // the cluster configuration (Run writes it before every command)

  private:
    using Attributes = std::vector<std::pair<std::string, std::string>>;
    static void Upsert(Attributes& attributes, const std::string& key, const std::string& tomlValue);
    void KillEverything();
    std::string root_, logDir_, stateDir_, configPath_, encodedPassword_;
    std::unique_ptr<kestrel_test::TestIdentity> identity_;
    std::vector<std::unique_ptr<Instance>> instances_;
    Attributes typeAttrs_, clusterSettings_;
    std::vector<std::string> sids_;
    int timeScale_ = 1000;
};

}  // namespace kestrel_e2e
