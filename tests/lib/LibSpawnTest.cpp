// What a command inherits from the process that starts it: not its death (a tool dies with the agent that
// ran it), not its ignored signals, not its blocked signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "LibLogon.h"
#include "LibRunAs.h"
#include "LibWide.h"
#include "TestAccounts.h"

namespace {

using namespace kestrel_test;
using std::chrono::milliseconds;

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
        TempDir dir(0777);
        const std::string pidFile = dir / "pid";
        pid_t runner = fork();
        if (runner == 0) {
            TernRunOptions options;
            options.account = account;
            options.commandLine = TernMbToWide("/bin/sh -c \"echo $$ > " + pidFile + "; exec sleep 60\"");
            TernRunResult result;
            TernRunCommand(options, result);
            _exit(0);
        }
        pid_t tool = 0;
        for (int i = 0; i < 1000 && !(std::ifstream(pidFile) >> tool); ++i)
            std::this_thread::sleep_for(milliseconds(10));
        kill(runner, SIGKILL);
        waitpid(runner, nullptr, 0);
        ASSERT_GT(tool, 0);
        // The orphaned tool is this process's child now: it must end within 10 s.
        int status = 0;
        pid_t reaped = 0;
        for (int i = 0; i < 1000 && reaped != tool; ++i, std::this_thread::sleep_for(milliseconds(10)))
            reaped = waitpid(tool, &status, WNOHANG);
        if (reaped != tool) kill(tool, SIGKILL), waitpid(tool, nullptr, 0);
        ASSERT_EQ(reaped, tool) << "the tool outlived the process that ran it";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        if (!asAdmin) break;
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
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

    TernRunOptions options;
    options.commandLine = L"/bin/grep -E \"^Sig(Ign|Blk)\" /proc/self/status";
    TernRunResult result;
    CKestrelStatus st = TernRunCommand(options, result);

    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    sigaction(SIGUSR1, &oldUsr1, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    ASSERT_TRUE(st.IsSuccess()) << st.GetError();
    EXPECT_EQ(result.output, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

}  // namespace
