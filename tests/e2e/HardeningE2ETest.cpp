// The SAP action log lies in a directory of the SAP administrator: what that account plants at its path
// never makes the agent (root) write elsewhere or wait, and the entry points go on as with a missing file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "E2EHarness.h"

using namespace kestrel_e2e;

namespace {

class HardeningE2E : public E2ETest {};

TEST_F(HardeningE2E, ALinkOrAFifoPlantedAtTheSapLogIsNeitherWrittenThroughNorWaitedOn) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    const std::string log = in.SapLogPath();
    const std::string expected = "Failed to open the SAP log file [" + log + "], Check file permissions.";
    const std::string secret = Root() + "/root-only";
    ASSERT_TRUE(WriteFile(secret, "root only\n", 0600));
    ASSERT_EQ(symlink(secret.c_str(), log.c_str()), 0) << strerror(errno);

    // Online may end before its record when the machine is slow (its wait for the instance runs out), so the
    // records checked are those of Offline and Clean, which are always written.
    // A failed record never fails the entry point (20132, 20134, 20138).
    E2EResult on = Online(in);
    ASSERT_EQ(on.State(), "ONLINE") << on.Describe();
    EXPECT_FALSE(on.HasMessage(20132)) << on.Describe();
    E2EResult off = Run("offline", in.resource);
    ASSERT_EQ(off.exitStatus, 0) << off.Describe();
    ExpectMessage(off, 20125, 1, expected);
    EXPECT_FALSE(off.HasMessage(20134)) << off.Describe();
    EXPECT_EQ(ReadFile(secret), "root only\n");

    // A FIFO nobody reads: an ordinary open for writing would wait for a reader for ever.
    ASSERT_EQ(unlink(log.c_str()), 0);
    ASSERT_EQ(mkfifo(log.c_str(), 0666), 0) << strerror(errno);
    ASSERT_EQ(chown(log.c_str(), kAdminAccount.uid, kGid), 0);
    E2EResult clean = Run("clean", in.resource);
    EXPECT_FALSE(clean.timedOut);
    EXPECT_EQ(clean.exitStatus, 0) << clean.Describe();
    ExpectMessage(clean, 20125, 1, expected);
    EXPECT_FALSE(clean.HasMessage(20138)) << clean.Describe();
}

}  // namespace
