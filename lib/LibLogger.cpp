#include "LibLogger.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "CairnAgfw.h"
#include "LibPlatform.h"
#include "LibSingleLock.h"
#include "LibWide.h"

void TernLogImpl::Write(const char* sourcePath, uint32_t line, const char* function, const wchar_t* text) {
    if (enabled_) TernLogImpl::WriteDump(sourcePath, line, function, text);
}

void TernLogImpl::WriteDump(const char* sourcePath, uint32_t line, const char* function,
                            const wchar_t* text) {
    std::wstring s = TernFormat(L"\nMod: %S Line: %d Func: %S Msg: %s", sourcePath, line, function, text);
    std::string out = TernWideToMb(s);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

TernLogAgfwImpl::TernLogAgfwImpl(uint32_t dumpTag, uint32_t traceTag)
    : dumpTag_(dumpTag), traceTag_(traceTag) {
    enabled_ = true;
}

void TernLogAgfwImpl::Write(const char* sourcePath, uint32_t line, const char* function,
                            const wchar_t* text) {
    if (enabled_) CairnAgResLogMsg2(traceTag_, function, sourcePath, line, 0, text);
}

void TernLogAgfwImpl::WriteDump(const char* sourcePath, uint32_t line, const char* function,
                                const wchar_t* text) {
    CairnAgResLogMsg2(dumpTag_, function, sourcePath, line, 512, text);
}

namespace {

// The calling thread's queue found last, and the serial of the logger it belongs to. A queue leaves its map
// only when its own thread ends or its logger is destroyed (and serials are never reused), so while the
// serial matches, the queue is there without asking the map.
std::atomic<uint64_t> g_serials{0};
struct LastQueue {
    uint64_t serial = 0;
    void* queue = nullptr;
};
thread_local LastQueue t_last;

}  // namespace

// The logger while it exists, null after; guarded by its own mutex, which a logger being destroyed and a
// thread that ends take in turn.
struct TernLoggerLife {
    std::mutex mutex;
    TernThreadLogQueue* logger;
};

namespace {

// The loggers in which the calling thread has a queue; when the thread ends, its queues are dropped, so a
// host that runs each call on a new thread does not keep a queue per ended thread.
struct ThreadQueues {
    std::vector<std::shared_ptr<TernLoggerLife>> loggers;
    ~ThreadQueues() {
        t_last = LastQueue{};  // a line traced later in the thread's end finds no queue
        const uint32_t tid = TernCurrentThreadId();
        for (const std::shared_ptr<TernLoggerLife>& life : loggers) {
            std::lock_guard<std::mutex> lock(life->mutex);
            if (life->logger) life->logger->ReleaseThread(tid);
        }
    }
};
thread_local ThreadQueues t_queues;

}  // namespace

TernThreadLogQueue::TernThreadLogQueue()
    : serial_(++g_serials), life_(std::make_shared<TernLoggerLife>()), impl_(&console_) {
    life_->logger = this;
}

TernThreadLogQueue::~TernThreadLogQueue() {
    {
        std::lock_guard<std::mutex> lock(life_->mutex);
        life_->logger = nullptr;
    }
    TernSingleLock lock(&mutex_, true);
    queues_.clear();
}

void TernThreadLogQueue::ReleaseThread(uint32_t tid) {
    std::unique_ptr<Queue> gone;  // freed outside the lock
    TernSingleLock lock(&mutex_);
    if (lock.Lock().IsFailure()) return;
    auto it = queues_.find(tid);
    if (it == queues_.end()) return;
    gone = std::move(it->second);
    queues_.erase(it);
}

size_t TernThreadLogQueue::QueueCount() {
    TernSingleLock lock(&mutex_);
    if (lock.Lock().IsFailure()) return 0;
    return queues_.size();
}

void TernThreadLogQueue::SetLogImpl(TernLogImpl* impl) {
    if (impl) impl_ = impl;
}

TernThreadLogQueue::Queue* TernThreadLogQueue::Lookup() {
    if (t_last.serial == serial_) return static_cast<Queue*>(t_last.queue);
    TernSingleLock lock(&mutex_);
    if (lock.Lock().IsFailure()) return nullptr;
    auto it = queues_.find(TernCurrentThreadId());
    if (it == queues_.end()) return nullptr;
    t_last = LastQueue{serial_, it->second.get()};
    return it->second.get();
}

void TernThreadLogQueue::BeginThread() {
    if (Lookup()) return;
    TernSingleLock lock(&mutex_);
    if (lock.Lock().IsFailure()) return;
    auto& q = queues_[TernCurrentThreadId()];
    if (q) return;
    q = std::make_unique<Queue>();
    lock.Unlock();
    std::vector<std::shared_ptr<TernLoggerLife>>& mine = t_queues.loggers;
    if (std::find(mine.begin(), mine.end(), life_) == mine.end()) mine.push_back(life_);
}

void TernThreadLogQueue::Empty(Queue& q) {
    q.entries.clear();
    q.args.clear();
    // The room is kept for the next call, unless an unusually long one made it large.
    if (q.texts.capacity() > kKeptTextRoom) {
        std::wstring().swap(q.texts);
    } else {
        q.texts.clear();
    }
    if (q.narrowTexts.capacity() > kKeptTextRoom) {
        std::string().swap(q.narrowTexts);
    } else {
        q.narrowTexts.clear();
    }
}

void TernThreadLogQueue::EndThread() {
    if (Queue* q = Lookup()) Empty(*q);
}

long TernThreadLogQueue::QueuedForThisThread() {
    Queue* q = Lookup();
    return q ? static_cast<long>(q->entries.size()) : -1;
}

void TernThreadLogQueue::FormatLine(std::wstring& out, const wchar_t* format, const tern_fmt::Arg* args,
                                    size_t count) {
    const size_t at = out.size();
    if (!tern_fmt::FormatV(out, format, args, count)) {
        out.resize(at);
        out.append(kFormatFailure);
    } else if (out.size() - at > kMaxLine) {
        out.resize(at + kMaxLine);
    }
}

void TernThreadLogQueue::TraceV(const char* sourcePath, uint32_t line, std::string_view function,
                                const wchar_t* format, const tern_fmt::Arg* args, size_t count) {
    Queue* q = Lookup();
    if (q == nullptr || !q->enabled) return;
    const char* path = sourcePath ? sourcePath : "";
    Entry e{line, path, function, nullptr, 0, 0, 0};

    TernLogImpl* impl = impl_;
    if (impl->IsEnabled()) {
        // Written now, so formatted now; the queue keeps the text.
        e.text = q->texts.size();
        FormatLine(q->texts, format, args, count);
        q->texts.push_back(L'\0');
        q->entries.push_back(e);
        impl->Write(path, line, std::string(function).c_str(), q->texts.c_str() + e.text);
        return;
    }
    // Kept for a dump that may never come: the format and copies of the arguments.
    e.format = format;
    e.args = q->args.size();
    e.count = count;
    for (size_t i = 0; i < count; ++i) {
        tern_fmt::Arg a = args[i];
        if (a.kind == tern_fmt::Kind::WStr && a.p != nullptr) {
            const size_t at = q->texts.size();
            q->texts.append(static_cast<const wchar_t*>(a.p), a.len);
            a.u = at + 1;
        } else if (a.kind == tern_fmt::Kind::NStr && a.p != nullptr) {
            const size_t at = q->narrowTexts.size();
            q->narrowTexts.append(static_cast<const char*>(a.p), a.len);
            a.u = at + 1;
        } else if (a.kind == tern_fmt::Kind::WStr || a.kind == tern_fmt::Kind::NStr) {
            a.u = 0;
        }
        q->args.push_back(a);
    }
    q->entries.push_back(e);
}

const wchar_t* TernThreadLogQueue::MessageOf(const Queue& q, const Entry& e, std::wstring& scratch) {
    if (e.format == nullptr) return q.texts.c_str() + e.text;
    tern_fmt::Arg args[16];
    std::vector<tern_fmt::Arg> many;
    tern_fmt::Arg* out = args;
    if (e.count > std::size(args)) {
        many.resize(e.count);
        out = many.data();
    }
    for (size_t i = 0; i < e.count; ++i) {
        tern_fmt::Arg a = q.args[e.args + i];
        if (a.kind == tern_fmt::Kind::WStr) {
            a.p = a.u ? static_cast<const void*>(q.texts.data() + (a.u - 1)) : nullptr;
        } else if (a.kind == tern_fmt::Kind::NStr) {
            a.p = a.u ? static_cast<const void*>(q.narrowTexts.data() + (a.u - 1)) : nullptr;
        }
        out[i] = a;
    }
    scratch.clear();
    FormatLine(scratch, e.format, out, e.count);
    return scratch.c_str();
}

void TernThreadLogQueue::Dump() {
    Queue* q = Lookup();
    if (q == nullptr) return;
    if (!q->entries.empty()) {
        TernLogImpl* impl = impl_;
        impl->WriteDump("LibLogger", 206, "TernThreadLogQueue::Dump",
                        L"*** Start of debug information dump for troubleshooting ***");
        std::wstring scratch;
        for (const Entry& e : q->entries) {
            const char* sep = std::strrchr(e.file, kTernPathSepA);
            impl->WriteDump(sep ? sep + 1 : e.file, e.line, std::string(e.function).c_str(),
                            MessageOf(*q, e, scratch));
        }
        impl->WriteDump("LibLogger", 217, "TernThreadLogQueue::Dump",
                        L"*** End of debug information dump for troubleshooting ***");
    }
    Empty(*q);
}

TernThreadLogQueue& TernLogger() {
    static TernThreadLogQueue logger;
    return logger;
}
