// Shared pieces of the CKestrelUtil tests: trace capture and a temporary directory.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "LibLogger.h"

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

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-util-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
        chmod(path_.c_str(), 0755);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }
    std::wstring WPath() const { return std::wstring(path_.begin(), path_.end()); }

  private:
    std::string path_;
};

}  // namespace kestrel_test
