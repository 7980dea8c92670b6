#pragma once

#include "base/ConsoleLog.hpp"
#include "serial/NSerialPort.hpp"
#include "station/NDSDCC.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The station link behind NDSDCC. The program has exactly one (NDSDCC's), but the class stands
// alone so that tests and fuzzers can drive a private instance.
//
// The link is gone, connecting or connected. A read that ends (end of file, device error), a
// write that fails or misses its deadline, and two commands in a row that time out mean the
// station is gone: the link says so, closes the port, refuses commands at once and reopens the
// device on a thread of its own until a handshake succeeds again.
class NDSDCC::Impl {
public:
    // Longest reply line kept; the rest of a longer line up to its line feed is discarded.
    static constexpr std::size_t kMaxLineLength = 64 * 1024;
    // The station wants this long after a status line before the next command.
    static constexpr std::chrono::milliseconds kPacing{100};
    // A command's wait for its answer; a resynchronising ping before it waits as long, so one
    // call takes at most about twice that (the ping, the pause, the command).
    static constexpr std::chrono::milliseconds kCommandTimeout{1500};
    static constexpr std::chrono::seconds kConfigTimeout{15};
    // The handshake's wait for the ready notice and for the answer to its ping.
    static constexpr std::chrono::seconds kReadyTimeout{5};
    static constexpr std::chrono::seconds kHandshakePingTimeout{3};
    // Pauses between reconnection attempts: the first, doubled after each failure up to the last.
    static constexpr std::chrono::milliseconds kFirstRetryPause{500};
    static constexpr std::chrono::milliseconds kLongestRetryPause{5000};
    // Time-outs in a row that mean the station is gone.
    static constexpr int kTimeoutsForLoss = 2;

    // Registers the receive and loss callbacks with the port; opens nothing, starts no thread.
    Impl();
    // Stops (see Stop), then closes the port, so that no chunk arrives while the reply state is
    // destroyed.
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // One handshake on the given device path: open, ready notice within readyTimeout, ping.
    // Records lastOpenFailure. False without touching anything while the link is connected or
    // connecting. A failure is not retried; once connected, a lost station is reconnected by
    // reopening the same path. A line setting the device refuses propagates as an exception.
    bool Open(const std::string& devicePath,
              std::chrono::milliseconds readyTimeout = kReadyTimeout);
    // Open on the device portName resolves to (DevicePath). On failure the link keeps trying in
    // the background, resolving portName afresh for every attempt, as after a loss.
    bool Connect(const std::string& portName);
    // Refuses every further command and stops reconnecting, then closes the port.
    void Close();
    // For good: wakes every wait (command, handshake, reconnection pause), cuts a blocked write
    // short, ends the reconnection thread; every later command fails at once. Any thread but
    // the serial I/O thread.
    void Stop();

    // Writes one command line and waits for its completing status line; true on status 200.
    // Preceded by a resynchronising ping when the previous command timed out. One caller at a
    // time.
    bool SendCommand(const std::string& command);
    bool Greet();
    // Sleeps until kPacing has passed since the latest status line (at once if it has).
    void AwaitPacing();
    // The CV read with its value checks (the command set's GetLocoConfig).
    bool GetLocoConfig(std::int32_t cv, std::int32_t& value);

    // One received chunk (the serial port's callback; also fed directly by tests and fuzzers).
    void OnSerialData(const std::vector<std::uint8_t>& bytes);
    // One complete reply line without its line feed.
    void HandleLine(const std::string& line);

    // True while commands are carried out (a handshake succeeded and the station is not lost).
    bool Connected() const;
    // Moves at every handshake and at every ready notice while connected: the station behind
    // the link has forgotten its state (or never had any) since a caller last looked.
    std::uint64_t StationEpoch() const;
    // Treats the link as handshaken on a port opened by hand (tests and fuzzers).
    void MarkConnected();

    // The reply state as a waiting command sees it (tests and diagnostics).
    std::int32_t LastStatus() const;
    std::vector<std::string> ReplyValues() const;

    NSerialPort port;
    LogFunction log = ConsoleLog;
    // The outcome and device path of the latest Open or Connect (not of background attempts);
    // written by their caller only.
    OpenFailure lastOpenFailure = OpenFailure::None;
    std::string lastDevicePath;

private:
    using Clock = std::chrono::steady_clock;
    enum class State { Gone, Connecting, Connected };
    // Reset: the station rebooted while the command waited, forgetting it.
    enum class Outcome { Answered, TimedOut, Interrupted, WriteFailed, Reset };
    struct Result {
        Outcome outcome;
        std::int32_t status;  // of the answer
        std::string reason;   // why the write failed
    };

    // The handshake on path, in state Connecting; Connected when it succeeds.
    bool Handshake(const std::string& path, std::chrono::milliseconds readyTimeout,
                   OpenFailure& failure);
    // Writes command (paced) and waits until deadline for its answer: the first completing
    // status line after the write, or with afterMark, the first after the "@DSG" line of this
    // ping, before which everything is a late answer to an earlier command.
    Result Exchange(const std::string& command, Clock::time_point deadline, bool afterMark);
    // Books the outcome of a command's exchange: time-outs in a row, the need to resynchronise,
    // a lost station. True when it was answered.
    bool Settle(const Result& result);
    // The station is gone (from any thread but during a handshake): tells once per connection,
    // wakes the waits and leaves the rest to the link thread.
    void Lose(const std::string& reason);
    // Ends every wait in progress (loss, stop, close).
    void Interrupt();
    void ClosePort();
    void StartLinkThread();
    void LinkThread();

    // Framing state, touched only by the thread that delivers chunks (the serial I/O thread).
    std::string lineBuffer;

    // Guarded by stateMutex, signalled on stateSignal. state is also read without the lock.
    // inFlight is set while a command (not a handshake) is under way; the link thread touches
    // the port only once it is clear.
    mutable std::mutex stateMutex;
    std::condition_variable stateSignal;
    std::atomic<State> state{State::Gone};
    bool inFlight = false;
    bool reconnect = false;  // reconnect when the station is gone
    std::string portName;    // what reconnection resolves afresh
    std::string devicePath;  // of the current or latest connection
    std::thread linkThread;

    std::atomic<bool> stopping{false};
    // Moved by Interrupt, before the waiters' mutexes are taken to notify them.
    std::atomic<std::uint64_t> interrupts{0};
    std::atomic<std::uint64_t> epoch{0};
    // Set by a reset in mid-session, cleared by the next command written.
    std::atomic<bool> greetingOwed{false};

    // Guarded by replyMutex. completions counts completing status lines (200-399). A command
    // names the completion that will answer it (awaitedCompletion) before writing, or, after
    // a resynchronising ping, once the ping's "@DSG" line arrived; the answer's code and data
    // lines are kept as they stood when it came, whatever follows before the command wakes.
    mutable std::mutex replyMutex;
    std::condition_variable replySignal;
    static constexpr std::uint64_t kNoCompletion = ~std::uint64_t{0};
    std::int32_t lastStatus = 0;
    std::int32_t completedStatus = 0;
    std::uint64_t completions = 0;
    std::uint64_t awaitedCompletion = kNoCompletion;
    bool answered = false;
    bool awaitingMark = false;
    // Pings written whose "@DSG" line has not come: the mark is the one that settles them all.
    std::uint64_t pingsOwed = 0;
    bool resyncNeeded = false;
    int timeoutsInRow = 0;
    std::uint64_t resets = 0;  // ready notices in mid-session
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
