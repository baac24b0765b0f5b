// Conversions between wide texts and narrow ones.
#pragma once

#include <string>
#include <string_view>
#include <cstdint>

// Multibyte text of the current locale to wide; a byte sequence that does not convert becomes U+FFFD.
std::wstring TernMbToWide(std::string_view text);
// Wide text to the current locale's multibyte form; a character the locale cannot encode becomes '?'.
// *lossy (when given) is set when that happened. The result is never cut short.
std::string TernWideToMb(std::wstring_view text, bool* lossy = nullptr);
// Strict UTF-8 to wide. Returns false (out untouched) on invalid UTF-8.
bool TernUtf8ToWide(std::string_view text, std::wstring& out);
// Wide to UTF-8; characters outside Unicode become U+FFFD.
std::string TernWideToUtf8(std::wstring_view text);
// Wide upper-casing of every character (towupper).
std::wstring TernToUpper(std::wstring_view text);
// Case-insensitive comparison of whole texts (towlower per character), like _wcsicmp == 0.
bool TernEqualsNoCase(std::wstring_view a, std::wstring_view b);
// Runtime wide-text-to-integer conversion: leading white space, optional sign, decimal digits up to the
// first other character; no digits give 0; out-of-range values saturate to the 32-bit limits.
int32_t TernWtoi(std::wstring_view text);
