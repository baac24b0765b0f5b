// The logger: per-thread queues of trace lines, dumped framed; lines formatted lazily while tracing is off,
// cut at 999 characters; a queue ends with its thread.
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LibLogger.h"
#include "LibWide.h"

namespace {

// Records what the logger hands to its implementation, as "path:line function text".
class RecordingImpl : public TernLogImpl {
  public:
    explicit RecordingImpl(bool enabled = true) { enabled_ = enabled; }
    void Write(const char* p, uint32_t l, const char* f, const wchar_t* t) override {
        Add(written, p, l, f, t);
    }
    void WriteDump(const char* p, uint32_t l, const char* f, const wchar_t* t) override {
        Add(dumped, p, l, f, t);
    }
    std::vector<std::string> written, dumped;

  private:
    void Add(std::vector<std::string>& to, const char* p, uint32_t l, const char* f, const wchar_t* t) {
        std::lock_guard<std::mutex> lock(m_);
        to.push_back(std::string(p) + ":" + std::to_string(l) + " " + f + " " + TernWideToUtf8(t));
    }
    std::mutex m_;
};

class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override { logger.SetLogImpl(&impl); }
    TernThreadLogQueue logger;
    RecordingImpl impl;
};

TEST_F(LoggerTest, DumpIsFramedAndEmptiesTheQueue) {
    // Lines on a thread without a queue are lost entirely.
    logger.Trace("a/b.cpp", 1, "F", L"lost %d", 1);
    EXPECT_EQ(logger.QueuedForThisThread(), -1);
    logger.Dump();
    EXPECT_TRUE(impl.written.empty() && impl.dumped.empty());

    logger.BeginThread();
    logger.Trace("agent/KestrelAttrib.cpp", 10, "CKestrelAttrib::Parse", L"first %s", L"x");
    logger.Trace("plainname", 11, "G", L"second");
    // Write gets the full path, the queue keeps the file name only.
    EXPECT_EQ(impl.written,
              (std::vector<std::string>{"agent/KestrelAttrib.cpp:10 CKestrelAttrib::Parse first x",
                                        "plainname:11 G second"}));
    logger.Dump();
    const std::vector<std::string> framed = {
        "LibLogger:206 TernThreadLogQueue::Dump *** Start of debug information dump for troubleshooting ***",
        "KestrelAttrib.cpp:10 CKestrelAttrib::Parse first x", "plainname:11 G second",
        "LibLogger:217 TernThreadLogQueue::Dump *** End of debug information dump for troubleshooting ***"};
    EXPECT_EQ(impl.dumped, framed);
    EXPECT_EQ(logger.QueuedForThisThread(), 0);
    // A dump of an empty queue writes nothing, not even the frame; EndThread after it does nothing.
    logger.Dump();
    logger.EndThread();
    EXPECT_EQ(impl.dumped, framed);
}

TEST_F(LoggerTest, ThreadsKeepSeparateQueuesAndDumpOnlyTheirOwnLines) {
    logger.BeginThread();
    logger.Trace("f", 1, "F", L"main line");
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
    EXPECT_EQ(impl.written.size(), kThreads * kLines + 1u);
    std::thread([&] {
        logger.BeginThread();
        logger.Trace("f", 2, "F", L"other line");
        logger.Dump();
        logger.EndThread();
    }).join();
    ASSERT_EQ(impl.dumped.size(), 3u);
    EXPECT_EQ(impl.dumped[1], "f:2 F other line");
    EXPECT_EQ(logger.QueuedForThisThread(), 1);
    logger.EndThread();
}

TEST(LazyTrace, QueuedLinesDumpAsIfFormattedWhenTraced) {
    // The same lines traced with the implementation off (kept unformatted, nothing written) and on
    // (formatted at once) dump the same bytes: the cut line and arguments changed after the trace included.
    std::vector<std::string> dumps[2];
    for (int enabled = 0; enabled < 2; ++enabled) {
        TernThreadLogQueue logger;
        RecordingImpl impl(enabled == 1);
        logger.SetLogImpl(&impl);
        logger.BeginThread();
        std::wstring changing = L"before";
        std::string narrow = "nar";
        const wchar_t* none = nullptr;
        logger.Trace("agent/A.cpp", 1, "A::F", L"Got [%s] for PID [%d] (%S) %s 0x%.08X", changing, 7, narrow,
                     none, 0xBEEFu);
        changing.assign(2000, L'y');
        narrow = "changed";
        logger.Trace("B.cpp", 2, "B::G", L"%s|%d", changing, -1);  // cut to 999 characters
        logger.Trace("D.cpp", 4, "D::I", L"%-5d|%lld|%c|%.2f", 3, int64_t{-9}, L'q', 1.5);
        EXPECT_EQ(impl.written.size(), enabled == 1 ? 3u : 0u);
        EXPECT_EQ(logger.QueuedForThisThread(), 3);
        logger.Dump();
        logger.EndThread();
        dumps[enabled] = impl.dumped;
    }
    ASSERT_EQ(dumps[0].size(), 5u);
    EXPECT_EQ(dumps[0], dumps[1]);
    EXPECT_EQ(dumps[0][1], "A.cpp:1 A::F Got [before] for PID [7] (nar) (null) 0x0000BEEF");
    EXPECT_EQ(dumps[0][2], "B.cpp:2 B::G " + std::string(999, 'y'));
    EXPECT_EQ(dumps[0][3], "D.cpp:4 D::I 3    |-9|q|1.50");
}

TEST(LoggerTextStore, ManyLinesKeepTheirTextsThroughGrowthAndEmptying) {
    TernThreadLogQueue logger;
    RecordingImpl impl;
    logger.SetLogImpl(&impl);
    logger.BeginThread();
    const std::string function(TERN_FUNC);  // a compile-time name, as TERN_TRACE passes it
    for (int round = 0; round < 2; ++round) {
        impl.dumped.clear();
        constexpr int kLines = 20000;
        for (int i = 0; i < kLines; ++i)
            logger.Trace("agent/KestrelProcessCheck.cpp", 7, TERN_FUNC, L"Got [%s] for PID [%d].",
                         std::wstring(static_cast<size_t>(i % 50), L'x'), i);
        logger.Trace("a.cpp", 8, "F", L"%s", std::wstring(2000, L'y'));  // cut to the longest line
        ASSERT_EQ(logger.QueuedForThisThread(), kLines + 1);
        logger.Dump();
        ASSERT_EQ(impl.dumped.size(), kLines + 3u);
        EXPECT_EQ(impl.dumped[1], "KestrelProcessCheck.cpp:7 " + function + " Got [] for PID [0].");
        EXPECT_EQ(impl.dumped[kLines], "KestrelProcessCheck.cpp:7 " + function + " Got [" +
                                           std::string(49, 'x') + "] for PID [" + std::to_string(kLines - 1) +
                                           "].");
        EXPECT_EQ(impl.dumped[kLines + 1], "a.cpp:8 F " + std::string(999, 'y'));
        EXPECT_EQ(impl.written.back(), "a.cpp:8 F " + std::string(999, 'y'));
        EXPECT_EQ(logger.QueuedForThisThread(), 0);
    }
    logger.EndThread();
}

TEST(ThreadQueues, AThreadsQueueEndsWithTheThread) {
    // A host that runs each call on a new thread: ten thousand calls leave no queue and no memory behind.
    TernThreadLogQueue& logger = TernLogger();
    auto call = [&logger] {
        logger.BeginThread();
        for (int i = 0; i < 20; ++i)
            logger.Trace("agent/K.cpp", 1, "K::Monitor",
                         L"Got [%s] from GetExeName for the process with PID [%d].", std::wstring(80, L'p'),
                         i);
        logger.EndThread();
    };
    auto residentPages = [] {
        long size = 0, resident = 0;
        std::ifstream("/proc/self/statm") >> size >> resident;
        return resident;
    };
    const size_t queuesBefore = logger.QueueCount();
    for (int i = 0; i < 500; ++i) std::thread(call).join();  // the allocator's own room, taken once
    [[maybe_unused]] const long before = residentPages();    // read only without the address checker
    for (int i = 0; i < 10000; ++i) std::thread(call).join();
    EXPECT_EQ(logger.QueueCount(), queuesBefore);
#ifndef __SANITIZE_ADDRESS__  // the address checker holds freed memory back for a while
    // Kept queues would add some 25 kB per call (250 MB); allow a few MB of allocator noise.
    EXPECT_LT((residentPages() - before) * ::sysconf(_SC_PAGESIZE), 4L << 20);
#endif

    // A logger destroyed before a thread ends is left alone by that thread's end.
    std::thread late([] {
        {
            TernThreadLogQueue shortLived;
            shortLived.BeginThread();
        }
        TernLogger().BeginThread();
    });
    late.join();
    EXPECT_EQ(logger.QueueCount(), queuesBefore);
}

TEST(LoggerFunctionName, QualifiedNameFromPrettyFunction) {
    for (auto [pretty, name] :
         {std::pair{"CKestrelStatus CKestrelAttrib::Parse(CKestrelStatus&, int)", "CKestrelAttrib::Parse"},
          std::pair{"void KestrelShutdown()", "KestrelShutdown"},
          std::pair{"std::map<int, int> A<B>::f(int)", "A<B>::f"}, std::pair{"int* g()", "g"}})
        EXPECT_EQ(TernFunctionName(pretty), name) << pretty;
}

}  // namespace
