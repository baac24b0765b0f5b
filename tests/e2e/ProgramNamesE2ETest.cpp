// SAP's Linux program names end to end: one life of an instance (online, monitor on all three levels, a
// process killed behind the agent's back, clean, offline) with the default names, then with sapsim's Linux
// names and the shipped Linux profile. States, exit codes and agent messages must agree but for the names.
// An empty name in the profile is a configuration error.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>

#include "E2EHarness.h"

using namespace kestrel_e2e;

namespace {

struct Kind {
    const char *type, *arch, *instance;
    const char *victim, *linuxVictim;  // the image killed behind the agent's back, in either naming
};

class ProgramNamesE2E : public E2ETest, public ::testing::WithParamInterface<Kind> {
  protected:
    void SetUp() override {
        E2ETest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        UseControlTimings();
    }

    // One line per step: the state and exit status, then each message (dump lines left out) with the SID and
    // the names made neutral.
    static void Record(std::vector<std::string>& steps, const E2EResult& r, const Instance& in, bool linux) {
        steps.push_back(r.State() + " " + std::to_string(r.exitStatus));
        for (const Json& m : r.Messages()) {
            std::string text = m.value("text", "");
            if (m.value("id", 0) == 20000) continue;
            EXPECT_FALSE(linux && Contains(text, ".exe")) << "a default name in: " << text;
            for (const auto& [from, to] : {std::pair{in.sid, "SID"},
                                           {"\\.exe", ""},
                                           {"igswd_mt", "igswd"},
                                           {"enq_server", "enserver"}})
                text = std::regex_replace(text, std::regex(from), to);
            steps.push_back(std::to_string(m.value("id", 0)) + " " + std::to_string(m.value("severity", 0)) +
                            " " + text);
        }
    }

    std::vector<std::string> Life(bool linux) {
        const Kind& k = GetParam();
        if (linux) UseTypeDefinitionWith(ReadFile(KESTREL_LINUX_NAMES));
        Instance& in = Install(
            {.instance = k.instance, .type = k.type, .arch = k.arch, .sid = Sid(linux), .linuxNames = linux});
        EXPECT_TRUE(WriteFile(Root() + "/monprog.sh", "#!/bin/sh\nexit 110\n", 0755));
        SetAttr(in, "MonitorProgram", TomlString(Root() + "/monprog.sh"));
        std::vector<std::string> steps;
        E2EResult r = Online(in);
        ExpectRun(r, 0, "ONLINE");
        Record(steps, r, in, linux);

        r = Monitor(in);
        ExpectRun(r, 0, "ONLINE");
        EXPECT_EQ(r.DebugCount(kSecondLevelRan), 1u) << r.Describe();
        EXPECT_TRUE(r.DebugHas("MonitorProgram returned Online(110).")) << r.Describe();
        Record(steps, r, in, linux);

        const std::string victim = in.Image(linux ? k.linuxVictim : k.victim);
        for (const Proc& p : ProcessesUnderRoot()) {
            if (p.exe != victim) continue;
            kill(p.pid, SIGKILL);
            EXPECT_TRUE(GoneSoon(p.pid));
        }
        r = Monitor(in);
        EXPECT_EQ(r.State(), "OFFLINE") << "killed: " << victim << "\n" << r.Describe();
        Record(steps, r, in, linux);

        r = Run("clean", in.resource);
        EXPECT_EQ(r.exitStatus, 0) << r.Describe();
        Record(steps, r, in, linux);
        r = Run("offline", in.resource);
        ExpectRun(r, 0, "OFFLINE");
        Record(steps, r, in, linux);
        EXPECT_EQ(Actions(in), (std::vector<std::string>{kStarted, kCleaned}));
        return steps;
    }
};

TEST_P(ProgramNamesE2E, LinuxNamesLiveTheSameLifeAsTheDefaults) {
    const std::vector<std::string> windows = Life(false);
    EXPECT_EQ(Life(true), windows);
}

// A [programs] entry without a name stops cairnagent before it loads the agent: exit 2, naming file and key.
TEST_F(ProgramNamesE2E, AnEmptyNameIsAConfigurationError) {
    for (const auto& [toml, problem] :
         {std::pair{"sapinfo = \"\"", "programs.sapinfo: empty program name"},
          {"ensmon = []", "programs.ensmon: empty array"},
          {"igswd = [\"igswd_mt\", \"\"]", "programs.igswd: empty program name"},
          {"jcmon = 5", "programs.jcmon: expected a program name or an array"}}) {
        UseTypeDefinitionWith(std::string("[programs]\n") + toml + "\n");
        const E2EResult r = Run("monitor", "none", false);
        EXPECT_EQ(r.exitStatus, 2) << r.Describe();
        EXPECT_TRUE(Contains(r.err, Root() + "/agent/Kestrel.type.toml:")) << r.err;
        EXPECT_TRUE(Contains(r.err, problem)) << r.err;
    }
}

const Kind kAddIn{"central", "addin", "DVEBMGS00", "msg_server.exe", "msg_server"};
const Kind kEnqueue{"enqueue", "none", "ASCS01", "enserver.exe", "enq_server"};
INSTANTIATE_TEST_SUITE_P(Kinds, ProgramNamesE2E, ::testing::Values(kAddIn, kEnqueue));

}  // namespace
