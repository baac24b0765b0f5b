#include "KestrelInstanceWalk.h"

#include <algorithm>

#include "KestrelSteps.h"
#include "KestrelUtil.h"
#include "LibLogger.h"

// Trace lines of the walk carry the name of the operation that walks.
#define WALK_TRACE(format, ...) \
    TernLogger().Trace(__FILE__, __LINE__, function_, format __VA_OPT__(, ) __VA_ARGS__)

CKestrelLauncherEntry::~CKestrelLauncherEntry() {
    if (!added_) return;
    auto it = std::find(procMon_.rbegin(), procMon_.rend(), launcher_);
    if (it != procMon_.rend()) procMon_.erase(std::next(it).base());
}

CKestrelInstanceWalk::CKestrelInstanceWalk(const CKestrelAttrib& attrib, std::string_view function)
    : attrib_(attrib),
      function_(function),
      sysAllowed_(KestrelMayRunFromSys(attrib.GetInstTypeKind())),
      skipped_(kestrel_steps::SkippedSystemPid(function)),
      sid_(attrib.GetSAPSID()) {}

void CKestrelInstanceWalk::TraceExeNameFailure(const CKestrelStatus& st, uint32_t pid) const {
    WALK_TRACE(L"%s returned %d, 0x%.08X", L"TernProcess::GetExeName", st.GetCode(), st.GetError());
    WALK_TRACE(L"Failed to get the exe name for the process with PID [%d].", pid);
}

bool CKestrelInstanceWalk::Next(TernProcessList& list, bool traceImage, uint32_t& pid, std::wstring& path,
                                TernProcess& process, CKestrelStatus& st) {
    for (;;) {
        st = started_ ? list.GetNext(pid) : list.GetFirst(pid);
        started_ = true;
        if (st.IsFailure()) return false;
        if (pid == 0 || pid == skipped_ || !ReadAndLocate(pid, path, traceImage)) continue;
        if (Open(pid, path, process)) return true;
    }
}

bool CKestrelInstanceWalk::ReadAndLocate(uint32_t pid, std::wstring& path, bool traceImage) {
    CKestrelStatus st = TernProcess::PeekExeName(pid, raw_);
    // A process without an image, or one that has ended: told apart as the full read would.
    if (st.IsFailure()) st = TernProcess::ConfirmPeekFailure(pid, st, &cache_);
    if (st.IsFailure()) {
        TraceExeNameFailure(st, pid);
        return false;
    }
    if (traceImage) WALK_TRACE(L"Got [%hs] from GetExeName for the process with PID [%d].", raw_, pid);
    if (!upper_.MayFind(raw_, sid_)) return false;
    TernMbToWide(raw_, path);
    return Locate(path);
}

bool CKestrelInstanceWalk::Locate(const std::wstring& path) {
    const std::wstring& sid = sid_;
    const std::wstring& instName = attrib_.GetInstName();
    const size_t sidPos = upper_.Find(path, sid);
    if (sidPos == std::wstring::npos) return false;
    WALK_TRACE(L"Found SAPSID [%s] in the exe name [%s]", sid, path);
    regionPos_ = upper_.Find(path, instName, sidPos);
    throughSys_ = false;
    if (regionPos_ != std::wstring::npos) {
        WALK_TRACE(L"Found InstName [%s] in the exe name [%s]", instName, path);
        return true;
    }
    if (sysAllowed_ && (regionPos_ = upper_.Find(path, L"SYS", sidPos)) != std::wstring::npos) {
        WALK_TRACE(L"Found [SYS] in the exe name [%s]", path);
        throughSys_ = true;
        return true;
    }
    return false;
}

bool CKestrelInstanceWalk::Open(uint32_t pid, std::wstring& path, TernProcess& process) {
    std::wstring current;
    CKestrelStatus st = process.Open(pid, false, TernProcess::kAccessQuery);
    if (st.IsSuccess()) st = process.GetExeName(current);
    if (st.IsFailure()) {
        TraceExeNameFailure(st, pid);
        return false;
    }
    if (current == path) return true;
    path.swap(current);
    WALK_TRACE(L"Got [%s] from GetExeName for the process with PID [%d].", path, pid);
    return Locate(path);
}

bool CKestrelInstanceWalk::RegionHas(const std::wstring& path, const std::wstring& entry) const {
    return upper_.Find(path, entry, regionPos_) != std::wstring::npos;
}

CKestrelInstanceWalk::Owner CKestrelInstanceWalk::CheckOwner(TernProcess& process, const std::wstring& path,
                                                             std::wstring& user) {
    const uint32_t pid = process.GetPid();
    std::wstring domain;
    CKestrelStatus st = CKestrelUtil::GetProcessUserName(process, domain, user, &cache_);
    if (st.IsFailure()) {
        WALK_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::GetProcessUserName", st.GetCode(),
                   st.GetError());
        return Owner::kUnreadable;
    }
    if (!TernEqualsNoCase(domain, attrib_.GetSAPAdminDomain())) {
        WALK_TRACE(
            L"Domain name of process [%d] is [%s] which is not matching with SAPAdminDomain attribute value "
            L"[%s]",
            pid, domain, attrib_.GetSAPAdminDomain());
        return Owner::kOtherDomain;
    }
    WALK_TRACE(L"Got PID [%d] and User [%s] for process [%s].", pid, user, path);
    if (!TernEqualsNoCase(user, attrib_.GetSAPServiceUser()) &&
        !TernEqualsNoCase(user, attrib_.GetSAPAdmin()))
        return Owner::kOtherUser;
    return Owner::kSapAccount;
}
