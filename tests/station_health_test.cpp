#include "station/StationHealth.hpp"

#include "station/StationStatus.hpp"
#include "tests/support/HealthLines.hpp"
#include "tests/support/StatusLineText.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

const char kDevice[] = "/dev/ttyUSB0";
const char kStartUp[] =
    "DSAir2 on /dev/ttyUSB0: firmware 8, hardware DSAir2, track supply 14.8 V\n";
const char kHighWhileOff[] =
    "DSAir2 reports an error with the track off: track supply too high (error 4). Remove the "
    "cause before switching the track on.\n";

StationStatus Status(char power, char error, const std::string& supply = "148",
                     char hardware = '2') {
    const auto status =
        StationStatus::Parse("@DSS," + StatusBody(power, error, supply, '8', hardware) + "\r");
    EXPECT_TRUE(status.has_value());
    return status.value();
}

// One call on the core and the console lines it must return.
struct Step {
    enum class Op { Connected, Booted, Powered, Heard } op;
    std::optional<StationStatus> status;  // Connected, Heard
    bool on = false;                      // Powered
    std::vector<std::string> said;
};

Step Connected(std::optional<StationStatus> status, std::vector<std::string> said) {
    return {Step::Op::Connected, status, false, std::move(said)};
}
Step Booted() {
    return {Step::Op::Booted, std::nullopt, false, {}};
}
Step Powered(bool on) {
    return {Step::Op::Powered, std::nullopt, on, {}};
}
Step Heard(const StationStatus& status, std::vector<std::string> said = {}) {
    return {Step::Op::Heard, status, false, std::move(said)};
}

struct Session {
    const char* name;
    std::vector<Step> steps;
    std::uint64_t trips;
};

void Play(const Session& session) {
    SCOPED_TRACE(session.name);
    StationHealth health;
    for (std::size_t i = 0; i < session.steps.size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        const Step& step = session.steps[i];
        std::vector<std::string> said;
        switch (step.op) {
            case Step::Op::Connected:
                said = health.Connected(kDevice, step.status);
                break;
            case Step::Op::Booted:
                health.Booted();
                break;
            case Step::Op::Powered:
                health.Powered(step.on);
                break;
            case Step::Op::Heard:
                said = health.Heard(*step.status);
                break;
        }
        EXPECT_EQ(said, step.said);
    }
    EXPECT_EQ(health.Trips(), session.trips);
}

TEST(StationHealth, EachChangeIsSaidOnce) {
    const Step connected = Connected(Status('N', '0'), {kStartUp});
    const Session sessions[] = {
        {"a quiet station says nothing after its start-up line",
         {connected, Heard(Status('N', '0')), Powered(true), Heard(Status('Y', '1')),
          // The supply moves a little; the error does not change.
          Heard(Status('Y', '1', "147")), Heard(Status('Y', '1', "149")), Powered(false),
          Heard(Status('N', '1'))},
         0},
        {"a short with the track on, then switched on again",
         {connected, Powered(true), Heard(Status('Y', '1')),
          Heard(Status('N', '8'), {kShortTrip, kSupply}), Heard(Status('N', '8')), Powered(true),
          Heard(Status('Y', '1'), {kSupply}), Heard(Status('Y', '1'))},
         1},
        // The station trips within half a second of being switched on into a short, before
        // any status line shows the track on.
        {"switched on into a short",
         {connected, Powered(true), Heard(Status('N', '8'), {kShortTrip, kSupply})},
         1},
        {"the short is still there when switched on again",
         {connected, Powered(true), Heard(Status('N', '8'), {kShortTrip, kSupply}), Powered(true),
          Heard(Status('N', '8'), {kShortTrip}), Powered(true), Heard(Status('Y', '1'), {kSupply})},
         2},
        {"the supply fails with the track on",
         {connected, Powered(true), Heard(Status('Y', '1')),
          Heard(Status('N', '2', "085"), {kLowTrip, "DSAir2: track supply 8.5 V\n"}),
          Heard(Status('N', '2', "086"))},
         1},
        {"the supply rises too high with the track on",
         {connected, Powered(true), Heard(Status('Y', '1')),
          Heard(Status('N', '4', "205"), {kHighTrip, "DSAir2: track supply 20.5 V\n"})},
         1},
        {"the supply fails with the track off",
         {connected, Heard(Status('N', '2', "085"), {kLowWhileOff, "DSAir2: track supply 8.5 V\n"}),
          Heard(Status('N', '2', "085")),
          // It trips again as soon as it is switched on.
          Powered(true), Heard(Status('N', '2', "085"), {kLowTrip})},
         1},
        // The application switched it off: the station's error that follows is no trip.
        {"switched off by the application, then the supply fails",
         {connected, Powered(true), Heard(Status('Y', '1')), Powered(false),
          Heard(Status('N', '2', "085"), {kLowWhileOff, "DSAir2: track supply 8.5 V\n"})},
         0},
        {"one error gives way to another with the track off",
         {connected, Heard(Status('N', '2', "085"), {kLowWhileOff, "DSAir2: track supply 8.5 V\n"}),
          Heard(Status('N', '4', "210"), {kHighWhileOff, "DSAir2: track supply 21.0 V\n"})},
         0},
        {"a low supply at start-up",
         {Connected(Status('N', '2', "085"),
                    {"DSAir2 on /dev/ttyUSB0: firmware 8, hardware DSAir2, track supply 8.5 V\n",
                     kLowWhileOff}),
          Heard(Status('N', '2', "085")), Powered(true),
          Heard(Status('N', '2', "085"), {kLowTrip})},
         1},
        // After a CV operation the track is off while the status line still says it is on.
        {"the status line that still says on after programming",
         {connected, Powered(true), Heard(Status('Y', '1')), Heard(Status('Y', '1'))},
         0},
        {"no status line in the handshake's answer: the supply is said when it first comes",
         {Connected(std::nullopt, {}), Heard(Status('N', '0'), {kSupply}), Heard(Status('N', '0'))},
         0},
        // A station that reset in mid-session has its track off and no error: no trip; its
        // supply is said again, as for any fresh station.
        {"a reset in mid-session",
         {connected, Powered(true), Heard(Status('Y', '1')), Booted(),
          Heard(Status('N', '0'), {kSupply})},
         0},
        {"a reset in mid-session with the supply too low",
         {connected, Powered(true), Heard(Status('Y', '1')), Booted(),
          Heard(Status('N', '2', "085"), {kLowWhileOff, "DSAir2: track supply 8.5 V\n"})},
         0},
        {"a new connection forgets the trip said before",
         {connected, Powered(true), Heard(Status('N', '8'), {kShortTrip, kSupply}),
          Connected(Status('N', '0'), {kStartUp}), Heard(Status('N', '0'))},
         1},
        // A digit the station does not document is no fault: nothing is guessed from it.
        {"an undocumented error digit",
         {connected, Powered(true), Heard(Status('Y', '1')), Heard(Status('N', '3')),
          Heard(Status('N', '0'))},
         0},
        {"another board",
         {Connected(Status('N', '0', "120", '3'),
                    {"DSAir2 on /dev/ttyUSB0: firmware 8, hardware 3, track supply 12.0 V\n"})},
         0},
    };
    for (const Session& session : sessions)
        Play(session);
}

}  // namespace
