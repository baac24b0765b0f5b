// The program names the agent works with: what startup makes of the type's [programs] table, and how the
// names decide the architecture and which ProcMon entries an instance type accepts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AgentArgs.h"
#include "CairnAgfw.h"
#include "FakeCairn.h"
#include "KestrelAttrib.h"
#include "KestrelPrograms.h"
#include "KestrelUtil.h"
#include "LibLogger.h"

extern "C" void CairnAgStartup(void);

namespace {

using fake_cairn::Get;
using fake_cairn::MessagesWithId;

// Part of the Linux profile, in the form the framework hands it over.
const std::vector<std::string> kLinuxTable = {
    "disp_work", "1",          "disp+work", "jcontrol", "1",        "jcontrol",   "igswd",
    "1",         "igswd_mt",   "enserver",  "2",        "enserver", "enq_server", "msg_server",
    "1",         "msg_server", "sapinfo",   "1",        "sapinfo"};

class ProgramsTest : public ::testing::Test {
  protected:
    void Startup(const std::vector<std::string>& table) {
        fake_cairn::ResetWithTypeTimeouts();
        Get().typePrograms = table;
        CairnAgStartup();
        TernLogger().BeginThread();
    }
    void TearDown() override {
        TernLogger().EndThread();
        reinterpret_cast<CairnShutdownEP>(Get().table[9])();
        KestrelInstallPrograms(CKestrelPrograms());
    }
    static bool Traced(const std::wstring& line) {
        for (const auto& l : Get().resLog)
            if (l.text == line) return true;
        return false;
    }
    // The ProcMon rule's verdict for an instance type and list (Monitor's validation).
    static bool Accepted(const std::string& type, std::vector<std::string> procMon) {
        AgentArgs a;
        a.InstType = type;
        a.InstName = type == "central" ? "DVEBMGS00" : "ASCS01";
        a.ProcMon = std::move(procMon);
        CKestrelAttrib record;
        CKestrelStatus status;
        record.Parse(status, KEP_MONITOR, "res1", a.Vector(), true);
        return status.IsSuccess();
    }
};

TEST_F(ProgramsTest, WithoutATableTheNamesAreTheDefaults) {
    Startup({});
    EXPECT_EQ(KestrelProgramName(KestrelProgram::kStartsap), L"startsap.exe");
    EXPECT_EQ(CKestrelUtil::FindSAPArch({L"DISP+WORK.EXE", L"JCONTROL.EXE"}), 3);
    EXPECT_TRUE(Traced(L"disp+wrok.exe process found in the ProcMon list."));
    EXPECT_TRUE(Traced(L"jcontrol.exe process found in the ProcMon list"));
    EXPECT_EQ(CKestrelUtil::FindSAPArch({L"disp+work"}), 0) << "a Linux name means nothing by default";
    EXPECT_TRUE(Accepted("enqueue", {"msg_server.exe", "ENSERVER.EXE"}));
    EXPECT_FALSE(Accepted("enqueue", {"msg_server", "enq_server"}));
    EXPECT_EQ(MessagesWithId(20162).size(), 1u);
    EXPECT_TRUE(MessagesWithId(20186).empty());
}

TEST_F(ProgramsTest, TheLinuxProfileReplacesTheNamesAndAcceptsBothEnqueueNames) {
    Startup(kLinuxTable);
    EXPECT_TRUE(MessagesWithId(20186).empty());
    EXPECT_EQ(KestrelProgramName(KestrelProgram::kSapinfo), L"sapinfo");
    EXPECT_EQ(KestrelProgramName(KestrelProgram::kStartsap), L"startsap.exe")
        << "a key left out keeps its name";
    EXPECT_EQ(CKestrelUtil::FindSAPArch({L"DISP+WORK"}), 1);
    EXPECT_TRUE(Traced(L"disp+work process found in the ProcMon list."));
    EXPECT_EQ(CKestrelUtil::FindSAPArch({L"disp+work.exe", L"jcontrol.exe"}), 0);
    EXPECT_TRUE(Accepted("enqueue", {"msg_server", "enq_server"}));
    EXPECT_TRUE(Accepted("enqueue", {"MSG_SERVER", "ENSERVER"}));
    EXPECT_TRUE(Accepted("central", {"disp+work", "igswd_mt", "msg_server"}));
    EXPECT_FALSE(Accepted("central", {"disp+work", "igswd"}));
    EXPECT_FALSE(Accepted("enqueue", {"enserver.exe"}));
    EXPECT_EQ(MessagesWithId(20160).size(), 1u);
    EXPECT_EQ(MessagesWithId(20162).size(), 1u);
}

// Entries the agent cannot use are reported at startup and left out; the rest of the table applies.
TEST_F(ProgramsTest, UnusableEntriesAreReportedAndLeftOut) {
    Startup({"sapinfo", "2", "sapinfo", "sapinfo2", "bogus", "1", "x", "gwrd", "1", "", "icman", "1", "icm",
             "ensmon", "x"});
    std::vector<std::wstring> texts;
    for (const auto& m : MessagesWithId(20186)) {
        EXPECT_EQ(m.severity, 2u);
        texts.push_back(m.text);
    }
    const std::wstring prefix = L"Ignoring [programs] entry of the Kestrel type: ";
    EXPECT_EQ(texts, (std::vector<std::wstring>{prefix + L"sapinfo: a tool takes exactly one name.",
                                                prefix + L"bogus: unknown key.",
                                                prefix + L"gwrd: a program name is empty.",
                                                prefix + L"ensmon: the table is malformed after this key."}));
    EXPECT_EQ(KestrelProgramName(KestrelProgram::kSapinfo), L"sapinfo.exe");
    EXPECT_EQ(KestrelProgramName(KestrelProgram::kGwrd), L"gwrd.exe");
    EXPECT_EQ(KestrelProgramName(KestrelProgram::kIcman), L"icm");
}

}  // namespace
