#include "protocol/NDSDCCStation.hpp"

#include "station/NDSDCC.hpp"

CommandOutcome NDSDCCStation::Greet() {
    // A greeting is only written when one is owed; otherwise there is nothing to tell.
    return NDSDCC::Greet() ? CommandOutcome::Done : CommandOutcome::Unknown;
}

CommandOutcome NDSDCCStation::Watch() {
    return NDSDCC::Watch();
}

CommandOutcome NDSDCCStation::PowerOn() {
    return NDSDCC::Execute(NDSDCC::PowerCommand(true));
}

CommandOutcome NDSDCCStation::PowerOff() {
    return NDSDCC::Execute(NDSDCC::PowerCommand(false));
}

CommandOutcome NDSDCCStation::SetLocoSpeed(std::int32_t address, std::int32_t speed,
                                           SpeedMode mode) {
    return NDSDCC::Execute(NDSDCC::SpeedCommand(address, speed, mode), epoch_);
}

CommandOutcome NDSDCCStation::SetLocoDirection(std::int32_t address, bool forward) {
    return NDSDCC::Execute(NDSDCC::DirectionCommand(address, forward), epoch_);
}

CommandOutcome NDSDCCStation::SetLocoFunction(std::int32_t address, std::int32_t function,
                                              bool on) {
    return NDSDCC::Execute(NDSDCC::FunctionCommand(address, function, on), epoch_);
}

CommandOutcome NDSDCCStation::SetTurnout(std::int32_t output, bool thrown) {
    return NDSDCC::Execute(NDSDCC::TurnoutCommand(output, thrown), epoch_);
}

CommandOutcome NDSDCCStation::SetLocoConfig(std::int32_t cv, std::int32_t value) {
    return NDSDCC::Execute(NDSDCC::ConfigWriteCommand(cv, value));
}

CommandOutcome NDSDCCStation::GetLocoConfig(std::int32_t cv, std::int32_t& value) {
    return NDSDCC::ReadCv(cv, value);
}

std::uint64_t NDSDCCStation::TrackTrips() const {
    return NDSDCC::TrackTrips();
}

void NDSDCCStation::AwaitReady() {
    NDSDCC::AwaitReady();
}
