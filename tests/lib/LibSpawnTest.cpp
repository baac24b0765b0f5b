// What a command inherits from the process that starts it: not its death (a tool dies with the agent that
// ran it), not its ignored signals, not its blocked signals.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "LibLogon.h"
#include "LibRunAs.h"
#include "LibWide.h"
#include "TestAccounts.h"

namespace {

using namespace kestrel_test;
namespace fs = std::filesystem;

// A pid written to path by the command, once it is there (0 after 10 s).
pid_t WaitForPidFile(const std::string& path) {
    for (int i = 0; i < 1000; ++i) {
        std::ifstream in(path);
        pid_t pid = 0;
        if (in >> pid && pid > 0) return pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

// Waits up to 10 s for a child (or adopted orphan) to end; its wait status, or -1 if it did not.
int ReapWithin10s(pid_t pid) {
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, 10000);
        close(fd);
        if (ready != 1) {
            kill(pid, SIGKILL);  // leave nothing behind, then report the fault
            waitpid(pid, nullptr, 0);
            return -1;
        }
    }
    int status = 0;
    return waitpid(pid, &status, 0) == pid ? status : -1;
}

TEST(TernRunCommandInheritance, ToolIsKilledWithTheProcessThatRanItAlsoAfterAnIdentitySwitch) {
    // Orphans come to this process, so the tool can be reaped here whatever becomes of it.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    TernAccount admin;
    const bool asAdmin =
        IdentityWrappersActive() && geteuid() == 0 &&
        TernLogonUser(L"kadm", L"", TernMbToWide(kAdmin.password), TernLogonType::kInteractive, admin)
            .IsSuccess();
    const TernAccount* const accounts[] = {nullptr, &admin};  // the agent's own, then kadm when possible
    for (const TernAccount* account : accounts) {
        std::string dir = (fs::temp_directory_path() / "kestrel-spawn-XXXXXX").string();
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        chmod(dir.c_str(), 0777);
        const std::string pidFile = dir + "/pid";
        pid_t runner = fork();
        if (runner == 0) {
            TernRunOptions options;
            options.account = account;
            options.commandLine = TernMbToWide("/bin/sh -c \"echo $$ > " + pidFile + "; exec sleep 60\"");
            TernRunResult result;
            TernRunCommand(options, result);
            _exit(0);
        }
        pid_t tool = WaitForPidFile(pidFile);
        kill(runner, SIGKILL);
        waitpid(runner, nullptr, 0);
        fs::remove_all(dir);
        ASSERT_GT(tool, 0);
        int status = ReapWithin10s(tool);
        ASSERT_NE(status, -1) << "the tool outlived the process that ran it";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        if (!asAdmin) break;
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

// The SigIgn and SigBlk lines of the command's own /proc status.
std::string SignalLinesOfCommand() {
    TernRunOptions options;
    options.commandLine = L"/bin/grep -E \"^Sig(Ign|Blk)\" /proc/self/status";
    TernRunResult result;
    CKestrelStatus st = TernRunCommand(options, result);
    return st.IsSuccess() ? result.output : "run failed " + std::to_string(st.GetError());
}

TEST(TernRunCommandInheritance, CommandStartsWithDefaultDispositionsAndNothingBlocked) {
    struct sigaction ignore {
    }, handler{}, oldUsr1{}, oldTerm{};
    ignore.sa_handler = SIG_IGN;
    handler.sa_handler = [](int) {};
    sigaction(SIGUSR1, &ignore, &oldUsr1);
    sigaction(SIGTERM, &handler, &oldTerm);
    sigset_t blocked, saved;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR2);
    sigaddset(&blocked, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &blocked, &saved);

    const std::string lines = SignalLinesOfCommand();

    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    sigaction(SIGUSR1, &oldUsr1, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    EXPECT_EQ(lines, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

}  // namespace
