#include <gtest/gtest.h>

#include <string>

#include "LibDNS.h"

namespace {

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
}

TEST(TernDNS, OtherFormatsAreRefused) {
    CKestrelStatus st = TernDNS::IsNameValid(L"host", 1);
    EXPECT_EQ(st.GetCode(), 2);
    EXPECT_EQ(st.GetError(), 87u);
}

}  // namespace
