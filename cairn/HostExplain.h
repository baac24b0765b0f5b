// How a Monitor's verdict came about, read from the agent's own trace lines of that call. Nothing of the
// agent's decisions is made again here: the facts are the lines the agent wrote, matched on their texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "CairnHost.h"

namespace cairn::host {

// One trace line of the call and when the host received it (milliseconds since the call began).
struct TimedTrace {
    uint64_t atMs = 0;
    std::string function;
    std::string text;
};

struct ExplainFacts {
    struct Process {
        int64_t pid = 0;
        std::string image;    // full path of the executable
        std::string owner;    // account
        std::string procMon;  // the ProcMon entry it matched, empty when none
    };
    struct Tool {
        std::string command;
        std::optional<int64_t> exitCode;  // when the agent traced it
        uint64_t ms = 0;                  // from its start to the agent's next step
        std::string failure;              // the agent's line when the run failed
    };
    struct Level {
        bool ran = false;
        std::string why;      // why it did not run, or what it found
        std::string verdict;  // "online", "not online", "" when unknown
    };
    std::vector<Process> processes;
    std::vector<std::string> procMon;       // the entries checked (as the agent spelled them)
    std::vector<std::string> missing;       // entries no process matched
    std::vector<std::string> processCheck;  // the agent's summary lines of the process check
    std::string service;                    // the start service's name, empty when not checked
    std::string serviceState;               // "running", "stopped", "unknown"
    Level first, second, third;
    std::vector<Tool> tools;
};

// The facts of one Monitor call's trace lines, in the order written.
ExplainFacts ExplainFromTrace(const std::vector<TimedTrace>& lines);

// The facts in plain words, one line per fact (lines end in a line feed).
std::string ExplainText(const ExplainFacts& facts);
// The facts as the fields of a JSON object ("processes": [...], ..., "tools": [...]), without braces, so the
// caller can put them beside its own fields.
std::string ExplainJsonFields(const ExplainFacts& facts);

}  // namespace cairn::host
