// The shortcuts the process walk takes (upper-case search without a copy, ASCII conversion without the
// locale's converter, digits without printf, messages in one text store, the path read without a pidfd)
// give exactly what the general forms give.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "LibFormat.h"
#include "LibLogger.h"
#include "LibProcess.h"
#include "LibWide.h"

namespace {

// The conversion as it was before its ASCII shortcut: the locale's converter for every character.
std::wstring ConvertEachCharacter(std::string_view text) {
    std::wstring out;
    std::mbstate_t st{};
    for (size_t i = 0; i < text.size();) {
        wchar_t wc = 0;
        size_t r = std::mbrtowc(&wc, text.data() + i, text.size() - i, &st);
        if (r == static_cast<size_t>(-1) || r == static_cast<size_t>(-2)) {
            out.push_back(L'\uFFFD');
            st = std::mbstate_t{};
            ++i;
        } else if (r == 0) {
            out.push_back(L'\0');
            ++i;
        } else {
            out.push_back(wc);
            i += r;
        }
    }
    return out;
}

class LocaleTest : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        saved_ = std::setlocale(LC_ALL, nullptr);
        if (std::setlocale(LC_ALL, GetParam()) == nullptr) GTEST_SKIP() << GetParam() << " is not installed";
    }
    void TearDown() override { std::setlocale(LC_ALL, saved_.c_str()); }
    std::string saved_;
};

TEST_P(LocaleTest, UpperFinderFindsWhatTheUpperCaseCopyFinds) {
    const std::vector<std::wstring> texts = {L"/usr/sap/abc/DVEBMGS00/exe/disp+work.exe",
                                             L"/USR/SAP/ABC/SYS/exe/run/sapstartsrv",
                                             L"/opt/b\u00e4ckerei/abcabc/sys",
                                             L"",
                                             L"abc",
                                             L"/work/main/build/bin/kestrel_bench_monitor",
                                             L"i\u0131I\u0130 istanbul"};
    const std::vector<std::wstring> needles = {L"ABC", L"DVEBMGS00",     L"SYS",      L"DISP+WORK.EXE",
                                               L"",    L"B\u00c4CKEREI", L"ISTANBUL", L"C"};
    const TernUpperFinder finder;
    for (const auto& text : texts) {
        const std::wstring upper = TernToUpper(text);
        for (const auto& needle : needles)
            for (size_t from : {size_t{0}, size_t{3}, size_t{13}, text.size(), text.size() + 1})
                EXPECT_EQ(finder.Find(text, needle, from), upper.find(needle, from))
                    << TernWideToUtf8(text) << " / " << TernWideToUtf8(needle) << " from " << from;
    }
}

TEST_P(LocaleTest, ConversionMatchesTheConverterForEveryCharacter) {
    const std::vector<std::string> texts = {"/usr/sap/ABC/SYS/exe/run/sapstartsrv",
                                            "b\xc3\xa4"
                                            "ckerei/\xe2\x82\xac/x",
                                            std::string("nul\0inside", 10),
                                            "bad \xff\xfe tail",
                                            "cut \xe2\x82",
                                            "\xc3",
                                            ""};
    std::wstring reused = L"left over from before";
    for (const auto& text : texts) {
        EXPECT_EQ(TernMbToWide(text), ConvertEachCharacter(text));
        TernMbToWide(text, reused);
        EXPECT_EQ(reused, ConvertEachCharacter(text));
    }
}

INSTANTIATE_TEST_SUITE_P(Locales, LocaleTest, ::testing::Values("C", "C.UTF-8", "tr_TR.UTF-8"));

TEST(FormatShortcut, IntegersAsPrintfWritesThem) {
    const wchar_t* wide[] = {L"%d",   L"%u",     L"%x",    L"%X",  L"%.08X",  L"%08X",  L"%8x", L"%.0x",
                             L"%.0u", L"%12.5X", L"%012u", L"%3u", L"%05.2x", L"%-6u|", L"%#x", L"%+d"};
    const char* narrow[] = {"%d",   "%u",     "%x",    "%X",  "%.08X",  "%08X",  "%8x", "%.0x",
                            "%.0u", "%12.5X", "%012u", "%3u", "%05.2x", "%-6u|", "%#x", "%+d"};
    for (int64_t v : {int64_t{0}, int64_t{1}, int64_t{-1}, int64_t{255}, int64_t{0x80070005},
                      int64_t{INT32_MIN}, int64_t{INT32_MAX}, int64_t{UINT32_MAX}}) {
        for (size_t k = 0; k < std::size(wide); ++k) {
            for (tern_fmt::Kind kind : {tern_fmt::Kind::I32, tern_fmt::Kind::U32}) {
                tern_fmt::Arg a{};
                a.kind = kind;
                if (kind == tern_fmt::Kind::I32) {
                    a.i = static_cast<int32_t>(v);
                } else {
                    a.u = static_cast<uint32_t>(v);
                }
                std::wstring out;
                ASSERT_TRUE(tern_fmt::FormatV(out, wide[k], &a, 1));
                char expected[64];
                std::snprintf(expected, sizeof expected, narrow[k], static_cast<uint32_t>(v));
                EXPECT_EQ(out, TernMbToWide(expected)) << narrow[k] << " " << v;
            }
        }
    }
}

class Recorder : public TernLogImpl {
  public:
    Recorder() { enabled_ = true; }
    void Write(const char*, uint32_t, const char*, const wchar_t* t) override { written.emplace_back(t); }
    void WriteDump(const char* file, uint32_t, const char* function, const wchar_t* t) override {
        dumped.push_back(std::string(file) + " " + function + " " + TernWideToUtf8(t));
    }
    std::vector<std::wstring> written;
    std::vector<std::string> dumped;
};

TEST(LoggerTextStore, ManyLinesKeepTheirTextsThroughGrowthAndEmptying) {
    TernThreadLogQueue logger;
    Recorder impl;
    logger.SetLogImpl(&impl);
    logger.BeginThread();
    for (int round = 0; round < 2; ++round) {
        impl.dumped.clear();
        constexpr int kLines = 20000;
        for (int i = 0; i < kLines; ++i)
            logger.Trace("agent/KestrelProcessCheck.cpp", 7, TERN_FUNC, L"Got [%s] for PID [%d].",
                         std::wstring(static_cast<size_t>(i % 50), L'x'), i);
        logger.Trace("a.cpp", 8, "F", L"%s", std::wstring(2000, L'y'));  // cut to the longest line
        ASSERT_EQ(logger.QueuedForThisThread(), kLines + 1);
        logger.Dump();
        ASSERT_EQ(impl.dumped.size(), kLines + 3u);
        const std::string function(TERN_FUNC);
        EXPECT_EQ(impl.dumped[1], "KestrelProcessCheck.cpp " + function + " Got [] for PID [0].");
        EXPECT_EQ(impl.dumped[kLines], "KestrelProcessCheck.cpp " + function + " Got [" +
                                           std::string(49, 'x') + "] for PID [" + std::to_string(kLines - 1) +
                                           "].");
        EXPECT_EQ(impl.dumped[kLines + 1], "a.cpp F " + std::string(TernThreadLogQueue::kMaxLine, 'y'));
        EXPECT_EQ(impl.written.back(), std::wstring(TernThreadLogQueue::kMaxLine, L'y'));
        EXPECT_EQ(logger.QueuedForThisThread(), 0);
    }
    logger.EndThread();
}

TEST(PeekExeName, ReadsWhatTheProcessObjectReads) {
    std::wstring peeked = L"reused";
    ASSERT_TRUE(TernProcess::PeekExeName(static_cast<uint32_t>(::getpid()), peeked).IsSuccess());
    std::wstring opened;
    ASSERT_TRUE(TernProcess::GetExeName(static_cast<uint32_t>(::getpid()), opened).IsSuccess());
    EXPECT_EQ(peeked, opened);

    // No such process: the link is missing, and nothing is traced (the full read tells why).
    pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ASSERT_GT(gone, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(gone, &status, 0), gone);
    CKestrelStatus st = TernProcess::PeekExeName(static_cast<uint32_t>(gone), peeked);
    EXPECT_TRUE(st.IsFailure());
    EXPECT_EQ(st.GetError(), 2u);
    EXPECT_TRUE(peeked.empty());
    EXPECT_EQ(TernProcess::GetExeName(static_cast<uint32_t>(gone), opened).GetError(), 87u);
}

}  // namespace
