// Running a command line as an account, with a time limit, capturing its standard output and standard
// error together. One interface; the body is per platform (linux/LibRunAs_linux.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "KestrelStatus.h"
#include "LibLogon.h"
#include "LibMutex.h"  // kTernInfinite

// Default bound of the output kept; bytes beyond it are read and dropped (so the child never stalls).
inline constexpr size_t kTernDefaultMaxOutput = 1u << 20;

// The steps of a run, in order; reported to onStepDone as each one completes and in
// TernRunResult::failedStep when one fails.
enum class TernRunStep : uint32_t {
    kNone = 0,
    kEnvironment = 1,  // argument vector, program path, environment and groups prepared
    kPipes = 2,        // output pipe (and input pipe, or /dev/null) created
    kStart = 3,        // child started and executing the program
    kWait = 4,         // child ended (or was killed) and reaped
};

struct TernRunOptions {
    // Account to run as (not owned; must outlive the call). Null runs as the agent with its environment
    // unchanged. Running as another account needs root; as a non-root agent only its own account works.
    const TernAccount* account = nullptr;
    // Program and arguments, split with TernSplitCommandLine; the program is looked up on PATH when it
    // has no separator. Never given to a shell.
    std::wstring commandLine;
    // Working directory of the child; empty: the agent's own.
    std::wstring workDir;
    // Bytes for the child's standard input (then end of input); no value: /dev/null. The bytes are
    // put into the pipe before the child starts, so they must fit a pipe (64 KiB always; up to the
    // system's pipe-max-size when the pipe can be grown).
    std::optional<std::string> input;
    // Limit in nominal milliseconds (converted with TernRealMs), kTernInfinite for none.
    uint32_t timeoutMs = kTernInfinite;
    // Bytes of output kept at most.
    size_t maxOutput = kTernDefaultMaxOutput;
    // Called on the calling thread after each completed step (may be empty).
    std::function<void(TernRunStep)> onStepDone;
};

struct TernRunResult {
    // Exit status when the child exited; 128 + signal number when a signal ended it (as shells report).
    uint32_t exitCode = 0;
    // Standard output and standard error as the bytes arrived, at most maxOutput of them.
    std::string output;
    // Set when more output came than was kept; droppedBytes says how much more.
    bool outputCut = false;
    uint64_t droppedBytes = 0;
    // The step that failed (kNone on success).
    TernRunStep failedStep = TernRunStep::kNone;
    // Within a failed kPipes step: which of its parts failed.
    enum class PipePart : uint32_t {
        kNone,
        kOutput,
        kInput,
        kInputWrite,
        kOther
    } failedPipe = PipePart::kNone;
};

// Runs options.commandLine and waits for it within the limit, draining its output meanwhile.
// Success (code 0): the child ran to its end; exitCode and output are set.
// Failure: code 2 with the error of the failing step (87 for an empty command line or input that does not
// fit a pipe, 2 for a program that is not found, 267 for a working directory that cannot be entered,
// 1314 for another account without root); nothing is left running. Code 7 with 258: the limit ran out;
// the child's whole process group was killed and the child reaped; output holds what came before.
// A failed wait (code 2, step kWait) also kills and reaps the child.
// No descriptor of the agent reaches the child beyond its three standard handles.
CKestrelStatus TernRunCommand(const TernRunOptions& options, TernRunResult& result);
