// The process walk's cheap paths (a failed path read told apart without a pidfd, names looked up once per
// walk) and the logger's lazily formatted, per-thread queues.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "LibLogger.h"
#include "LibProcess.h"
#include "LibProcessList.h"
#include "LibWide.h"

namespace {

// Trace lines written while it is installed and enabled; dump lines always.
class Recorder : public TernLogImpl {
  public:
    void Write(const char*, uint32_t, const char* function, const wchar_t* t) override {
        if (enabled_) written.push_back(std::string(function) + " " + TernWideToUtf8(t));
    }
    void WriteDump(const char* file, uint32_t line, const char* function, const wchar_t* t) override {
        dumped.push_back(std::string(file) + ":" + std::to_string(line) + " " + function + " " +
                         TernWideToUtf8(t));
    }
    std::vector<std::string> written, dumped;
};

// The process's logger writes to this recorder (it lives as long as the logger may call it).
Recorder& ProcessRecorder() {
    static Recorder* recorder = new Recorder;
    return *recorder;
}

// Records the process logger's trace lines and gives the calling thread a queue for one test.
class ScanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TernLogger().SetLogImpl(&recorder);
        recorder.written.clear();
        recorder.SetEnabled(true);
        TernLogger().BeginThread();
    }
    void TearDown() override {
        TernLogger().EndThread();
        recorder.SetEnabled(false);
    }
    Recorder& recorder = ProcessRecorder();
};

std::vector<uint32_t> KernelThreads() {
    std::ifstream in("/proc/2/task/2/children");
    std::vector<uint32_t> pids;
    for (uint32_t pid = 0; in >> pid;) pids.push_back(pid);
    return pids;
}

TEST_F(ScanTest, AFailedPathReadIsToldApartAsTheFullReadTellsIt) {
    const uint32_t self = static_cast<uint32_t>(::getpid());
    std::wstring path;
    // Listed, then gone before it is inspected: skipped with 87, as a pidfd open would report it.
    TernProcessList list;
    pid_t child = ::fork();
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    ASSERT_TRUE(list.Open().IsSuccess());
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    uint32_t pid = 0;
    bool listed = false;
    for (CKestrelStatus st = list.GetFirst(pid); st.IsSuccess(); st = list.GetNext(pid)) {
        if (pid != static_cast<uint32_t>(child)) continue;
        listed = true;
        CKestrelStatus peek = TernProcess::PeekExeName(pid, path);
        ASSERT_TRUE(peek.IsFailure());
        CKestrelStatus st2 = TernProcess::ConfirmPeekFailure(pid, peek);
        EXPECT_EQ(st2.GetError(), 87u);
        EXPECT_EQ(recorder.written.back(),
                  "TernProcess::Open (87) Failed to open the process " + std::to_string(pid) + ".");
    }
    EXPECT_TRUE(listed);

    // A zombie has ended: 87, as the pidfd's liveness check says.
    pid_t zombie = ::fork();
    if (zombie == 0) ::_exit(0);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(zombie), &info, WEXITED | WNOWAIT), 0);
    CKestrelStatus peek = TernProcess::PeekExeName(static_cast<uint32_t>(zombie), path);
    CKestrelStatus full = TernProcess::GetExeName(static_cast<uint32_t>(zombie), path);
    const std::string fullLine = recorder.written.back();
    CKestrelStatus cheap = TernProcess::ConfirmPeekFailure(static_cast<uint32_t>(zombie), peek);
    EXPECT_EQ(cheap.GetError(), 87u);
    EXPECT_EQ(cheap.GetError(), full.GetError());
    EXPECT_EQ(recorder.written.back(), fullLine);
    ::waitpid(zombie, nullptr, 0);
    EXPECT_TRUE(TernProcess::PeekExeName(self, path).IsSuccess());
}

TEST_F(ScanTest, AKernelThreadCostsNoDescriptor) {
    const std::vector<uint32_t> threads = KernelThreads();
    if (threads.size() < 2) GTEST_SKIP() << "no kernel threads visible";
    std::wstring path;
    TernScanCache cache;
    // The first question reads the kernel's thread list (one descriptor), later ones only look it up.
    CKestrelStatus peek = TernProcess::PeekExeName(threads[0], path);
    ASSERT_EQ(peek.GetError(), 2u);
    const CKestrelStatus full = TernProcess::GetExeName(threads[0], path);
    const std::string fullLine = recorder.written.back();
    EXPECT_EQ(TernProcess::ConfirmPeekFailure(threads[0], peek, &cache).GetError(), full.GetError());
    EXPECT_EQ(recorder.written.back(), fullLine);

    // No descriptor can be opened now: a pidfd or a file read would fail with another error.
    int lowest = ::dup(0);
    ASSERT_GE(lowest, 0);
    ::close(lowest);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    CKestrelStatus cached = TernProcess::ConfirmPeekFailure(threads[1], peek, &cache);
    CKestrelStatus single = TernProcess::ConfirmPeekFailure(threads[1], peek);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(cached.GetError(), 2u);
    EXPECT_EQ(single.GetError(), 2u);
    EXPECT_EQ(recorder.written.back(),
              "TernProcess::GetExeName (2) GetModuleFileNameEx failed. pid=" + std::to_string(threads[1]));
}

TEST_F(ScanTest, TheOwnerCacheAnswersPerProcessNotPerPid) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a process under another uid";
    // Two processes of different owners asked through one cache: each gets its own owner, the same as
    // without the cache; the second time round from the cache.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t other = ::fork();
    if (other == 0) {
        if (::setuid(65534) != 0) ::_exit(1);
        ::close(ready[1]);  // tells the parent that the uid is set
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 0);
    ::close(ready[0]);
    TernScanCache cache;
    for (int round = 0; round < 2; ++round) {
        for (pid_t pid : {::getpid(), other}) {
            TernProcess process;
            ASSERT_TRUE(
                process.Open(static_cast<uint32_t>(pid), false, TernProcess::kAccessQuery).IsSuccess());
            std::wstring domain, user, plainDomain, plainUser;
            CKestrelStatus cached = process.GetUserName(domain, user, &cache);
            CKestrelStatus plain = process.GetUserName(plainDomain, plainUser);
            EXPECT_EQ(cached.GetError(), plain.GetError()) << pid;
            EXPECT_EQ(domain, plainDomain) << pid;
            EXPECT_EQ(user, plainUser) << pid;
        }
    }
    ::kill(other, SIGKILL);
    ::waitpid(other, nullptr, 0);
}

TEST(LazyTrace, QueuedLinesDumpAsIfFormattedWhenTraced) {
    // The same lines traced with the implementation off (kept unformatted) and on (formatted at once)
    // dump the same bytes: the cut line and arguments changed after the trace included.
    std::vector<std::string> dumps[2];
    for (int enabled = 0; enabled < 2; ++enabled) {
        TernThreadLogQueue logger;
        Recorder impl;
        impl.SetEnabled(enabled == 1);
        logger.SetLogImpl(&impl);
        logger.BeginThread();
        std::wstring changing = L"before";
        std::string narrow = "nar";
        const wchar_t* none = nullptr;
        logger.Trace("agent/A.cpp", 1, "A::F", L"Got [%s] for PID [%d] (%S) %s 0x%.08X", changing, 7, narrow,
                     none, 0xBEEFu);
        changing.assign(2000, L'y');
        narrow = "changed";
        logger.Trace("B.cpp", 2, "B::G", L"%s|%d", changing, -1);  // cut to kMaxLine
        logger.Trace("D.cpp", 4, "D::I", L"%-5d|%lld|%c|%.2f", 3, int64_t{-9}, L'q', 1.5);
        logger.Dump();
        logger.EndThread();
        dumps[enabled] = impl.dumped;
    }
    ASSERT_EQ(dumps[0].size(), 5u);
    EXPECT_EQ(dumps[0], dumps[1]);
    EXPECT_EQ(dumps[0][1], "A.cpp:1 A::F Got [before] for PID [7] (nar) (null) 0x0000BEEF");
    EXPECT_EQ(dumps[0][2], "B.cpp:2 B::G " + std::string(TernThreadLogQueue::kMaxLine, 'y'));
    EXPECT_EQ(dumps[0][3], "D.cpp:4 D::I 3    |-9|q|1.50");
}

// Resident set size of this process in pages.
long ResidentPages() {
    long size = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &size, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident;
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
    const size_t queuesBefore = logger.QueueCount();
    for (int i = 0; i < 500; ++i) std::thread(call).join();  // the allocator's own room, taken once
    const long before = ResidentPages();
    for (int i = 0; i < 10000; ++i) std::thread(call).join();
    const long after = ResidentPages();
    EXPECT_EQ(logger.QueueCount(), queuesBefore);
    // Kept queues would add some 25 kB per call (250 MB); allow a few MB of allocator noise.
    const long grown = (after - before) * ::sysconf(_SC_PAGESIZE);
#ifndef __SANITIZE_ADDRESS__  // the address checker holds freed memory back for a while
    EXPECT_LT(grown, 4L << 20);
#else
    (void)grown;
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

}  // namespace
