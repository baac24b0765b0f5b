// The agent's decision tables, row by row: every row of each table is reached by one case here, so a
// flipped condition or a swapped state shows as a failing row.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KestrelDecisions.h"

namespace {

using T = KestrelInstType;
using PL = KestrelProcessLine;
using PA = KestrelProcessAction;

constexpr uint32_t OPT = KFACT_OPTIONAL_OK, DW = KFACT_DISP_WORK, JC = KFACT_JCONTROL, JL = KFACT_JLAUNCH,
                   MS = KFACT_MSG_SERVER, EN = KFACT_ENSERVER, ER = KFACT_ENREPSERVER,
                   IP = KFACT_INSTANCE_PROCESS, ALL = KFACT_ALL_COUNTED, LA = KFACT_LAUNCHING;

struct ProcessCase {
    int32_t arch;
    T type;
    uint32_t facts;
    PA action;
    uint32_t state;  // for kSet
    PL line;
};

// One case per row of every table, in table order; where a row has a near neighbour the facts are chosen so
// that only that row's own condition tells them apart.
const ProcessCase kProcessCases[] = {
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
    for (const ProcessCase& c : kProcessCases) {
        SCOPED_TRACE(::testing::Message() << "arch " << c.arch << " type " << static_cast<int>(c.type)
                                          << " facts 0x" << std::hex << c.facts);
        const KestrelProcessTable& table = KestrelProcessTableFor(c.arch, c.type);
        ASSERT_TRUE(table.applies);
        const KestrelProcessRow& row = KestrelMatchProcessRow(table, c.facts);
        EXPECT_EQ(row.action, c.action);
        EXPECT_EQ(row.line, c.line);
        if (c.action == PA::kSet) {
            EXPECT_EQ(row.state, c.state);
        }
    }
}

TEST(ProcessDecisions, HeadersOptionalsAndTypesWithoutATable) {
    using H = KestrelProcessHeader;
    const uint32_t all3 = KOPT_IGSWD | KOPT_GWRD | KOPT_ICMAN;
    struct Row {
        int32_t arch;
        T type;
        H header;
        bool applies;
        uint32_t optionals;
    };
    const Row rows[] = {
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
    for (const Row& r : rows) {
        const KestrelProcessTable& t = KestrelProcessTableFor(r.arch, r.type);
        EXPECT_EQ(t.header, r.header) << r.arch << " " << static_cast<int>(r.type);
        EXPECT_EQ(t.applies, r.applies) << r.arch << " " << static_cast<int>(r.type);
        if (r.applies) {
            EXPECT_EQ(t.optionalCount, r.optionals) << r.arch << " " << static_cast<int>(r.type);
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
    struct Row {
        int32_t code;
        uint32_t state;
        S line;
        uint32_t id;
    };
    const Row rows[] = {{0, KSTATE_ONLINE, S::kNone, 0},          {1, KSTATE_UNKNOWN, S::kReturned, 20100},
                        {2, KSTATE_OFFLINE, S::kReturned, 20099}, {3, KSTATE_UNKNOWN, S::kReturned, 20100},
                        {4, KSTATE_UNKNOWN, S::kReturned, 20100}, {5, KSTATE_UNKNOWN, S::kInvalid, 20101},
                        {-1, KSTATE_UNKNOWN, S::kInvalid, 20101}};
    for (const Row& r : rows) {
        const KestrelSapinfoVerdict v = KestrelInterpretSapinfo(r.code);
        EXPECT_EQ(v.state, r.state) << r.code;
        EXPECT_EQ(v.line, r.line) << r.code;
        EXPECT_EQ(v.message.id, r.id) << r.code;
        if (r.id != 0) {
            EXPECT_EQ(v.message.severity, 1u) << r.code;
        }
    }
}

TEST(SecondLevelDecisions, EnsmonExitCodesByInstanceType) {
    using G = KestrelEnsmonGroup;
    using E = KestrelEnsmonLine;
    struct Row {
        int32_t code;
        T type;
        G group;
        uint32_t state;
        E line;
        uint32_t id, severity, console;
    };
    const Row rows[] = {
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
    for (const Row& r : rows) {
        const KestrelEnsmonVerdict v = KestrelInterpretEnsmon(r.code, r.type);
        SCOPED_TRACE(::testing::Message() << r.code << " type " << static_cast<int>(r.type));
        EXPECT_EQ(v.group, r.group);
        if (r.group == G::kNone) continue;  // the state is not touched
        EXPECT_EQ(v.state, r.state);
        EXPECT_EQ(v.line, r.line);
        EXPECT_EQ(v.message.id, r.id);
        EXPECT_EQ(v.message.severity, r.severity);
        EXPECT_EQ(v.console.id, r.console);
    }
}

TEST(SecondLevelDecisions, AddInCombination) {
    struct Row {
        uint32_t abap, java, state;
    };
    const Row rows[] = {{1, 1, 1}, {1, 0, 2}, {1, 2, 2}, {2, 1, 2}, {2, 0, 0}, {2, 2, 2}};
    for (const Row& r : rows) EXPECT_EQ(KestrelCombineAddIn(r.abap, r.java), r.state) << r.abap << r.java;
    EXPECT_FALSE(KestrelAddInAsksJava(KSTATE_OFFLINE));
    EXPECT_TRUE(KestrelAddInAsksJava(KSTATE_ONLINE));
    EXPECT_TRUE(KestrelAddInAsksJava(KSTATE_UNKNOWN));
}

TEST(JcmonDecisions, OutputToVerdict) {
    using J = KestrelJcmonLine;
    struct Row {
        const wchar_t* output;
        uint32_t state;
        J line;
        uint32_t id;
    };
    const Row rows[] = {
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
    for (const Row& r : rows) {
        const KestrelJcmonVerdict v = KestrelJudgeJcmon(KestrelScanJcmonOutput(r.output));
        EXPECT_EQ(v.state, r.state) << testing::PrintToString(std::wstring(r.output));
        EXPECT_EQ(v.line, r.line) << testing::PrintToString(std::wstring(r.output));
        EXPECT_EQ(v.message.id, r.id) << testing::PrintToString(std::wstring(r.output));
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
    struct Row {
        uint32_t code, state;
        M line;
        uint32_t id;
    };
    const Row rows[] = {{110, 1, M::kOnline, 0},     {0, 1, M::kOnline, 0},      {100, 0, M::kOffline, 20097},
                        {1, 0, M::kOffline, 20097},  {2, 2, M::kUnknown, 20098}, {101, 2, M::kUnknown, 20098},
                        {111, 2, M::kUnknown, 20098}};
    for (const Row& r : rows) {
        const KestrelMonitorProgramVerdict v = KestrelInterpretMonitorProgram(r.code);
        EXPECT_EQ(v.state, r.state) << r.code;
        EXPECT_EQ(v.line, r.line) << r.code;
        EXPECT_EQ(v.message.id, r.id) << r.code;
    }
}

TEST(MonitorDecisions, SlmCountdown) {
    using S = KestrelSlmLine;
    struct Row {
        int32_t n;
        uint32_t read;
        S line;
        int32_t value;
        uint32_t store;
        bool run;
    };
    const Row rows[] = {
        {0, 3, S::kSkipping, 0, 0, false},     {-2, 1, S::kSkipping, -2, 0, false},
        {4, 0, S::kSetting, 3, 3, true},       {4, 4, S::kSetting, 3, 3, true},
        {4, 3, S::kDecrementing, 2, 2, false}, {4, 2, S::kDecrementing, 1, 1, false},
        {4, 1, S::kSetting, 4, 4, true},       {1, 1, S::kSetting, 1, 1, true},
        {1, 0, S::kSetting, 1, 1, true},       {2, 2, S::kSetting, 1, 1, true},
        {3, 7, S::kDecrementing, 6, 6, false},
    };
    for (const Row& r : rows) {
        const KestrelSlmStep s = KestrelStepSlmCounter(r.n, r.read);
        EXPECT_EQ(s.line, r.line) << r.n << "/" << r.read;
        EXPECT_EQ(s.lineValue, r.value) << r.n << "/" << r.read;
        EXPECT_EQ(s.store, r.store) << r.n << "/" << r.read;
        EXPECT_EQ(s.runSecond, r.run) << r.n << "/" << r.read;
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
    struct Row {
        uint32_t code;
        T type;
        A answer;
        E line;
    };
    const Row rows[] = {
        {0, T::kEnqrep, A::kUp, E::kNone},
        {4, T::kEnqueue, A::kLeave, E::kReplicationNoPartner},
        {4, T::kJenqueue, A::kLeave, E::kReplicationNoPartner},
        {4, T::kEnqrep, A::kNotYet, E::kNone},  // a replication server answering 4 is not up yet
        {8, T::kAenqrep, A::kLeave, E::kNotReachable},
        {8, T::kEnqueue, A::kLeave, E::kNotReachable},
        {12, T::kEnqueue, A::kNotYet, E::kNone},
    };
    for (const Row& r : rows) {
        const KestrelEnsmonWaitVerdict v = KestrelEnsmonWaitAnswer(r.code, r.type);
        EXPECT_EQ(v.answer, r.answer) << r.code << " " << static_cast<int>(r.type);
        EXPECT_EQ(v.line, r.line) << r.code << " " << static_cast<int>(r.type);
    }
}

// A check loop driven through the decision with a fixed list of answers; what it wrote and how it ended.
struct WaitTrail {
    std::vector<KestrelWaitSlot> slots;
    std::vector<int64_t> runsAt;  // the remaining time at each run
    KestrelWaitDo end;
    int64_t remaining;
};
WaitTrail DriveWait(int64_t remaining, uint32_t runMs, std::vector<KestrelWaitAnswer> answers, bool online) {
    WaitTrail t;
    KestrelWaitAnswer answer = KestrelWaitAnswer::kStart;
    size_t next = 0;
    for (;;) {
        const KestrelWaitStep s = KestrelWaitAdvance(remaining, runMs, answer, online);
        t.slots.insert(t.slots.end(), s.slots.begin(), s.slots.begin() + s.slotCount);
        if (s.next == KestrelWaitDo::kRun) {
            t.runsAt.push_back(remaining);
            answer = next < answers.size() ? answers[next++] : KestrelWaitAnswer::kNotYet;
        } else if (s.next == KestrelWaitDo::kSleep) {
            answer = KestrelWaitAnswer::kSlept;
        } else {
            t.end = s.next;
            t.remaining = remaining;
            return t;
        }
    }
}

TEST(OnlineWaitDecisions, CheckLoopCountsDownByFixedAmounts) {
    using S = KestrelWaitSlot;
    using D = KestrelWaitDo;
    using A = KestrelWaitAnswer;
    // sapinfo never answering 0 with 60000 ms: runs at 60000, 45000, 30000, 15000; 5000 remain.
    WaitTrail t = DriveWait(60000, 10000, {}, false);
    EXPECT_EQ(t.runsAt, (std::vector<int64_t>{60000, 45000, 30000, 15000}));
    EXPECT_EQ(t.slots, (std::vector<S>{S::kNotYet, S::kSleeping, S::kNotYet, S::kSleeping, S::kNotYet,
                                       S::kSleeping, S::kNotYet, S::kNotEnoughToRecheck, S::kAfterLoop}));
    EXPECT_EQ(t.end, D::kEnd);
    EXPECT_EQ(t.remaining, 5000);

    // Up on the first run.
    t = DriveWait(60000, 10000, {A::kUp}, false);
    EXPECT_EQ(t.slots, (std::vector<S>{S::kUp}));
    EXPECT_EQ(t.end, D::kDone);

    // Not enough to begin.
    t = DriveWait(9999, 10000, {}, false);
    EXPECT_EQ(t.slots, (std::vector<S>{S::kNotEnoughToRun}));
    EXPECT_EQ(t.end, D::kShort);
    EXPECT_TRUE(t.runsAt.empty());

    // A failed run and a timed-out one end the wait at once.
    t = DriveWait(60000, 15000, {A::kNotYet, A::kFailed}, false);
    EXPECT_EQ(t.slots, (std::vector<S>{S::kNotYet, S::kSleeping, S::kFailed}));
    EXPECT_EQ(t.end, D::kFail);
    t = DriveWait(60000, 15000, {A::kTimedOut}, false);
    EXPECT_EQ(t.slots, (std::vector<S>{S::kFailed, S::kTimedOut}));
    EXPECT_EQ(t.end, D::kFail);

    // ensmon's "leave" answers end the loop without a line of the loop's own.
    t = DriveWait(60000, 10000, {A::kLeave}, false);
    EXPECT_TRUE(t.slots.empty());
    EXPECT_EQ(t.end, D::kDone);

    // Exactly one run's time left after a run: no time to recheck, yet not short: the branch goes on.
    t = DriveWait(20000, 10000, {}, false);
    EXPECT_EQ(t.slots, (std::vector<S>{S::kNotYet, S::kNotEnoughToRecheck}));
    EXPECT_EQ(t.end, D::kDone);

    // The pause takes the time below one run: the loop ends without the recheck line.
    t = DriveWait(22000, 10000, {}, false);
    EXPECT_EQ(t.slots, (std::vector<S>{S::kNotYet, S::kSleeping, S::kAfterLoop}));
    EXPECT_EQ(t.end, D::kEnd);
    EXPECT_EQ(t.remaining, 7000);

    // Short of time but the state already online (a jcmon branch): no closing line, the branch goes on.
    t = DriveWait(15000, 10000, {}, true);
    EXPECT_EQ(t.slots, (std::vector<S>{S::kNotYet, S::kNotEnoughToRecheck}));
    EXPECT_EQ(t.end, D::kDone);
}

}  // namespace
