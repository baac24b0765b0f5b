// The program names at agent startup: the type's [programs] table decides the architecture and which ProcMon
// entries an instance type accepts; entries the agent cannot use are reported and left out.
#include <gtest/gtest.h>

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

class ProgramsTest : public ::testing::Test {
  protected:
    void Startup(const std::vector<std::string>& table) {
        fake_cairn::ResetWithTypeTimeouts();
        Get().typePrograms = table;  // as the framework hands it over: key, count, names
        CairnAgStartup();
        TernLogger().BeginThread();
    }
    void TearDown() override {
        TernLogger().EndThread();
        reinterpret_cast<CairnShutdownEP>(Get().table[9])();
        KestrelInstallPrograms(CKestrelPrograms());
    }
    // Monitor's validation of an instance type and ProcMon list.
    static bool Accepted(const std::string& type, std::vector<std::string> procMon) {
        AgentArgs a;
        a.InstType = type;
        a.ProcMon = std::move(procMon);
        CKestrelAttrib record;
        CKestrelStatus status;
        record.Parse(status, KEP_MONITOR, "res1", a.Vector(), true);
        return status.IsSuccess();
    }
};

TEST_F(ProgramsTest, LinuxNamesReplaceTheDefaultsAndBothEnqueueNamesAreAccepted) {
    Startup({"disp_work", "1", "disp+work", "igswd", "1", "igswd_mt", "enserver", "2", "enserver",
             "enq_server", "msg_server", "1", "msg_server"});
    EXPECT_TRUE(MessagesWithId(20186).empty());
    EXPECT_EQ(CKestrelUtil::FindSAPArch({L"DISP+WORK", L"JCONTROL.EXE"}), 3) << "jcontrol keeps its default";
    EXPECT_EQ(CKestrelUtil::FindSAPArch({L"disp+work.exe"}), 0);
    EXPECT_TRUE(Accepted("enqueue", {"msg_server", "enq_server"}));
    EXPECT_TRUE(Accepted("enqueue", {"MSG_SERVER", "ENSERVER"}));
    EXPECT_TRUE(Accepted("central", {"disp+work", "igswd_mt", "gwrd.exe"}));
    EXPECT_FALSE(Accepted("central", {"disp+work", "igswd.exe"}));
    EXPECT_FALSE(Accepted("enqueue", {"enserver.exe"}));
    EXPECT_EQ(MessagesWithId(20160).size() + MessagesWithId(20162).size(), 2u);
}

TEST_F(ProgramsTest, UnusableEntriesAreReportedAndLeftOut) {
    Startup(
        {"sapinfo", "2", "a", "b", "bogus", "1", "x", "gwrd", "1", "", "icman", "1", "icm", "ensmon", "x"});
    std::vector<std::wstring> texts;
    for (const auto& m : MessagesWithId(20186)) texts.push_back(std::to_wstring(m.severity) + L" " + m.text);
    const std::wstring w = L"2 Ignoring [programs] entry of the Kestrel type: ";
    EXPECT_EQ(texts,
              (std::vector<std::wstring>{w + L"sapinfo: a tool takes exactly one name.",
                                         w + L"bogus: unknown key.", w + L"gwrd: a program name is empty.",
                                         w + L"ensmon: the table is malformed after this key."}));
    EXPECT_EQ(KestrelProgramName(KestrelProgram::kSapinfo) + KestrelProgramName(KestrelProgram::kIcman),
              L"sapinfo.exeicm");
}

}  // namespace
