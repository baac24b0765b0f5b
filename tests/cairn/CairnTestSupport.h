// Helpers of the framework and host tests: a temporary directory, running cairnagent, reading JSON.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace cairn_test {

// A fresh directory under $TMPDIR (or /tmp), removed with its content at the end.
class TempDir {
  public:
    TempDir() {
        const char* base = getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/cairn-test-XXXXXX";
        char* made = mkdtemp(pattern.data());
        path_ = made != nullptr ? made : "";
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// True when line starts with a log time stamp "YYYY-MM-DD HH:MM:SS.mmm " (24 characters).
inline bool StartsWithTimestamp(const std::string& line) {
    const char* shape = "dddd-dd-dd dd:dd:dd.ddd ";
    if (line.size() < 24) return false;
    for (size_t i = 0; i < 24; ++i) {
        if (shape[i] == 'd' ? !isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i])
            return false;
    }
    return true;
}

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the host with args, stdin from input, the test's environment without CAIRN_* plus env. Output goes
// through files in dir, so a chatty child can never block on a full pipe.
inline RunResult RunHost(const TempDir& dir, const std::vector<std::string>& args,
                         const std::string& input = "", const std::map<std::string, std::string>& env = {}) {
    const std::string in = dir / ".stdin", out = dir / ".stdout", err = dir / ".stderr";
    WriteFile(in, input);
    pid_t pid = fork();
    if (pid == 0) {
        int fds[3] = {open(in.c_str(), O_RDONLY), open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                      open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
        for (int i = 0; i < 3; ++i) dup2(fds[i], i);
        for (const char* name : {"CAIRN_CONFIG", "CAIRN_FAULT_OPEN_FAILS", "CAIRN_FAULT_ATTR_READ",
                                 "CAIRN_FAULT_REGISTER", "CAIRN_SERVICE_ROOT"}) {
            unsetenv(name);
        }
        for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> argv{const_cast<char*>(CAIRN_TEST_HOST)};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    RunResult result;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    result.out = ReadFile(out);
    result.err = ReadFile(err);
    for (const std::string& file : {in, out, err}) unlink(file.c_str());
    return result;
}

// A JSON value, parsed strictly enough to catch broken escaping: any syntax error makes Parse fail.
struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    const Json& operator[](const std::string& key) const {
        static const Json missing;
        for (const auto& [name, value] : members) {
            if (name == key) return value;
        }
        return missing;
    }
    bool Has(const std::string& key) const {
        for (const auto& member : members) {
            if (member.first == key) return true;
        }
        return false;
    }

    // Parses exactly one value (surrounding white space allowed). Returns false on any error.
    static bool Parse(const std::string& text, Json& out) {
        size_t pos = 0;
        if (!ParseValue(text, pos, out)) return false;
        SkipSpace(text, pos);
        return pos == text.size();
    }

  private:
    static void SkipSpace(const std::string& s, size_t& pos) {
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\n' || s[pos] == '\t' || s[pos] == '\r')) ++pos;
    }
    static void AppendUtf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    static bool ParseString(const std::string& s, size_t& pos, std::string& out) {
        if (s[pos] != '"') return false;
        for (++pos; pos < s.size(); ++pos) {
            unsigned char c = static_cast<unsigned char>(s[pos]);
            if (c == '"') {
                ++pos;
                return true;
            }
            if (c < 0x20) return false;  // raw control characters are not allowed in JSON strings
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (++pos == s.size()) return false;
            switch (s[pos]) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    if (pos + 4 >= s.size()) return false;
                    unsigned cp = static_cast<unsigned>(std::stoul(s.substr(pos + 1, 4), nullptr, 16));
                    AppendUtf8(out, cp);
                    pos += 4;
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }
    static bool ParseValue(const std::string& s, size_t& pos, Json& out) {
        SkipSpace(s, pos);
        if (pos >= s.size()) return false;
        char c = s[pos];
        if (c == '"') {
            out.kind = String;
            return ParseString(s, pos, out.text);
        }
        if (c == '{' || c == '[') {
            bool object = c == '{';
            out.kind = object ? Object : Array;
            ++pos;
            SkipSpace(s, pos);
            if (pos < s.size() && s[pos] == (object ? '}' : ']')) return ++pos, true;
            for (;;) {
                std::string key;
                if (object) {
                    SkipSpace(s, pos);
                    if (pos >= s.size() || !ParseString(s, pos, key)) return false;
                    SkipSpace(s, pos);
                    if (pos >= s.size() || s[pos++] != ':') return false;
                }
                Json value;
                if (!ParseValue(s, pos, value)) return false;
                if (object) {
                    out.members.emplace_back(key, std::move(value));
                } else {
                    out.items.push_back(std::move(value));
                }
                SkipSpace(s, pos);
                if (pos >= s.size()) return false;
                if (s[pos] == ',') {
                    ++pos;
                    continue;
                }
                return s[pos++] == (object ? '}' : ']');
            }
        }
        for (const auto& [word, kind, flag] :
             {std::tuple{"true", Bool, true}, std::tuple{"false", Bool, false},
              std::tuple{"null", Null, false}}) {
            if (s.compare(pos, strlen(word), word) == 0) {
                out.kind = kind;
                out.boolean = flag;
                pos += strlen(word);
                return true;
            }
        }
        size_t end = pos;
        while (end < s.size() &&
               (isdigit(static_cast<unsigned char>(s[end])) || strchr("+-.eE", s[end]) != nullptr)) {
            ++end;
        }
        if (end == pos) return false;
        out.kind = Number;
        out.number = std::stod(s.substr(pos, end - pos));
        pos = end;
        return true;
    }
};

}  // namespace cairn_test
