#pragma once

#include <array>
#include <cstdint>

// What the station was last told, and accepted, for one locomotive address: what its rails
// carry. A new entry (first packet for an address, or the first after "D") knows nothing: the
// station may still hold a direction, a speed and functions from before, so the first packet
// sends all it carries.
struct LocoState {
    static constexpr int kFunctionCount = 29;  // F0-F28
    // Direction, mode and function value of an entry that does not know what the station holds.
    static constexpr std::uint8_t kUnknown = 0xFF;
    // Speed of an entry that does not know what the station holds.
    static constexpr std::int32_t kUnknownSpeed = -1;

    std::int32_t speed = kUnknownSpeed;  // station scale 0-1023, always a step's least speed
    std::uint8_t mode = kUnknown;        // the station's speed-step mode (0: 28, 2: 128 steps)
    std::uint8_t direction = kUnknown;   // 1 forward, 0 reverse
    std::array<std::uint8_t, kFunctionCount> functions = Unknown();  // entry n: Fn, 1 on, 0 off

private:
    static constexpr std::array<std::uint8_t, kFunctionCount> Unknown() {
        std::array<std::uint8_t, kFunctionCount> all{};
        for (std::uint8_t& f : all)
            f = kUnknown;
        return all;
    }
};
