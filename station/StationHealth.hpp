#pragma once

#include "station/StationStatus.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What the station's status lines tell the person at the layout, once per change: the station
// switched its track off by itself (a short circuit, a supply too low or too high), such an
// error while the track is off, and the track supply when it first comes and whenever the
// error changes. The station sends nothing when it trips; only its status line, read at every
// ping, shows it.
//
// A plain object: no lock, no clock, no I/O. The link holds one under its lock and feeds it the
// station's boots, the track power it switched and every status line; each call returns the
// console lines it calls for, each ended by a line feed.
class StationHealth {
public:
    // A station fresh from its boot, as after a reset or before a handshake: track off, no
    // error, its supply not yet said.
    StationHealth() = default;

    // The station behind the link has just booted (a reset in mid-session, a new connection):
    // what it said before no longer holds.
    void Booted();
    // A handshake on device succeeded with status from its ping (none when the answer held no
    // status line of the station's form): the start-up line with the station's firmware,
    // hardware and supply, and its error if it has one.
    std::vector<std::string> Connected(const std::string& device,
                                       const std::optional<StationStatus>& status);
    // setPower(1) (on) or setPower(0) was carried out: the track is as asked, and switching it
    // on clears the station's error.
    void Powered(bool on);
    // A status line from the station while connected.
    std::vector<std::string> Heard(const StationStatus& status);

    // How many times the station has been seen switching its track off by itself.
    std::uint64_t Trips() const { return trips_; }

    // The console line for an error digit's meaning ("overload or short circuit on the track");
    // empty for a digit that is no fault.
    static std::string Meaning(int error);

private:
    // What the station holds as far as the link knows: from its latest status line, and from
    // the setPower commands carried out since.
    bool trackOn_ = false;
    int error_ = 0;
    // The fault the console last spoke of (0: none), and whether the supply has been said since
    // the boot.
    int shownFault_ = 0;
    bool supplySaid_ = false;
    std::uint64_t trips_ = 0;
};
