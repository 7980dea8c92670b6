#include "fuzz/RecordingStation.hpp"

#include <climits>

namespace {

// CV values worth a station's answer: the ordinary ones, the bounds of the two-digit reply,
// the failure value and the extremes; other control bytes are read as the value itself.
constexpr std::int32_t kCvValues[] = {3, 0, 0xFF, 0x100, -1, 65535, INT_MAX, INT_MIN};

}  // namespace

std::string StationCall::ToString() const {
    static const char* const kNames[] = {"PowerOn",          "PowerOff",        "SetLocoSpeed",
                                         "SetLocoDirection", "SetLocoFunction", "SetTurnout",
                                         "SetLocoConfig",    "GetLocoConfig",   "SetPing"};
    return std::string(kNames[kind]) + "(" + std::to_string(address) + "," + std::to_string(value) +
           "," + std::to_string(state) + ")->" + (result ? "true" : "false");
}

bool RecordingStation::Answer(StationCall call) {
    if (script_ != nullptr) {
        lastAnswer_ = script_->Control(0);
        call.result = (lastAnswer_ & 1) == 0;
    } else {
        lastAnswer_ = 0;
        call.result = (refusals_ & 1) == 0;
        refusals_ >>= 1;
    }
    calls.push_back(call);
    return call.result;
}

bool RecordingStation::Greet() {
    return Answer({StationCall::Ping});
}

bool RecordingStation::PowerOn() {
    return Answer({StationCall::PowerOn});
}

bool RecordingStation::PowerOff() {
    return Answer({StationCall::PowerOff});
}

bool RecordingStation::SetLocoSpeed(std::int32_t address, std::int32_t speed, SpeedMode mode) {
    return Answer({StationCall::Speed, address, speed, static_cast<std::int32_t>(mode)});
}

bool RecordingStation::SetLocoDirection(std::int32_t address, bool forward) {
    return Answer({StationCall::Direction, address, forward ? 1 : 0});
}

bool RecordingStation::SetLocoFunction(std::int32_t address, std::int32_t function, bool on) {
    return Answer({StationCall::Function, address, function, on ? 1 : 0});
}

bool RecordingStation::SetTurnout(std::int32_t output, bool thrown) {
    return Answer({StationCall::Turnout, output, thrown ? 1 : 0});
}

bool RecordingStation::SetLocoConfig(std::int32_t cv, std::int32_t value) {
    return Answer({StationCall::SetConfig, cv, value});
}

bool RecordingStation::GetLocoConfig(std::int32_t cv, std::int32_t& value) {
    const bool result = Answer({StationCall::GetConfig, cv});
    if (!result) {
        // The link writes the value of a read that reported the failure value 65535.
        if (lastAnswer_ & 2) value = calls.back().value = 65535;
        return false;
    }
    std::int32_t read = 3;
    if (script_ != nullptr) {
        const std::uint8_t c = script_->Control(0);
        read = c < sizeof kCvValues / sizeof kCvValues[0] ? kCvValues[c] : c;
    }
    value = read;
    calls.back().value = read;
    return true;
}
