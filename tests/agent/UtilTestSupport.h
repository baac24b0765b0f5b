// Shared pieces of the CKestrelUtil tests: trace capture.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "LibLogger.h"
#include "LibWide.h"
#include "TestSupport.h"

namespace kestrel_test {

// Records the trace lines written on the test's thread.
class TraceRecorder : public TernLogImpl {
  public:
    TraceRecorder() { enabled_ = true; }
    void Write(const char*, uint32_t, const char*, const wchar_t* text) override { lines.emplace_back(text); }
    void WriteDump(const char*, uint32_t, const char*, const wchar_t*) override {}
    bool Has(const std::wstring& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    bool AnyContains(const std::wstring& part) const {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const auto& l) { return l.find(part) != std::wstring::npos; });
    }
    // Expects every one of these lines to have been traced.
    void ExpectHas(std::initializer_list<std::wstring> expected) const {
        for (const auto& line : expected) EXPECT_TRUE(Has(line)) << TernWideToMb(line);
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
