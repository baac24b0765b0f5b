#include "LibLogger.h"

#include <cstdio>
#include <cstring>

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

TernThreadLogQueue::TernThreadLogQueue() : impl_(&console_) {}

TernThreadLogQueue::~TernThreadLogQueue() {
    TernSingleLock lock(&mutex_, true);
    queues_.clear();
}

void TernThreadLogQueue::SetLogImpl(TernLogImpl* impl) {
    if (impl) impl_ = impl;
}

TernThreadLogQueue::Queue* TernThreadLogQueue::Lookup() {
    TernSingleLock lock(&mutex_);
    if (lock.Lock().IsFailure()) return nullptr;
    auto it = queues_.find(TernCurrentThreadId());
    return it == queues_.end() ? nullptr : it->second.get();
}

void TernThreadLogQueue::BeginThread() {
    if (Lookup()) return;
    TernSingleLock lock(&mutex_);
    if (lock.Lock().IsFailure()) return;
    auto& q = queues_[TernCurrentThreadId()];
    if (!q) q = std::make_unique<Queue>();
}

void TernThreadLogQueue::Empty(Queue& q) {
    q.entries.clear();
    // The room is kept for the next call, unless an unusually long one made it large.
    if (q.texts.capacity() > kKeptTextRoom) {
        std::wstring().swap(q.texts);
    } else {
        q.texts.clear();
    }
}

void TernThreadLogQueue::EndThread() {
    if (Queue* q = Lookup()) Empty(*q);
}

long TernThreadLogQueue::QueuedForThisThread() {
    Queue* q = Lookup();
    return q ? static_cast<long>(q->entries.size()) : -1;
}

void TernThreadLogQueue::TraceV(const char* sourcePath, uint32_t line, std::string_view function,
                                const wchar_t* format, const tern_fmt::Arg* args, size_t count) {
    Queue* q = Lookup();
    if (q == nullptr || !q->enabled) return;
    std::wstring& texts = q->texts;
    const size_t at = texts.size();
    if (!tern_fmt::FormatV(texts, format, args, count)) {
        texts.resize(at);
        texts.append(kFormatFailure);
    } else if (texts.size() - at > kMaxLine) {
        texts.resize(at + kMaxLine);
    }
    texts.push_back(L'\0');

    const char* path = sourcePath ? sourcePath : "";
    const char* sep = std::strrchr(path, kTernPathSepA);
    q->entries.push_back(Entry{line, sep ? sep + 1 : path, function, at});

    TernLogImpl* impl = impl_;
    if (impl->IsEnabled()) impl->Write(path, line, std::string(function).c_str(), texts.c_str() + at);
}

void TernThreadLogQueue::Dump() {
    Queue* q = Lookup();
    if (q == nullptr) return;
    if (!q->entries.empty()) {
        TernLogImpl* impl = impl_;
        impl->WriteDump("LibLogger", 206, "TernThreadLogQueue::Dump",
                        L"*** Start of debug information dump for troubleshooting ***");
        for (const Entry& e : q->entries) {
            impl->WriteDump(e.file, e.line, std::string(e.function).c_str(), q->texts.c_str() + e.text);
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
