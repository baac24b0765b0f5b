#include <cstdio>
#include <sstream>

#include "LibServiceRegistry.h"
#include "PlatformTestSupport.h"
#include "SvcCommand.h"

namespace {

using namespace tern_test;

struct Result {
    int code;
    std::string out, err;
};

Result Svc(std::vector<std::string> words) {
    words.insert(words.begin(), "svc");
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    char *outBuf = nullptr, *errBuf = nullptr;
    size_t outLen = 0, errLen = 0;
    std::FILE* out = open_memstream(&outBuf, &outLen);
    std::FILE* err = open_memstream(&errBuf, &errLen);
    int code = CairnSvcRun(static_cast<int>(words.size()), argv.data(), out, err);
    std::fclose(out);
    std::fclose(err);
    Result r{code, std::string(outBuf, outLen), std::string(errBuf, errLen)};
    std::free(outBuf);
    std::free(errBuf);
    return r;
}

class SvcCommandTest : public testing::Test {
  protected:
    void SetUp() override {
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        ::setenv("CAIRN_SERVICE_ROOT", (dir_.Path() + "/services").c_str(), 1);
    }
    void TearDown() override {
        Svc({"stop", "web"});
        ReapEnded();
        ::unsetenv("CAIRN_SERVICE_ROOT");
    }
    TempDir dir_;
};

TEST_F(SvcCommandTest, Lifecycle) {
    Result r = Svc({"create", "web", "--display-name", "Web Server", "--", ChildProgram(), "pause"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "web: created\n");
    EXPECT_EQ(Svc({"query", "Web Server"}).out, "web: STOPPED\n");

    r = Svc({"start", "web"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, testing::MatchesRegex("web: RUNNING pid [0-9]+\n"));
    r = Svc({"list"});
    EXPECT_EQ(r.code, 0);
    EXPECT_THAT(r.out, testing::MatchesRegex("web +RUNNING +[0-9]+  Web Server\n"));

    r = Svc({"delete", "web"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("cannot delete service web: the service's process is running [1056 0x00000420]"),
              std::string::npos)
        << r.err;

    r = Svc({"stop", "web"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "web: STOPPED\n");
    EXPECT_EQ(Svc({"delete", "web"}).code, 0);
    EXPECT_EQ(Svc({"list"}).out, "");
}

TEST_F(SvcCommandTest, FailuresAndUsage) {
    Result r = Svc({"start", "ghost"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("cannot start service ghost: no such service [1060 0x00000424]"), std::string::npos)
        << r.err;

    ASSERT_EQ(Svc({"create", "bad", "--", "/nonexistent/prog"}).code, 0);
    r = Svc({"start", "bad"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("program not found"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("bad/service.log"), std::string::npos) << r.err;
    EXPECT_EQ(Svc({"create", "bad", "--", "/bin/true"}).code, 1);

    // Each line a call, words split at blanks.
    for (const char* line :
         {"", "frobnicate", "create x", "create x --", "create --user", "create x --bogus -- /bin/true",
          "create x y -- /bin/true", "start", "stop a b", "list extra"}) {
        std::vector<std::string> usage;
        std::istringstream words(line);
        for (std::string w; words >> w;) usage.push_back(w);
        r = Svc(usage);
        EXPECT_EQ(r.code, 2) << line;
        EXPECT_NE(r.err.find("usage: svc create"), std::string::npos) << line;
    }
}

}  // namespace
