#include <gtest/gtest.h>

#include "LibCommandLine.h"

namespace {

using Args = std::vector<std::wstring>;

struct SplitCase {
    const wchar_t* line;
    Args expected;
};

TEST(TernSplitCommandLine, FollowsTheWindowsRules) {
    const SplitCase cases[] = {
        // blanks and tabs separate; runs of them and leading/trailing ones vanish
        {L"prog a b", {L"prog", L"a", L"b"}},
        {L"  prog \t a\t\tb  ", {L"prog", L"a", L"b"}},
        {L"", {}},
        {L" \t ", {}},
        // quotes group, and may start or end inside an argument
        {L"prog \"a b\" c", {L"prog", L"a b", L"c"}},
        {L"prog a\"b c\"d", {L"prog", L"ab cd"}},
        {L"prog \"unterminated arg", {L"prog", L"unterminated arg"}},
        // empty arguments
        {L"prog \"\" x", {L"prog", L"", L"x"}},
        {L"prog \"\"", {L"prog", L""}},
        // backslashes: literal unless before a quote; 2n -> n and the quote toggles; 2n+1 -> n and a quote
        {L"prog a\\b c\\\\d", {L"prog", L"a\\b", L"c\\\\d"}},
        {L"prog a\\\"b", {L"prog", L"a\"b"}},
        {L"prog a\\\\\"b c\"", {L"prog", L"a\\b c"}},
        {L"prog a\\\\\\\"b", {L"prog", L"a\\\"b"}},
        {L"prog \"dir\\\\\" next", {L"prog", L"dir\\", L"next"}},
        {L"prog \"a\\\"b\"", {L"prog", L"a\"b"}},
        // two quotes inside quotes: one literal quote, still quoted
        {L"prog \"a\"\"b c\"", {L"prog", L"a\"b c"}},
        // the program name: quoted up to the next quote, backslashes literal
        {L"\"C:\\Program Files\\x.exe\" -v", {L"C:\\Program Files\\x.exe", L"-v"}},
        {L"C:\\dir\\\"x\" y", {L"C:\\dir\\\"x\"", L"y"}},
        {L"/usr/sap/ABC/SYS/exe/run/sapinfo.exe pf=/usr/sap/ABC/SYS/profile/ABC_DVEBMGS00_h",
         {L"/usr/sap/ABC/SYS/exe/run/sapinfo.exe", L"pf=/usr/sap/ABC/SYS/profile/ABC_DVEBMGS00_h"}},
        // no shell meaning for shell characters
        {L"prog $HOME;rm -rf `x` |&>", {L"prog", L"$HOME;rm", L"-rf", L"`x`", L"|&>"}},
    };
    for (const SplitCase& c : cases) {
        EXPECT_EQ(TernSplitCommandLine(c.line), c.expected)
            << "line: " << std::string(c.line, c.line + wcslen(c.line));
    }
}

}  // namespace
