// Starting a program in a child process: the one fork path of the library (the command runner and the
// service manager's launcher both use it). Internal to the Linux bodies.
//
// The agent is multithreaded and may have signal handlers installed, so:
// - everything the child needs is prepared before the fork (SpawnPlan points at it); between fork and
//   execve the child makes only async-signal-safe calls on that data;
// - every signal is blocked across the fork, and the child puts back the default disposition of each signal
//   the parent had caught or ignored before it unblocks anything, so no handler of the agent ever runs in
//   the child and the program starts with default dispositions and an empty signal mask.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tern_posix {

// The child's steps, in the order they run; a failing one is reported through reportFd.
enum SpawnStage : int32_t {
    kSpawnSession = 1,    // setsid
    kSpawnIdentity = 2,   // setgroups, setgid, setuid
    kSpawnDirectory = 3,  // chdir
    kSpawnHandles = 4,    // standard handles
    kSpawnExec = 5,       // execve
};

// What the child writes to reportFd when a step fails (then it exits with 127). End of file without a
// record means execve succeeded (reportFd must be close-on-exec).
struct SpawnFailure {
    int32_t stage;
    int32_t error;  // errno of the failing call
};

// Everything the child does, prepared by the caller; the pointers must stay valid until Spawn returns.
struct SpawnPlan {
    const char* program = nullptr;  // path for execve
    char* const* argv = nullptr;    // null-terminated
    char* const* envp = nullptr;    // null-terminated
    // Before anything else the child closes holdCloseFd (its copy of the write end) and reads holdFd until
    // end of file: the parent lets it go on by closing its own write end. -1: no hold.
    int holdFd = -1;
    int holdCloseFd = -1;
    bool newSession = true;  // setsid: its own session and process group
    // setgroups(groups), setgid(gid), setuid(uid) when set.
    bool switchIdentity = false;
    uid_t uid = 0;
    gid_t gid = 0;
    const gid_t* groups = nullptr;
    size_t groupCount = 0;
    // SIGKILL when the thread that spawned the child ends (so a tool does not outlive an agent that was
    // killed). Set after the identity switch, which would clear it.
    bool killWithParent = false;
    const char* workDir = nullptr;  // chdir when not null
    int stdinFd = -1, stdoutFd = -1, stderrFd = -1;
    int reportFd = -1;  // close-on-exec write end for SpawnFailure; every other descriptor is closed at exec
    // Double fork: the program does not become a child of the caller. The returned pid is then that of the
    // intermediate process, which writes the program's pid (or -errno of the second fork) as one int32_t
    // to reportFd before any SpawnFailure, and exits 0.
    bool detached = false;

    // Points program, argv and envp at a path and null-terminated vectors the caller keeps until Spawn
    // returns.
    void SetCommand(const std::string& path, const std::vector<char*>& args, const std::vector<char*>& env) {
        program = path.c_str();
        argv = args.data();
        envp = env.data();
    }
    // Sets the identity switch (on) to uid, gid and supplementary groups the caller keeps until Spawn
    // returns.
    void SetIdentity(bool on, uid_t toUid, gid_t toGid, const std::vector<gid_t>& toGroups) {
        switchIdentity = on;
        uid = toUid;
        gid = toGid;
        groups = toGroups.data();
        groupCount = toGroups.size();
    }
};

// Forks and runs plan in the child. Returns the child's pid (the intermediate one when detached), or -1
// with errno when the fork failed. The calling thread's signal mask is the same afterwards.
pid_t Spawn(const SpawnPlan& plan);

}  // namespace tern_posix
