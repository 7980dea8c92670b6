#pragma once

#include "base/ConsoleLog.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

// Takes the console over while it lives: every ConsoleLog call is kept, one entry per call with
// the time it was written, instead of going to standard output. The destructor gives standard
// output back, also when an assertion ended the test early.
class ConsoleCapture {
public:
    using Clock = std::chrono::steady_clock;

    ConsoleCapture() {
        SetConsoleSink([this](const char* text, std::size_t size) {
            std::lock_guard<std::mutex> lock(mutex_);
            entries_.push_back({std::string(text, size), Clock::now()});
            changed_.notify_all();
        });
    }
    ~ConsoleCapture() { SetConsoleSink(nullptr); }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // The text of each call so far, in order.
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> lines;
        for (const Entry& entry : entries_)
            lines.push_back(entry.text);
        return lines;
    }
    // Everything written so far, as one text.
    std::string Text() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string text;
        for (const Entry& entry : entries_)
            text += entry.text;
        return text;
    }
    // How many calls wrote exactly this text.
    std::size_t Count(const std::string& text) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t count = 0;
        for (const Entry& entry : entries_)
            count += entry.text == text ? 1 : 0;
        return count;
    }
    // Forgets what was written so far.
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.clear();
    }
    // Waits until a call wrote exactly this text; when it did, at is its time. False after the
    // timeout.
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout,
                 Clock::time_point* at = nullptr) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            for (const Entry& entry : entries_) {
                if (entry.text == text) {
                    if (at) *at = entry.time;
                    return true;
                }
            }
            return false;
        });
    }

private:
    struct Entry {
        std::string text;
        Clock::time_point time;
    };
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Entry> entries_;
};
