#include "protocol/NDSDCCStation.hpp"

#include "station/NDSDCC.hpp"

namespace {

// Until the link tells its outcomes: whatever did not succeed counts as refused.
CommandOutcome Outcome(bool done) {
    return done ? CommandOutcome::Done : CommandOutcome::Refused;
}

}  // namespace

CommandOutcome NDSDCCStation::Greet() {
    return Outcome(NDSDCC::Greet());
}

CommandOutcome NDSDCCStation::Watch() {
    return Outcome(NDSDCC::SetPing());
}

CommandOutcome NDSDCCStation::PowerOn() {
    return Outcome(NDSDCC::PowerOn());
}

CommandOutcome NDSDCCStation::PowerOff() {
    return Outcome(NDSDCC::PowerOff());
}

CommandOutcome NDSDCCStation::SetLocoSpeed(std::int32_t address, std::int32_t speed,
                                           SpeedMode mode) {
    return Outcome(NDSDCC::SetLocoSpeed(address, speed, mode));
}

CommandOutcome NDSDCCStation::SetLocoDirection(std::int32_t address, bool forward) {
    return Outcome(NDSDCC::SetLocoDirection(address, forward));
}

CommandOutcome NDSDCCStation::SetLocoFunction(std::int32_t address, std::int32_t function,
                                              bool on) {
    return Outcome(NDSDCC::SetLocoFunction(address, function, on));
}

CommandOutcome NDSDCCStation::SetTurnout(std::int32_t output, bool thrown) {
    return Outcome(NDSDCC::SetTurnout(output, thrown));
}

CommandOutcome NDSDCCStation::SetLocoConfig(std::int32_t cv, std::int32_t value) {
    return Outcome(NDSDCC::SetLocoConfig(cv, value));
}

CommandOutcome NDSDCCStation::GetLocoConfig(std::int32_t cv, std::int32_t& value) {
    return Outcome(NDSDCC::GetLocoConfig(cv, value));
}

void NDSDCCStation::AwaitReady() {
    NDSDCC::AwaitReady();
}
