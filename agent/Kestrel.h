// CKestrel: the agent's operations on one SAP instance for one entry-point call. Built on the entry
// point's stack; it owns nothing beyond the call.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "KestrelAttrib.h"
#include "KestrelBudget.h"
#include "KestrelEnums.h"
#include "KestrelPrograms.h"
#include "KestrelStatus.h"

class CKestrel {
  public:
    // Brings the instance online. result is the entry point's result (left 0).
    CKestrelStatus Online(CKestrelAttrib& attrib, uint32_t& result);
    // Takes the instance offline.
    CKestrelStatus Offline(CKestrelAttrib& attrib, uint32_t& result);
    // Decides the resource state (0 offline, 1 online, 2 unknown) into state.
    CKestrelStatus Monitor(CKestrelAttrib& attrib, uint32_t& state);
    // Cleans the instance by force; result is 1 when a process could not be killed.
    CKestrelStatus Clean(CKestrelAttrib& attrib, uint32_t reason, uint32_t& result);

    // Process-level check: walks the process table once and sets the ten flags and the counts.
    // The ProcMon list is extended by "JLAUNCH.EXE" during the walk for Java and Add-In and restored.
    // Failure: the snapshot could not be taken (counts and arch not written).
    CKestrelStatus GetProcessState(CKestrelAttrib& attrib, uint64_t& procCount, uint64_t& procmonCount,
                                   int32_t& arch);
    // Turns the walk into a resource state by architecture and instance type, rechecking Java launchers
    // under Monitor within timeinhand ms. Failure: a walk failed; state as the last decision left it.
    CKestrelStatus GetResourceState(CKestrelAttrib& attrib, uint32_t& state, uint32_t timeinhand);

    // Ends every remaining process of the instance. killFailed is set to 1 when a ProcMon process could
    // not be killed. timeoutMs is used in the trace only.
    CKestrelStatus Kill(CKestrelAttrib& attrib, uint32_t timeoutMs, uint32_t& killFailed);

    // What the last walk found: each well-known image (a tool is never found), and any other process of the
    // instance. For tests and diagnostics.
    bool Found(KestrelProgram image) const { return m_Found[KestrelImageIndex(image)]; }
    bool FoundInstanceProcess() const { return m_Found[kInstanceProcessFlag]; }
    void SetCurrentEP(uint32_t ep) { m_CurrentEP = ep; }

    // The budget of an entry point: (timeout - EPProgramTimeout) seconds in ms; 0 when that is not positive.
    static uint32_t BudgetMs(const CKestrelAttrib& attrib);
    // The SAP root: SAPHome before the separator that precedes SAPSID; SAPHome itself when SAPSID does not
    // occur in it or stands at its start.
    static std::wstring SapRoot(const CKestrelAttrib& attrib, bool& sidFound);

    CKestrelStatus _FirstLevelMonitor(CKestrelAttrib& attrib, uint32_t& state, uint32_t timeinhand);
    CKestrelStatus _SecondLevelMonitor(CKestrelAttrib& attrib, uint32_t& state, uint32_t timeinhand);
    CKestrelStatus _ThirdLevelMonitor(CKestrelAttrib& attrib, uint32_t& state, uint32_t timeinhand);
    CKestrelStatus _InterpretSapinfoExitCode(int32_t exitCode, uint32_t& state, const std::wstring& instType);
    CKestrelStatus _InterpretEnsmonExitCode(int32_t exitCode, uint32_t& state, const std::wstring& instType);
    // Runs jcmon with its menu dialogue and scans its answer into state. Failure: state untouched
    // (time-out: code 7, error 258).
    CKestrelStatus _RunJcmonMonitorCheck(CKestrelAttrib& attrib, uint32_t& state, uint32_t dwTimeOut);
    // Appends the action record to the instance's SAP log file. Always success.
    CKestrelStatus _LogSAP(CKestrelAttrib& attrib, uint32_t action);

    // Runs a tool as the SAP administrator with password within remainingMs; a spent budget is a time-out
    // (code 7, error 258) and nothing is started. Failure: the run's.
    CKestrelStatus _RunTool(CKestrelAttrib& attrib, const CKestrelPassword& password,
                            const std::wstring& command, const std::wstring& workDir, uint32_t remainingMs,
                            uint32_t& exitCode);
    // The same with the password decoded for this run (a monitoring tool's run is a step of its own).
    CKestrelStatus _RunTool(CKestrelAttrib& attrib, const std::wstring& command, const std::wstring& workDir,
                            uint32_t remainingMs, uint32_t& exitCode);

  private:
    // The opening of Online and Offline: marks the entry point ep, sets result to 0 and runs the
    // process-level check with the whole budget; a failure is reported as function's. Returns the check's
    // status.
    CKestrelStatus _OpeningCheck(std::string_view function, uint32_t ep, CKestrelAttrib& attrib,
                                 const CKestrelBudget& budget, uint32_t& state, uint32_t& result);
    void ClearFlags();
    // Counts and flags a matched process by its ProcMon entry against the first rows of the program table.
    void CountMatched(const std::wstring& entry, size_t rows, uint64_t& procCount);
    // Walks the process table for GetResourceState and traces the counts. Failure: the walk's (traced).
    CKestrelStatus WalkForState(CKestrelAttrib& attrib, uint64_t& procCount, uint64_t& procmonCount,
                                int32_t& arch);
    // One recheck pass for the awaited program: the pause, a new walk and the success test (addIn: Add-In's).
    // true: the recheck ends, with st the walk's failure (traced) or the test held (state 1, line written);
    // facts: the new walk's.
    bool RecheckPass(CKestrelAttrib& attrib, uint32_t& state, const wchar_t* awaited, bool addIn,
                     uint32_t& facts, CKestrelStatus& st);
    // Launcher recheck of Java and Add-In instances within budget; addIn selects the Add-In success test.
    CKestrelStatus RecheckLauncher(CKestrelAttrib& attrib, uint32_t& state, const CKestrelBudget& budget,
                                   bool addIn, bool& outOfTime);
    CKestrelStatus RecheckJcontrol(CKestrelAttrib& attrib, uint32_t& state, const CKestrelBudget& budget);
    // The facts of the last walk (KFACT_* bits) for the decision tables.
    uint32_t Facts(uint64_t procCount, uint64_t procmonCount, bool optionalOk) const;

    uint32_t m_CurrentEP = 0;
    // One flag per image (KestrelImageIndex), then the instance-process flag.
    static constexpr size_t kInstanceProcessFlag = kKestrelImageCount;
    bool m_Found[kKestrelImageCount + 1] = {};
    uint64_t m_procCount = 0;
    uint64_t m_procmonCount = 0;
};
