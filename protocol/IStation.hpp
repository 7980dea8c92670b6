#pragma once

#include "station/CommandOutcome.hpp"
#include "station/SpeedMode.hpp"

#include <cstdint>

// The station operations the client protocol uses, each with what became of it. In the program
// they go to the station link (see NDSDCCStation); tests record them instead.
class IStation {
public:
    // A station that booted by itself (a reset in mid-session) must hear a command soon: with
    // its wireless card fitted it ignores the serial line otherwise. Sends a command without
    // effect unless one has reached the station since.
    virtual CommandOutcome Greet() = 0;
    // Asks an idle station how it is (a ping whose status line the link reads), quietly.
    virtual CommandOutcome Watch() = 0;
    virtual CommandOutcome PowerOn() = 0;
    virtual CommandOutcome PowerOff() = 0;
    virtual CommandOutcome SetLocoSpeed(std::int32_t address, std::int32_t speed,
                                        SpeedMode mode) = 0;
    virtual CommandOutcome SetLocoDirection(std::int32_t address, bool forward) = 0;
    virtual CommandOutcome SetLocoFunction(std::int32_t address, std::int32_t function,
                                           bool on) = 0;
    virtual CommandOutcome SetTurnout(std::int32_t output, bool thrown) = 0;
    virtual CommandOutcome SetLocoConfig(std::int32_t cv, std::int32_t value) = 0;
    // Done only with the value the station reported.
    virtual CommandOutcome GetLocoConfig(std::int32_t cv, std::int32_t& value) = 0;
    // The locomotive and turnout commands that follow are meant for the station as it was at
    // this epoch (a number that moves at every restart): one that has restarted since must not
    // get them (they are then NotSent).
    virtual void ForStation(std::uint64_t epoch) { (void)epoch; }
    // Moves whenever the station switched its track off by itself (a short circuit, a bad
    // supply); any thread.
    virtual std::uint64_t TrackTrips() const { return 0; }
    // Returns once the station is ready for its next command (the pause it asks for after an
    // answer), so that the command written then can be the newest; at once where there is none.
    virtual void AwaitReady() {}

protected:
    ~IStation() = default;
};
