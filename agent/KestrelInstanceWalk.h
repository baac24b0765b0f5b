// What the process-level check and Kill share: where in a process's image path the instance's directory
// starts, how a process found there is opened, and whether its owner is one of the SAP accounts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "KestrelAttrib.h"
#include "KestrelPrograms.h"
#include "KestrelStatus.h"
#include "LibProcess.h"
#include "LibProcessList.h"
#include "LibWide.h"

// Adds the launcher entry (the launcher's first configured name in upper case, "JLAUNCH.EXE" by default) to
// a Java or Add-In instance's ProcMon list for the length of one walk and removes it again when it goes out
// of scope, on every way out. Borrows procMon.
class CKestrelLauncherEntry {
  public:
    CKestrelLauncherEntry(std::vector<std::wstring>& procMon, bool add)
        : procMon_(procMon),
          added_(add),
          launcher_(TernToUpper(KestrelProgramName(KestrelProgram::kJlaunch))) {
        if (added_) procMon_.push_back(launcher_);
    }
    ~CKestrelLauncherEntry();
    CKestrelLauncherEntry(const CKestrelLauncherEntry&) = delete;
    CKestrelLauncherEntry& operator=(const CKestrelLauncherEntry&) = delete;

  private:
    std::vector<std::wstring>& procMon_;
    const bool added_;
    const std::wstring launcher_;
};

class CKestrelInstanceWalk {
  public:
    // Owner verdicts, in the order the checks run.
    enum class Owner { kUnreadable, kOtherDomain, kOtherUser, kSapAccount };

    // Borrows attrib for the length of the walk. function (static storage, e.g. TERN_FUNC) names the walking
    // operation on the trace lines written here, as if that operation wrote them. Traces the OS version,
    // which decides the system process the walk passes over.
    CKestrelInstanceWalk(const CKestrelAttrib& attrib, std::string_view function);

    // The next process of list (borrowed, open; GetFirst on the first call, GetNext after) whose image lies
    // in the instance, opened into process: PID 0, the system process and every process whose path lies
    // elsewhere or cannot be read or opened are passed over (their lines traced). traceImage writes the "Got
    // [...] from GetExeName ..." line for every path read. path = the image path of the process. false when
    // the list ends or fails: st then holds GetFirst's or GetNext's status.
    bool Next(TernProcessList& list, bool traceImage, uint32_t& pid, std::wstring& path, TernProcess& process,
              CKestrelStatus& st);
    // true when the region of the last located path contains entry (an upper-case ProcMon entry).
    bool RegionHas(const std::wstring& path, const std::wstring& entry) const;
    // Region of the last located path found through "SYS" (not InstName).
    bool ThroughSys() const { return throughSys_; }
    // The program rows that apply to the last located path: 9 in the instance directory, 8 in SYS.
    size_t Rows() const { return throughSys_ ? 8 : 9; }
    // Reads the owner through the open process and compares it with the SAP accounts. Writes the failure
    // line of the lookup, the domain mismatch line and "Got PID [%d] and User [%s] for process [%s].";
    // the callers add their own lines. Account names are looked up once per walk.
    Owner CheckOwner(TernProcess& process, const std::wstring& path, std::wstring& user);

  private:
    // Reads the image path of pid cheaply (no pidfd) and places it as Locate does; traceImage writes the
    // "Got [...] from GetExeName ..." line for every path read. Most paths are turned down on their bytes,
    // without conversion; path = the wide form of one that may lie in the instance. false when the path
    // cannot be read (the lines of a failed GetExeName are traced; one or two /proc queries tell why, as
    // the full read would) or lies elsewhere.
    bool ReadAndLocate(uint32_t pid, std::wstring& path, bool traceImage);
    // true when the path lies in the instance's directories: SAPSID, then InstName or (for the types that
    // may run from the kernel directory) "SYS". Writes the "Found ..." lines and remembers the region.
    bool Locate(const std::wstring& path);
    // Opens a process that Locate placed in the instance and reads its path again through the pidfd: a
    // process that executed another image, or a PID taken by a later process, is judged by what is open now.
    // false when it cannot be opened or no longer lies in the instance (failures traced).
    bool Open(uint32_t pid, std::wstring& path, TernProcess& process);
    void TraceExeNameFailure(const CKestrelStatus& st, uint32_t pid) const;

    const CKestrelAttrib& attrib_;
    const std::string_view function_;
    const bool sysAllowed_;
    const uint32_t skipped_;  // the system process's PID
    const std::wstring& sid_;
    const TernUpperFinder upper_;
    size_t regionPos_ = 0;
    bool throughSys_ = false;
    TernScanCache cache_;   // what the walk looks up once
    std::string raw_;       // the last path read, in the system's bytes
    bool started_ = false;  // Next has taken the list's first PID
};
