#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// What the simulated station looks like from outside.
struct SimLoco {
    std::int32_t speed = 0;  // as the station stores it: 0-1023 (a larger number is kept too)
    std::int32_t mode = 0;   // speed-step mode from setLocoSpeed's third argument: 0, 1, 2, other
    bool forward = true;
    std::uint64_t functions = 0;  // bit n: Fn on
};

struct SimState {
    bool power = false;
    std::map<std::int32_t, SimLoco> locos;  // key: station address (49152 + DCC address)
    // key: basic accessory output k (0-2043, station number 0x3800 + k); value: the coil last
    // activated, 0 or 1.
    std::map<std::int32_t, int> accessories;
    std::map<std::int32_t, std::int32_t> cvs;
    // What the rails carry for the locomotive or accessory of the latest command that named one,
    // as hex bytes without the check byte ("03 3F 86"); empty before any.
    std::string rails;
};

struct SimOptions {
    std::string linkPath;      // symbolic link to the device side; empty: none
    bool sendReady = true;     // banner with "100 Ready" on every open
    bool realTimings = false;  // power on, CV read and write take the real device's times
    std::chrono::milliseconds replyDelay{0};  // extra delay before every reply
    bool lfOnly = false;                      // end lines with LF instead of CR LF
    bool byteByByte = false;                  // deliver replies one byte per write
    bool garbage = false;                     // send a garbage line before each reply
    // Once this many commands have been answered (0: right after the first banner) the device
    // vanishes like an unplugged USB station: the opener's reads and writes fail and the
    // device and the link are removed. -1: never.
    int hangUpAfter = -1;
    // After the device vanished (hangUpAfter or Unplug), plug it in again this much later: a new
    // pseudo-terminal under the same link, a station fresh from its boot. Negative: never.
    std::chrono::milliseconds replugAfter{-1};
    // Once this many commands have been answered, the station resets as if its watchdog fired:
    // the boot banner with "100 Ready" again, its state forgotten. -1: never.
    int resetAfter = -1;
    // Once this many commands have been answered, the station stops reading: the opener's
    // writes block (the tty's output is suspended) until the device is opened anew. -1: never.
    int stopReadingAfter = -1;
    // A station with its wireless card fitted: unless a command line arrives within this time of
    // the boot's "100 Ready", it ignores the serial line until its next reset. 0: no card.
    std::chrono::milliseconds listenWindow{0};
    // The pause the station asks for after a "200 Ok"; a command that comes sooner is counted.
    std::chrono::milliseconds pacing{100};
    // Per command name ("setPower", ...): the status code to answer with instead of the
    // normal one (data lines stay); 0 means no answer at all. The command takes effect anyway.
    std::map<std::string, int> statusFor;
    bool verbose = false;  // print each command and what changed to standard output
    // Rewritten after every command, before its reply goes out, with two lines: an account of
    // the station's state, and "rails: " with the packet the latest command put on the rails
    // (SimState::rails); empty: none.
    std::string stateFile;
};

// A DSAir2 on a pseudo-terminal: the boot banner on every open of the device side, the
// station's replies, its state. Like the real board, which resets when the port is opened, it
// ignores input from the open until the banner (about 150 ms; 1.5 s with realTimings). Runs one
// thread of its own; tests use it in-process. Every public member is thread-safe.
class DSAir2Simulator {
public:
    explicit DSAir2Simulator(SimOptions options = {});
    // Stops the thread, closes the pseudo-terminal and removes the link.
    ~DSAir2Simulator();
    DSAir2Simulator(const DSAir2Simulator&) = delete;
    DSAir2Simulator& operator=(const DSAir2Simulator&) = delete;

    // Opens the pseudo-terminal, makes the link and starts the thread; false with a reason.
    bool Start(std::string& error);

    // The device side's path (/dev/pts/N) and the path to open (the link, else the device).
    std::string DeviceName() const;
    std::string Path() const;

    // Every command line received, in order, without line ends.
    std::vector<std::string> Commands() const;
    // Waits until at least count commands have arrived; false after the timeout.
    bool WaitForCommands(std::size_t count, std::chrono::milliseconds timeout) const;
    // Waits until the station's state satisfies condition (tested now and after every command);
    // false after the timeout.
    bool WaitForState(const std::function<bool(const SimState&)>& condition,
                      std::chrono::milliseconds timeout) const;
    // How many times the device side has been opened.
    int OpenCount() const;
    // Commands that arrived sooner than the 100 ms the station asks for after a "200 Ok".
    int PacingViolations() const;
    // False while a station with a wireless card ignores the serial line (listenWindow).
    bool Listening() const;
    SimState State() const;

    // Knobs that may change while running. A negative status restores the normal answer.
    void SetStatusFor(const std::string& command, int status);
    void SetReplyDelay(std::chrono::milliseconds delay);
    void SetCv(std::int32_t cv, std::int32_t value);
    // Writes raw bytes to the line (a stale reply, garbage); held until the next open while the
    // device is closed.
    void SendRaw(const std::string& bytes);

    // Faults of the device itself. Each has taken effect when the call returns.
    // The USB cable pulled: the device and the link vanish, the opener's reads fail.
    void Unplug();
    // Plugged in again (unplugged first if need be): a new pseudo-terminal under the same link,
    // the boot banner on its first open, an empty station (the decoders keep their CVs). False
    // with a reason when the pseudo-terminal cannot be made.
    bool Replug(std::string& error);
    // The station resets in mid-session: whatever it was about to send is lost, it boots again
    // (the banner with "100 Ready" to the opener, if any) and forgets its state but not the CVs.
    void Reset();
    // The station stops taking bytes: the opener's writes block until it reads again
    // (StopReading(false)) or the device is opened anew, which resets the station.
    void StopReading(bool stop);
    // False while unplugged.
    bool Plugged() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};
