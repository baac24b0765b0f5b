// Appending as root in a directory another account owns: links, FIFOs and hard links planted at the path
// never make the write land elsewhere or block; and the ownership checks of directories.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "KestrelStatus.h"
#include "LibSafeFile.h"
#include "TestSupport.h"

namespace {

constexpr uid_t kAdminUid = 4242;  // the SAP administrator; no account needed, only the number
constexpr uid_t kStrangerUid = 4343;

using kestrel_test::ReadFile;
using kestrel_test::WriteFile;

// Sets the umask for its lifetime.
class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask) : saved_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(saved_); }

  private:
    mode_t saved_;
};

// <tmp>/root (root's, 0755) holding <tmp>/root/ABC/D00 and its log directory, both the administrator's, as an
// SAP instance has them; <tmp>/root/secret is a root-only file the administrator must not reach.
class SafeAppendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the directory to another account";
        ASSERT_FALSE(base_.empty());
        std::filesystem::create_directories(inst_ + "/log");
        for (const std::string& dir : {base_ + "/ABC", inst_, inst_ + "/log"}) {
            ASSERT_EQ(::chown(dir.c_str(), kAdminUid, kAdminUid), 0);
            ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
        }
        ASSERT_TRUE(WriteFile(secret_, "root only\n", 0600));
    }

    CKestrelStatus Append(const std::string& text) {
        TernAppendFile file;
        CKestrelStatus status = file.Open(log_, kAdminUid, 0644);
        if (status.IsSuccess()) {
            EXPECT_TRUE(file.Write(text).IsSuccess());
        }
        return status;
    }

    static void ExpectRefused(const CKestrelStatus& status) {
        EXPECT_EQ(status.GetCode(), 2);
        EXPECT_EQ(status.GetError(), 5u);
    }

    kestrel_test::TempDir dir_{0755};
    const std::string base_ = dir_.Path(), inst_ = base_ + "/ABC/D00",
                      log_ = inst_ + "/log/ABC_D00_logfile.log", secret_ = base_ + "/secret";
};

TEST_F(SafeAppendTest, AppendsToTheAdministratorsFileAndCreatesAMissingOneAsRoot0644) {
    {
        ScopedUmask open(0);                  // the mode must not depend on the umask
        ASSERT_TRUE(Append("").IsSuccess());  // writing nothing succeeds
        ASSERT_TRUE(Append("one\n").IsSuccess());
    }
    struct stat st {};
    ASSERT_EQ(::stat(log_.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    ASSERT_EQ(::chown(log_.c_str(), kAdminUid, kAdminUid), 0);  // SAP's own file
    ASSERT_TRUE(Append("two\n").IsSuccess());
    EXPECT_EQ(ReadFile(log_), "one\ntwo\n");

    // An errno left at EINTR by an earlier call does not make a write that succeeded happen again. In a
    // child whose file size limit ends a write that would repeat for ever.
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        TernAppendFile file;
        const bool ok = ::setrlimit(RLIMIT_FSIZE, &limit) == 0 &&
                        file.Open(log_, kAdminUid, 0644).IsSuccess() &&
                        (errno = EINTR, file.Write("three\n").IsSuccess());
        ::_exit(ok ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFile(log_), "one\ntwo\nthree\n");
}

TEST_F(SafeAppendTest, PlantedLinksAndFilesOfOthersAreNeverWrittenThrough) {
    const auto symlinkTo = [&](const std::string& target) { return ::symlink(target.c_str(), log_.c_str()); };
    const std::pair<const char*, std::function<int()>> cases[] = {
        {"symbolic link to a root-only file", [&] { return symlinkTo(secret_); }},
        {"dangling symbolic link", [&] { return symlinkTo(secret_ + ".new"); }},
        {"hard link to a root-only file", [&] { return ::link(secret_.c_str(), log_.c_str()); }},
        {"file of a third account",
         [&] { return WriteFile(log_, "", 0600) ? ::chown(log_.c_str(), kStrangerUid, kStrangerUid) : -1; }},
        {"directory", [&] { return ::mkdir(log_.c_str(), 0755); }},
    };
    for (const auto& [what, plant] : cases) {
        SCOPED_TRACE(what);
        std::filesystem::remove_all(log_);
        ASSERT_EQ(plant(), 0);
        ExpectRefused(Append("record\n"));
        EXPECT_EQ(ReadFile(secret_), "root only\n");
        EXPECT_FALSE(std::filesystem::exists(secret_ + ".new"));
    }
}

TEST_F(SafeAppendTest, AFifoIsRefusedWithoutBlockingWithOrWithoutAReader) {
    ASSERT_EQ(::mkfifo(log_.c_str(), 0666), 0);
    ExpectRefused(Append("record\n"));  // no reader: an ordinary open would wait here for ever
    int reader = ::open(log_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ExpectRefused(Append("record\n"));
    char byte = 0;
    EXPECT_LE(::read(reader, &byte, 1), 0);  // nothing reached the FIFO (EOF or nothing yet)
    ::close(reader);
}

TEST_F(SafeAppendTest, LinkedDirectoriesAreFollowedOnlyWhereOnlyRootCouldHavePutThem) {
    // The administrator replaces its log directory by a link into a root-only directory.
    const std::string rootOnly = base_ + "/rootonly";
    ASSERT_EQ(::mkdir(rootOnly.c_str(), 0700), 0);
    std::filesystem::remove_all(inst_ + "/log");
    ASSERT_EQ(::symlink(rootOnly.c_str(), (inst_ + "/log").c_str()), 0);
    ExpectRefused(Append("record\n"));
    EXPECT_TRUE(std::filesystem::is_empty(rootOnly));

    // Root links the SAP directory from somewhere else (root's directory holds the link): followed, and the
    // administrator's log directory at the far end is used.
    std::filesystem::remove_all(inst_ + "/log");
    ASSERT_EQ(::mkdir((inst_ + "/log").c_str(), 0755), 0);
    ASSERT_EQ(::symlink((base_ + "/ABC").c_str(), (base_ + "/SAPLINK").c_str()), 0);
    TernAppendFile file;
    ASSERT_TRUE(file.Open(base_ + "/SAPLINK/D00/log/ABC_D00_logfile.log", kAdminUid, 0644).IsSuccess());
    ASSERT_TRUE(file.Write("record\n").IsSuccess());
    EXPECT_EQ(ReadFile(log_), "record\n");
}

TEST_F(SafeAppendTest, OwnershipChecksAndDirectoryModes) {
    EXPECT_EQ(TernUnsafeOwnership(base_), "");
    EXPECT_EQ(TernUnsafeOwnership(inst_), "owned by uid 4242, not root");
    ASSERT_EQ(::chmod(base_.c_str(), 01777), 0);
    EXPECT_EQ(TernUnsafeOwnership(base_), "writable by group or others (mode 1777)");
    bool missing = false;
    EXPECT_NE(TernUnsafeOwnership(base_ + "/none", &missing), "");
    EXPECT_TRUE(missing);

    for (mode_t mask : {0000, 0077}) {
        ScopedUmask scoped(mask);
        const std::string made = base_ + "/made" + std::to_string(mask) + "/a/b";
        ASSERT_TRUE(TernMakeDirectories(made, 0750));
        for (const std::string& dir : {made, made.substr(0, made.size() - 2)}) {
            struct stat st {};
            ASSERT_EQ(::stat(dir.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0750u) << dir << " umask " << mask;
        }
    }
    // A relative path is made below the working directory, parents first.
    const std::string cwd = std::filesystem::current_path().string();
    ASSERT_EQ(::chdir(base_.c_str()), 0);
    const bool made = TernMakeDirectories("r/s", 0750);
    ASSERT_EQ(::chdir(cwd.c_str()), 0);
    EXPECT_TRUE(made);
    EXPECT_TRUE(std::filesystem::is_directory(base_ + "/r/s"));
}

}  // namespace
