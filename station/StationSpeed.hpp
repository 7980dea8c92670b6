#pragma once

#include <cstdint>

// The station's speed scale (0-1023) against the DCC speed steps its firmware puts on the rails.
// The station converts a speed s to a step with C(s, n) = ((s >> 2) * n >> 8) + 1 (0 for 0), so
// step * 1023 / steps is not its inverse: many of those speeds land one step high. The speeds
// here are the least ones that the conversion turns into exactly the step asked for.
class StationSpeed {
public:
    StationSpeed() = delete;

    // Station speed for a 128-step mode speed step: 0 for stop (0) and emergency stop (1), else
    // the least speed giving step 2-127. Steps above 127 count as 127.
    static std::int32_t For128(int step);
    // Station speed for a 28-step mode speed step 0-28 (0: stop). Steps above 28 count as 28.
    static std::int32_t For28(int step);

    // The step the station puts on the rails for a speed: 0 or 2-127 in 128-step mode, 0-28 in
    // 28-step mode.
    static int Step128(std::int32_t speed);
    static int Step28(std::int32_t speed);
};
