#pragma once

#include <chrono>
#include <map>
#include <string>

// How the simulated station behaves and misbehaves.
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
    // The track supply in volts (0-99.9): below about 9 V or above 20 V the station reports an
    // error and switches the track off.
    double supplyVoltage = 14.8;
    // This long after the track is first switched on, a short circuit trips the station (once).
    // Negative: never.
    std::chrono::milliseconds shortAfter{-1};
    // Per command name: so many of the next lines with that name are lost on the line, as
    // noise loses them: neither carried out nor answered.
    std::map<std::string, int> lose;
    bool verbose = false;  // print each command and what changed to standard output
    // Rewritten after every command, before its reply goes out, with two lines: an account of
    // the station's state, and "rails: " with the packet the latest command put on the rails
    // (SimState::rails); empty: none.
    std::string stateFile;
};
