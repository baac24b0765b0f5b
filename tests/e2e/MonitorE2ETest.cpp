// Monitor end to end: cairnagent monitor against sapsim instances with real processes and services.
#include <gtest/gtest.h>

#include "E2EHarness.h"

using namespace kestrel_e2e;

namespace {

class MonitorE2E : public E2ETest {};

TEST_F(MonitorE2E, CentralAbapInstanceIsOnlineWithItsProcessesAndServiceAndOfflineWithout) {
    Instance& in = Install({.instance = "DVEBMGS00", .type = "central"});
    E2EResult down = Monitor(in);
    EXPECT_EQ(down.exitStatus, 0) << down.Describe();
    EXPECT_EQ(down.State(), "OFFLINE") << down.Describe();

    ASSERT_TRUE(StartInstance(in));
    E2EResult up = Monitor(in);
    EXPECT_EQ(up.exitStatus, 0) << up.Describe();
    EXPECT_EQ(up.State(), "ONLINE") << up.Describe();
    EXPECT_EQ(up.Result("Monitor"), 1);
}

}  // namespace
