#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cwchar>
#include <string>

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

TEST(Wide, Conversions) {
    std::setlocale(LC_ALL, "C.UTF-8");
    std::wstring w;
    EXPECT_TRUE(TernUtf8ToWide("h\xC3\xA9llo", w));
    EXPECT_EQ(w, L"h\u00E9llo");
    EXPECT_FALSE(TernUtf8ToWide("bad\xC3", w));
    EXPECT_FALSE(TernUtf8ToWide("\xED\xA0\x80", w));  // surrogate
    EXPECT_FALSE(TernUtf8ToWide("\xC0\xAF", w));      // overlong
    EXPECT_EQ(TernMbToWide("a\xFF"
                           "b"),
              L"a\uFFFD"
              L"b");
    EXPECT_EQ(TernWideToUtf8(L"\u00E9"), "\xC3\xA9");
    EXPECT_EQ(TernToUpper(L"dvebmgs00"), L"DVEBMGS00");
    EXPECT_TRUE(TernEqualsNoCase(L"Central", L"CENTRAL"));
    std::setlocale(LC_ALL, "C");
}

TEST(Wide, WtoiFollowsRuntimeConversion) {
    EXPECT_EQ(TernWtoi(L"  42abc"), 42);
    EXPECT_EQ(TernWtoi(L"-7"), -7);
    EXPECT_EQ(TernWtoi(L"+3"), 3);
    EXPECT_EQ(TernWtoi(L""), 0);
    EXPECT_EQ(TernWtoi(L"abc"), 0);
    EXPECT_EQ(TernWtoi(L"99999999999"), INT32_MAX);
    EXPECT_EQ(TernWtoi(L"-99999999999"), INT32_MIN);
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
    EXPECT_FALSE(TernEncodePassword("has space", enc));
    EXPECT_FALSE(TernEncodePassword("tab\t", enc));
    EXPECT_FALSE(TernEncodePassword(std::string(3000, 'x'), enc));
    EXPECT_EQ(TernDecodePassword(nullptr, 10), -1);
    char unterminated[3] = {'K', 'P', '1'};
    EXPECT_EQ(TernDecodePassword(unterminated, sizeof unterminated), -1);
}

}  // namespace
