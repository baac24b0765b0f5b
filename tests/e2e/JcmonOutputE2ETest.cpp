// The jcmon check reads jcmon's whole answer: a verdict behind more than a mebibyte of output, or behind a
// zero byte, still counts.
#include <gtest/gtest.h>

#include <string>

#include "E2EHarness.h"

namespace {

using namespace kestrel_e2e;

class JcmonOutputE2E : public E2ETest {
  protected:
    // A running Java central instance whose jcmon prints controlToml's lines, then one Monitor call.
    E2EResult MonitorWithAnswer(const std::string& linesToml) {
        Instance& in = Install({.instance = "JC00", .type = "central", .arch = "java"});
        EXPECT_TRUE(StartInstance(in));
        WaitForImage(in, "jlaunch.exe", 2);  // dispatcher and server0
        WriteControl(in, "[jcmon]\nlines = " + linesToml + "\n");
        return Monitor(in);
    }
};

TEST_F(JcmonOutputE2E, ServerLineAfterMoreThanAMebibyteIsSeen) {
    const std::string filler(3u << 19, '-');  // 1.5 MiB in one line
    E2EResult r =
        MonitorWithAnswer(TomlList({"  0  dispatcher  11  Running", filler, "  1  server0  12  Running"}));
    EXPECT_EQ(r.State(), "ONLINE") << r.Describe().substr(0, 4096);
}

TEST_F(JcmonOutputE2E, ServerLineAfterAZeroByteIsSeen) {
    E2EResult r =
        MonitorWithAnswer("[\"  0  dispatcher  11  Running\", \"\\u0000\", \"  1  server0  12  Running\"]");
    EXPECT_EQ(r.State(), "ONLINE") << r.Describe();
}

}  // namespace
