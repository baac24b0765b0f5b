#include "KestrelDecisions.h"

#include <iterator>

namespace {

using A = KestrelProcessAction;
using L = KestrelProcessLine;

constexpr uint32_t kOpt = KFACT_OPTIONAL_OK;
constexpr uint32_t kDisp = KFACT_DISP_WORK;
constexpr uint32_t kJc = KFACT_JCONTROL;
constexpr uint32_t kJl = KFACT_JLAUNCH;
constexpr uint32_t kAll = KFACT_ALL_COUNTED;
constexpr uint32_t kPartly = KFACT_INSTANCE_PROCESS | KFACT_LAUNCHING;
constexpr uint32_t kAllOptionals = KOPT_IGSWD | KOPT_GWRD | KOPT_ICMAN;

// The own rows of every table, table after table.
constexpr KestrelProcessRow kRows[] = {
    // ABAP (from 0)
    {kOpt | kDisp | kAll, 0, A::kSet, KSTATE_ONLINE, L::kAllRunning},
    // Java (from 1)
    {kOpt | kJc | kJl | kAll, 0, A::kSet, KSTATE_ONLINE, L::kAllRunning},
    {kOpt | kJc, kJl, A::kRecheckLauncher, 0, L::kNoLauncher},
    {kJl | KFACT_LAUNCHING, kJc, A::kSet, KSTATE_UNKNOWN, L::kJcontrolNotInProcMon},
    {kJl, kJc, A::kSet, KSTATE_OFFLINE, L::kJcontrolNotInProcMon},
    // Add-In (from 5)
    {kOpt | kDisp | kJc | kJl | kAll, 0, A::kSet, KSTATE_ONLINE, L::kAllRunning},
    {kOpt | kDisp | kJc, kJl, A::kRecheckLauncherAddIn, 0, L::kNoLauncher},
    {kOpt | kDisp, kJc, A::kRecheckJcontrol, 0, L::kJcontrolNotRunning},
    {kJc | KFACT_LAUNCHING, kDisp, A::kSet, KSTATE_UNKNOWN, L::kSomeAllNotRunning},
    {kJc, kDisp, A::kSet, KSTATE_OFFLINE, L::kSomeAllNotRunning},
    // Enqueue servers (from 10)
    {kOpt | KFACT_ENSERVER | KFACT_MSG_SERVER | kAll, 0, A::kSet, KSTATE_ONLINE, L::kAllRunning},
    // Enqueue replication servers (from 11)
    {KFACT_ENREPSERVER | kAll, 0, A::kSet, KSTATE_ONLINE, L::kAllRunning},
    {kPartly, kAll, A::kSet, KSTATE_UNKNOWN, L::kSomeInstanceRunning},
    {0, 0, A::kSet, KSTATE_OFFLINE, L::kSomeAllNotRunning},
    // No architecture and no enqueue type (from 14)
    {0, 0, A::kSet, KSTATE_UNKNOWN, L::kInvalidInstance},
};
static_assert(std::size(kRows) == 15);

// The closing rows the architectures and the enqueue servers share.
constexpr KestrelProcessRow kClosingRows[] = {
    {kPartly, kAll, A::kSet, KSTATE_UNKNOWN, L::kSomeInstanceRunning},
    {0, kAll, A::kSet, KSTATE_OFFLINE, L::kTableShort},
    {0, kOpt, A::kSet, KSTATE_OFFLINE, L::kTableOptional},
    {0, 0, A::kSet, KSTATE_UNKNOWN, L::kUnknown},
};

// A table of own rows from..to; with closing lines (short, optional) the shared closing rows follow.
constexpr KestrelProcessTable Table(KestrelProcessHeader header, bool applies, uint32_t optionals,
                                    size_t from, size_t to, L shortLine = L::kUnknown,
                                    L optionalLine = L::kUnknown) {
    const bool closing = shortLine != L::kUnknown;
    return {header, applies, optionals, kRows + from, to - from, closing, shortLine, optionalLine};
}

using H = KestrelProcessHeader;
constexpr KestrelProcessTable kAbap =
    Table(H::kArchAbap, true, kAllOptionals, 0, 1, L::kSomeAllOfNotRunning, L::kListedNotRunning);
constexpr KestrelProcessTable kJava =
    Table(H::kArchJava, true, kAllOptionals, 1, 5, L::kSomeAllOfNotRunning, L::kListedTheNotRunning);
constexpr KestrelProcessTable kAddIn =
    Table(H::kArchAddIn, true, kAllOptionals, 5, 10, L::kSomeAllNotRunning, L::kListedTheNotRunning);
constexpr KestrelProcessTable kEnqueue =
    Table(H::kInstanceType, true, KOPT_GWRD, 10, 11, L::kSomeAllNotRunning, L::kListedNotRunning);
constexpr KestrelProcessTable kReplication = Table(H::kInstanceIs, true, 0, 11, 14);
constexpr KestrelProcessTable kInvalid = Table(H::kNone, true, 0, 14, 15);
// An architecture with a type other than central or dialog: the header, and the state stays.
constexpr KestrelProcessTable kAbapElse = Table(H::kArchAbap, false, 0, 14, 15);
constexpr KestrelProcessTable kJavaElse = Table(H::kArchJava, false, 0, 14, 15);
constexpr KestrelProcessTable kAddInElse = Table(H::kArchAddIn, false, 0, 14, 15);

bool Meets(const KestrelProcessRow& row, uint32_t facts) {
    return (facts & row.must) == row.must && (facts & row.mustNot) == 0;
}

}  // namespace

const KestrelProcessTable& KestrelProcessTableFor(int32_t arch, KestrelInstType type) {
    const bool centralOrDialog = KestrelIsCentralOrDialog(type);
    switch (arch) {
        case KARCH_ABAP:
            return centralOrDialog ? kAbap : kAbapElse;
        case KARCH_JAVA:
            return centralOrDialog ? kJava : kJavaElse;
        case KARCH_ADDIN:
            return centralOrDialog ? kAddIn : kAddInElse;
        default:
            if (KestrelIsEnqueueServer(type)) return kEnqueue;
            if (KestrelIsEnqueueReplication(type)) return kReplication;
            return kInvalid;
    }
}

KestrelProcessRow KestrelMatchProcessRow(const KestrelProcessTable& table, uint32_t facts) {
    for (size_t i = 0; i < table.rowCount; ++i)
        if (Meets(table.rows[i], facts)) return table.rows[i];
    if (!table.closing) return table.rows[table.rowCount - 1];
    for (KestrelProcessRow row : kClosingRows) {
        if (!Meets(row, facts)) continue;
        if (row.line == L::kTableShort) row.line = table.shortLine;
        if (row.line == L::kTableOptional) row.line = table.optionalLine;
        return row;
    }
    return kClosingRows[std::size(kClosingRows) - 1];
}

uint32_t KestrelMissingOptionals(uint32_t counting, uint32_t listed, uint32_t found) {
    return counting & listed & ~found;
}

bool KestrelLauncherRecheckUp(uint32_t facts, bool addIn) {
    const uint32_t need = kJc | kJl | kAll | (addIn ? kDisp : 0);
    return (facts & need) == need;
}

bool KestrelJcontrolRecheckNeedsLauncher(uint32_t facts) {
    return (facts & (kDisp | kJc | kJl)) == (kDisp | kJc);
}

KestrelSapinfoVerdict KestrelInterpretSapinfo(int32_t exitCode) {
    switch (exitCode) {
        case 0:
            return {KSTATE_ONLINE, KestrelSapinfoLine::kNone, {0, 0}};
        case 2:
            return {KSTATE_OFFLINE, KestrelSapinfoLine::kReturned, {20099, 1}};
        case 1:
        case 3:
        case 4:
            return {KSTATE_UNKNOWN, KestrelSapinfoLine::kReturned, {20100, 1}};
        default:
            return {KSTATE_UNKNOWN, KestrelSapinfoLine::kInvalid, {20101, 1}};
    }
}

KestrelEnsmonVerdict KestrelInterpretEnsmon(int32_t exitCode, KestrelInstType type) {
    using E = KestrelEnsmonLine;
    if (KestrelIsEnqueueServer(type)) {
        const auto g = KestrelEnsmonGroup::kServer;
        if (exitCode == 0) return {g, KSTATE_ONLINE, E::kNone, {0, 0}, {0, 0}};
        if (exitCode == 4) return {g, KSTATE_ONLINE, E::kReplicationNoPartner, {20102, 0}, {20103, 0}};
        if (exitCode == 8 || exitCode == 12) return {g, KSTATE_OFFLINE, E::kReturned, {20104, 1}, {0, 0}};
        return {g, KSTATE_UNKNOWN, E::kInvalid, {20105, 2}, {0, 0}};
    }
    if (KestrelIsEnqueueReplication(type)) {
        const auto g = KestrelEnsmonGroup::kReplication;
        if (exitCode == 0) return {g, KSTATE_ONLINE, E::kNone, {0, 0}, {0, 0}};
        if (exitCode == 8) return {g, KSTATE_UNKNOWN, E::kFailingOver, {20106, 3}, {0, 0}};
        return {g, KSTATE_UNKNOWN, E::kInvalid, {20107, 2}, {0, 0}};
    }
    return {KestrelEnsmonGroup::kNone, KSTATE_UNKNOWN, E::kNone, {0, 0}, {0, 0}};
}

bool KestrelAddInAsksJava(uint32_t abapHalf) {
    return abapHalf != KSTATE_OFFLINE;
}

uint32_t KestrelCombineAddIn(uint32_t abapHalf, uint32_t javaHalf) {
    if (abapHalf == KSTATE_ONLINE && javaHalf == KSTATE_ONLINE) return KSTATE_ONLINE;
    if (abapHalf == KSTATE_UNKNOWN && javaHalf == KSTATE_OFFLINE) return KSTATE_OFFLINE;
    return KSTATE_UNKNOWN;
}

KestrelJcmonScan KestrelScanJcmonOutput(std::wstring_view text) {
    KestrelJcmonScan s;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(L'\n', pos);
        if (end == std::wstring_view::npos) end = text.size();
        const std::wstring_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty()) continue;
        const bool running = line.find(L"Running") != std::wstring_view::npos;
        const bool stopped = line.find(L"Stopped") != std::wstring_view::npos;
        if (line.find(L"dispatcher") != std::wstring_view::npos) {
            if (running) {
                s.dispatcherRunning = true;
                if (s.serverRunning) break;
            } else if (stopped) {
                s.dispatcherStopped = true;
                break;
            }
        } else if (line.find(L"server") != std::wstring_view::npos) {
            if (running) {
                s.serverRunning = true;
                s.serverStopped = false;
                s.serverOther = false;
                if (s.dispatcherRunning) break;
            } else if (stopped) {
                s.serverStopped = true;
            } else {
                s.serverOther = true;
            }
        }
    }
    return s;
}

KestrelJcmonVerdict KestrelJudgeJcmon(const KestrelJcmonScan& s) {
    if (s.dispatcherRunning && s.serverRunning) return {KSTATE_ONLINE, KestrelJcmonLine::kRunning, {0, 0}};
    if (s.dispatcherStopped) return {KSTATE_OFFLINE, KestrelJcmonLine::kDispatcherStopped, {20122, 1}};
    if (s.serverStopped && !s.serverRunning && !s.serverOther)
        return {KSTATE_OFFLINE, KestrelJcmonLine::kServersStopped, {20123, 1}};
    return {KSTATE_UNKNOWN, KestrelJcmonLine::kUndetermined, {20124, 2}};
}

KestrelMonitorProgramVerdict KestrelInterpretMonitorProgram(uint32_t exitCode) {
    if (exitCode == 110 || exitCode == 0) return {KSTATE_ONLINE, KestrelMonitorProgramLine::kOnline, {0, 0}};
    if (exitCode == 100 || exitCode == 1)
        return {KSTATE_OFFLINE, KestrelMonitorProgramLine::kOffline, {20097, 1}};
    return {KSTATE_UNKNOWN, KestrelMonitorProgramLine::kUnknown, {20098, 1}};
}

KestrelSlmStep KestrelStepSlmCounter(int32_t n, uint32_t counter) {
    if (n <= 0) return {KestrelSlmLine::kSkipping, n, 0, false};
    const uint32_t top = static_cast<uint32_t>(n);
    if (counter == 0) counter = top;
    if (counter == 1) return {KestrelSlmLine::kSetting, n, top, true};
    const int32_t next = static_cast<int32_t>(counter - 1);
    if (counter == top) return {KestrelSlmLine::kSetting, next, counter - 1, true};
    return {KestrelSlmLine::kDecrementing, next, counter - 1, false};
}

KestrelWaitTool KestrelWaitToolFor(int32_t arch, KestrelInstType type) {
    switch (arch) {
        case KARCH_ABAP:
            return KestrelWaitTool::kSapinfo;
        case KARCH_JAVA:
            return KestrelWaitTool::kJcmon;
        case KARCH_ADDIN:
            return KestrelWaitTool::kAddIn;
        default:
            return KestrelIsStandaloneEnqueue(type) ? KestrelWaitTool::kEnsmon : KestrelWaitTool::kNone;
    }
}

KestrelWaitStep KestrelWaitAdvance(int64_t& remaining, uint32_t runMs, KestrelWaitAnswer answer,
                                   bool online) {
    using S = KestrelWaitSlot;
    using D = KestrelWaitDo;
    const int64_t run = runMs;
    KestrelWaitStep step{{}, 0, D::kDone};
    auto add = [&step](S slot) { step.slots[step.slotCount++] = slot; };
    // The loop is left: short of time with the instance not online, Online ends.
    auto leave = [&] {
        if (remaining < run && !online) {
            add(S::kAfterLoop);
            step.next = D::kEnd;
        }
        return step;
    };
    switch (answer) {
        case KestrelWaitAnswer::kStart:
            if (remaining >= run) return {{}, 0, D::kRun};
            add(S::kNotEnoughToRun);
            step.next = D::kShort;
            return step;
        case KestrelWaitAnswer::kFailed:
        case KestrelWaitAnswer::kTimedOut:
            add(S::kFailed);
            if (answer == KestrelWaitAnswer::kTimedOut) add(S::kTimedOut);
            step.next = D::kFail;
            return step;
        case KestrelWaitAnswer::kUp:
            add(S::kUp);
            return leave();
        case KestrelWaitAnswer::kLeave:
            return leave();
        case KestrelWaitAnswer::kNotYet:
            add(S::kNotYet);
            remaining -= run;
            if (remaining <= run) {
                add(S::kNotEnoughToRecheck);
                return leave();
            }
            add(S::kSleeping);
            step.next = D::kSleep;
            return step;
        case KestrelWaitAnswer::kSlept:
            remaining -= kKestrelWaitSleepMs;
            if (remaining >= run) return {{}, 0, D::kRun};
            return leave();
    }
    return step;
}

KestrelEnsmonWaitVerdict KestrelEnsmonWaitAnswer(uint32_t exitCode, KestrelInstType type) {
    if (exitCode == 0) return {KestrelWaitAnswer::kUp, KestrelEnsmonWaitLine::kNone};
    if (exitCode == 4 && KestrelIsEnqueueServer(type))
        return {KestrelWaitAnswer::kLeave, KestrelEnsmonWaitLine::kReplicationNoPartner};
    if (exitCode == 8) return {KestrelWaitAnswer::kLeave, KestrelEnsmonWaitLine::kNotReachable};
    return {KestrelWaitAnswer::kNotYet, KestrelEnsmonWaitLine::kNone};
}
