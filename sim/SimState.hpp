#pragma once

#include <cstdint>
#include <map>
#include <string>

// A locomotive as the simulated station holds it.
struct SimLoco {
    std::int32_t speed = 0;  // as the station stores it: 0-1023 (a larger number is kept too)
    std::int32_t mode = 0;   // speed-step mode from setLocoSpeed's third argument: 0, 1, 2, other
    bool forward = true;
    std::uint64_t functions = 0;  // bit n: Fn on
};

// What the simulated station looks like from outside.
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
