// SAP's Linux program names end to end: the same life of an instance (online, monitor on all three levels,
// a process killed behind the agent's back, clean, offline) once with the default names and once with
// sapsim's Linux names and the shipped Linux profile; the agent must say the same apart from the names.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>
#include <string>
#include <vector>

#include "E2EHarness.h"

using namespace kestrel_e2e;

namespace {

struct Kind {
    const char* type;
    const char* arch;
    const char* instance;
    const char* victim;      // the image killed behind the agent's back, in the default naming
    const char* found;       // a process-check line of the monitor with the default names ...
    const char* linuxFound;  // ... and with the Linux names
};

// What one step showed: state, exit status and the agent's messages (dump lines left out) with the names
// made neutral: the SID, the ".exe" suffix and the Linux image names that differ from the default.
struct Step {
    std::string what;
    std::string state;
    int exitStatus;
    std::vector<std::string> messages;
    bool operator==(const Step&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Step& s) {
    os << s.what << ": " << s.state << " exit " << s.exitStatus;
    for (const std::string& m : s.messages) os << "\n    " << m;
    return os;
}

class ProgramNamesE2E : public E2ETest, public ::testing::WithParamInterface<Kind> {
  protected:
    void SetUp() override {
        E2ETest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        // Tool limits of 10 to 15 s become 200 to 300 ms: enough for a tool run under load or a sanitizer.
        SetTimeScale(50);
        SetTypeAttr("OnlineTimeout", "600");
        SetTypeAttr("OfflineTimeout", "600");
        SetTypeAttr("MonitorTimeout", "315");
        SetTypeAttr("CleanTimeout", "65");
    }

    Step Record(const std::string& what, const E2EResult& r, const Instance& in) {
        Step s{what, r.State(), r.exitStatus, {}};
        for (const Json& m : r.Messages()) {
            if (m.value("id", 0) == 20000) continue;
            std::string text = m.value("text", "");
            if (linux_) {
                EXPECT_EQ(text.find(".exe"), std::string::npos) << "a default name in: " << text;
            }
            text = std::regex_replace(text, std::regex(in.sid), "SID");
            text = std::regex_replace(text, std::regex("\\.exe"), "");
            text = std::regex_replace(text, std::regex("igswd_mt"), "igswd");
            text = std::regex_replace(text, std::regex("enq_server"), "enserver");
            text = std::regex_replace(text, std::regex("enq_replicator"), "enrepserver");
            s.messages.push_back(std::to_string(m.value("id", 0)) + " " +
                                 std::to_string(m.value("severity", -1)) + " " + text);
        }
        return s;
    }

    // The whole life of one instance; the checks that hold in either naming are made here.
    std::vector<Step> Life(const Kind& k, bool linuxNames, int sidIndex) {
        linux_ = linuxNames;
        UseTypeDefinitionWith(linuxNames ? ReadFile(KESTREL_LINUX_NAMES) : "");
        Instance& in = Install({.instance = k.instance,
                                .type = k.type,
                                .arch = k.arch,
                                .sid = Sid(sidIndex),
                                .linuxNames = linuxNames});
        const std::string script = Root() + "/monprog.sh";
        EXPECT_TRUE(WriteFile(script, "#!/bin/sh\nexit 110\n", 0755));
        SetAttr(in, "MonitorProgram", TomlString(script));
        const std::string victim = linuxNames ? Linux(k.victim) : k.victim;

        std::vector<Step> steps;
        E2EResult r = Online(in);
        ExpectRun(r, 0, "ONLINE");
        steps.push_back(Record("online", r, in));

        r = Monitor(in);
        ExpectRun(r, 0, "ONLINE");
        EXPECT_EQ(r.DebugCount(kSecondLevelRan), 1u) << r.Describe();
        EXPECT_TRUE(r.DebugHas("MonitorProgram returned Online(110).")) << r.Describe();
        EXPECT_TRUE(r.DebugHas(linuxNames ? k.linuxFound : k.found)) << r.Describe();
        steps.push_back(Record("monitor", r, in));

        pid_t pid = 0;
        for (const Proc& p : ProcessesUnderRoot())
            if (p.exe == in.Image(victim)) pid = p.pid;
        EXPECT_GT(pid, 0) << "no " << in.Image(victim) << " running";
        if (pid > 0) {
            kill(pid, SIGKILL);
            EXPECT_TRUE(GoneSoon(pid));
        }
        r = Monitor(in);
        EXPECT_NE(r.State(), "ONLINE") << r.Describe();
        steps.push_back(Record("monitor after the kill", r, in));

        r = Run("clean", in.resource);
        EXPECT_EQ(r.exitStatus, 0) << r.Describe();
        steps.push_back(Record("clean", r, in));

        r = Run("offline", in.resource);
        ExpectRun(r, 0, "OFFLINE");
        steps.push_back(Record("offline", r, in));
        EXPECT_EQ(Actions(in), (std::vector<std::string>{kStarted, kCleaned}));
        return steps;
    }

    static std::string Linux(const std::string& name) {
        if (name == "enserver.exe") return "enq_server";
        return name.substr(0, name.size() - 4);
    }

    bool linux_ = false;
};

TEST_P(ProgramNamesE2E, LinuxNamesGiveTheSameLifeAsTheDefaults) {
    const std::vector<Step> windows = Life(GetParam(), false, 0);
    const std::vector<Step> linux = Life(GetParam(), true, 1);
    ASSERT_EQ(linux.size(), windows.size());
    for (size_t i = 0; i < linux.size(); ++i) EXPECT_EQ(linux[i], windows[i]);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ProgramNamesE2E,
                         ::testing::Values(Kind{"central", "addin", "DVEBMGS00", "msg_server.exe",
                                                "igswd.exe process found.", "igswd_mt process found."},
                                           Kind{"enqueue", "none", "ASCS01", "enserver.exe",
                                                "enserver.exe process found.", "enq_server process found."}),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             return std::string(info.param.type) + "_" + info.param.arch;
                         });

}  // namespace
