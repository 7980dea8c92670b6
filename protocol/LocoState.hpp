#pragma once

#include <array>
#include <cstdint>

// What the station was last told, and accepted, for one locomotive address.
struct LocoState {
    static constexpr int kFunctionCount = 29;  // F0-F28

    std::int32_t speed = 0;                                // station scale 0-1023
    std::uint8_t direction = 1;                            // 1 forward, 0 reverse
    std::array<std::uint8_t, kFunctionCount> functions{};  // entry n: Fn, 1 on, 0 off
};
