// What the agent's checks mean: the decision tables of the process-level check, the second and third
// monitor levels, the jcmon answer, the SLM countdown and Online's wait for the instance. Pure functions
// and constant tables: no I/O, no logging. The operations that call them run the tools, write the trace
// lines and messages that a decision names, and apply the state it gives.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "KestrelEnums.h"
#include "KestrelInstType.h"

// ---- Process-level check -------------------------------------------------------------------------------

// Facts of one walk of the process table, as bits.
enum : uint32_t {
    KFACT_OPTIONAL_OK = 1u << 0,  // every listed optional process that counts for the table runs
    KFACT_DISP_WORK = 1u << 1,
    KFACT_JCONTROL = 1u << 2,
    KFACT_JLAUNCH = 1u << 3,
    KFACT_MSG_SERVER = 1u << 4,
    KFACT_ENSERVER = 1u << 5,
    KFACT_ENREPSERVER = 1u << 6,
    KFACT_INSTANCE_PROCESS = 1u << 7,  // an instance process that matched no ProcMon entry
    KFACT_ALL_COUNTED = 1u << 8,       // procCount >= procmonCount
    KFACT_LAUNCHING = 1u << 9,         // the current entry point is Online or Offline
};

// The optional processes, in the order their "defined in the ProcMon but NOT Running" lines are written.
enum : uint32_t { KOPT_IGSWD = 1u << 0, KOPT_GWRD = 1u << 1, KOPT_ICMAN = 1u << 2 };

// The line a table writes before its rows.
enum class KestrelProcessHeader {
    kNone,
    kArchAbap,      // "Architecture is ABAP."
    kArchJava,      // "Architecture is Java."
    kArchAddIn,     // "Architecture is Add-In."
    kInstanceType,  // "The instance type is [%s]." (after the optional-process lines)
    kInstanceIs,    // "The instance is [%s]."
};

// The verdict line of a row.
enum class KestrelProcessLine {
    kAllRunning,            // "All the processes in the ProcMon are Running."
    kNoLauncher,            // "All the processes in the ProcMon are Running. But no jlaunch.exe is Running."
    kJcontrolNotInProcMon,  // "jcontrol.exe process in the ProcMon is NOT Running."
    kJcontrolNotRunning,    // "jcontrol.exe is NOT Running."
    kSomeInstanceRunning,   // "Some of the SAP Instance processes are Running."
    kSomeAllOfNotRunning,   // "Some/All of the processes in the ProcMon are NOT Running."
    kSomeAllNotRunning,     // "Some/All the processes in the ProcMon are NOT Running."
    kListedNotRunning,      // "Some of the processes listed in ProcMon are NOT Running."
    kListedTheNotRunning,   // "Some of the processes listed in the ProcMon are NOT Running."
    kUnknown,               // "Resource State is Unknown."
    kInvalidInstance,       // "Invalid SAP Instance."
    kTableShort,            // in the shared closing rows: the table's own "short" line
    kTableOptional,         // in the shared closing rows: the table's own "optional missing" line
};

// What a row does with the state.
enum class KestrelProcessAction {
    kSet,                   // the row's state
    kRecheckLauncher,       // launcher recheck, success test of a Java instance
    kRecheckLauncherAddIn,  // launcher recheck, success test of an Add-In instance
    kRecheckJcontrol,       // jcontrol recheck (Add-In)
};

// One row: it applies when every fact of must holds and none of mustNot. First matching row wins.
struct KestrelProcessRow {
    uint32_t must;
    uint32_t mustNot;
    KestrelProcessAction action;
    uint32_t state;  // for kSet
    KestrelProcessLine line;
};

// The table of one architecture or instance-type group: its own rows, then (closing) the rows that the
// architectures and the enqueue servers share: partly running under Online or Offline (2), short (0, the
// table's short line), an optional process missing (0, its optional line), otherwise unknown (2).
struct KestrelProcessTable {
    KestrelProcessHeader header;
    bool applies;            // false: the header is written and the state is left as it was
    uint32_t optionalCount;  // the optional processes that count for KFACT_OPTIONAL_OK (KOPT_* bits)
    const KestrelProcessRow* rows;
    size_t rowCount;
    bool closing;  // the shared closing rows follow
    KestrelProcessLine shortLine;
    KestrelProcessLine optionalLine;
};

// The table for an architecture (KARCH_*) and instance type.
const KestrelProcessTable& KestrelProcessTableFor(int32_t arch, KestrelInstType type);
// The first row of table whose conditions the facts meet (every table ends with an unconditional row), with
// the table's own lines in the closing rows.
KestrelProcessRow KestrelMatchProcessRow(const KestrelProcessTable& table, uint32_t facts);
// The optional processes (KOPT_* bits) that count, are listed in ProcMon and were not found.
uint32_t KestrelMissingOptionals(uint32_t counting, uint32_t listed, uint32_t found);
// The success test of a launcher recheck: Java (jcontrol, jlaunch, all counted), Add-In also disp+work.
bool KestrelLauncherRecheckUp(uint32_t facts, bool addIn);
// During a jcontrol recheck: disp+work and jcontrol run, jlaunch does not (a launcher recheck follows).
bool KestrelJcontrolRecheckNeedsLauncher(uint32_t facts);

// ---- Second level -----------------------------------------------------------------------------------------

// An agent-log message named by a decision: id 0 means none. console: a console message follows.
struct KestrelMessage {
    uint32_t id;
    uint32_t severity;
};

// What a sapinfo exit code means.
enum class KestrelSapinfoLine { kNone, kReturned, kInvalid };
struct KestrelSapinfoVerdict {
    uint32_t state;
    KestrelSapinfoLine line;  // "sapinfo.exe returned with exitcode [%d]." / "... invalid exitcode [%d]."
    KestrelMessage message;
};
KestrelSapinfoVerdict KestrelInterpretSapinfo(int32_t exitCode);

// What an ensmon exit code means for an instance type.
enum class KestrelEnsmonGroup { kNone, kServer, kReplication };
enum class KestrelEnsmonLine {
    kNone,
    kReplicationNoPartner,  // "Replication is enabled in server, but no repl. server is connected."
                            // (+console)
    kReturned,              // "ensmon.exe returned with exitcode [%d]."
    kInvalid,               // "ensmon.exe returned with invalid exitcode [%d]."
    kFailingOver,           // "... invalid exitcode [%d]. Enqueue Server might be failing over or Offline."
};
struct KestrelEnsmonVerdict {
    KestrelEnsmonGroup group;  // kNone: the state is not touched
    uint32_t state;
    KestrelEnsmonLine line;
    KestrelMessage message;
    KestrelMessage console;  // id 0: none
};
KestrelEnsmonVerdict KestrelInterpretEnsmon(int32_t exitCode, KestrelInstType type);

// Add-In: jcmon is asked only when sapinfo did not say offline.
bool KestrelAddInAsksJava(uint32_t abapHalf);
// Add-In: the state from the sapinfo half and the jcmon half.
uint32_t KestrelCombineAddIn(uint32_t abapHalf, uint32_t javaHalf);

// ---- jcmon ------------------------------------------------------------------------------------------------

struct KestrelJcmonScan {
    bool dispatcherRunning = false;
    bool dispatcherStopped = false;
    bool serverRunning = false;
    bool serverStopped = false;
    bool serverOther = false;
};
// Scans jcmon's answer line by line (empty lines vanish); comparisons are case-sensitive substrings.
KestrelJcmonScan KestrelScanJcmonOutput(std::wstring_view text);

enum class KestrelJcmonLine {
    kRunning,            // "jcmon.exe indicates Dispatcher and atleast one J2EE Server is Running ..."
    kDispatcherStopped,  // "Dispatcher Stopped for the SAP Instance."
    kServersStopped,     // "All J2EE Servers Stopped for the SAP Instance."
    kUndetermined,       // "The status of the SAP Instance couldn't be determined with jcmon.exe."
};
struct KestrelJcmonVerdict {
    uint32_t state;
    KestrelJcmonLine line;
    KestrelMessage message;
};
KestrelJcmonVerdict KestrelJudgeJcmon(const KestrelJcmonScan& scan);

// ---- Third level ------------------------------------------------------------------------------------------

enum class KestrelMonitorProgramLine { kOnline, kOffline, kUnknown };
struct KestrelMonitorProgramVerdict {
    uint32_t state;
    KestrelMonitorProgramLine line;
    KestrelMessage message;
};
KestrelMonitorProgramVerdict KestrelInterpretMonitorProgram(uint32_t exitCode);

// ---- Monitor's SLM countdown ------------------------------------------------------------------------------

enum class KestrelSlmLine { kSkipping, kSetting, kDecrementing };
struct KestrelSlmStep {
    KestrelSlmLine line;
    int32_t lineValue;  // the number the line carries
    uint32_t store;     // the value written to the countdown
    bool runSecond;     // the second level runs in this cycle
};
// n is SecondLevelMonitor, counter the value read (0 when the read failed and nothing was read).
KestrelSlmStep KestrelStepSlmCounter(int32_t n, uint32_t counter);

// ---- Online's wait for the instance -----------------------------------------------------------------------

// Which tool Online waits with.
enum class KestrelWaitTool { kNone, kSapinfo, kJcmon, kAddIn, kEnsmon };
KestrelWaitTool KestrelWaitToolFor(int32_t arch, KestrelInstType type);

// The lines of one check loop, in the order a loop may write them.
enum class KestrelWaitSlot {
    kNotEnoughToRun,      // less than one run's time when the loop begins
    kFailed,              // the run failed (trace only)
    kTimedOut,            // ... and it timed out
    kUp,                  // the tool says the instance is up
    kNotYet,              // trace only
    kNotEnoughToRecheck,  // no time for another run
    kSleeping,            // trace only
    kAfterLoop,           // the loop ended short of time with the instance not online
};

// What the tool answered (kStart begins the loop, kSlept follows a pause).
enum class KestrelWaitAnswer { kStart, kUp, kLeave, kNotYet, kFailed, kTimedOut, kSlept };
// What to do next.
enum class KestrelWaitDo {
    kRun,    // run the tool
    kSleep,  // pause, then answer kSlept
    kShort,  // not enough time to begin: the branch ends Online or goes on to the SAP log record
    kFail,   // the run failed: Online ends with its status cleared
    kEnd,    // Online ends (no SAP log record)
    kDone,   // the branch is over: go on
};
struct KestrelWaitStep {
    std::array<KestrelWaitSlot, 3> slots;
    size_t slotCount;
    KestrelWaitDo next;
};
inline constexpr uint32_t kKestrelWaitSleepMs = 5000;
// One step of a check loop with run time runMs. remaining counts down by fixed amounts, not by the
// clock: runMs per answer that is not "up", kKestrelWaitSleepMs per pause. online: the resource state is 1.
KestrelWaitStep KestrelWaitAdvance(int64_t& remaining, uint32_t runMs, KestrelWaitAnswer answer, bool online);

// What an ensmon answer means while Online waits.
enum class KestrelEnsmonWaitLine { kNone, kReplicationNoPartner, kNotReachable };
struct KestrelEnsmonWaitVerdict {
    KestrelWaitAnswer answer;  // kUp, kLeave or kNotYet
    KestrelEnsmonWaitLine line;
};
KestrelEnsmonWaitVerdict KestrelEnsmonWaitAnswer(uint32_t exitCode, KestrelInstType type);
