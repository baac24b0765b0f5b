// Conversions between wide texts and narrow ones.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Multibyte text of the current locale to wide; a byte sequence that does not convert becomes U+FFFD.
std::wstring TernMbToWide(std::string_view text);
// The same into out (replacing its text, reusing its storage).
void TernMbToWide(std::string_view text, std::wstring& out);
// Wide text to the current locale's multibyte form; a character the locale cannot encode becomes '?'.
// *lossy (when given) is set when that happened. The result is never cut short.
std::string TernWideToMb(std::wstring_view text, bool* lossy = nullptr);
// Strict UTF-8 to wide. Returns false (out untouched) on invalid UTF-8.
bool TernUtf8ToWide(std::string_view text, std::wstring& out);
// Wide to UTF-8; characters outside Unicode become U+FFFD.
std::string TernWideToUtf8(std::wstring_view text);
// Wide upper-casing of every character (towupper).
std::wstring TernToUpper(std::wstring_view text);
// Searches in the upper case of many texts in a row, as TernToUpper(text).find(needle, from) would, without
// building the upper-case copy. The upper case of ASCII is taken from the current locale once, when built;
// build one per batch of searches.
class TernUpperFinder {
  public:
    TernUpperFinder();
    size_t Find(std::wstring_view text, std::wstring_view needle, size_t from = 0) const;
    // false only when Find(TernMbToWide(text), needle) would certainly fail; decided on the bytes of an ASCII
    // text without converting it (a text with other bytes is always a maybe). For walks that reject most
    // texts.
    bool MayFind(std::string_view text, std::wstring_view needle) const;

  private:
    wchar_t Upper(wchar_t c) const {
        const auto u = static_cast<uint32_t>(c);
        return u < 128 ? ascii_[u] : UpperOther(c);
    }
    static wchar_t UpperOther(wchar_t c);
    wchar_t ascii_[128];
};
// Case-insensitive comparison of whole texts (towlower per character), like _wcsicmp == 0.
bool TernEqualsNoCase(std::wstring_view a, std::wstring_view b);
// Runtime wide-text-to-integer conversion: leading white space, optional sign, decimal digits up to the
// first other character; no digits give 0; out-of-range values saturate to the 32-bit limits.
int32_t TernWtoi(std::wstring_view text);
