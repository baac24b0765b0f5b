// The agent's decision tables, row by row: every row of each table is reached by one case here, so a
// flipped condition or a swapped state shows as a failing row.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "KestrelDecisions.h"

namespace {

using T = KestrelInstType;
using PL = KestrelProcessLine;
using PA = KestrelProcessAction;

constexpr uint32_t OPT = KFACT_OPTIONAL_OK, DW = KFACT_DISP_WORK, JC = KFACT_JCONTROL, JL = KFACT_JLAUNCH,
                   MS = KFACT_MSG_SERVER, EN = KFACT_ENSERVER, ER = KFACT_ENREPSERVER,
                   IP = KFACT_INSTANCE_PROCESS, ALL = KFACT_ALL_COUNTED, LA = KFACT_LAUNCHING;

// One case per row of every table, in table order; where a row has a near neighbour the facts are chosen so
// that only that row's own condition tells them apart. Architecture, type, facts, action, state (for kSet),
// trace line.
const std::tuple<int32_t, T, uint32_t, PA, uint32_t, PL> kProcessCases[] = {
    // ABAP
    {KARCH_ABAP, T::kCentral, OPT | DW | ALL, PA::kSet, KSTATE_ONLINE, PL::kAllRunning},
    {KARCH_ABAP, T::kDialog, OPT | DW | IP | LA, PA::kSet, KSTATE_UNKNOWN, PL::kSomeInstanceRunning},
    {KARCH_ABAP, T::kCentral, OPT | DW | IP, PA::kSet, KSTATE_OFFLINE, PL::kSomeAllOfNotRunning},
    {KARCH_ABAP, T::kCentral, DW | ALL, PA::kSet, KSTATE_OFFLINE, PL::kListedNotRunning},
    {KARCH_ABAP, T::kCentral, OPT | ALL, PA::kSet, KSTATE_UNKNOWN, PL::kUnknown},
    // Java
    {KARCH_JAVA, T::kCentral, OPT | JC | JL | ALL, PA::kSet, KSTATE_ONLINE, PL::kAllRunning},
    {KARCH_JAVA, T::kDialog, OPT | JC | ALL, PA::kRecheckLauncher, 0, PL::kNoLauncher},
    {KARCH_JAVA, T::kCentral, OPT | JL | ALL | LA, PA::kSet, KSTATE_UNKNOWN, PL::kJcontrolNotInProcMon},
    {KARCH_JAVA, T::kCentral, OPT | JL | ALL, PA::kSet, KSTATE_OFFLINE, PL::kJcontrolNotInProcMon},
    {KARCH_JAVA, T::kCentral, JC | IP | LA, PA::kSet, KSTATE_UNKNOWN, PL::kSomeInstanceRunning},
    {KARCH_JAVA, T::kCentral, JC | IP, PA::kSet, KSTATE_OFFLINE, PL::kSomeAllOfNotRunning},
    {KARCH_JAVA, T::kCentral, JC | JL | ALL, PA::kSet, KSTATE_OFFLINE, PL::kListedTheNotRunning},
    {KARCH_JAVA, T::kCentral, OPT | ALL, PA::kSet, KSTATE_UNKNOWN, PL::kUnknown},
    // Add-In
    {KARCH_ADDIN, T::kCentral, OPT | DW | JC | JL | ALL, PA::kSet, KSTATE_ONLINE, PL::kAllRunning},
    {KARCH_ADDIN, T::kCentral, OPT | DW | JC | ALL, PA::kRecheckLauncherAddIn, 0, PL::kNoLauncher},
    {KARCH_ADDIN, T::kDialog, OPT | DW | JL | ALL, PA::kRecheckJcontrol, 0, PL::kJcontrolNotRunning},
    {KARCH_ADDIN, T::kCentral, OPT | JC | JL | ALL | LA, PA::kSet, KSTATE_UNKNOWN, PL::kSomeAllNotRunning},
    {KARCH_ADDIN, T::kCentral, OPT | JC | JL | ALL, PA::kSet, KSTATE_OFFLINE, PL::kSomeAllNotRunning},
    {KARCH_ADDIN, T::kCentral, DW | JC | IP | LA, PA::kSet, KSTATE_UNKNOWN, PL::kSomeInstanceRunning},
    {KARCH_ADDIN, T::kCentral, DW | JC | IP, PA::kSet, KSTATE_OFFLINE, PL::kSomeAllNotRunning},
    {KARCH_ADDIN, T::kCentral, DW | JC | JL | ALL, PA::kSet, KSTATE_OFFLINE, PL::kListedTheNotRunning},
    {KARCH_ADDIN, T::kCentral, OPT | ALL, PA::kSet, KSTATE_UNKNOWN, PL::kUnknown},
    // Standalone enqueue servers
    {KARCH_NONE, T::kEnqueue, OPT | EN | MS | ALL, PA::kSet, KSTATE_ONLINE, PL::kAllRunning},
    {KARCH_NONE, T::kAenqueue, OPT | EN | IP | LA, PA::kSet, KSTATE_UNKNOWN, PL::kSomeInstanceRunning},
    {KARCH_NONE, T::kJenqueue, OPT | EN | MS | IP, PA::kSet, KSTATE_OFFLINE, PL::kSomeAllNotRunning},
    {KARCH_NONE, T::kEnqueue, EN | MS | ALL, PA::kSet, KSTATE_OFFLINE, PL::kListedNotRunning},
    {KARCH_NONE, T::kEnqueue, OPT | EN | ALL, PA::kSet, KSTATE_UNKNOWN, PL::kUnknown},
    // Enqueue replication servers
    {KARCH_NONE, T::kEnqrep, ER | ALL, PA::kSet, KSTATE_ONLINE, PL::kAllRunning},
    {KARCH_NONE, T::kAenqrep, ER | IP | LA, PA::kSet, KSTATE_UNKNOWN, PL::kSomeInstanceRunning},
    {KARCH_NONE, T::kJenqrep, ER | IP, PA::kSet, KSTATE_OFFLINE, PL::kSomeAllNotRunning},
    {KARCH_NONE, T::kEnqrep, ALL | OPT, PA::kSet, KSTATE_OFFLINE, PL::kSomeAllNotRunning},
    // No architecture and no enqueue type
    {KARCH_NONE, T::kCentral, OPT | DW | ALL, PA::kSet, KSTATE_UNKNOWN, PL::kInvalidInstance},
    {KARCH_NONE, T::kUnknown, 0, PA::kSet, KSTATE_UNKNOWN, PL::kInvalidInstance},
};

TEST(ProcessDecisions, EveryRowOfEveryTable) {
    for (const auto& [arch, type, facts, action, state, line] : kProcessCases) {
        SCOPED_TRACE(::testing::Message() << "arch " << arch << " type " << static_cast<int>(type)
                                          << " facts 0x" << std::hex << facts);
        const KestrelProcessTable& table = KestrelProcessTableFor(arch, type);
        ASSERT_TRUE(table.applies);
        const KestrelProcessRow& row = KestrelMatchProcessRow(table, facts);
        EXPECT_EQ(row.action, action);
        EXPECT_EQ(row.line, line);
        if (action == PA::kSet) {
            EXPECT_EQ(row.state, state);
        }
    }
}

TEST(ProcessDecisions, HeadersOptionalsAndTypesWithoutATable) {
    using H = KestrelProcessHeader;
    const uint32_t all3 = KOPT_IGSWD | KOPT_GWRD | KOPT_ICMAN;
    // arch, type, header, applies, optionals counted
    const std::tuple<int32_t, T, H, bool, uint32_t> rows[] = {
        {KARCH_ABAP, T::kCentral, H::kArchAbap, true, all3},
        {KARCH_ABAP, T::kEnqueue, H::kArchAbap, false, 0},
        {KARCH_JAVA, T::kDialog, H::kArchJava, true, all3},
        {KARCH_JAVA, T::kJenqrep, H::kArchJava, false, 0},
        {KARCH_ADDIN, T::kCentral, H::kArchAddIn, true, all3},
        {KARCH_ADDIN, T::kUnknown, H::kArchAddIn, false, 0},
        {KARCH_NONE, T::kEnqueue, H::kInstanceType, true, KOPT_GWRD},
        {KARCH_NONE, T::kAenqrep, H::kInstanceIs, true, 0},
        {KARCH_NONE, T::kDialog, H::kNone, true, 0},
    };
    for (const auto& [arch, type, header, applies, optionals] : rows) {
        SCOPED_TRACE(::testing::Message() << arch << " " << static_cast<int>(type));
        const KestrelProcessTable& t = KestrelProcessTableFor(arch, type);
        EXPECT_EQ(t.header, header);
        EXPECT_EQ(t.applies, applies);
        if (applies) {
            EXPECT_EQ(t.optionalCount, optionals);
        }
    }
    // Only what counts, is listed and is missing.
    EXPECT_EQ(KestrelMissingOptionals(all3, KOPT_IGSWD | KOPT_ICMAN, KOPT_ICMAN), KOPT_IGSWD);
    EXPECT_EQ(KestrelMissingOptionals(KOPT_GWRD, all3, 0), KOPT_GWRD);
    EXPECT_EQ(KestrelMissingOptionals(all3, 0, 0), 0u);
    EXPECT_EQ(KestrelMissingOptionals(all3, all3, all3), 0u);
}

TEST(ProcessDecisions, RecheckSuccessTests) {
    EXPECT_TRUE(KestrelLauncherRecheckUp(JC | JL | ALL, false));
    EXPECT_FALSE(KestrelLauncherRecheckUp(JC | JL | ALL, true));  // Add-In needs disp+work too
    EXPECT_TRUE(KestrelLauncherRecheckUp(DW | JC | JL | ALL, true));
    EXPECT_FALSE(KestrelLauncherRecheckUp(DW | JC | JL, true));  // short
    EXPECT_FALSE(KestrelLauncherRecheckUp(DW | JC | ALL, false));
    EXPECT_TRUE(KestrelJcontrolRecheckNeedsLauncher(DW | JC));
    EXPECT_FALSE(KestrelJcontrolRecheckNeedsLauncher(DW | JC | JL));
    EXPECT_FALSE(KestrelJcontrolRecheckNeedsLauncher(JC));
}

TEST(SecondLevelDecisions, SapinfoExitCodes) {
    using S = KestrelSapinfoLine;
    const std::tuple<int32_t, uint32_t, S, uint32_t> rows[] = {
        // code, state, line, message id
        {0, KSTATE_ONLINE, S::kNone, 0},          {1, KSTATE_UNKNOWN, S::kReturned, 20100},
        {2, KSTATE_OFFLINE, S::kReturned, 20099}, {3, KSTATE_UNKNOWN, S::kReturned, 20100},
        {4, KSTATE_UNKNOWN, S::kReturned, 20100}, {5, KSTATE_UNKNOWN, S::kInvalid, 20101},
        {-1, KSTATE_UNKNOWN, S::kInvalid, 20101}};
    for (const auto& [code, state, line, id] : rows) {
        const KestrelSapinfoVerdict v = KestrelInterpretSapinfo(code);
        EXPECT_EQ(v.state, state) << code;
        EXPECT_EQ(v.line, line) << code;
        EXPECT_EQ(v.message.id, id) << code;
        if (id != 0) {
            EXPECT_EQ(v.message.severity, 1u) << code;
        }
    }
}

TEST(SecondLevelDecisions, EnsmonExitCodesByInstanceType) {
    using G = KestrelEnsmonGroup;
    using E = KestrelEnsmonLine;
    // code, type, group, state, line, message id and severity, console message id
    const std::tuple<int32_t, T, G, uint32_t, E, uint32_t, uint32_t, uint32_t> rows[] = {
        {0, T::kEnqueue, G::kServer, KSTATE_ONLINE, E::kNone, 0, 0, 0},
        {4, T::kAenqueue, G::kServer, KSTATE_ONLINE, E::kReplicationNoPartner, 20102, 0, 20103},
        {8, T::kJenqueue, G::kServer, KSTATE_OFFLINE, E::kReturned, 20104, 1, 0},
        {12, T::kEnqueue, G::kServer, KSTATE_OFFLINE, E::kReturned, 20104, 1, 0},
        {1, T::kEnqueue, G::kServer, KSTATE_UNKNOWN, E::kInvalid, 20105, 2, 0},
        {0, T::kEnqrep, G::kReplication, KSTATE_ONLINE, E::kNone, 0, 0, 0},
        {8, T::kAenqrep, G::kReplication, KSTATE_UNKNOWN, E::kFailingOver, 20106, 3, 0},
        {4, T::kJenqrep, G::kReplication, KSTATE_UNKNOWN, E::kInvalid, 20107, 2, 0},
        {12, T::kEnqrep, G::kReplication, KSTATE_UNKNOWN, E::kInvalid, 20107, 2, 0},
        {0, T::kCentral, G::kNone, 0, E::kNone, 0, 0, 0},
    };
    for (const auto& [code, type, group, state, line, id, severity, console] : rows) {
        const KestrelEnsmonVerdict v = KestrelInterpretEnsmon(code, type);
        SCOPED_TRACE(::testing::Message() << code << " type " << static_cast<int>(type));
        EXPECT_EQ(v.group, group);
        if (group == G::kNone) continue;  // the state is not touched
        EXPECT_EQ(v.state, state);
        EXPECT_EQ(v.line, line);
        EXPECT_EQ(v.message.id, id);
        EXPECT_EQ(v.message.severity, severity);
        EXPECT_EQ(v.console.id, console);
    }
}

TEST(SecondLevelDecisions, AddInCombination) {
    const std::tuple<uint32_t, uint32_t, uint32_t> rows[] = {
        // ABAP, Java, combined
        {1, 1, 1}, {1, 0, 2}, {1, 2, 2}, {2, 1, 2}, {2, 0, 0}, {2, 2, 2}};
    for (const auto& [abap, java, state] : rows)
        EXPECT_EQ(KestrelCombineAddIn(abap, java), state) << abap << java;
    EXPECT_FALSE(KestrelAddInAsksJava(KSTATE_OFFLINE));
    EXPECT_TRUE(KestrelAddInAsksJava(KSTATE_ONLINE));
    EXPECT_TRUE(KestrelAddInAsksJava(KSTATE_UNKNOWN));
}

TEST(JcmonDecisions, OutputToVerdict) {
    using J = KestrelJcmonLine;
    const std::tuple<const wchar_t*, uint32_t, J, uint32_t> rows[] = {
        // output, state, line, message id
        {L"dispatcher Running\nserver0 Running\n", KSTATE_ONLINE, J::kRunning, 0},
        {L"server0 Running\n\n\ndispatcher Running", KSTATE_ONLINE, J::kRunning, 0},
        {L"dispatcher Stopped\nserver0 Running\n", KSTATE_OFFLINE, J::kDispatcherStopped, 20122},
        {L"server0 Running\ndispatcher Stopped\n", KSTATE_OFFLINE, J::kDispatcherStopped, 20122},
        {L"dispatcher Running\nserver0 Stopped\nserver1 Stopped\n", KSTATE_OFFLINE, J::kServersStopped,
         20123},
        {L"server0 Stopped\nserver1 Running\ndispatcher Running\n", KSTATE_ONLINE, J::kRunning, 0},
        {L"dispatcher Running\nserver0 Starting\n", KSTATE_UNKNOWN, J::kUndetermined, 20124},
        {L"server0 Stopped\nserver1 Starting\n", KSTATE_UNKNOWN, J::kUndetermined, 20124},
        {L"dispatcher Running\n", KSTATE_UNKNOWN, J::kUndetermined, 20124},
        {L"Dispatcher Stopped\nServer0 Stopped\n", KSTATE_UNKNOWN, J::kUndetermined, 20124},
        {L"dispatcher starting\nserver0 Stopped\n", KSTATE_OFFLINE, J::kServersStopped, 20123},
        {L"", KSTATE_UNKNOWN, J::kUndetermined, 20124},
    };
    for (const auto& [output, state, line, id] : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(output)));
        const KestrelJcmonVerdict v = KestrelJudgeJcmon(KestrelScanJcmonOutput(output));
        EXPECT_EQ(v.state, state);
        EXPECT_EQ(v.line, line);
        EXPECT_EQ(v.message.id, id);
    }
    // A server running after a stopped one clears the stopped flag; a later stopped one sets it again.
    const KestrelJcmonScan s = KestrelScanJcmonOutput(L"server0 Stopped\nserver1 Running\nserver2 Stopped\n");
    EXPECT_TRUE(s.serverRunning);
    EXPECT_TRUE(s.serverStopped);
    EXPECT_FALSE(s.serverOther);
    // The scan stops once dispatcher and a server run: later lines are not read.
    EXPECT_FALSE(KestrelScanJcmonOutput(L"dispatcher Running\nserver Running\ndispatcher Stopped\n")
                     .dispatcherStopped);
}

TEST(ThirdLevelDecisions, MonitorProgramExitCodes) {
    using M = KestrelMonitorProgramLine;
    const std::tuple<uint32_t, uint32_t, M, uint32_t> rows[] = {
        // exit code, state, line, message id
        {110, 1, M::kOnline, 0},     {0, 1, M::kOnline, 0},      {100, 0, M::kOffline, 20097},
        {1, 0, M::kOffline, 20097},  {2, 2, M::kUnknown, 20098}, {101, 2, M::kUnknown, 20098},
        {111, 2, M::kUnknown, 20098}};
    for (const auto& [code, state, line, id] : rows) {
        const KestrelMonitorProgramVerdict v = KestrelInterpretMonitorProgram(code);
        EXPECT_EQ(v.state, state) << code;
        EXPECT_EQ(v.line, line) << code;
        EXPECT_EQ(v.message.id, id) << code;
    }
}

TEST(MonitorDecisions, SlmCountdown) {
    using S = KestrelSlmLine;
    // N, counter read, line and its value, counter stored, second level runs
    const std::tuple<int32_t, uint32_t, S, int32_t, uint32_t, bool> rows[] = {
        {0, 3, S::kSkipping, 0, 0, false},     {-2, 1, S::kSkipping, -2, 0, false},
        {4, 0, S::kSetting, 3, 3, true},       {4, 4, S::kSetting, 3, 3, true},
        {4, 3, S::kDecrementing, 2, 2, false}, {4, 2, S::kDecrementing, 1, 1, false},
        {4, 1, S::kSetting, 4, 4, true},       {1, 1, S::kSetting, 1, 1, true},
        {1, 0, S::kSetting, 1, 1, true},       {2, 2, S::kSetting, 1, 1, true},
        {3, 7, S::kDecrementing, 6, 6, false},
    };
    for (const auto& [n, read, line, value, store, run] : rows) {
        SCOPED_TRACE(::testing::Message() << n << "/" << read);
        const KestrelSlmStep s = KestrelStepSlmCounter(n, read);
        EXPECT_EQ(s.line, line);
        EXPECT_EQ(s.lineValue, value);
        EXPECT_EQ(s.store, store);
        EXPECT_EQ(s.runSecond, run);
    }
    // N = 4 from a stored 4: the second level runs in cycles 1, 4, 5 and 8.
    uint32_t counter = 4;
    std::vector<bool> runs;
    for (int cycle = 0; cycle < 8; ++cycle) {
        const KestrelSlmStep s = KestrelStepSlmCounter(4, counter);
        runs.push_back(s.runSecond);
        counter = s.store;
    }
    EXPECT_EQ(runs, (std::vector<bool>{true, false, false, true, true, false, false, true}));
}

TEST(OnlineWaitDecisions, ToolByArchitectureAndType) {
    using W = KestrelWaitTool;
    EXPECT_EQ(KestrelWaitToolFor(KARCH_ABAP, T::kEnqueue), W::kSapinfo);
    EXPECT_EQ(KestrelWaitToolFor(KARCH_JAVA, T::kCentral), W::kJcmon);
    EXPECT_EQ(KestrelWaitToolFor(KARCH_ADDIN, T::kDialog), W::kAddIn);
    for (T t : {T::kEnqueue, T::kEnqrep, T::kAenqueue, T::kAenqrep, T::kJenqueue, T::kJenqrep})
        EXPECT_EQ(KestrelWaitToolFor(KARCH_NONE, t), W::kEnsmon) << static_cast<int>(t);
    EXPECT_EQ(KestrelWaitToolFor(KARCH_NONE, T::kCentral), W::kNone);
    EXPECT_EQ(KestrelWaitToolFor(KARCH_NONE, T::kUnknown), W::kNone);
}

TEST(OnlineWaitDecisions, EnsmonAnswers) {
    using A = KestrelWaitAnswer;
    using E = KestrelEnsmonWaitLine;
    const std::tuple<uint32_t, T, A, E> rows[] = {
        // exit code, type, answer, line
        {0, T::kEnqrep, A::kUp, E::kNone},
        {4, T::kEnqueue, A::kLeave, E::kReplicationNoPartner},
        {4, T::kJenqueue, A::kLeave, E::kReplicationNoPartner},
        {4, T::kEnqrep, A::kNotYet, E::kNone},  // a replication server answering 4 is not up yet
        {8, T::kAenqrep, A::kLeave, E::kNotReachable},
        {8, T::kEnqueue, A::kLeave, E::kNotReachable},
        {12, T::kEnqueue, A::kNotYet, E::kNone},
    };
    for (const auto& [code, type, answer, line] : rows) {
        const KestrelEnsmonWaitVerdict v = KestrelEnsmonWaitAnswer(code, type);
        EXPECT_EQ(v.answer, answer) << code << " " << static_cast<int>(type);
        EXPECT_EQ(v.line, line) << code << " " << static_cast<int>(type);
    }
}

// A check loop driven through the decision with a fixed list of answers (then "not yet"): the lines it
// wrote, the remaining time at each run, how it ended and with how much time left.
TEST(OnlineWaitDecisions, CheckLoopCountsDownByFixedAmounts) {
    using S = KestrelWaitSlot;
    using D = KestrelWaitDo;
    using A = KestrelWaitAnswer;
    // what, remaining, run time, answers, state online; lines, remaining at each run, end, remaining at the
    // end
    using Row = std::tuple<const char*, int64_t, uint32_t, std::vector<A>, bool, std::vector<S>,
                           std::vector<int64_t>, D, int64_t>;
    const S NY = S::kNotYet, SL = S::kSleeping;
    // clang-format off
    const Row rows[] = {
        {"never up: runs every 15 s", 60000, 10000, {}, false, {NY, SL, NY, SL, NY, SL, NY, S::kNotEnoughToRecheck, S::kAfterLoop}, {60000, 45000, 30000, 15000}, D::kEnd, 5000},
        {"up at once", 60000, 10000, {A::kUp}, false, {S::kUp}, {60000}, D::kDone, 60000},
        {"not enough to begin", 9999, 10000, {}, false, {S::kNotEnoughToRun}, {}, D::kShort, 9999},
        {"a failed run ends the wait", 60000, 15000, {A::kNotYet, A::kFailed}, false, {NY, SL, S::kFailed}, {60000, 40000}, D::kFail, 40000},
        {"so does a timed-out one", 60000, 15000, {A::kTimedOut}, false, {S::kFailed, S::kTimedOut}, {60000}, D::kFail, 60000},
        {"ensmon leaves without a line", 60000, 10000, {A::kLeave}, false, {}, {60000}, D::kDone, 60000},
        {"one run's time left: no recheck, not short", 20000, 10000, {}, false, {NY, S::kNotEnoughToRecheck}, {20000}, D::kDone, 10000},
        {"the pause takes it below one run", 22000, 10000, {}, false, {NY, SL, S::kAfterLoop}, {22000}, D::kEnd, 7000},
        {"short but already online (jcmon)", 15000, 10000, {}, true, {NY, S::kNotEnoughToRecheck}, {15000}, D::kDone, 5000},
    };
    // clang-format on
    for (const auto& [what, start, runMs, answers, online, wantSlots, wantRunsAt, end, left] : rows) {
        SCOPED_TRACE(what);
        int64_t remaining = start;
        std::vector<S> slots;
        std::vector<int64_t> runsAt;
        A answer = A::kStart;
        size_t next = 0;
        KestrelWaitStep s;
        for (;;) {
            s = KestrelWaitAdvance(remaining, runMs, answer, online);
            slots.insert(slots.end(), s.slots.begin(), s.slots.begin() + s.slotCount);
            if (s.next == D::kRun) {
                runsAt.push_back(remaining);
                answer = next < answers.size() ? answers[next++] : A::kNotYet;
            } else if (s.next == D::kSleep) {
                answer = A::kSlept;
            } else {
                break;
            }
        }
        EXPECT_EQ(slots, wantSlots);
        EXPECT_EQ(runsAt, wantRunsAt);
        EXPECT_EQ(s.next, end);
        EXPECT_EQ(remaining, left);
    }
}

}  // namespace
