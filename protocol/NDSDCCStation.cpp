#include "protocol/NDSDCCStation.hpp"

#include "station/NDSDCC.hpp"

bool NDSDCCStation::Greet() {
    return NDSDCC::Greet();
}

bool NDSDCCStation::PowerOn() {
    return NDSDCC::PowerOn();
}

bool NDSDCCStation::PowerOff() {
    return NDSDCC::PowerOff();
}

bool NDSDCCStation::SetLocoSpeed(std::int32_t address, std::int32_t speed, SpeedMode mode) {
    return NDSDCC::SetLocoSpeed(address, speed, mode);
}

bool NDSDCCStation::SetLocoDirection(std::int32_t address, bool forward) {
    return NDSDCC::SetLocoDirection(address, forward);
}

bool NDSDCCStation::SetLocoFunction(std::int32_t address, std::int32_t function, bool on) {
    return NDSDCC::SetLocoFunction(address, function, on);
}

bool NDSDCCStation::SetTurnout(std::int32_t output, bool thrown) {
    return NDSDCC::SetTurnout(output, thrown);
}

bool NDSDCCStation::SetLocoConfig(std::int32_t cv, std::int32_t value) {
    return NDSDCC::SetLocoConfig(cv, value);
}

bool NDSDCCStation::GetLocoConfig(std::int32_t cv, std::int32_t& value) {
    return NDSDCC::GetLocoConfig(cv, value);
}

void NDSDCCStation::AwaitReady() {
    NDSDCC::AwaitReady();
}
