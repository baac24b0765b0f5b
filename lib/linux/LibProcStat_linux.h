// The one parser of /proc/PID/stat, with the fields by name. Header-only and standard C++ only, so that
// the simulated SAP programs (sim/) read process ages the way the library does. Not part of the library's
// interface.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tern_posix {

// Fields of /proc/PID/stat (numbered as in proc(5)).
struct ProcStat {
    int32_t pid = 0;         // field 1
    std::string comm;        // field 2, without its parentheses (may hold blanks and parentheses)
    char state = '?';        // field 3: R, S, D, Z, X, ...
    int32_t ppid = 0;        // field 4
    int32_t pgrp = 0;        // field 5
    int32_t session = 0;     // field 6
    uint32_t flags = 0;      // field 9: the kernel's PF_* flags
    uint64_t startTime = 0;  // field 22: start time in clock ticks after boot
};

namespace proc_stat_detail {

// Reads the unsigned or signed decimal at text[pos] and moves pos past it and one blank. false without
// digits.
template <class T>
inline bool Number(std::string_view text, size_t& pos, T& out) {
    bool negative = pos < text.size() && text[pos] == '-';
    size_t p = pos + (negative ? 1 : 0);
    const size_t start = p;
    uint64_t v = 0;
    for (; p < text.size() && text[p] >= '0' && text[p] <= '9'; ++p) v = v * 10 + uint64_t(text[p] - '0');
    if (p == start) return false;
    out = negative ? static_cast<T>(-static_cast<int64_t>(v)) : static_cast<T>(v);
    pos = p < text.size() ? p + 1 : p;
    return true;
}

// Moves pos past one blank-separated field.
inline bool Skip(std::string_view text, size_t& pos) {
    size_t blank = text.find(' ', pos);
    if (blank == std::string_view::npos) return false;
    pos = blank + 1;
    return true;
}

}  // namespace proc_stat_detail

// Parses the text of /proc/PID/stat. The command name is in parentheses and may itself contain ") ": the
// fields after it follow the last ')'. false when the text is not of that form.
inline bool ParseProcStat(std::string_view text, ProcStat& out) {
    using namespace proc_stat_detail;
    const size_t open = text.find('(');
    const size_t close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open ||
        close + 2 >= text.size())
        return false;
    size_t pos = 0;
    if (!Number(text.substr(0, open), pos, out.pid)) return false;
    out.comm.assign(text.substr(open + 1, close - open - 1));
    pos = close + 2;
    out.state = text[pos];
    pos += 2;
    if (!Number(text, pos, out.ppid) || !Number(text, pos, out.pgrp) || !Number(text, pos, out.session))
        return false;
    for (int field = 7; field < 9; ++field)
        if (!Skip(text, pos)) return false;
    if (!Number(text, pos, out.flags)) return false;
    for (int field = 10; field < 22; ++field)
        if (!Skip(text, pos)) return false;
    return Number(text, pos, out.startTime);
}

}  // namespace tern_posix
