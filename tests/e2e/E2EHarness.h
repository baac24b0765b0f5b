// End-to-end harness: the real cairnagent and agent library against sapsim's real processes, under test
// accounts (NSS/PAM wrappers). Each test has its own root (/tmp/kestrel-e2e-<pid>-<n>: SAP tree, cluster
// state, logs) and SIDs, so tests run in parallel; TearDown stops the services, kills and reaps every process
// whose image lies under the root and removes it, also after a failed test.
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

// The action lines of the SAP log file, and debug-log texts that show which monitor levels ran.
inline constexpr const char* kStarted = "Action: SAP instance started by Cairn.";
inline constexpr const char* kShutdown = "Action: SAP instance shutdown by Cairn.";
inline constexpr const char* kCleaned = "Action: SAP instance cleaned by Cairn.";
inline constexpr const char* kSecondLevelRan = "_SecondLevelMonitor is called with timeinhand";
inline constexpr const char* kJcmonRan = "_RunJcmonMonitorCheck is called with dwTimeOut";

// The accounts of every test; passwords hold no blank (the encoded form takes none).
inline constexpr uint32_t kGid = 47100;
inline const kestrel_test::TestAccount kAdminAccount{"e2eadm", 47101, kGid, "E2e-Adm1n.pw", "/bin/sh", ""};
inline const kestrel_test::TestAccount kOtherAccount{"e2eoth", 47102, kGid, "Oth3r-pw", "/bin/sh", ""};

// One cairnagent resource command.
struct E2EResult : ProcResult {
    Json json;                          // the parsed --json object (null without --json or when unparsable)
    std::vector<std::string> agentLog;  // lines added to <log_dir>/Kestrel.log by this run
    std::vector<std::string> debugLog;  // lines added to <log_dir>/resources/<res>.log by this run

    std::string State() const;  // json "state", "" when absent
    // The messages of an entry point's calls ("" = all, "startup" = startup's); Find: the first with the id
    // (an empty object when none).
    std::vector<Json> Messages(const std::string& entryPoint = "") const;
    Json Find(int id, const std::string& entryPoint = "") const;
    bool HasMessage(int id, const std::string& entryPoint = "") const {
        return Find(id, entryPoint).contains("id");
    }
    std::string MessageText(int id) const { return Find(id).value("text", ""); }  // "" when none
    int Severity(int id) const { return Find(id).value("severity", -1); }         // -1 when none
    std::vector<int> Ids(const std::string& entryPoint = "") const;  // of Messages(), dump lines left out
    long long Result(const std::string& entryPoint) const;  // of the entry point's last call, -1 when none
    size_t DebugCount(const std::string& text) const;       // debug-log lines of this run containing text
    bool DebugHas(const std::string& text) const { return DebugCount(text) > 0; }
    bool AgentLogHas(const std::string& text) const;
    std::string Describe() const;  // exit status, outputs and logs, for failure messages
};

// Lines of this run's debug log written by one function ("CKestrel::Online") that contain text.
size_t TraceCount(const E2EResult& r, const std::string& function, const std::string& text);
void ExpectRun(const E2EResult& r, int exitStatus, const std::string& state);
// Expects the message with this id: its severity (1 error, 2 warning, 3 notice, 4 info) and, when given,
// its exact text.
void ExpectMessage(const E2EResult& r, int id, int severity, const std::string& text = "");
struct Msg {
    int id, severity;
    std::string text{};  // "": any text
};
// Expects the ids of the entry point's messages to be exactly those of msgs, each as ExpectMessage.
void ExpectMessages(const E2EResult& r, const std::string& entryPoint, const std::vector<Msg>& msgs);

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
    std::string service;                                          // SAP<SID>_<NR>
    std::vector<std::pair<std::string, std::string>> attributes;  // TOML value texts, as sapsim printed them
    std::string SapLogPath() const;                               // the agent's SAP action log
    std::string Image(const std::string& image) const { return instDir + "/exe/" + image; }
};

std::string TomlString(const std::string& s);
std::string TomlList(const std::vector<std::string>& items);

class E2ETest : public ::testing::Test {
  protected:
    static void SetUpTestSuite();
    void SetUp() override;
    void TearDown() override;

    const std::string& Root() const { return root_; }
    const std::string& StateDir() const { return stateDir_; }
    // A system ID of this test (Sid(0), Sid(1), ...): never part of another test's paths.
    std::string Sid(int index = 0);
    const kestrel_test::TestIdentity& Identity() const { return *identity_; }
    std::string Host() const { return "e2ehost"; }

    // sapsim install; the resource enters the configuration (a test failure when the install fails).
    Instance& Install(const InstallOptions& options);
    // Replaces (or adds) an attribute of a resource or of the type; value is a TOML text (TomlString, "4").
    void SetAttr(Instance& in, const std::string& key, const std::string& value) {
        Upsert(in.attributes, key, value);
    }
    void SetTypeAttr(const std::string& key, const std::string& value) { Upsert(typeAttrs_, key, value); }
    // From now on the type's definition is the built one with toml appended (a [programs] table).
    void UseTypeDefinitionWith(const std::string& toml);
    // Replaces (or adds) a key of [cluster] (service_manager).
    void SetClusterSetting(const std::string& key, const std::string& value) {
        Upsert(clusterSettings_, key, value);
    }
    // Writes <instance dir>/sapsim.toml (the steering file); empty text removes it.
    void WriteControl(const Instance& instance, const std::string& toml);

    // cairnagent [--json] COMMAND RESOURCE; extraEnv entries "NAME=value" (they override).
    E2EResult Run(const std::string& command, const std::string& resource, bool json = true,
                  const std::vector<std::string>& extraEnv = {});
    // The environment that preloads the fault shim (tests/e2e/FaultShim.cpp) into cairnagent beside the
    // identity wrappers, with the shim's variables.
    std::vector<std::string> WithFaults(std::vector<std::string> faults) const {
        std::string preload;
        for (const std::string& e : Identity().Environment())
            if (e.rfind("LD_PRELOAD=", 0) == 0) preload = e.substr(11) + ":";
        faults.push_back("LD_PRELOAD=" + preload + KESTREL_E2E_FAULT_SHIM);
        return faults;
    }
    E2EResult Monitor(const Instance& instance, const std::vector<std::string>& extraEnv = {}) {
        return Run("monitor", instance.resource, true, extraEnv);
    }
    E2EResult Online(const Instance& instance, const std::vector<std::string>& extraEnv = {}) {
        return Run("online", instance.resource, true, extraEnv);
    }
    // Any cairnagent command line (svc ..., encrypt-password).
    ProcResult RunCairn(const std::vector<std::string>& args, const std::string& input = "",
                        const std::vector<std::string>& extraEnv = {});
    ProcResult RunSapsim(const std::vector<std::string>& args);
    // Runs a program directly, as uid/gid when given (-1: as the test), with the harness's environment.
    ProcResult Exec(const std::string& program, const std::vector<std::string>& args,
                    const std::string& input = "", const std::vector<std::string>& extraEnv = {},
                    uid_t uid = static_cast<uid_t>(-1), gid_t gid = static_cast<gid_t>(-1),
                    long limitMs = 60000, bool pam = false);

    // The startsap.exe/stopsap.exe command line as the agent runs it.
    static std::string ToolCommand(const Instance& in, const std::string& tool) {
        return in.kernelDir + "/" + tool + " name=" + in.sid + " nr=" + in.nr + " sapdiahost=" + in.host;
    }
    // STOP_PENDING, START_PENDING, RUNNING or STOPPED (else svc query's whole output).
    std::string ServiceState(const Instance& in);
    bool ServiceRunning(const Instance& in) { return ServiceState(in) == "RUNNING"; }
    // The start service through the embedded manager; startsap.exe/stopsap.exe run as the account.
    bool StartService(const Instance& instance);
    bool StopService(const Instance& instance);
    bool SapTool(const Instance& in, const std::string& tool, const kestrel_test::TestAccount& as);
    bool StartSap(const Instance& in, const kestrel_test::TestAccount& as = kAdminAccount) {
        return SapTool(in, "startsap.exe", as);
    }
    bool StopSap(const Instance& in) { return SapTool(in, "stopsap.exe", kAdminAccount); }
    // Service and processes, as an operator brings the instance up by hand (no Online).
    bool StartInstance(const Instance& instance) { return StartService(instance) && StartSap(instance); }

    struct Proc {
        pid_t pid;
        std::string exe;
        uid_t uid;
        std::string cmdline;  // arguments joined by blanks
    };
    std::vector<Proc> ProcessesUnderRoot() const;  // live processes whose image lies under the root
    static bool Alive(pid_t pid);                  // a zombie counts as gone
    static bool GoneSoon(pid_t pid) {
        return WaitFor([&] { return !Alive(pid); }, 3000);
    }
    // Java nodes come up after startsap.exe returns: waits until count processes of the SID show the image.
    void WaitForImage(const Instance& in, const std::string& image, size_t count);
    // Waits until no process under the root shows the image ("jlaunch.exe").
    bool WaitForNoImage(const std::string& image) {
        return WaitFor([&] {
            for (const Proc& p : ProcessesUnderRoot())
                if (Contains(p.exe, "/" + image)) return false;
            return true;
        });
    }
    // Waits (real time) until pred holds or limitMs passes; returns the last value of pred.
    static bool WaitFor(const std::function<bool()>& pred, long limitMs = 5000);
    // The action lines of the SAP action log's records; a record out of layout (separators, SAPSID,
    // instance name, a UTC time stamp of now) fails the test.
    std::vector<std::string> Actions(const Instance& in);
    // Lines containing text in the instance's work/sapsim.log (what the tools and images did).
    size_t SimLogCount(const Instance& instance, const std::string& text) const;
    void SetTimeScale(int scale) { timeScale_ = scale; }  // KESTREL_TIME_SCALE, default 1000
    // Scale 50 (tool limits of 10 to 15 s take 200 to 300 ms, enough under load; 5 s pauses 100 ms) and
    // small budgets, so a wait that never ends still ends in seconds.
    void UseControlTimings();
    // Environment of every child: the test's own, the identity's, CAIRN_SERVICE_ROOT, KESTREL_TIME_SCALE;
    // the PAM wrapper only with pam (the agent's log-on), its folders in <root>/pam.
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
