#pragma once

#include "station/SpeedMode.hpp"

#include <array>
#include <cstdint>
#include <variant>

// A locomotive's speed and direction as a speed packet asks for them.
struct SpeedWish {
    std::int32_t key = 0;        // address key: short address n and long address n share one
    std::uint8_t direction = 1;  // 1 forward, 0 reverse
    SpeedMode mode = SpeedMode::Steps128;
    std::int32_t speed = 0;  // station scale, always a step's least speed; 0 is a stop
};

// The states of one function group: functions first .. first + count - 1.
struct FunctionWish {
    std::int32_t key = 0;
    int first = 0;
    int count = 0;
    std::array<std::uint8_t, 8> states{};  // 1 on, 0 off
};

// A basic accessory output to activate.
struct TurnoutWish {
    std::int32_t output = 0;  // 0-2043: (decoder address - 1) * 4 + pair
    bool thrown = false;      // coil 1 of the pair, else coil 0
};

// Programming on the main, which the station cannot carry out.
struct OpsModeWrite {
    std::int32_t key = 0;
    int cv = 0;  // 1-1024
};

// What one packet asks for: nothing, or one of the above.
using PacketWish = std::variant<std::monostate, SpeedWish, FunctionWish, TurnoutWish, OpsModeWrite>;
