// The process walk's cheap paths: the image path read without a pidfd, a failed read told apart as the full
// read tells it, a kernel thread without a descriptor.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "LibLogger.h"
#include "LibProcess.h"
#include "LibProcessList.h"
#include "LibWide.h"

namespace {

// Trace lines as "function text".
class Recorder : public TernLogImpl {
  public:
    void Write(const char*, uint32_t, const char* function, const wchar_t* t) override {
        written.push_back(std::string(function) + " " + TernWideToUtf8(t));
    }
    std::vector<std::string> written;
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
    // The cheap read gives what the process object reads.
    const uint32_t self = static_cast<uint32_t>(::getpid());
    std::wstring path = L"reused", opened;
    ASSERT_TRUE(TernProcess::PeekExeName(self, path).IsSuccess());
    ASSERT_TRUE(TernProcess::GetExeName(self, opened).IsSuccess());
    EXPECT_EQ(path, opened);

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
        // The link is missing and nothing is traced (the full read tells why).
        const size_t traced = recorder.written.size();
        CKestrelStatus peek = TernProcess::PeekExeName(pid, path);
        EXPECT_EQ(peek.GetCode(), 2);
        EXPECT_EQ(peek.GetError(), 2u);
        EXPECT_TRUE(path.empty());
        EXPECT_EQ(recorder.written.size(), traced);
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

}  // namespace
