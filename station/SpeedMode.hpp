#pragma once

#include <cstdint>

// The station's speed-step modes, as setLocoSpeed's third argument carries them. Decoders that
// know only 28 steps ignore 128-step packets, so the mode always goes with the speed: left out,
// the station would take whatever an earlier command left in its argument array.
enum class SpeedMode : std::int32_t { Steps28 = 0, Steps14 = 1, Steps128 = 2 };
