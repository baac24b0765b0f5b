// Shared pieces of the CKestrelUtil tests: trace capture.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "LibLogger.h"
#include "TestSupport.h"

namespace kestrel_test {

// Records the trace lines written on the test's thread.
class TraceRecorder : public TernLogImpl {
  public:
    TraceRecorder() { enabled_ = true; }
    void Write(const char*, uint32_t, const char*, const wchar_t* text) override { lines.emplace_back(text); }
    void WriteDump(const char*, uint32_t, const char*, const wchar_t*) override {}
    bool Has(const std::wstring& line) const {
        for (const auto& l : lines)
            if (l == line) return true;
        return false;
    }
    bool AnyContains(const std::wstring& part) const {
        for (const auto& l : lines)
            if (l.find(part) != std::wstring::npos) return true;
        return false;
    }
    std::vector<std::wstring> lines;
};

class TracingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static TraceRecorder recorder;  // the logger keeps the pointer for the whole program
        recorder_ = &recorder;
        recorder_->lines.clear();
        TernLogger().SetLogImpl(recorder_);
        TernLogger().BeginThread();
    }
    void TearDown() override { TernLogger().EndThread(); }
    TraceRecorder* recorder_ = nullptr;
};

}  // namespace kestrel_test
