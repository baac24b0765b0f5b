// DNS name checks of the platform library.
#pragma once

#include <cstdint>
#include <string_view>

#include "KestrelStatus.h"

class TernDNS {
  public:
    TernDNS() = delete;

    // Name formats understood by IsNameValid.
    enum : uint32_t {
        kHostnameLabel = 3,  // one host-name label, no dots
    };

    // Checks name against format. Success when the name is valid. Failure: code 28 with 123 (empty or
    // longer than 63 characters), 9560 (a character other than a letter, digit or hyphen, or a hyphen
    // at either end) or 9561 (digits only); code 2 with 87 for a format other than kHostnameLabel.
    // The check is in-house (RFC 1123 label rules), so it needs no resolver and no network.
    static CKestrelStatus IsNameValid(std::wstring_view name, uint32_t format);
};
