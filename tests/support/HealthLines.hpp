#pragma once

// The console lines Railmux prints about the station's health, as the tests expect them.
inline constexpr char kSupply[] = "DSAir2: track supply 14.8 V\n";
inline constexpr char kShortTrip[] =
    "DSAir2 switched the track off: overload or short circuit on the track (error 8). Remove the "
    "cause, then switch the track on again from the application.\n";
inline constexpr char kLowTrip[] =
    "DSAir2 switched the track off: track supply too low (error 2). Remove the cause, then switch "
    "the track on again from the application.\n";
inline constexpr char kHighTrip[] =
    "DSAir2 switched the track off: track supply too high (error 4). Remove the cause, then "
    "switch the track on again from the application.\n";
inline constexpr char kLowWhileOff[] =
    "DSAir2 reports an error with the track off: track supply too low (error 2). Remove the cause "
    "before switching the track on.\n";
