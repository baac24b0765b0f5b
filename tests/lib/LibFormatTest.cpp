// Formatting as the agent's messages use it, text conversions (also their shortcuts against the general
// forms, in several locales) and the password codec.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "LibFormat.h"
#include "LibPasswordCodec.h"
#include "LibWide.h"

namespace {

TEST(Format, WindowsStyleConversions) {
    std::wstring name = L"SAPABC_00";
    EXPECT_EQ(TernFormat(L"%s returned %d, 0x%.08X", L"TernService::Open", 2, 1060u),
              L"TernService::Open returned 2, 0x00000424");
    EXPECT_EQ(TernFormat(L"[%d 0x%.08X]", -1, 0xFFFFFFFFu), L"[-1 0xFFFFFFFF]");
    EXPECT_EQ(TernFormat(L"%S|%s|%%", "narrow", name), L"narrow|SAPABC_00|%");
    EXPECT_EQ(TernFormat(L"%02u:%04u", 7u, 2026u), L"07:2026");
    EXPECT_EQ(TernFormat(L"[%-20s][%5s][%.2s]", L"ab", L"cd", L"efgh"), L"[ab                  ][   cd][ef]");
    EXPECT_EQ(TernFormat(L"%lld %I64u", int64_t{-5}, uint64_t{1} << 40), L"-5 1099511627776");
    const wchar_t* none = nullptr;
    EXPECT_EQ(TernFormat(L"<%s>", none), L"<(null)>");
}

// Wide printf formats the same rows: widths and precisions of any size, also from arguments.
TEST(Format, ConversionsOfAnyLengthMatchPrintf) {
    const std::wstring text(700, L'z');
    std::wstring expected(8192, L'\0');
    auto printf = [&expected](const wchar_t* format, auto... args) {
        int n = std::swprintf(expected.data(), expected.size(), format, args...);
        return std::wstring(expected.data(), n < 0 ? 0 : static_cast<size_t>(n));
    };
    EXPECT_EQ(TernFormat(L"[%2000d]", 42), printf(L"[%2000d]", 42));
    EXPECT_EQ(TernFormat(L"[%-1000s]", L"ab"), printf(L"[%-1000ls]", L"ab"));
    EXPECT_EQ(TernFormat(L"[%.600s]", text), printf(L"[%.600ls]", text.c_str()));
    EXPECT_EQ(TernFormat(L"[%.*s|%*d|%-*x]", 3, L"abcdef", 900, -7, 600, 255u),
              printf(L"[%.*ls|%*d|%-*x]", 3, L"abcdef", 900, -7, 600, 255u));
    EXPECT_EQ(TernFormat(L"[%*d|%.*s]", -5, 1, -1, L"whole"), printf(L"[%*d|%.*ls]", -5, 1, -1, L"whole"));
    EXPECT_EQ(TernFormat(L"[%1500.1400f|%-700lld|%#800o]", 2.5, int64_t{-3}, 8u),
              printf(L"[%1500.1400f|%-700lld|%#800o]", 2.5, -3LL, 8u));
}

TEST(Format, RuntimeMismatchIsReportedNotCrashed) {
    std::wstring out;
    tern_fmt::Arg a = tern_fmt::MakeArg(5);
    EXPECT_FALSE(tern_fmt::FormatV(out, L"%s", &a, 1));
    EXPECT_FALSE(tern_fmt::FormatV(out, L"%d %d", &a, 1));
    EXPECT_FALSE(tern_fmt::FormatV(out, nullptr, &a, 1));
    out.clear();
    EXPECT_TRUE(tern_fmt::FormatV(out, L"%d", &a, 1));
    EXPECT_EQ(out, L"5");
}

TEST(Wide, ConversionsAndWtoi) {
    std::setlocale(LC_ALL, "C.UTF-8");
    std::wstring w;
    EXPECT_TRUE(TernUtf8ToWide("h\xC3\xA9llo", w));
    EXPECT_EQ(w, L"h\u00E9llo");
    for (const char* bad : {"bad\xC3", "\xED\xA0\x80" /* surrogate */, "\xC0\xAF" /* overlong */})
        EXPECT_FALSE(TernUtf8ToWide(bad, w)) << bad;
    EXPECT_EQ(TernMbToWide("a\xFF"
                           "b"),
              L"a\uFFFD"
              L"b");
    EXPECT_EQ(TernWideToUtf8(L"\u00E9"), "\xC3\xA9");
    EXPECT_EQ(TernToUpper(L"dvebmgs00"), L"DVEBMGS00");
    EXPECT_TRUE(TernEqualsNoCase(L"Central", L"CENTRAL"));
    std::setlocale(LC_ALL, "C");
    const std::pair<const wchar_t*, int> wtoi[] = {{L"  42abc", 42},
                                                   {L"-7", -7},
                                                   {L"+3", 3},
                                                   {L"", 0},
                                                   {L"abc", 0},
                                                   {L"99999999999", INT32_MAX},
                                                   {L"-99999999999", INT32_MIN}};
    for (auto [text, value] : wtoi) EXPECT_EQ(TernWtoi(text), value) << TernWideToUtf8(text);
}

// The conversion as it was before its ASCII shortcut: the locale's converter for every character.
std::wstring ConvertEachCharacter(std::string_view text) {
    std::wstring out;
    std::mbstate_t st{};
    for (size_t i = 0; i < text.size();) {
        wchar_t wc = 0;
        const size_t r = std::mbrtowc(&wc, text.data() + i, text.size() - i, &st);
        const bool bad = r == static_cast<size_t>(-1) || r == static_cast<size_t>(-2);
        if (bad) st = std::mbstate_t{};
        out.push_back(bad ? L'\uFFFD' : r == 0 ? L'\0' : wc);
        i += bad || r == 0 ? 1 : r;
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
        const std::string bytes = TernWideToUtf8(text);
        for (const auto& needle : needles) {
            for (size_t from : {size_t{0}, size_t{3}, size_t{13}, text.size(), text.size() + 1})
                EXPECT_EQ(finder.Find(text, needle, from), upper.find(needle, from))
                    << bytes << " / " << TernWideToUtf8(needle) << " from " << from;
            // The walk's test on the bytes may only turn down what the search would not find, and answers
            // for itself on ASCII.
            const bool found = finder.Find(TernMbToWide(bytes), needle) != std::wstring::npos;
            const bool ascii = std::all_of(bytes.begin(), bytes.end(), [](char c) { return c >= 0; });
            EXPECT_EQ(finder.MayFind(bytes, needle), found || !ascii)
                << bytes << " / " << TernWideToUtf8(needle);
        }
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
    const char* formats[] = {"%d",   "%u",     "%x",    "%X",  "%.08X",  "%08X",  "%8x", "%.0x",
                             "%.0u", "%12.5X", "%012u", "%3u", "%05.2x", "%-6u|", "%#x", "%+d"};
    for (int64_t v : {int64_t{0}, int64_t{1}, int64_t{-1}, int64_t{255}, int64_t{0x80070005},
                      int64_t{INT32_MIN}, int64_t{INT32_MAX}, int64_t{UINT32_MAX}}) {
        for (const char* format : formats) {
            for (const tern_fmt::Arg a :
                 {tern_fmt::MakeArg(static_cast<int32_t>(v)), tern_fmt::MakeArg(static_cast<uint32_t>(v))}) {
                std::wstring out;
                ASSERT_TRUE(tern_fmt::FormatV(out, TernMbToWide(format).c_str(), &a, 1));
                char expected[64];
                std::snprintf(expected, sizeof expected, format, static_cast<uint32_t>(v));
                EXPECT_EQ(out, TernMbToWide(expected)) << format << " " << v;
            }
        }
    }
}

TEST(PasswordCodec, RoundTripAndRejection) {
    std::string enc;
    ASSERT_TRUE(TernEncodePassword("Secr3t!pw", enc));
    char buf[4096] = {};
    std::snprintf(buf, sizeof buf, "%s", enc.c_str());
    ASSERT_EQ(TernDecodePassword(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "Secr3t!pw");

    // Any single damaged character is detected.
    for (size_t i = 0; i < enc.size(); ++i) {
        std::string bad = enc;
        bad[i] = bad[i] == 'A' ? 'B' : 'A';
        std::snprintf(buf, sizeof buf, "%s", bad.c_str());
        EXPECT_EQ(TernDecodePassword(buf, sizeof buf), -2) << i;
        EXPECT_EQ(bad, buf);  // left as it was
    }
    for (const char* foreign : {"ab", "", "plaintextpassword", "KP1", "KP10000000G"}) {
        std::snprintf(buf, sizeof buf, "%s", foreign);
        EXPECT_EQ(TernDecodePassword(buf, sizeof buf), -2) << foreign;
    }
    for (const std::string& refused :
         {std::string("has space"), std::string("tab\t"), std::string(3000, 'x')})
        EXPECT_FALSE(TernEncodePassword(refused, enc)) << refused;
    EXPECT_EQ(TernDecodePassword(nullptr, 10), -1);
    char unterminated[3] = {'K', 'P', '1'};
    EXPECT_EQ(TernDecodePassword(unterminated, sizeof unterminated), -1);
}

}  // namespace
