#pragma once

#include "sim/SimOptions.hpp"
#include "sim/SimState.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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
    // setLocoSpeed commands for a locomotive without an entry in the station's list (a firmware
    // fault: the entry it makes carries an undefined packet), since the start.
    int SpeedsWithoutEntry() const;
    // Locomotive entries the full list overwrote while their decoders were running (a step
    // above stop, or an undefined packet): they run on unrefreshed. Since the start.
    int OverwrittenRunning() const;
    // Accessory entries the full list overwrote before their packet went out: never on the
    // rails. Since the start.
    int OverwrittenTurnouts() const;
    // Every entry the full list overwrote, in order, since the start.
    std::vector<SimOverwrite> Overwritten() const;
    // False while a station with a wireless card ignores the serial line (listenWindow).
    bool Listening() const;
    SimState State() const;

    // Knobs that may change while running. A negative status restores the normal answer.
    void SetStatusFor(const std::string& command, int status);
    void SetReplyDelay(std::chrono::milliseconds delay);
    void SetCv(std::int32_t cv, std::int32_t value);
    // The next count lines named command (the text before "(") are lost on the line, as noise
    // loses them: neither carried out nor answered. Replaces what was pending for that name;
    // 0 loses none.
    void LoseNext(const std::string& command, int count = 1);
    // The lines lost so far (SimOptions::lose, LoseNext), in order, without line ends.
    std::vector<std::string> LostLines() const;
    // The track supply from now on, in volts (SimOptions::supplyVoltage).
    void SetSupplyVoltage(double volts);
    // A short circuit on the track, once: the station's next check with the track on (within
    // 0.5 s while its main loop runs) switches the track off and reports error 8 in its status
    // line, and sends nothing on the serial line.
    void ShortCircuit();
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
