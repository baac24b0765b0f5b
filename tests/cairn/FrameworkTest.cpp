// The framework library in-process: argument decoding, cookies, logs and the hooks hosts use (each call's
// messages, trace listener, console writer), type attributes, callbacks, faults.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "CairnAgfw.h"
#include "CairnApi.h"
#include "CairnHost.h"
#include "TestSupport.h"

using kestrel_test::Lines;
using kestrel_test::ReadFile;
using kestrel_test::WriteFile;

namespace {

// The permission bits (0777) of path, -1 when it is missing.
int Perms(const std::string& path) {
    const auto perms = std::filesystem::status(path).permissions();
    return perms == std::filesystem::perms::unknown ? -1
                                                    : static_cast<int>(perms & std::filesystem::perms::all);
}

// line after its log time stamp "YYYY-MM-DD HH:MM:SS.mmm ", or a text saying it has none.
std::string AfterTimestamp(const std::string& line) {
    static const std::regex shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )");
    return std::regex_match(line.substr(0, 24), shape) ? line.substr(24) : "no time stamp: " + line;
}

class FrameworkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        cairn::Reset();
        cairn::FrameworkSettings settings;
        settings.stateDir = dir_ / "state";
        settings.logDir = dir_ / "log";
        settings.types["Kestrel"].attributes = {{"OnlineTimeout", 600}, {"MonitorTimeout", 45}};
        settings.types["Kestrel"].debugTags = {19};
        settings.resources["r1"].type = "Kestrel";
        cairn::Configure(settings);
    }
    void TearDown() override { cairn::Reset(); }
    // A fresh framework on the same settings, as the next host run.
    static void Reload() {
        cairn::FrameworkSettings settings = cairn::CurrentSettings();
        cairn::Reset();
        cairn::Configure(settings);
    }
    // Error record of the calling thread as (number, code, message).
    static std::tuple<int32_t, uint32_t, std::string> LastError() {
        CairnError* error = CairnApiGetLastError();
        std::tuple<int32_t, uint32_t, std::string> out{error->number, error->code, error->message};
        CairnFreeError(error);
        return out;
    }
    static CairnClusterHandle Open() {
        EXPECT_EQ(CairnApiInit(0, 0), 0);
        CairnClusterHandle cluster = CairnClusterOpenLocal(0xFFFFFFFF, 0);
        EXPECT_NE(cluster, nullptr);
        return cluster;
    }
    static std::wstring GetCookie(const char* name) {
        auto* value = static_cast<wchar_t*>(CairnAgGetCookie(name));
        std::wstring out = value != nullptr ? value : L"<null>";
        CairnAgDeleteMem(value);
        return out;
    }
    static void SetCookie(const char* name, const std::wstring& text) {
        auto* value = static_cast<wchar_t*>(malloc((text.size() + 1) * sizeof(wchar_t)));
        wcscpy(value, text.c_str());
        CairnAgSetCookie(name, value);
    }

    kestrel_test::TempDir dir_;
};

// ---- argument vectors and text conversion ----

TEST_F(FrameworkTest, ArgListAndStringsDecodeUtf8) {
    const char* args[] = {"ABC", "", "2", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", nullptr};
    wchar_t** list = nullptr;
    ASSERT_EQ(CairnAgGetEncodedArgList(0, args, 1, &list), 0);
    std::vector<std::wstring> got;
    for (size_t i = 0; list[i] != nullptr; ++i) got.push_back(list[i]);
    EXPECT_EQ(got, (std::vector<std::wstring>{L"ABC", L"", L"2", L"caf\u00E9 \u20AC \U0001F600"}));
    CairnAgDelEncodedArgList(list);
    const char* empty[] = {nullptr};
    ASSERT_EQ(CairnAgGetEncodedArgList(0, empty, 1, &list), 0);
    EXPECT_EQ(list[0], nullptr);
    CairnAgDelEncodedArgList(list);

    wchar_t* text = nullptr;
    size_t length = 0;
    ASSERT_EQ(CairnAgEncodeString(0, "sap\xC3\xA9XYZ", 6, 1, &text, &length), 0);  // first 5 bytes only
    EXPECT_STREQ(text, L"sap\u00E9");
    EXPECT_EQ(length, 4u);
    CairnAgDeleteMem(text);
}

TEST_F(FrameworkTest, InvalidUtf8FailsCleanly) {
    // Lone continuation byte, truncated sequence, overlong '/', encoded surrogate, byte 0xFF.
    for (const char* bad : {"\x80", "ab\xE2\x82", "\xC0\xAF", "\xED\xA0\x80", "x\xFF"}) {
        const char* args[] = {"fine", bad, nullptr};
        wchar_t** list = reinterpret_cast<wchar_t**>(0x1);
        EXPECT_NE(CairnAgGetEncodedArgList(0, args, 1, &list), 0) << bad;
        EXPECT_EQ(list, nullptr);
        auto [number, code, message] = LastError();
        EXPECT_EQ(number, cairn::kErrConversion);
        EXPECT_NE(message.find("argument 2"), std::string::npos) << message;
        wchar_t* text = nullptr;
        size_t length = 7;
        EXPECT_NE(CairnAgEncodeString(0, bad, strlen(bad) + 1, 1, &text, &length), 0);
        EXPECT_EQ(text, nullptr);
        EXPECT_EQ(length, 0u);
    }
    wchar_t** list = nullptr;
    EXPECT_NE(CairnAgGetEncodedArgList(0, nullptr, 1, &list), 0);
}

// ---- cookies ----

TEST_F(FrameworkTest, CookiesPersistAndEachReadIsACopy) {
    EXPECT_EQ(CairnAgGetCookie("r1_counter"), nullptr);
    SetCookie("r1_counter", L"4");
    void* first = CairnAgGetCookie("r1_counter");
    void* second = CairnAgGetCookie("r1_counter");
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, second);
    EXPECT_STREQ(static_cast<wchar_t*>(first), L"4");
    CairnAgDeleteMem(first);
    // second is left to CairnApiExit, as an agent that forgets to free would (sanitizer builds check it).
    EXPECT_EQ(CairnApiInit(0, 0), 0);
    EXPECT_EQ(CairnApiExit(0), 0);
    // A fresh framework on the same state directory (as the next host run) reads the stored value.
    Reload();
    EXPECT_EQ(GetCookie("r1_counter"), L"4");
    SetCookie("r1_counter", L"\u00FCber \u20AC");  // non-ASCII survives the file too
    Reload();
    EXPECT_EQ(GetCookie("r1_counter"), L"\u00FCber \u20AC");
    CairnAgSetCookie("r1_counter", nullptr);  // removes it, from disk too
    Reload();
    EXPECT_EQ(GetCookie("r1_counter"), L"<null>");

    // Many writes leave one file under the escaped name, no temporary file, only root can read it.
    for (int i = 0; i < 20; ++i) SetCookie("../odd name/.x", std::to_wstring(i));
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir_ / "state/cookies"))
        files.push_back(entry.path().filename());
    ASSERT_EQ(files, std::vector<std::string>{"%2E%2E%2Fodd%20name%2F%2Ex"});
    const std::string content = ReadFile(dir_ / "state/cookies/" + files[0]);
    EXPECT_EQ(content.substr(content.find('\n') + 1), "19");
    EXPECT_EQ(Perms(dir_ / "state/cookies/" + files[0]), 0600);
}

TEST_F(FrameworkTest, CookieFileIsRewrittenOnlyWhenTheValueChanges) {
    const std::string file = dir_ / "state/cookies/r1_kestrel_slmcounter";
    auto inode = [&file] {
        struct stat st {};
        return ::stat(file.c_str(), &st) == 0 ? st.st_ino : 0;
    };
    SetCookie("r1_kestrel_slmcounter", L"2");
    const ino_t first = inode();
    ASSERT_NE(first, 0u);
    SetCookie("r1_kestrel_slmcounter", L"2");  // unchanged: the file (replaced by rename on writes) stays
    EXPECT_EQ(inode(), first);
    EXPECT_EQ(GetCookie("r1_kestrel_slmcounter"), L"2");
    SetCookie("r1_kestrel_slmcounter", L"1");
    EXPECT_NE(inode(), first);
    EXPECT_EQ(GetCookie("r1_kestrel_slmcounter"), L"1");

    // Another process changed the file meanwhile: storing the value this process holds still writes it.
    const std::string other = ReadFile(file);
    SetCookie("r1_kestrel_slmcounter", L"5");
    const std::string mine = ReadFile(file);
    WriteFile(file, other);
    SetCookie("r1_kestrel_slmcounter", L"5");
    EXPECT_EQ(ReadFile(file), mine);
}

TEST_F(FrameworkTest, DamagedCookieFileIsReportedAndTreatedAsAbsent) {
    SetCookie("good", L"12");
    const std::string valid = ReadFile(dir_ / "state/cookies/good");
    const std::string header = valid.substr(0, valid.find('\n') + 1);
    const std::pair<const char*, std::string> damaged[] = {
        {"garbage", "not a cookie at all"},
        {"truncated", header.substr(0, header.size() - 1)},
        {"short_payload", header + "1"},
        {"bad_checksum", header + "13"},
        {"empty", ""},
    };
    for (const auto& [name, content] : damaged)
        WriteFile(dir_ / (std::string("state/cookies/") + name), content);
    Reload();
    std::string log;
    for (const auto& [name, content] : damaged) {
        EXPECT_EQ(GetCookie(name), L"<null>") << name;
        log = ReadFile(dir_ / "log/Kestrel.log");
        EXPECT_NE(log.find(" WARNING 0-90001 - cairn: Cookie file " + dir_ / "state/cookies/" + name +
                           " is damaged"),
                  std::string::npos)
            << log;
    }
    EXPECT_EQ(GetCookie("good"), L"12");
    EXPECT_EQ(Lines(log).size(), std::size(damaged));  // each damaged file reported once, the good one not
    SetCookie("garbage", L"1");                        // a new value repairs the cookie
    Reload();
    EXPECT_EQ(GetCookie("garbage"), L"1");
}

// ---- logs ----

TEST_F(FrameworkTest, AgentLogLineFormatAndEachCallsMessages) {
    CairnAgSetLogCategory(55002);
    {
        cairn::ScopedThreadContext context({"r1", "", 42});
        for (uint32_t severity = 0; severity <= 5; ++severity)
            CairnAgLogMsgText(severity, "KestrelOnline", "agent/x.cpp", 10, 20010 + severity, 0,
                              L"Text \u00E9.");
        CairnAgLogMsgText(3, "KestrelOnline", "agent/x.cpp", 10, 20020, 0, L"first\nsecond\r\nthird\n");
    }
    CairnAgLogMsgText(4, "CairnAgStartup", "agent/x.cpp", 10, 20030, 0, L"no resource");
    {
        cairn::ScopedThreadContext context({"r1", "", 8});
        CairnAgLogMsgText(4, "T", "f", 1, 1, 0, L"another call");
    }

    std::vector<std::string> lines = Lines(ReadFile(dir_ / "log/Kestrel.log"));
    ASSERT_EQ(lines.size(), 11u);
    const char* names[] = {"CRITICAL", "ERROR", "WARNING", "NOTICE", "INFO", "SEV5"};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(AfterTimestamp(lines[i]), std::string(names[i]) + " 55002-" + std::to_string(20010 + i) +
                                                " r1 KestrelOnline: Text \xC3\xA9.");
    // Continuation lines are indented in the file; the collected message keeps the exact text.
    EXPECT_NE(lines[6].find("r1 KestrelOnline: first"), std::string::npos);
    EXPECT_EQ(lines[7], "    second");
    EXPECT_EQ(lines[8], "    third");
    EXPECT_NE(lines[9].find("INFO 55002-20030 - CairnAgStartup: no resource"), std::string::npos);
    EXPECT_EQ(Perms(dir_ / "log/Kestrel.log"), 0640);
    EXPECT_EQ(Perms(dir_ / "log"), 0750);

    // A host running several calls at once takes each call's own messages.
    std::vector<cairn::LogMessage> call = cairn::TakeMessagesOfCall(42);
    ASSERT_EQ(call.size(), 7u);
    EXPECT_EQ(call[6].text, "first\nsecond\r\nthird\n");
    EXPECT_EQ(call[6].resource, "r1");
    EXPECT_EQ(call[0].text, "Text \xC3\xA9.");
    EXPECT_TRUE(cairn::TakeMessagesOfCall(42).empty());
    std::vector<cairn::LogMessage> rest = cairn::TakeMessages();
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0].id, 20030u);
    EXPECT_EQ(rest[0].callId, 0u);
    EXPECT_EQ(rest[1].callId, 8u);
}

TEST_F(FrameworkTest, ConsoleMessagesGoToStandardErrorOrTheHostsWriter) {
    std::vector<std::string> heard, console;
    cairn::SetMessageListener([&](const cairn::LogMessage& m) { heard.push_back(m.tag + "|" + m.text); });
    testing::internal::CaptureStderr();
    CairnAgLogConsoleMsgText(2, "KestrelClean", "f", 1, 20001, 0, L"to the console");
    CairnAgLogMsgText(2, "KestrelClean", "f", 1, 20002, 0, L"to the log only");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("WARNING 0-20001 - KestrelClean: to the console\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("to the log only"), std::string::npos);
    EXPECT_EQ(heard,
              (std::vector<std::string>{"KestrelClean|to the console", "KestrelClean|to the log only"}));
    EXPECT_TRUE(cairn::TakeMessages()[0].console);

    // A host that draws on the terminal gets the finished line instead.
    cairn::SetConsoleWriter([&](const std::string& line) { console.push_back(line); });
    testing::internal::CaptureStderr();
    {
        cairn::ScopedThreadContext context({"r1", "", 5});
        CairnAgLogConsoleMsgText(1, "KestrelClean", "f", 1, 20001, 0, L"to the writer");
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(console.size(), 1u);
    EXPECT_NE(console[0].find(" ERROR 0-20001 r1 KestrelClean: to the writer\n"), std::string::npos)
        << console[0];
}

TEST_F(FrameworkTest, DebugLogAndTraceListenerHonourTheTypesTags) {
    std::vector<std::string> heard;
    cairn::SetTraceListener([&](const cairn::TraceLine& line) {
        heard.push_back(std::to_string(line.callId) + " " + line.resource + " " +
                        std::to_string(line.debugTag) + " " + line.function + ": " + line.text);
    });
    {
        cairn::ScopedThreadContext context({"r1", "", 5});
        CairnAgResLogMsg2(19, "CKestrel::Online", "agent/Kestrel.cpp", 77, 0, L"trace\u00e9\nline");
        CairnAgResLogMsg2(20, "CKestrel::Online", "agent/Kestrel.cpp", 78, 512, L"dump line");  // 20 is off
    }
    {
        cairn::ScopedThreadContext context({"", "Kestrel", 0});
        CairnAgResLogMsg2(19, "CairnAgStartup", "agent/KestrelAgent.cpp", 5, 0, L"startup");
    }
    CairnAgResLogMsg2(19, "Nowhere", "x.cpp", 1, 0, L"no type: dropped");

    std::vector<std::string> lines = Lines(ReadFile(dir_ / "log/resources/r1.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(AfterTimestamp(lines[0]), "DBG19 CKestrel::Online [agent/Kestrel.cpp:77] trace\xC3\xA9");
    EXPECT_EQ(lines[1], "    line");
    EXPECT_NE(ReadFile(dir_ / "log/resources/@Kestrel.log").find("DBG19 CairnAgStartup"), std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ / "log/resources"), {}), 2);
    EXPECT_EQ(heard, (std::vector<std::string>{"5 r1 19 CKestrel::Online: trace\xC3\xA9\nline",
                                               "0  19 CairnAgStartup: startup"}));
}

TEST_F(FrameworkTest, UnwritableLogNeverFails) {
    WriteFile(dir_ / "blocker", "a file where the log directory should be");
    cairn::FrameworkSettings settings = cairn::CurrentSettings();
    settings.logDir = dir_ / "blocker/log";
    cairn::Configure(settings);
    cairn::ScopedThreadContext context({"r1", "", 0});
    CairnAgLogMsgText(1, "T", "f", 1, 1, 0, L"still collected");
    CairnAgResLogMsg2(19, "F", "f", 1, 0, L"dropped");
    EXPECT_EQ(cairn::TakeMessages().at(0).text, "still collected");
}

TEST_F(FrameworkTest, ConcurrentWritersNeverInterleave) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            cairn::ScopedThreadContext context({"r" + std::to_string(t), "Kestrel", 0});
            for (int i = 0; i < 200; ++i) {
                CairnAgLogMsgText(4, "Tag", "f", 1, i, 0, std::wstring(50, L'a' + t).c_str());
                CairnAgResLogMsg2(19, "F", "f", 1, 0, L"trace");
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::vector<std::string> lines = Lines(ReadFile(dir_ / "log/Kestrel.log"));
    ASSERT_EQ(lines.size(), 800u);
    for (const std::string& line : lines) {
        const char letter = line.back();
        EXPECT_EQ(line.substr(line.size() - 50), std::string(50, letter));
        EXPECT_NE(line.find(" r" + std::to_string(letter - 'a') + " Tag: "), std::string::npos) << line;
    }
    EXPECT_EQ(Lines(ReadFile(dir_ / "log/resources/r3.log")).size(), 200u);
    EXPECT_EQ(cairn::TakeMessages().size(), 800u);
}

// ---- cluster API: handles, attributes, callbacks, errors ----

TEST_F(FrameworkTest, TypeAttributesUseTheRecordLayout) {
    CairnClusterHandle cluster = Open();
    CairnAttr* record = nullptr;
    ASSERT_EQ(CairnObjGetAttribute(cluster, 4, "Kestrel", "MonitorTimeout", 0, &record, 0), 0);
    // The pointer chain the agent follows: +16, +0, +8, then the value.
    auto* list = *reinterpret_cast<char**>(reinterpret_cast<char*>(record) + 16);
    auto* value = *reinterpret_cast<char**>(list);
    EXPECT_EQ(**reinterpret_cast<int32_t**>(value + 8), 45);
    EXPECT_EQ(CairnAttrGetInt(record), 45);
    CairnFreeAttr(record);

    EXPECT_NE(CairnObjGetAttribute(cluster, 4, "Kestrel", "NoSuchTimeout", 0, &record, 0), 0);
    EXPECT_EQ(record, nullptr);
    auto [number, code, message] = LastError();
    EXPECT_EQ(number, cairn::kErrUnknownObject);
    EXPECT_EQ(code, 1168u);
    EXPECT_NE(message.find("NoSuchTimeout"), std::string::npos);
    EXPECT_NE(CairnObjGetAttribute(cluster, 4, "Other", "MonitorTimeout", 0, &record, 0), 0);
    EXPECT_NE(CairnObjGetAttribute(cluster, 3, "Kestrel", "MonitorTimeout", 0, &record, 0), 0);
    EXPECT_EQ(std::get<0>(LastError()), cairn::kErrUnsupported);

    char* type = nullptr;
    ASSERT_EQ(CairnResGetType(cluster, "r1", &type, 0), 0);
    EXPECT_STREQ(type, "Kestrel");
    CairnFreeStr(type);
    EXPECT_NE(CairnResGetType(cluster, "r2", &type, 0), 0);
    EXPECT_NE(std::get<2>(LastError()).find("'r2'"), std::string::npos);

    EXPECT_EQ(CairnClusterClose(cluster, 0), 0);
    EXPECT_NE(CairnClusterClose(cluster, 0), 0);
    EXPECT_NE(CairnObjGetAttribute(cluster, 4, "Kestrel", "MonitorTimeout", 0, &record, 0), 0);
    EXPECT_EQ(std::get<0>(LastError()), cairn::kErrInvalidHandle);
    EXPECT_EQ(CairnApiExit(0), 0);
    EXPECT_NE(CairnApiExit(0), 0);
}

TEST_F(FrameworkTest, ClusterNeedsInitAndErrorRecordIsPerThread) {
    EXPECT_EQ(CairnClusterOpenLocal(0xFFFFFFFF, 0), nullptr);
    EXPECT_EQ(std::get<0>(LastError()), cairn::kErrNotInitialised);
    std::thread([] {  // another thread's failure is not this one's
        auto [number, code, message] = LastError();
        EXPECT_EQ(number, 0);
        EXPECT_EQ(message, "The operation completed successfully.");
    })
        .join();
}

int32_t gSeen[2] = {-1, -1};
int gNullRecords = 0;
int OnOnline(void*, void*, void*, CairnAttr* record) {
    record != nullptr ? gSeen[0] = CairnAttrGetInt(record) : ++gNullRecords;
    return 0;
}
int OnMonitor(void*, void*, void*, CairnAttr* record) {
    if (record != nullptr) gSeen[1] = CairnAttrGetInt(record);
    return 0;
}

TEST_F(FrameworkTest, ChangeCallbacksFireUntilUnregistered) {
    CairnClusterHandle cluster = Open();
    CairnRegHandle online = CairnObjRegister(cluster, 4, "Kestrel", "OnlineTimeout", 7, OnOnline, 0);
    ASSERT_NE(online, nullptr);
    ASSERT_NE(CairnObjRegister(cluster, 4, "Kestrel", "MonitorTimeout", 7, OnMonitor, 0), nullptr);
    EXPECT_EQ(CairnObjRegister(cluster, 4, "Kestrel", "Unknown", 7, OnOnline, 0), nullptr);
    EXPECT_EQ(cairn::RegistrationCount(), 2u);

    EXPECT_EQ(cairn::SetTypeAttribute("Kestrel", "OnlineTimeout", 900), 1);
    EXPECT_EQ(gSeen[0], 900);
    EXPECT_EQ(gSeen[1], -1);  // only the changed attribute's callbacks
    CairnAttr* record = nullptr;
    ASSERT_EQ(CairnObjGetAttribute(cluster, 4, "Kestrel", "OnlineTimeout", 0, &record, 0), 0);
    EXPECT_EQ(CairnAttrGetInt(record), 900);
    CairnFreeAttr(record);

    EXPECT_EQ(cairn::FireTypeCallbacks("Kestrel", "OnlineTimeout", false), 1);
    EXPECT_EQ(gNullRecords, 1);
    EXPECT_EQ(cairn::FireTypeCallbacks("Kestrel", "MonitorTimeout", true), 1);
    EXPECT_EQ(gSeen[1], 45);
    EXPECT_EQ(cairn::SetTypeAttribute("Kestrel", "Nope", 1), -1);

    EXPECT_EQ(CairnObjUnRegister(online, 0), 0);
    EXPECT_NE(CairnObjUnRegister(online, 0), 0);
    EXPECT_EQ(std::get<0>(LastError()), cairn::kErrInvalidHandle);
    EXPECT_EQ(cairn::SetTypeAttribute("Kestrel", "OnlineTimeout", 1), 0);
    EXPECT_EQ(gSeen[0], 900);
    EXPECT_EQ(cairn::DropRegistrations(), 1u);
    EXPECT_EQ(cairn::FireTypeCallbacks("Kestrel", "MonitorTimeout", true), 0);
}

TEST_F(FrameworkTest, EntryPointTableIsCopied) {
    int a = 0, b = 0;
    void* table[kCairnEPSlots] = {};
    table[3] = &a;
    table[9] = &b;
    ASSERT_EQ(CairnAgRegisterEPStruct(1, table), 0);
    table[3] = nullptr;
    auto taken = cairn::TakeRegisteredEntryPoints();
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ((*taken)[3], &a);
    EXPECT_EQ((*taken)[9], &b);
    EXPECT_FALSE(cairn::TakeRegisteredEntryPoints().has_value());
}

#ifdef KESTREL_TEST_HOOKS
// Opens and reads that fail by injection run end to end (FrameE2E.StartupAgainstAFailingCluster); here what
// only the framework shows: the error record, a refused registration, values the environment may not hold.
TEST_F(FrameworkTest, InjectedFaults) {
    cairn::SetFaults({1, "MonitorTimeout", "OnlineTimeout"});
    EXPECT_EQ(CairnApiInit(0, 0), 0);
    EXPECT_EQ(CairnClusterOpenLocal(0xFFFFFFFF, 0), nullptr);
    auto [number, code, message] = LastError();
    EXPECT_EQ(number, cairn::kErrUnavailable);
    EXPECT_EQ(code, 1722u);
    EXPECT_NE(message.find("injected"), std::string::npos);
    CairnClusterHandle cluster = CairnClusterOpenLocal(0xFFFFFFFF, 0);
    ASSERT_NE(cluster, nullptr);
    CairnAttr* record = nullptr;
    EXPECT_NE(CairnObjGetAttribute(cluster, 4, "Kestrel", "MonitorTimeout", 0, &record, 0), 0);
    EXPECT_EQ(std::get<0>(LastError()), cairn::kErrInjected);
    EXPECT_NE(std::get<2>(LastError()).find("MonitorTimeout"), std::string::npos);
    EXPECT_EQ(CairnObjRegister(cluster, 4, "Kestrel", "OnlineTimeout", 7, OnOnline, 0), nullptr);
    EXPECT_EQ(std::get<0>(LastError()), cairn::kErrInjected);
    EXPECT_NE(CairnObjRegister(cluster, 4, "Kestrel", "MonitorTimeout", 7, OnMonitor, 0), nullptr);

    setenv("CAIRN_FAULT_REGISTER", "OfflineTimeout", 1);
    std::string error;
    EXPECT_TRUE(cairn::LoadFaultsFromEnvironment(&error));
    EXPECT_EQ(cairn::CurrentFaults().registration, "OfflineTimeout");
    for (const char* bad : {"-1", "two", "3x"}) {
        setenv("CAIRN_FAULT_OPEN_FAILS", bad, 1);
        EXPECT_FALSE(cairn::LoadFaultsFromEnvironment(&error)) << bad;
        EXPECT_NE(error.find("CAIRN_FAULT_OPEN_FAILS"), std::string::npos);
    }
    EXPECT_EQ(cairn::CurrentFaults().registration, "OfflineTimeout");  // unchanged by a refused value
    unsetenv("CAIRN_FAULT_OPEN_FAILS");
    unsetenv("CAIRN_FAULT_REGISTER");
}
#endif

}  // namespace
