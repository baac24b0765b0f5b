#include "HostProgress.h"

#include <unistd.h>

#include <cstdio>

#include "HostCommands.h"

namespace cairn::host {

ProgressLine::ProgressLine(bool enabled) : enabled_(enabled) {
    if (enabled_) thread_ = std::thread([this] { Loop(); });
}

ProgressLine::~ProgressLine() {
    {
        std::lock_guard lock(mu_);
        stop_ = true;
        Clear();
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void ProgressLine::Begin(const std::string& what, uint32_t budgetSeconds) {
    std::lock_guard lock(mu_);
    what_ = what;
    step_.clear();
    budgetSeconds_ = budgetSeconds;
    started_ = std::chrono::steady_clock::now();
    active_ = true;
    Draw();
}

void ProgressLine::End() {
    std::lock_guard lock(mu_);
    active_ = false;
    Clear();
}

void ProgressLine::Note(const std::string& text) {
    std::lock_guard lock(mu_);
    step_ = text.substr(0, text.find('\n'));  // drawn by the next tick: traces come by the thousand
}

void ProgressLine::Echo(const std::string& text) {
    std::lock_guard lock(mu_);
    Clear();
    fputs(text.c_str(), stderr);
    fflush(stderr);
    Draw();
}

void ProgressLine::Clear() {
    if (!drawn_) return;
    fputs("\r\033[K", stderr);
    fflush(stderr);
    drawn_ = false;
}

void ProgressLine::Draw() {
    if (!enabled_ || !active_ || stop_) return;
    const long spent = static_cast<long>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started_)
            .count());
    const long left = static_cast<long>(budgetSeconds_) - spent;
    std::string line = what_ + " " + std::to_string(spent) + "s, " +
                       (left >= 0 ? std::to_string(left) + "s of " + std::to_string(budgetSeconds_) + "s left"
                                  : "budget of " + std::to_string(budgetSeconds_) + "s spent") +
                       (step_.empty() ? "" : ": " + step_);
    // One column short of the width, so the cursor never wraps to a new line.
    const size_t columns = TerminalColumns(STDERR_FILENO, 80);
    line = "\r\033[K" + Shorten(line, columns > 1 ? columns - 1 : 1);
    fputs(line.c_str(), stderr);
    fflush(stderr);
    drawn_ = true;
}

void ProgressLine::Loop() {
    std::unique_lock lock(mu_);
    while (!stop_) {
        wake_.wait_for(lock, std::chrono::milliseconds(250));
        Draw();
    }
}

}  // namespace cairn::host
