#include "station/StationSpeed.hpp"

#include <algorithm>
#include <array>

namespace {

constexpr std::int32_t kMaxSpeed = 1023;

int Convert(std::int32_t speed, int n) {
    if (speed <= 0) return 0;
    return ((std::min(speed, kMaxSpeed) >> 2) * n >> 8) + 1;
}

// The least speed for every step, found by running the conversion over the whole scale once.
template <int Steps>
struct LeastSpeeds {
    std::array<std::int32_t, Steps + 1> speed{};

    template <typename StepOf>
    explicit LeastSpeeds(StepOf stepOf) {
        speed.fill(-1);
        for (std::int32_t s = kMaxSpeed; s >= 0; --s)
            speed[stepOf(s)] = s;
    }
};

const LeastSpeeds<127>& Table128() {
    static const LeastSpeeds<127> table(&StationSpeed::Step128);
    return table;
}

const LeastSpeeds<28>& Table28() {
    static const LeastSpeeds<28> table(&StationSpeed::Step28);
    return table;
}

}  // namespace

int StationSpeed::Step128(std::int32_t speed) {
    const int c = Convert(speed, 126);
    return c == 0 ? 0 : c > 126 ? 127 : c + 1;
}

int StationSpeed::Step28(std::int32_t speed) {
    return std::min(Convert(speed, 28), 28);
}

std::int32_t StationSpeed::For128(int step) {
    if (step < 2) return 0;
    return Table128().speed[std::min(step, 127)];
}

std::int32_t StationSpeed::For28(int step) {
    if (step < 1) return 0;
    return Table28().speed[std::min(step, 28)];
}
