#pragma once

#include "station/CommandOutcome.hpp"
#include "station/SpeedMode.hpp"

#include <cstdint>
#include <memory>
#include <string>

// The process-wide link to the DSAir2 command station. All operations are class-level and act
// on the one NDSDCC::Impl created during static initialisation. Every command is synchronous:
// it returns once the station has answered or the time-out (1.5 s, 15 s for the CV commands;
// as long again when a resynchronising ping goes first) has passed, and at once while the
// station is gone. Commands after start-up come from one
// thread at a time. A lost station is reopened in the background until it answers again.
class NDSDCC {
public:
    NDSDCC() = delete;

    // Why the latest Open failed, for the start-up message.
    enum class OpenFailure { None, DeviceNotOpened, NoReadyNotice, PingFailed };

    // Opens the named COM port, waits up to 5 s for the ready notice and pings the station;
    // true when the ping was answered with success. On failure the link keeps trying in the
    // background, also after it threw boost::system::system_error for a line setting the device
    // refused.
    static bool Open(const char* portName);
    // Closes the serial port and stops reconnecting; every command is refused afterwards.
    static void Close();
    // For the program's stop: wakes every wait and every reconnection attempt at once; every
    // later command fails without waiting.
    static void Stop();
    // Moves whenever the station may have forgotten what it was sent (a reconnection, a reset
    // in mid-session). Any thread.
    static std::uint64_t StationEpoch();
    // Moves whenever a status line shows that the station switched its track off by itself (a
    // short circuit, its supply too low or too high): the track is off, whatever was asked.
    // Any thread.
    static std::uint64_t TrackTrips();

    static bool SetPing();
    // The idle watch: a ping whose status line is read (see StationHealth) and which, with its
    // answer, is not echoed; an unanswered one counts towards the station's loss like any
    // command. Unknown or NotSent as Execute.
    static CommandOutcome Watch();
    // A ping if the station reset in mid-session and no command has reached it since (a station
    // with its wireless card fitted ignores the serial line unless a command comes soon after its
    // boot); true at once otherwise.
    static bool Greet();
    static bool PowerOn();
    static bool PowerOff();
    using SpeedMode = ::SpeedMode;

    // address: DCC locomotive address (the station base 49152 is added); speed 0-1023 (see
    // StationSpeed for the step each one gives).
    static bool SetLocoSpeed(std::int32_t address, std::int32_t speed, SpeedMode mode);
    static bool SetLocoDirection(std::int32_t address, bool forward);
    static bool SetLocoFunction(std::int32_t address, std::int32_t function, bool on);
    // DCC basic accessory output 0-2043 (decoder output / 4 + 1, pair output % 4; the station
    // base 0x3800 is added); thrown activates coil 1 of the pair, else coil 0.
    static bool SetTurnout(std::int32_t output, bool thrown);
    static bool SetLocoConfig(std::int32_t cv, std::int32_t value);
    // True when the station reported the CV; value is written only once a matching data line
    // arrived (and also for the failure value 65535, which returns false).
    static bool GetLocoConfig(std::int32_t cv, std::int32_t& value);

    // Returns once the station's pause after its latest answer has passed (at most 100 ms), so
    // that the caller can choose its next command as late as possible.
    static void AwaitReady();

    // Sends one command text (one of the texts below) and tells what became of it: Done,
    // Refused, Unknown (it may or may not have been carried out) or NotSent (see
    // NDSDCC::Impl::Execute).
    static CommandOutcome Execute(const std::string& command);
    // The same, but NotSent when the station has restarted since StationEpoch was forEpoch.
    static CommandOutcome Execute(const std::string& command, std::uint64_t forEpoch);
    // The CV read of GetLocoConfig, with the same value checks; Done only with a valid value
    // (see NDSDCC::Impl::ReadCv).
    static CommandOutcome ReadCv(std::int32_t cv, std::int32_t& value);

    // The command texts the operations above send, without the line feed.
    static std::string PingCommand();
    static std::string PowerCommand(bool on);
    static std::string SpeedCommand(std::int32_t address, std::int32_t speed, SpeedMode mode);
    static std::string DirectionCommand(std::int32_t address, bool forward);
    static std::string FunctionCommand(std::int32_t address, std::int32_t function, bool on);
    static std::string TurnoutCommand(std::int32_t output, bool thrown);
    static std::string ConfigWriteCommand(std::int32_t cv, std::int32_t value);
    static std::string ConfigReadCommand(std::int32_t cv);

    // The outcome of the latest Open, and the device path it tried.
    static OpenFailure LastOpenFailure();
    static std::string LastDevicePath();

    class Impl;

private:
    // The process-wide link, created during static initialisation, destroyed at exit.
    static std::unique_ptr<Impl> instance;
};
