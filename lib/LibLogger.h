// Trace lines and per-thread trace queues.
//
// Each trace line goes at once to the current log implementation and into the calling thread's queue;
// an entry point dumps the queue into the agent log when it fails or when tracing is asked for. A line is
// formatted only when it is written: at once when the implementation is enabled, else when the queue is
// dumped (the queue keeps the format and copies of the arguments). A thread's queue is released when the
// thread ends.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "LibFormat.h"
#include "LibMutex.h"

// Log implementation: where trace lines and dump lines go. The base prints to standard output.
class TernLogImpl {
  public:
    TernLogImpl() = default;
    // Each trace line: printed to standard output when enabled.
    virtual void Write(const char* sourcePath, uint32_t line, const char* function, const wchar_t* text);
    // Each dump line: printed to standard output whatever the flag.
    virtual void WriteDump(const char* sourcePath, uint32_t line, const char* function, const wchar_t* text);
    virtual ~TernLogImpl() = default;

    bool IsEnabled() const { return enabled_; }
    void SetEnabled(bool enabled) { enabled_ = enabled; }

  protected:
    bool enabled_ = false;
};

// Log implementation over the framework's resource debug log.
class TernLogAgfwImpl : public TernLogImpl {
  public:
    TernLogAgfwImpl(uint32_t dumpTag, uint32_t traceTag);
    void Write(const char* sourcePath, uint32_t line, const char* function, const wchar_t* text) override;
    void WriteDump(const char* sourcePath, uint32_t line, const char* function, const wchar_t* text) override;

  protected:
    uint32_t dumpTag_;
    uint32_t traceTag_;
};

// Whether a logger still exists, for the threads that have a queue in it (defined with the logger).
struct TernLoggerLife;

// The process-wide logger: a map from thread id to that thread's queue of trace lines.
class TernThreadLogQueue {
  public:
    // Cut of one formatted trace line, and the text used when a line cannot be formatted.
    static constexpr size_t kMaxLine = 999;
    static constexpr const wchar_t* kFormatFailure =
        L"Unknown error (_vsnwprintf is not able to put the message)";

    TernThreadLogQueue();
    ~TernThreadLogQueue();
    TernThreadLogQueue(const TernThreadLogQueue&) = delete;
    TernThreadLogQueue& operator=(const TernThreadLogQueue&) = delete;

    // A non-null implementation becomes the current one (not owned; it must outlive the logger's use).
    void SetLogImpl(TernLogImpl* impl);
    // Makes sure the calling thread has a queue.
    void BeginThread();
    // Writes out the calling thread's queue (framed by start and end lines when not empty) and empties it.
    void Dump();
    // Empties the calling thread's queue without writing it.
    void EndThread();

    // sourcePath and function are kept by reference until the line is dumped or emptied: they must be texts
    // of static storage (TERN_TRACE passes __FILE__ and the function's name; literals do).
    template <class... A>
    void Trace(const char* sourcePath, uint32_t line, std::string_view function,
               TernFormatString<std::type_identity_t<A>...> format, const A&... args) {
        const tern_fmt::Arg erased[sizeof...(A) + 1] = {tern_fmt::MakeArg(args)..., tern_fmt::Arg{}};
        TraceV(sourcePath, line, function, format.get(), erased, sizeof...(A));
    }

    // Number of entries in the calling thread's queue, -1 when it has none (for tests).
    long QueuedForThisThread();
    // Number of threads that have a queue (for tests).
    size_t QueueCount();

  private:
    // A line allocates nothing of its own: file, function and format are static texts; the message, or
    // until it is formatted its arguments, go into stores of its queue whose room is kept when the queue
    // is emptied.
    struct Entry {
        uint32_t line;
        const char* file;  // sourcePath (its file name part is taken when dumped)
        std::string_view function;
        const wchar_t* format;  // nullptr once formatted
        size_t text;            // formatted: offset of the NUL-terminated message in texts
        size_t args;            // not formatted: the arguments are args[args, args + count)
        size_t count;
    };
    struct Queue {
        std::vector<Entry> entries;
        std::wstring texts;               // messages and the wide texts of arguments
        std::string narrowTexts;          // the narrow texts of arguments
        std::vector<tern_fmt::Arg> args;  // texts as offsets + 1 into the stores (0: null)
        bool enabled = true;
    };

    void TraceV(const char* sourcePath, uint32_t line, std::string_view function, const wchar_t* format,
                const tern_fmt::Arg* args, size_t count);
    // Appends the message of format and args to out as a trace line: cut at kMaxLine, kFormatFailure when it
    // cannot be formatted.
    static void FormatLine(std::wstring& out, const wchar_t* format, const tern_fmt::Arg* args, size_t count);
    // The message of a queued entry; scratch holds it when it had to be formatted.
    static const wchar_t* MessageOf(const Queue& q, const Entry& e, std::wstring& scratch);
    Queue* Lookup();
    static void Empty(Queue& q);

  public:
    // Drops the queue of the thread with id tid (called as that thread ends). Not for callers.
    void ReleaseThread(uint32_t tid);

  private:
    // Characters of message text (8 MB) a queue keeps room for after being emptied; a Monitor walk over
    // some 5000 processes queues about a third of it.
    static constexpr size_t kKeptTextRoom = size_t{2} << 20;

    TernMutex mutex_;
    std::map<uint32_t, std::unique_ptr<Queue>> queues_;
    // Tells this logger from any other, also from a later one at the same address (see Lookup).
    const uint64_t serial_;
    // Shared with the threads that have a queue here, which drop it when they end unless the logger is gone.
    std::shared_ptr<TernLoggerLife> life_;
    TernLogImpl console_;
    TernLogImpl* impl_;
};

// The logger of this module, built at load and destroyed at unload.
TernThreadLogQueue& TernLogger();

// The calling thread's operating-system id.
uint32_t TernCurrentThreadId();

// Position of the first target outside any <...> nesting, walking s from `from` to its end, or (backward)
// from before `from` down to its start, where '>' opens a nesting and '<' closes it. npos when there is none.
constexpr size_t TernFindOutsideAngles(std::string_view s, char target, size_t from, bool backward) {
    const char open = backward ? '>' : '<';
    const char close = backward ? '<' : '>';
    int depth = 0;
    size_t count = backward ? from : s.size() - from;
    for (size_t k = 0; k < count; ++k) {
        size_t i = backward ? from - 1 - k : from + k;
        char c = s[i];
        if (c == open)
            ++depth;
        else if (c == close)
            --depth;
        else if (c == target && depth == 0)
            return i;
    }
    return std::string_view::npos;
}

// Qualified function name ("Class::Function") from __PRETTY_FUNCTION__.
constexpr std::string_view TernFunctionName(std::string_view pretty) {
    size_t paren = TernFindOutsideAngles(pretty, '(', 0, false);
    if (paren == std::string_view::npos) return pretty;
    size_t space = TernFindOutsideAngles(pretty, ' ', paren, true);
    size_t start = space == std::string_view::npos ? 0 : space + 1;
    std::string_view name = pretty.substr(start, paren - start);
    while (!name.empty() && (name[0] == '*' || name[0] == '&')) name.remove_prefix(1);
    return name;
}

// Returns its argument; being consteval, it makes the compiler work the name out, not each trace call.
consteval std::string_view TernCompileTimeName(std::string_view name) {
    return name;
}

#define TERN_FUNC (TernCompileTimeName(TernFunctionName(__PRETTY_FUNCTION__)))

// Writes one trace line from the calling function: TERN_TRACE(L"format", args...).
#define TERN_TRACE(format, ...) \
    TernLogger().Trace(__FILE__, __LINE__, TERN_FUNC, format __VA_OPT__(, ) __VA_ARGS__)
