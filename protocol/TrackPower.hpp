#pragma once

// The track power the application asked for, and whether programming has switched the track off
// behind its back: the station ends every CV read or write with its track off, while the
// application, which entered programming with "M", expects the track back when it leaves with
// "X". Used on the scheduler's thread (its barrier jobs).
class TrackPower {
public:
    // "E" (on) or "K" (off) was carried out: the track is as the application asked.
    void Requested(bool on) {
        requestedOn_ = on;
        offByProgramming_ = false;
    }
    // A CV read or write went to the station, which switches the track off at its end.
    void Programmed() { offByProgramming_ = requestedOn_; }
    // True when the application's last word was power on.
    bool RequestedOn() const { return requestedOn_; }
    // True when the application asked for power, but programming has switched it off since.
    bool OffByProgramming() const { return offByProgramming_; }
    // The track is on again after programming.
    void Restored() { offByProgramming_ = false; }
    // A station that was reset or replaced, or switched its track off by itself, has its track
    // off: the application's last word no longer holds.
    void Forget() { requestedOn_ = offByProgramming_ = false; }

private:
    bool requestedOn_ = false;
    bool offByProgramming_ = false;
};
