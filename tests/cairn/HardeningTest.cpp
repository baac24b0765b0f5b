// What the host writes and reads on root's behalf: modes whatever the umask, state other accounts could
// change refused, configuration input bounded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "CairnHostRun.h"
#include "TestSupport.h"

using kestrel_test::ProcResult;
using kestrel_test::ReadFile;
using kestrel_test::TempDir;
using kestrel_test::WriteFile;

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

class HardeningTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(WriteFakeAgentType(dir_));
        WriteFile(config_,
                  "[cluster]\nstate_dir = \"state\"\nlog_dir = \"log\"\n\n"
                  "[types.Kestrel]\nagent_dir = \"agents\"\ndebug_tags = [19]\n\n"
                  "[resources.r1]\ntype = \"Kestrel\"\nSAPSID = \"ABC\"\n");
    }

    ProcResult Host(std::vector<std::string> args) {
        args.insert(args.begin(), {"--config", config_});
        return RunHost(args);
    }

    TempDir dir_;
    const std::string config_ = dir_ / "cluster.toml";
};

TEST_F(HardeningTest, UnderUmask000NothingCreatedIsWritableByOthers) {
    mode_t saved = ::umask(0);  // inherited by the host
    ProcResult online = Host({"online", "r1"});
    ProcResult create = Host({"svc", "create", "s1", "--", "/bin/true"});
    ::umask(saved);
    ASSERT_EQ(online.exitStatus, 0) << online.err;
    ASSERT_EQ(create.exitStatus, 0) << create.err;

    size_t seen = 0;
    for (const char* top : {"state", "log"}) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_ / top)) {
            const std::string path = entry.path().string();
            const mode_t mode = ModeOf(path) & 07777;
            ++seen;
            EXPECT_EQ(mode & 022, 0u) << path << " has mode " << std::oct << mode;
            if (path.find("/services") != std::string::npos) continue;  // 0755 and 0644, checked below
            EXPECT_EQ(mode, S_ISDIR(ModeOf(path))                         ? 0750u
                            : path.find("/cookies/") != std::string::npos ? 0600u
                                                                          : 0640u)
                << path;
        }
    }
    EXPECT_GE(seen, 7u);  // state/cookies, a cookie, services, s1, service.toml, log files and resources/
    EXPECT_EQ(ModeOf(dir_ / "state") & 07777, 0750u);
    EXPECT_EQ(ModeOf(dir_ / "state/services/s1") & 07777, 0755u);
    EXPECT_EQ(ModeOf(dir_ / "state/services/s1/service.toml") & 07777, 0644u);
    EXPECT_EQ(ModeOf(dir_ / "log/Kestrel.log") & 07777, 0640u);
}

TEST_F(HardeningTest, LogFilesPlantedAsLinksOrFifosAreSkippedNotWrittenThrough) {
    const std::string secret = dir_ / "secret";
    WriteFile(secret, "root only\n");
    std::filesystem::create_directories(dir_ / "log/resources");
    ASSERT_EQ(::symlink(secret.c_str(), (dir_ / "log/Kestrel.log").c_str()), 0);
    ASSERT_EQ(::link(secret.c_str(), (dir_ / "log/resources/r1.log").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir_ / "log/resources/@Kestrel.log").c_str(), 0600), 0);
    ProcResult run = Host({"online", "r1"});  // would wait on the FIFO for ever if it were opened plainly
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(ReadFile(secret), "root only\n");
}

TEST_F(HardeningTest, StateOtherAccountsCouldChangeIsRefusedWithExit2) {
    ASSERT_EQ(Host({"monitor", "r1"}).exitStatus, 0);
    ASSERT_EQ(Host({"svc", "create", "s1", "--", "/bin/true"}).exitStatus, 0);
    struct Case {
        std::string path;
        mode_t mode;
        uid_t owner;
        std::string expected;
    };
    const bool root = ::geteuid() == 0;
    std::vector<Case> cases = {
        {dir_ / "state", 0777, ::geteuid(),
         ": cluster.state_dir: " + dir_ / "state" + " is writable by group or others (mode 0777)"},
        {dir_ / "state/services", 0775, ::geteuid(),
         "service registry " + dir_ / "state/services" + " is writable by group or others (mode 0775)"},
    };
    if (root) cases.push_back({dir_ / "state", 0750, 4242, " is owned by uid 4242, not root"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_EQ(::chmod(c.path.c_str(), c.mode), 0);
        ASSERT_EQ(::chown(c.path.c_str(), c.owner, c.owner), 0);
        for (const std::vector<std::string>& command :
             {std::vector<std::string>{"monitor", "r1"}, std::vector<std::string>{"svc", "list"}}) {
            ProcResult run = Host(command);
            EXPECT_EQ(run.exitStatus, 2) << command[0];
            EXPECT_NE(run.err.find(c.expected), std::string::npos) << run.err;
            EXPECT_EQ(run.out, "");
        }
        ASSERT_EQ(::chmod(c.path.c_str(), 0750), 0);
        ASSERT_EQ(::chown(c.path.c_str(), ::geteuid(), ::getegid()), 0);
    }

    // A service folder opened to launch it is checked as well: one others can write is no service to run.
    ASSERT_EQ(::chmod((dir_ / "state/services/s1/service.toml").c_str(), 0666), 0);
    ProcResult start = Host({"svc", "start", "s1"});
    EXPECT_NE(start.exitStatus, 0);
    EXPECT_NE(start.err.find("access denied"), std::string::npos) << start.err;
    EXPECT_FALSE(std::filesystem::exists(dir_ / "state/services/s1/state"));
}

TEST_F(HardeningTest, ConfigurationThatIsNoBoundedRegularFileExits2AtOnce) {
    const std::string fifo = dir_ / "fifo.toml";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string big = dir_ / "big.toml";
    WriteFile(big, "");
    ASSERT_EQ(::truncate(big.c_str(), (16 << 20) + 1), 0);
    // The type definition is read with the same bounds.
    ASSERT_EQ(::truncate((dir_ / "agents/Kestrel.type.toml").c_str(), (16 << 20) + 1), 0);

    const std::pair<std::string, std::string> cases[] = {
        {"/dev/urandom", "/dev/urandom: cannot read the file: not a regular file"},
        {fifo, fifo + ": cannot read the file: not a regular file"},
        {dir_.Path(), dir_.Path() + ": cannot read the file: is a directory"},
        {big, big + ": cannot read the file: too large (16777217 bytes; at most 16777216)"},
        {config_, "Kestrel.type.toml: cannot read the file: too large (16777217 bytes; at most 16777216)"},
    };
    for (const auto& [file, expected] : cases) {
        ProcResult run = RunHost({"--config", file, "monitor", "r1"});
        EXPECT_EQ(run.exitStatus, 2) << file;
        EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
    }
}

}  // namespace
