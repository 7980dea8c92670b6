#pragma once

#include "app/ConsoleLog.hpp"
#include "serial/NSerialPort.hpp"
#include "station/NDSDCC.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// The station link behind NDSDCC. The program has exactly one (NDSDCC's), but the class stands
// alone so that tests and fuzzers can drive a private instance.
class NDSDCC::Impl {
public:
    // Longest reply line kept; the rest of a longer line up to its line feed is discarded.
    static constexpr std::size_t kMaxLineLength = 64 * 1024;
    // The station wants this long after a status line before the next command.
    static constexpr std::chrono::milliseconds kPacing{100};
    static constexpr std::chrono::seconds kCommandTimeout{3};
    static constexpr std::chrono::seconds kConfigTimeout{15};

    // Registers the receive callback with the port; opens nothing.
    Impl();
    // Closes the port first, so that no chunk arrives while the reply state is destroyed.
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // The handshake on the given device path: open, ready notice within readyTimeout, ping.
    // Records lastOpenFailure. A line setting the device refuses propagates as an exception.
    bool Open(const std::string& devicePath,
              std::chrono::milliseconds readyTimeout = std::chrono::seconds(5));
    // Refuses every further command, then closes the port.
    void Close();

    // Writes one command line and waits for its completing status line; true on status 200.
    bool SendCommand(const std::string& command);
    // Sleeps until kPacing has passed since the latest status line (at once if it has).
    void AwaitPacing();
    // The CV read with its value checks (the command set's GetLocoConfig).
    bool GetLocoConfig(std::int32_t cv, std::int32_t& value);

    // One received chunk (the serial port's callback; also fed directly by tests and fuzzers).
    void OnSerialData(const std::vector<std::uint8_t>& bytes);
    // One complete reply line without its line feed.
    void HandleLine(const std::string& line);

    // The reply state as a waiting command sees it (tests and diagnostics).
    std::int32_t LastStatus() const;
    std::vector<std::string> ReplyValues() const;

    NSerialPort port;
    // Set by a successful handshake, cleared by Close; read by whichever thread sends.
    std::atomic<bool> connected{false};
    LogFunction log = ConsoleLog;
    OpenFailure lastOpenFailure = OpenFailure::None;
    std::string lastDevicePath;

private:
    using Clock = std::chrono::steady_clock;

    // Framing state, touched only by the thread that delivers chunks (the serial I/O thread).
    std::string lineBuffer;

    // Guarded by replyMutex. completions counts completing status lines (200-399); a command
    // records it before writing and waits for it to move, so a reply that arrives before the
    // wait begins is not lost and one that arrived before the write does not count. The first
    // completing line after the write is the answer: completedStatus keeps the code of the
    // completion numbered awaitedCompletion, not of whatever line came last before the wake-up.
    mutable std::mutex replyMutex;
    std::condition_variable replySignal;
    std::int32_t lastStatus = 0;
    std::int32_t completedStatus = 0;
    std::uint64_t completions = 0;
    std::uint64_t awaitedCompletion = 0;
    std::vector<std::string> replyValues;
    // replyValues as they stood when the awaited completion arrived: what the command reads.
    std::vector<std::string> answerValues;
    std::string expectedTag;
    Clock::time_point lastStatusTime = Clock::now() - std::chrono::hours(1);

    // Guarded by connectMutex: the count of ready notices, for the handshake's wait.
    std::mutex connectMutex;
    std::condition_variable connectSignal;
    std::uint64_t readyNotices = 0;
};
