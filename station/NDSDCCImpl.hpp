#pragma once

#include "base/ConsoleLog.hpp"
#include "serial/NSerialPort.hpp"
#include "station/CommandOutcome.hpp"
#include "station/NDSDCC.hpp"
#include "station/ReplyTracker.hpp"
#include "station/StationHealth.hpp"
#include "station/StationLineFramer.hpp"
#include "station/StationStatus.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// The station link behind NDSDCC: the serial port, the line's life cycle with its handshake and
// reconnection thread, and the console echo, around two cores: StationLineFramer cuts the
// received bytes into lines, ReplyTracker tells what each line means for the command under way.
// The program has exactly one (NDSDCC's), but the class stands alone so that tests and
// benchmarks can drive a private instance.
//
// A read that ends (end of file, device error), a write that fails or misses its deadline, and
// two commands in a row that time out mean the station is gone: the link says so, closes the
// port, refuses commands at once and reopens the device on a thread of its own until a
// handshake succeeds again.
//
// Every ping's status line goes to StationHealth, whose lines (a trip, an error, the supply)
// the link prints; after each handshake it prints what the station reports about itself.
class NDSDCC::Impl {
public:
    // A command's wait for its answer; a resynchronising ping before it waits as long, so one
    // call takes at most about twice that (the ping, the pause, the command).
    static constexpr std::chrono::milliseconds kCommandTimeout{1500};
    static constexpr std::chrono::milliseconds kConfigTimeout{15000};
    // The handshake's wait for the ready notice and for the answer to its ping.
    static constexpr std::chrono::seconds kReadyTimeout{5};
    static constexpr std::chrono::seconds kHandshakePingTimeout{3};
    // Pauses between reconnection attempts: the first, doubled after each failure up to the last.
    static constexpr std::chrono::milliseconds kFirstRetryPause{500};
    static constexpr std::chrono::milliseconds kLongestRetryPause{5000};

    // Registers the receive and loss callbacks with the port; opens nothing, starts no thread.
    // Every console line of the link goes to log; none when it is null.
    explicit Impl(LogFunction log = ConsoleLog);
    // Stops (see Stop), then closes the port, so that no chunk arrives while the link's state
    // is destroyed.
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // One handshake on the given device path: open, ready notice within readyTimeout, ping.
    // Records LastOpenFailure. False without touching the connection while the link is
    // connected or connecting. A failure is not retried; once connected, a lost station is
    // reconnected by reopening the same path. A line setting the device refuses propagates as
    // an exception.
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

    // Writes one command line and waits for its answer; preceded by a resynchronising ping when
    // an earlier command went unanswered. Done for "200 Ok"; Refused for any other completing
    // status but "301 Stx err"; Unknown when it was written (or may have been) and its fate is
    // not known: no answer in time, "301 Stx err", a reset, a loss or a stop while it waited, a
    // write that failed; NotSent when it was not written: the link not connected, stopping, or
    // the ping before it unanswered. One caller at a time.
    CommandOutcome Execute(const std::string& command);
    // The same, but NotSent when the station is no longer the one of forEpoch (StationEpoch):
    // a command meant for what a station held must not reach one that has just restarted.
    CommandOutcome Execute(const std::string& command, std::uint64_t forEpoch);
    // Execute(command) == Done.
    bool SendCommand(const std::string& command);
    // The idle watch: a ping like Execute's, with the same outcomes and the same loss rules, but
    // quiet: neither it nor its answer is echoed, and nothing is said when the link is not
    // connected (the loss was said).
    CommandOutcome Watch();
    // The CV read "getLocoConfig(49152,cv)": Done with value written when the station reported
    // the CV; Refused with value written for 65535 (no decoder answered); Unknown with value
    // untouched when the answer holds no readable value for cv; otherwise Execute's outcome,
    // value untouched.
    CommandOutcome ReadCv(std::int32_t cv, std::int32_t& value);
    // A ping if the station reset after the handshake and has been sent nothing since; true at
    // once otherwise.
    bool Greet();
    // Sleeps until the station's pause after its latest status line has passed (at most
    // ReplyTracker::kPacing; at once if it has).
    void AwaitPacing();

    // One received chunk (the serial port's callback; also fed directly by tests and
    // benchmarks). One thread at a time.
    void OnSerialData(const std::vector<std::uint8_t>& bytes);
    // One complete reply line without its line feed: echoed, then handed to the tracker.
    void HandleLine(const std::string& line);

    // True while commands are carried out (a handshake succeeded and the station is not lost).
    bool Connected() const;
    // Moves at every handshake and at every ready notice while connected: the station behind
    // the link has forgotten its state (or never had any) since a caller last looked. Any
    // thread, without waiting.
    std::uint64_t StationEpoch() const;
    // Moves whenever a status line shows that the station switched its track off by itself
    // (a short circuit, its supply too low or too high). Any thread, without waiting.
    std::uint64_t TrackTrips() const;
    // The outcome and device path of the latest Open or Connect (not of background attempts).
    OpenFailure LastOpenFailure() const;
    std::string LastDevicePath() const;

    // The time a command waits for its answer: kConfigTimeout for the CV commands (their text
    // begins with "setLocoConfig" or "getLocoConfig"), kCommandTimeout for every other.
    static std::chrono::milliseconds TimeoutFor(const std::string& command);

private:
    using Clock = std::chrono::steady_clock;
    enum class State {
        Closed,      // no station and nobody reopens it: before the first Open, after Close
        Connecting,  // a handshake is under way (Open's, or the link thread's attempts)
        Connected,   // commands are carried out
        Lost,        // the station went; the link thread reopens it once no command is under way
        Stopped,     // for good
    };
    // What one command's exchange came to.
    struct Exchanged {
        CommandOutcome outcome = CommandOutcome::NotSent;
        ReplyTracker::Result reply;
    };

    // The handshake on path, in state Connecting; Connected when it succeeds, with the console
    // lines that tell what the station reports about itself in said.
    bool Handshake(const std::string& path, std::chrono::milliseconds readyTimeout,
                   OpenFailure& failure, std::vector<std::string>& said);
    // Execute's work, with the answer for the caller who reads it; quiet for the watch.
    Exchanged Send(const std::string& command, bool quiet = false,
                   std::uint64_t forEpoch = kAnyEpoch);
    // Writes command (paced) and waits until deadline for its answer; then books the loss the
    // exchange means (a write that failed, the time-outs in a row). A quiet ping's answer is
    // not echoed.
    Exchanged Exchange(const std::string& command, Clock::time_point deadline, bool quiet = false,
                       std::uint64_t forEpoch = kAnyEpoch);
    // For Send and Exchange: whatever the station's epoch.
    static constexpr std::uint64_t kAnyEpoch = ~std::uint64_t{0};
    // Prints console lines the link's state gave, each a whole line.
    void Say(const std::vector<std::string>& lines);
    // The console lines of a command that is not sent.
    void Refuse(const std::string& command);
    // The station is gone (from any thread; during a handshake it only fails the handshake):
    // tells once per connection, wakes the waits and leaves the rest to the link thread.
    void Lose(const std::string& reason);
    // Ends every wait in progress (loss, stop, close).
    void Interrupt();
    void ClosePort();
    void StartLinkThread();
    void LinkThread();

    // First in, last out: after its destruction no callback can reach the fields below.
    NSerialPort port;
    const LogFunction log;
    // Touched only by the thread that delivers chunks (the serial I/O thread).
    StationLineFramer framer;

    // Guarded by mutex, signalled on changed: every field below but epoch. Nobody holds it
    // across a write, a sleep or a console line.
    mutable std::mutex mutex;
    std::condition_variable changed;
    ReplyTracker tracker;
    // The exchange under way is the watch's: the lines of its answer are not echoed.
    bool quietExchange = false;
    StationHealth health;
    // The status line of the handshake's ping, while Connecting.
    std::optional<StationStatus> handshakeStatus;
    State state = State::Closed;
    // A command (not a handshake) is under way; the link thread touches the port only once it
    // is clear.
    bool inFlight = false;
    // Moved by Interrupt: a wait that saw it move was cut short.
    std::uint64_t interrupts = 0;
    std::string portName;    // what reconnection resolves afresh
    std::string devicePath;  // of the current or latest connection
    OpenFailure lastOpenFailure = OpenFailure::None;
    std::string lastDevicePath;
    std::thread linkThread;

    std::atomic<std::uint64_t> epoch{0};
    std::atomic<std::uint64_t> trips{0};
};
