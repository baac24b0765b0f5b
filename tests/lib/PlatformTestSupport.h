// Shared pieces of the process and service tests: a temporary folder, child processes that are always
// ended and reaped, and the trace lines the library wrote.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "FakeCairn.h"
#include "LibLogger.h"
#include "LibWide.h"
#include "TestSupport.h"

extern char** environ;

namespace tern_test {

#ifdef TERN_TEST_CHILD
// Path of the helper program (tests/lib/TernTestChild.cpp).
inline const char* ChildProgram() {
    return TERN_TEST_CHILD;
}
#endif

using kestrel_test::TempDir;

inline int PidfdOpen(pid_t pid, unsigned flags) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, flags));
}

// Starts the helper (or another program) as a direct child; Kill ends and reaps it.
inline pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

// Ends and reaps a direct child; returns its wait status.
inline int KillAndReap(pid_t pid) {
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Reaps every ended child (services end up as children of the test program, which is a subreaper).
inline void ReapEnded() {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// Routes trace lines of this thread to the recording stand-in framework, from a clean record.
inline void CaptureTraces() {
    static TernLogAgfwImpl impl(20, 19);
    TernLogger().SetLogImpl(&impl);
    TernLogger().BeginThread();
    TernLogger().EndThread();
    fake_cairn::Reset();
}

inline std::vector<std::wstring> Traces() {
    return fake_cairn::TraceLines();
}
inline bool HasTrace(const std::wstring& line) {
    const auto t = Traces();
    return std::find(t.begin(), t.end(), line) != t.end();
}
inline std::string TracesText() {
    std::string s;
    for (auto& l : Traces()) s += TernWideToUtf8(l) + "\n";
    return s;
}

}  // namespace tern_test
