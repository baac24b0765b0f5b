// Type-safe printf-style formatting of the system's wide texts.
//
// Formats follow the wide printf conventions of the texts they come from: "%s" is a wide text, "%S" (or
// "%hs") a narrow one, "%ls"/"%ws" wide, "%d"/"%i"/"%u"/"%x"/"%X"/"%o" 32-bit integers ("%lld", "%I64d" and
// friends 64-bit), "%c" a wide character, "%p" a pointer, "%f"/"%e"/"%g" a floating value; flags, width
// and precision as in printf, of any size, also taken from an int argument ("*", ".*") before the value. A
// TernFormatString is checked when it is built from a literal, at compile time, so a conversion that does not
// fit its argument does not compile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace tern_fmt {

enum class Kind : uint8_t { I32, U32, I64, U64, WStr, NStr, WChar, Ptr, Dbl };

template <class T>
consteval Kind KindOf() {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<U, wchar_t>) {
        return Kind::WChar;
    } else if constexpr (std::is_same_v<U, bool>) {
        static_assert(!std::is_same_v<U, bool>, "format a bool as an integer explicitly");
        return Kind::I32;
    } else if constexpr (std::is_enum_v<U>) {
        return sizeof(U) <= 4 ? (std::is_signed_v<std::underlying_type_t<U>> ? Kind::I32 : Kind::U32)
                              : Kind::I64;
    } else if constexpr (std::is_integral_v<U>) {
        if constexpr (sizeof(U) <= 4) {
            return std::is_signed_v<U> ? Kind::I32 : Kind::U32;
        } else {
            return std::is_signed_v<U> ? Kind::I64 : Kind::U64;
        }
    } else if constexpr (std::is_floating_point_v<U>) {
        return Kind::Dbl;
    } else if constexpr (std::is_same_v<U, std::wstring> || std::is_same_v<U, std::wstring_view> ||
                         std::is_same_v<std::decay_t<U>, const wchar_t*> ||
                         std::is_same_v<std::decay_t<U>, wchar_t*>) {
        return Kind::WStr;
    } else if constexpr (std::is_same_v<U, std::string> || std::is_same_v<U, std::string_view> ||
                         std::is_same_v<std::decay_t<U>, const char*> ||
                         std::is_same_v<std::decay_t<U>, char*>) {
        return Kind::NStr;
    } else if constexpr (std::is_pointer_v<std::decay_t<U>> || std::is_null_pointer_v<U>) {
        return Kind::Ptr;
    } else {
        static_assert(sizeof(U) == 0, "type cannot be formatted");
        return Kind::Ptr;
    }
}

// One parsed conversion.
struct Spec {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = -1;
    int precision = -1;
    bool widthArg = false;      // "*": the width is the next int argument
    bool precisionArg = false;  // ".*": the precision is the next int argument
    enum Len : uint8_t { kNone, kShort, kLong, kLongLong } len = kNone;
    wchar_t conv = 0;
    bool wideStr = true;  // for 's'/'c': the argument is wide
};

// d i u x X o: the conversions that take an integer argument.
constexpr bool IsIntegerConv(wchar_t c) {
    return c == L'd' || c == L'i' || c == L'u' || c == L'x' || c == L'X' || c == L'o';
}

// Parses the conversion starting after '%' at fmt[i]; advances i past it. Returns false on a malformed
// conversion. Usable at compile time and at run time.
constexpr bool ParseSpec(const wchar_t* fmt, size_t n, size_t& i, Spec& s) {
    for (; i < n; ++i) {
        wchar_t c = fmt[i];
        if (c == L'-')
            s.left = true;
        else if (c == L'+')
            s.plus = true;
        else if (c == L' ')
            s.space = true;
        else if (c == L'#')
            s.alt = true;
        else if (c == L'0')
            s.zero = true;
        else
            break;
    }
    if (i < n && fmt[i] == L'*') {
        s.widthArg = true;
        ++i;
    } else if (i < n && fmt[i] >= L'1' && fmt[i] <= L'9') {
        s.width = 0;
        while (i < n && fmt[i] >= L'0' && fmt[i] <= L'9') s.width = s.width * 10 + (fmt[i++] - L'0');
    }
    if (i < n && fmt[i] == L'.') {
        ++i;
        s.precision = 0;
        if (i < n && fmt[i] == L'*') {
            s.precisionArg = true;
            ++i;
        }
        while (i < n && fmt[i] >= L'0' && fmt[i] <= L'9') s.precision = s.precision * 10 + (fmt[i++] - L'0');
    }
    bool narrowMod = false, wideMod = false;
    if (i < n) {
        if (fmt[i] == L'h') {
            s.len = Spec::kShort;
            narrowMod = true;
            ++i;
            if (i < n && fmt[i] == L'h') ++i;
        } else if (fmt[i] == L'l') {
            s.len = Spec::kLong;
            wideMod = true;
            ++i;
            if (i < n && fmt[i] == L'l') {
                s.len = Spec::kLongLong;
                ++i;
            }
        } else if (fmt[i] == L'w') {
            wideMod = true;
            ++i;
        } else if (i + 2 < n && fmt[i] == L'I' && fmt[i + 1] == L'6' && fmt[i + 2] == L'4') {
            s.len = Spec::kLongLong;
            i += 3;
        } else if (fmt[i] == L'z') {
            s.len = Spec::kLongLong;
            ++i;
        }
    }
    if (i >= n) return false;
    s.conv = fmt[i++];
    switch (s.conv) {
        case L's':
        case L'c':
            s.wideStr = !narrowMod;
            return true;
        case L'S':
        case L'C':
            s.wideStr = wideMod;
            s.conv = s.conv == L'S' ? L's' : L'c';
            return true;
        case L'p':
        case L'f':
        case L'e':
        case L'g':
        case L'E':
        case L'G':
            return true;
        default:
            return IsIntegerConv(s.conv);
    }
}

constexpr bool Fits(const Spec& s, Kind k) {
    if (IsIntegerConv(s.conv)) {
        if (s.len == Spec::kLongLong) return k == Kind::I64 || k == Kind::U64;
        return k == Kind::I32 || k == Kind::U32 || k == Kind::WChar;
    }
    switch (s.conv) {
        case L's':
            return k == (s.wideStr ? Kind::WStr : Kind::NStr);
        case L'c':
            return s.wideStr ? (k == Kind::WChar || k == Kind::I32 || k == Kind::U32)
                             : (k == Kind::I32 || k == Kind::U32);
        case L'p':
            return k == Kind::Ptr || k == Kind::WStr || k == Kind::NStr;
        default:
            return k == Kind::Dbl;
    }
}

void FormatError(const char*);  // never defined: calling it at compile time stops the build

template <size_t M>
consteval void Check(const wchar_t* fmt, size_t n, const Kind (&kinds)[M], size_t count) {
    size_t arg = 0;
    for (size_t i = 0; i < n && fmt[i];) {
        if (fmt[i++] != L'%') continue;
        if (i < n && fmt[i] == L'%') {
            ++i;
            continue;
        }
        Spec s;
        if (!ParseSpec(fmt, n, i, s)) FormatError("malformed conversion in format");
        for (int star = int(s.widthArg) + int(s.precisionArg); star > 0; --star, ++arg) {
            if (arg >= count) FormatError("format has more conversions than arguments");
            if (kinds[arg] != Kind::I32 && kinds[arg] != Kind::U32)
                FormatError("\"*\" takes an int argument");
        }
        if (arg >= count) FormatError("format has more conversions than arguments");
        if (!Fits(s, kinds[arg])) FormatError("argument type does not fit its conversion");
        ++arg;
    }
    if (arg != count) FormatError("format has fewer conversions than arguments");
}

// A type-erased argument.
struct Arg {
    Kind kind;
    union {
        int64_t i;
        uint64_t u;
        double d;
        const void* p;
    };
    size_t len;  // for texts
};

// Points a at a text of characters Ch: a string or view (U, the argument's type without cv-ref) by its
// data and size, a pointer up to its terminator (length 0 for a null pointer).
template <class Ch, class U, class T>
inline void SetTextArg(Arg& a, const T& v) {
    if constexpr (std::is_same_v<U, std::basic_string<Ch>> || std::is_same_v<U, std::basic_string_view<Ch>>) {
        a.p = v.data();
        a.len = v.size();
    } else {
        const Ch* ptr = v;
        a.p = ptr;
        a.len = ptr ? std::char_traits<Ch>::length(ptr) : 0;
    }
}

template <class T>
inline Arg MakeArg(const T& v) {
    constexpr Kind k = KindOf<T>();
    Arg a{};
    a.kind = k;
    using U = std::remove_cvref_t<T>;
    if constexpr (k == Kind::WStr) {
        SetTextArg<wchar_t, U>(a, v);
    } else if constexpr (k == Kind::NStr) {
        SetTextArg<char, U>(a, v);
    } else if constexpr (k == Kind::Ptr) {
        a.p = static_cast<const void*>(v);
    } else if constexpr (k == Kind::Dbl) {
        a.d = static_cast<double>(v);
    } else if constexpr (k == Kind::I32 || k == Kind::I64) {
        a.i = static_cast<int64_t>(v);
    } else {
        a.u = static_cast<uint64_t>(v);
    }
    return a;
}

// Formats at run time. Returns false when the format does not match the arguments (only possible for
// formats that were not checked at compile time); out then holds what was formatted so far.
bool FormatV(std::wstring& out, const wchar_t* fmt, const Arg* args, size_t count);

}  // namespace tern_fmt

// A format literal checked against the argument types Args at compile time.
template <class... Args>
class TernFormatString {
  public:
    template <size_t N>
    consteval TernFormatString(const wchar_t (&s)[N]) : str_(s) {
        constexpr size_t kCount = sizeof...(Args);
        const tern_fmt::Kind kinds[kCount + 1] = {tern_fmt::KindOf<Args>()..., tern_fmt::Kind::Ptr};
        tern_fmt::Check(s, N, kinds, kCount);
    }
    const wchar_t* get() const { return str_; }

  private:
    const wchar_t* str_;
};

// Formats args into a new wide text. On a format error the text is what was formatted so far.
template <class... A>
inline std::wstring TernFormat(TernFormatString<std::type_identity_t<A>...> format, const A&... args) {
    std::wstring out;
    const tern_fmt::Arg erased[sizeof...(A) + 1] = {tern_fmt::MakeArg(args)..., tern_fmt::Arg{}};
    tern_fmt::FormatV(out, format.get(), erased, sizeof...(A));
    return out;
}
