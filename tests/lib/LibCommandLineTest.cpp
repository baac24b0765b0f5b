// Text rules of the platform layer: how a command line splits into arguments, what a host name label may
// hold.
#include <gtest/gtest.h>

#include <string>

#include "LibCommandLine.h"
#include "LibDNS.h"

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

struct LabelCase {
    std::wstring name;
    int32_t code;
    uint32_t error;
};

TEST(TernDNS, HostNameLabelRules) {
    const LabelCase cases[] = {
        {L"sapabc01", 0, 0},
        {L"SAP-Host-1", 0, 0},
        {L"a", 0, 0},
        {L"1host", 0, 0},
        {L"1-2", 0, 0},
        {std::wstring(63, L'h'), 0, 0},
        {std::wstring(64, L'h'), 28, 123},
        {L"", 28, 123},
        {L"host.example.com", 28, 9560},
        {L"sap_host", 28, 9560},
        {L"sap host", 28, 9560},
        {L"h\u00e9te", 28, 9560},
        {L"-host", 28, 9560},
        {L"host-", 28, 9560},
        {L"12345", 28, 9561},
        {L"0", 28, 9561},
    };
    for (const LabelCase& c : cases) {
        CKestrelStatus st = TernDNS::IsNameValid(c.name, TernDNS::kHostnameLabel);
        EXPECT_EQ(st.GetCode(), c.code) << std::string(c.name.begin(), c.name.end());
        EXPECT_EQ(st.GetError(), c.error) << std::string(c.name.begin(), c.name.end());
    }
    CKestrelStatus other = TernDNS::IsNameValid(L"host", 1);  // no other format is known
    EXPECT_EQ(other.GetCode(), 2);
    EXPECT_EQ(other.GetError(), 87u);
}

}  // namespace
