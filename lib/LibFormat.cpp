#include "LibFormat.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cwchar>

#include "LibWide.h"

namespace tern_fmt {
namespace {

void Pad(std::wstring& out, std::wstring_view body, const Spec& s) {
    size_t w = s.width > 0 ? static_cast<size_t>(s.width) : 0;
    if (body.size() >= w) {
        out.append(body);
    } else if (s.left) {
        out.append(body);
        out.append(w - body.size(), L' ');
    } else {
        out.append(w - body.size(), L' ');
        out.append(body);
    }
}

// Builds a narrow printf conversion from the parsed spec with the given length and conversion letters.
std::string NarrowSpec(const Spec& s, const char* len, char conv) {
    std::string f = "%";
    if (s.left) f += '-';
    if (s.plus) f += '+';
    if (s.space) f += ' ';
    if (s.alt) f += '#';
    if (s.zero) f += '0';
    if (s.width >= 0) f += std::to_string(s.width);
    if (s.precision >= 0) f += '.' + std::to_string(s.precision);
    f += len;
    f += conv;
    return f;
}

void AppendAscii(std::wstring& out, const char* text, int n) {
    for (int k = 0; k < n; ++k) out.push_back(static_cast<unsigned char>(text[k]));
}

// A conversion without flags, width or precision: its digits need no printf.
bool IsPlain(const Spec& s) {
    return !s.left && !s.plus && !s.space && !s.alt && !s.zero && s.width < 0 && s.precision < 0;
}

// One printf conversion of any length: a stack buffer for the common short ones, else one of the exact size.
template <class T>
bool AppendPrintf(std::wstring& out, const std::string& spec, T v) {
    char buf[512];
    int n = std::snprintf(buf, sizeof buf, spec.c_str(), v);
    if (n < 0) return false;
    if (static_cast<size_t>(n) < sizeof buf) {
        AppendAscii(out, buf, n);
        return true;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    n = std::snprintf(big.data(), big.size(), spec.c_str(), v);
    if (n < 0) return false;
    AppendAscii(out, big.data(), n);
    return true;
}

template <class T>
void AppendDecimal(std::wstring& out, T v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    AppendAscii(out, buf, static_cast<int>(r.ptr - buf));
}

bool FormatOne(std::wstring& out, const Spec& s, const Arg& a) {
    switch (s.conv) {
        case L'd':
        case L'i': {
            if (IsPlain(s) && s.len != Spec::kLongLong) {
                // The common "[%d]" of trace lines.
                AppendDecimal(out, a.kind == Kind::I32 ? static_cast<int>(a.i)
                                                       : static_cast<int>(static_cast<uint32_t>(a.u)));
                return true;
            }
            if (s.len == Spec::kLongLong) {
                long long v = a.kind == Kind::U64 ? static_cast<long long>(a.u) : static_cast<long long>(a.i);
                return AppendPrintf(out, NarrowSpec(s, "ll", 'd'), v);
            } else {
                // 32-bit conversion: an unsigned argument is reinterpreted, as printf would.
                int v = a.kind == Kind::I32 ? static_cast<int>(a.i)
                                            : static_cast<int>(static_cast<uint32_t>(a.u));
                return AppendPrintf(out, NarrowSpec(s, "", 'd'), v);
            }
        }
        case L'u':
        case L'x':
        case L'X':
        case L'o': {
            if (s.len != Spec::kLongLong && s.conv != L'o' && !s.left && !s.plus && !s.space && !s.alt) {
                // Status lines' "0x%.08X" and plain "%u": digits, zeros up to the precision, then the width.
                const unsigned v = a.kind == Kind::I32 ? static_cast<unsigned>(static_cast<int>(a.i))
                                                       : static_cast<unsigned>(a.u);
                char digits[16];
                char* end = digits;
                const int base = s.conv == L'u' ? 10 : 16;
                if (v != 0 || s.precision != 0)
                    end = std::to_chars(digits, digits + sizeof digits, v, base).ptr;
                if (s.conv == L'X')
                    for (char* d = digits; d < end; ++d)
                        if (*d >= 'a' && *d <= 'f') *d = static_cast<char>(*d - 'a' + 'A');
                const size_t count = static_cast<size_t>(end - digits);
                const size_t precision = s.precision > 0 ? static_cast<size_t>(s.precision) : 0;
                const size_t zeros = precision > count ? precision - count : 0;
                const size_t body = count + zeros;
                if (s.width > 0 && static_cast<size_t>(s.width) > body)
                    out.append(static_cast<size_t>(s.width) - body, s.zero && s.precision < 0 ? L'0' : L' ');
                out.append(zeros, L'0');
                AppendAscii(out, digits, static_cast<int>(count));
                return true;
            }
            char c = static_cast<char>(s.conv);
            if (s.len == Spec::kLongLong) {
                unsigned long long v = a.kind == Kind::I64 ? static_cast<unsigned long long>(a.i) : a.u;
                return AppendPrintf(out, NarrowSpec(s, "ll", c), v);
            } else {
                unsigned v = a.kind == Kind::I32 ? static_cast<unsigned>(static_cast<int>(a.i))
                                                 : static_cast<unsigned>(a.u);
                return AppendPrintf(out, NarrowSpec(s, "", c), v);
            }
        }
        case L'p':
            return AppendPrintf(out, NarrowSpec(s, "", 'p'), a.p);
        case L'f':
        case L'e':
        case L'g':
        case L'E':
        case L'G':
            return AppendPrintf(out, NarrowSpec(s, "", static_cast<char>(s.conv)), a.d);
        case L'c': {
            wchar_t ch = a.kind == Kind::I32 ? static_cast<wchar_t>(a.i) : static_cast<wchar_t>(a.u);
            if (!s.wideStr)
                ch = static_cast<wchar_t>(static_cast<unsigned char>(a.kind == Kind::I32 ? a.i : a.u));
            Pad(out, std::wstring_view(&ch, 1), s);
            return true;
        }
        case L's': {
            std::wstring converted;
            std::wstring_view body;
            if (a.p == nullptr) {
                body = L"(null)";
            } else if (a.kind == Kind::WStr) {
                body = std::wstring_view(static_cast<const wchar_t*>(a.p), a.len);
            } else {
                converted = TernMbToWide(std::string_view(static_cast<const char*>(a.p), a.len));
                body = converted;
            }
            if (s.precision >= 0 && body.size() > static_cast<size_t>(s.precision))
                body = body.substr(0, s.precision);
            Pad(out, body, s);
            return true;
        }
        default:
            return false;
    }
}

// The int argument of a "*" or ".*".
int StarValue(const Arg& a) {
    return a.kind == Kind::I32 ? static_cast<int>(a.i) : static_cast<int>(static_cast<uint32_t>(a.u));
}

}  // namespace

bool FormatV(std::wstring& out, const wchar_t* fmt, const Arg* args, size_t count) {
    if (fmt == nullptr) return false;
    size_t n = std::wcslen(fmt);
    out.reserve(out.size() + n + 64 * count);
    size_t arg = 0;
    size_t i = 0;
    while (i < n) {
        size_t pct = std::wstring_view(fmt + i, n - i).find(L'%');
        if (pct == std::wstring_view::npos) {
            out.append(fmt + i, n - i);
            break;
        }
        out.append(fmt + i, pct);
        i += pct + 1;
        if (i < n && fmt[i] == L'%') {
            out.push_back(L'%');
            ++i;
            continue;
        }
        Spec s;
        if (!ParseSpec(fmt, n, i, s)) return false;
        if (s.widthArg || s.precisionArg) {
            for (int star = int(s.widthArg) + int(s.precisionArg); star > 0; --star)
                if (arg + star > count ||
                    (args[arg + star - 1].kind != Kind::I32 && args[arg + star - 1].kind != Kind::U32))
                    return false;
            if (s.widthArg) {
                // As in printf: a negative width means left-justified.
                const int w = StarValue(args[arg++]);
                s.left = s.left || w < 0;
                s.width = w < 0 ? (w == INT_MIN ? INT_MAX : -w) : w;
            }
            // A negative precision counts as none.
            if (s.precisionArg) s.precision = std::max(StarValue(args[arg++]), -1);
        }
        if (arg >= count || !Fits(s, args[arg].kind)) return false;
        if (!FormatOne(out, s, args[arg++])) return false;
    }
    return arg == count;
}

}  // namespace tern_fmt
