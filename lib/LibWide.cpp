#include "LibWide.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <cwctype>

std::wstring TernMbToWide(std::string_view text) {
    std::wstring out;
    TernMbToWide(text, out);
    return out;
}

void TernMbToWide(std::string_view text, std::wstring& out) {
    out.clear();
    out.reserve(text.size());
    std::mbstate_t st{};
    size_t i = 0;
    while (i < text.size()) {
        // Every locale charset the C library supports is a superset of ASCII without shift states, so an
        // ASCII byte (other than NUL) is its own character: no conversion call (paths are mostly ASCII).
        size_t ascii = i;
        while (ascii < text.size() && static_cast<unsigned char>(text[ascii] - 1) < 0x7F) ++ascii;
        if (ascii > i) {
            const size_t at = out.size();
            out.resize(at + (ascii - i));
            for (size_t k = i; k < ascii; ++k) out[at + k - i] = static_cast<wchar_t>(text[k]);
            i = ascii;
            continue;
        }
        wchar_t wc = 0;
        size_t r = std::mbrtowc(&wc, text.data() + i, text.size() - i, &st);
        if (r == static_cast<size_t>(-1) || r == static_cast<size_t>(-2)) {
            out.push_back(L'\uFFFD');
            st = std::mbstate_t{};
            ++i;
            continue;
        }
        if (r == 0) {  // embedded NUL
            out.push_back(L'\0');
            ++i;
            continue;
        }
        out.push_back(wc);
        i += r;
    }
}

std::string TernWideToMb(std::wstring_view text, bool* lossy) {
    std::string out;
    out.reserve(text.size());
    std::mbstate_t st{};
    char buf[MB_LEN_MAX];
    bool lost = false;
    for (wchar_t wc : text) {
        size_t r = std::wcrtomb(buf, wc, &st);
        if (r == static_cast<size_t>(-1)) {
            out.push_back('?');
            st = std::mbstate_t{};
            lost = true;
            continue;
        }
        out.append(buf, r);
    }
    if (lossy) *lossy = lost;
    return out;
}

bool TernUtf8ToWide(std::string_view s, std::wstring& out) {
    std::wstring r;
    r.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        uint32_t cp;
        int extra;
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            extra = 3;
        } else {
            return false;
        }
        if (i + static_cast<size_t>(extra) >= s.size() && extra > 0) return false;
        for (int k = 1; k <= extra; ++k) {
            unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        r.push_back(static_cast<wchar_t>(cp));
        i += 1 + extra;
    }
    out.swap(r);
    return true;
}

std::string TernWideToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        uint32_t cp = static_cast<uint32_t>(wc);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::wstring TernToUpper(std::wstring_view text) {
    std::wstring out(text);
    for (auto& c : out) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return out;
}

TernUpperFinder::TernUpperFinder() {
    for (wint_t c = 0; c < 128; ++c) ascii_[c] = static_cast<wchar_t>(std::towupper(c));
}

wchar_t TernUpperFinder::UpperOther(wchar_t c) {
    return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
}

size_t TernUpperFinder::Find(std::wstring_view text, std::wstring_view needle, size_t from) const {
    if (from > text.size() || needle.size() > text.size() - from) return std::wstring_view::npos;
    const size_t last = text.size() - needle.size();
    for (size_t i = from; i <= last; ++i) {
        size_t j = 0;
        while (j < needle.size() && Upper(text[i + j]) == needle[j]) ++j;
        if (j == needle.size()) return i;
    }
    return std::wstring_view::npos;
}

bool TernUpperFinder::MayFind(std::string_view text, std::wstring_view needle) const {
    // ASCII bytes convert one to one; any other byte may start a character of a multibyte charset.
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    if (needle.size() > text.size()) return false;
    const size_t last = text.size() - needle.size();
    for (size_t i = 0; i <= last; ++i) {
        size_t j = 0;
        while (j < needle.size() && ascii_[static_cast<unsigned char>(text[i + j])] == needle[j]) ++j;
        if (j == needle.size()) return true;
    }
    return false;
}

bool TernEqualsNoCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i])))
            return false;
    }
    return true;
}

int32_t TernWtoi(std::wstring_view text) {
    size_t i = 0;
    while (i < text.size() && std::iswspace(static_cast<wint_t>(text[i]))) ++i;
    bool neg = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) neg = text[i++] == L'-';
    int64_t v = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        if (v <= static_cast<int64_t>(INT32_MAX) + 1) v = v * 10 + (text[i] - L'0');
    }
    if (neg) v = -v;
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}
