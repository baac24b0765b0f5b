#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "LibLogger.h"

namespace {

// Records what the logger hands to its implementation.
class RecordingImpl : public TernLogImpl {
  public:
    struct Line {
        std::string path;
        uint32_t line;
        std::string function;
        std::wstring text;
        bool dump;
    };
    RecordingImpl() { enabled_ = true; }
    void Write(const char* p, uint32_t l, const char* f, const wchar_t* t) override {
        std::lock_guard<std::mutex> lock(m);
        lines.push_back({p, l, f, t, false});
    }
    void WriteDump(const char* p, uint32_t l, const char* f, const wchar_t* t) override {
        std::lock_guard<std::mutex> lock(m);
        lines.push_back({p, l, f, t, true});
    }
    std::vector<Line> Dumped() {
        std::vector<Line> r;
        for (auto& l : lines)
            if (l.dump) r.push_back(l);
        return r;
    }
    std::mutex m;
    std::vector<Line> lines;
};

class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override { logger.SetLogImpl(&impl); }
    TernThreadLogQueue logger;
    RecordingImpl impl;
};

TEST_F(LoggerTest, LinesOnThreadWithoutQueueAreLostEntirely) {
    logger.Trace("a/b.cpp", 1, "F", L"lost %d", 1);
    EXPECT_TRUE(impl.lines.empty());
    EXPECT_EQ(logger.QueuedForThisThread(), -1);
    logger.Dump();
    EXPECT_TRUE(impl.lines.empty());
}

TEST_F(LoggerTest, DumpIsFramedAndEmptiesTheQueue) {
    logger.BeginThread();
    logger.Trace("agent/KestrelAttrib.cpp", 10, "CKestrelAttrib::Parse", L"first %s", L"x");
    logger.Trace("plainname", 11, "G", L"second");
    ASSERT_EQ(impl.lines.size(), 2u);
    EXPECT_EQ(impl.lines[0].path, "agent/KestrelAttrib.cpp");  // Write gets the full path
    logger.Dump();
    auto d = impl.Dumped();
    ASSERT_EQ(d.size(), 4u);
    EXPECT_EQ(d[0].text, L"*** Start of debug information dump for troubleshooting ***");
    EXPECT_EQ(d[0].path, "LibLogger");
    EXPECT_EQ(d[0].line, 206u);
    EXPECT_EQ(d[0].function, "TernThreadLogQueue::Dump");
    EXPECT_EQ(d[1].path, "KestrelAttrib.cpp");  // the queue keeps the file name only
    EXPECT_EQ(d[1].function, "CKestrelAttrib::Parse");
    EXPECT_EQ(d[1].text, L"first x");
    EXPECT_EQ(d[2].path, "plainname");
    EXPECT_EQ(d[3].text, L"*** End of debug information dump for troubleshooting ***");
    EXPECT_EQ(d[3].line, 217u);
    EXPECT_EQ(logger.QueuedForThisThread(), 0);
    // A dump of an empty queue writes nothing, not even the frame; EndThread after it does nothing.
    logger.Dump();
    logger.EndThread();
    EXPECT_EQ(impl.Dumped().size(), 4u);
}

TEST_F(LoggerTest, LongLinesAreCutAt999Characters) {
    logger.BeginThread();
    std::wstring big(1200, L'x');
    logger.Trace("f", 1, "F", L"%s", big);
    ASSERT_EQ(impl.lines.size(), 1u);
    EXPECT_EQ(impl.lines[0].text.size(), 999u);
    logger.Dump();
    EXPECT_EQ(impl.Dumped()[1].text.size(), 999u);
    logger.EndThread();
}

TEST_F(LoggerTest, DisabledImplementationStillQueues) {
    impl.SetEnabled(false);
    logger.BeginThread();
    logger.Trace("f", 1, "F", L"kept");
    EXPECT_TRUE(impl.lines.empty());
    EXPECT_EQ(logger.QueuedForThisThread(), 1);
    logger.Dump();
    EXPECT_EQ(impl.Dumped().size(), 3u);
    logger.EndThread();
}

TEST_F(LoggerTest, ThreadsKeepSeparateQueues) {
    constexpr int kThreads = 8, kLines = 200;
    std::vector<std::thread> threads;
    std::vector<long> counts(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            logger.BeginThread();
            for (int i = 0; i < kLines; ++i) logger.Trace("f", i, "F", L"thread %d line %d", t, i);
            counts[t] = logger.QueuedForThisThread();
            logger.EndThread();
        });
    }
    for (auto& th : threads) th.join();
    for (long c : counts) EXPECT_EQ(c, kLines);
    EXPECT_EQ(impl.lines.size(), static_cast<size_t>(kThreads * kLines));
}

TEST_F(LoggerTest, DumpOnOneThreadHoldsOnlyItsLines) {
    logger.BeginThread();
    logger.Trace("f", 1, "F", L"main line");
    std::thread other([&] {
        logger.BeginThread();
        logger.Trace("f", 2, "F", L"other line");
        logger.Dump();
        logger.EndThread();
    });
    other.join();
    auto d = impl.Dumped();
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(d[1].text, L"other line");
    EXPECT_EQ(logger.QueuedForThisThread(), 1);
    logger.EndThread();
}

TEST(LoggerFunctionName, QualifiedNameFromPrettyFunction) {
    EXPECT_EQ(TernFunctionName("CKestrelStatus CKestrelAttrib::Parse(CKestrelStatus&, int)"),
              "CKestrelAttrib::Parse");
    EXPECT_EQ(TernFunctionName("void KestrelShutdown()"), "KestrelShutdown");
    EXPECT_EQ(TernFunctionName("std::map<int, int> A<B>::f(int)"), "A<B>::f");
    EXPECT_EQ(TernFunctionName("int* g()"), "g");
}

}  // namespace
