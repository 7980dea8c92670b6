#include "station/StationSpeed.hpp"

#include "sim/DSAir2Simulator.hpp"
#include "sim/Rails.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// The step the simulated station puts on the rails for a speed in a mode: its own model of the
// firmware, written apart from StationSpeed.
int RailsStep(std::int32_t speed, int mode) {
    SimLoco loco;
    loco.speed = speed;
    loco.mode = mode;
    const Rails::Packet packet = Rails::Speed(3, loco);
    if (mode == Rails::kMode128) return packet.at(2) & 0x7F;
    const int code = ((packet.at(1) & 0x0F) << 1) | ((packet.at(1) >> 4) & 1);
    return code == 0 ? 0 : code - 3;
}

TEST(StationSpeed, EveryStepReachesTheRailsExactlyWithItsLeastSpeed) {
    const struct {
        int mode;
        int first;
        int last;
        std::int32_t (*speedFor)(int);
    } modes[] = {{Rails::kMode128, 2, 127, &StationSpeed::For128},
                 {Rails::kMode28, 1, 28, &StationSpeed::For28}};
    for (const auto& m : modes) {
        for (int step = m.first; step <= m.last; ++step) {
            const std::int32_t speed = m.speedFor(step);
            ASSERT_GE(speed, 0) << step;
            ASSERT_LE(speed, 1023) << step;
            EXPECT_EQ(RailsStep(speed, m.mode), step) << "mode " << m.mode << " step " << step;
            EXPECT_NE(RailsStep(speed - 1, m.mode), step)
                << "mode " << m.mode << " step " << step << ": not the least speed";
        }
    }
}

TEST(StationSpeed, KnownValuesAndStops) {
    EXPECT_EQ(StationSpeed::For128(0), 0);
    EXPECT_EQ(StationSpeed::For128(1), 0);  // emergency stop: the station has none of its own
    EXPECT_EQ(StationSpeed::For128(2), 1);
    EXPECT_EQ(StationSpeed::For128(5), 28);
    EXPECT_EQ(StationSpeed::For128(64), 504);
    EXPECT_EQ(StationSpeed::For128(127), 1016);
    EXPECT_EQ(StationSpeed::For28(0), 0);
    EXPECT_EQ(StationSpeed::For28(1), 1);
    EXPECT_EQ(StationSpeed::For28(14), 476);
    EXPECT_EQ(StationSpeed::For28(28), 988);
}

}  // namespace
