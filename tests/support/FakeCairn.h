// A recording stand-in for the framework and cluster API, for unit tests of agent code that run without
// the real framework library. Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "CairnApi.h"

namespace fake_cairn {

struct LogMessage {
    uint32_t severity;
    std::string tag;
    uint32_t id;
    std::wstring text;
    uint32_t flags = 0;  // the agent passes none
};
struct ResLogLine {
    uint32_t debugTag;
    std::string function;
    std::string source;
    uint32_t line;
    uint32_t flags;
    std::wstring text;
};

// Everything recorded so far, and the behaviour to fake (Reset puts back these values).
struct Records {
    std::vector<LogMessage> messages;
    std::vector<ResLogLine> resLog;
    std::map<std::string, std::wstring> cookies;
    std::map<std::string, std::string> resourceTypes;  // resource -> type
    std::map<std::string, int32_t> typeAttributes;     // OnlineTimeout ... -> seconds
    std::vector<std::string> typePrograms;             // served by CairnAgGetTypePrograms as given
    std::map<std::string, CairnObjCallback> callbacks;
    int openFailures = 0;           // CairnClusterOpenLocal fails this many times
    std::string failAttributeRead;  // this attribute read fails
    std::string failRegistration;   // this registration fails
    int encodeStringResult = 0;     // non-zero: CairnAgEncodeString fails with it
    int openAttempts = 0;
    int held = 0;  // type names and error records handed out and not yet freed
    void* table[10] = {};
};
struct State : Records {
    std::mutex mutex;
};

State& Get();
// Clears records and behaviour.
void Reset();
// Reset, then the Kestrel type's four timeouts at their usual values (600, 600, 60, 120 s).
void ResetWithTypeTimeouts();
// Messages with this id, in order.
std::vector<LogMessage> MessagesWithId(uint32_t id);
// Ids of all agent-log messages, in order.
std::vector<uint32_t> MessageIds();
// Trace lines (debug tag 19) written so far.
std::vector<std::wstring> TraceLines();

}  // namespace fake_cairn
