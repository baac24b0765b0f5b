// The progress line of the long-running commands (online, offline, clean) on a terminal.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace cairn::host {

// One line on standard error, rewritten in place ("\r" + clear to the end of the line): the entry point in
// progress, its latest step (agent-log message or trace line), the time spent and the budget left. A small
// thread redraws it every quarter second. When not enabled, nothing is drawn and Echo just writes.
// Thread-safe; the destructor ends the thread and clears the line.
class ProgressLine {
  public:
    explicit ProgressLine(bool enabled);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // A call starts: shown until End with its budget in seconds (the entry point's timeout).
    void Begin(const std::string& what, uint32_t budgetSeconds);
    // The call ended: the line is cleared and stays so until the next Begin.
    void End();
    // The step in progress (first line of text).
    void Note(const std::string& text);
    // Writes text to standard error with the line cleared before and drawn again after.
    void Echo(const std::string& text);

  private:
    void Draw();   // with mu_ held
    void Clear();  // with mu_ held
    void Loop();

    const bool enabled_;
    std::mutex mu_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool active_ = false;
    bool drawn_ = false;
    std::string what_;
    std::string step_;
    uint32_t budgetSeconds_ = 0;
    std::chrono::steady_clock::time_point started_;
    std::thread thread_;
};

}  // namespace cairn::host
