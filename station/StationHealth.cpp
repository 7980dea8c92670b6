#include "station/StationHealth.hpp"

namespace {

// The error digit setPower(1) leaves: the track on, nothing wrong.
constexpr int kPoweredOn = 1;

std::string Volts(int tenths) {
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " V";
}

std::string Hardware(char code) {
    return code == '2' ? "DSAir2" : std::string(1, code);
}

int FaultOf(const StationStatus& status) {
    return status.Fault() ? status.Error() : 0;
}

std::string Supply(const StationStatus& status) {
    return "DSAir2: track supply " + Volts(status.SupplyTenths()) + "\n";
}

std::string Tripped(int error) {
    return "DSAir2 switched the track off: " + StationHealth::Meaning(error) + " (error " +
           std::to_string(error) +
           "). Remove the cause, then switch the track on again from the application.\n";
}

std::string FaultWhileOff(int error) {
    return "DSAir2 reports an error with the track off: " + StationHealth::Meaning(error) +
           " (error " + std::to_string(error) +
           "). Remove the cause before switching the track on.\n";
}

}  // namespace

std::string StationHealth::Meaning(int error) {
    switch (error) {
        case StationStatus::kSupplyTooLow:
            return "track supply too low";
        case StationStatus::kSupplyTooHigh:
            return "track supply too high";
        case StationStatus::kOverload:
            return "overload or short circuit on the track";
        default:
            return {};
    }
}

void StationHealth::Booted() {
    trackOn_ = false;
    error_ = 0;
    shownFault_ = 0;
    supplySaid_ = false;
}

std::vector<std::string> StationHealth::Connected(const std::string& device,
                                                  const std::optional<StationStatus>& status) {
    Booted();
    if (!status) return {};
    std::vector<std::string> lines = {
        "DSAir2 on " + device + ": firmware " + std::string(1, status->Firmware()) + ", hardware " +
        Hardware(status->Hardware()) + ", track supply " + Volts(status->SupplyTenths()) + "\n"};
    supplySaid_ = true;
    // A station that has just booted has its track off: an error now is no trip.
    const int fault = FaultOf(*status);
    if (fault != 0) lines.push_back(FaultWhileOff(fault));
    trackOn_ = status->TrackOn();
    error_ = status->Error();
    shownFault_ = fault;
    return lines;
}

void StationHealth::Powered(bool on) {
    trackOn_ = on;
    if (on) error_ = kPoweredOn;
}

std::vector<std::string> StationHealth::Heard(const StationStatus& status) {
    std::vector<std::string> lines;
    const int fault = FaultOf(status);
    // Only the station sets an error and the track off together, and only when it trips. The
    // error must be new: one it already had when the track went off was said then.
    if (trackOn_ && !status.TrackOn() && fault != 0 && status.Error() != error_) {
        ++trips_;
        lines.push_back(Tripped(fault));
    } else if (fault != 0 && fault != shownFault_) {
        lines.push_back(FaultWhileOff(fault));
    }
    if (!supplySaid_ || fault != shownFault_) lines.push_back(Supply(status));
    supplySaid_ = true;
    shownFault_ = fault;
    trackOn_ = status.TrackOn();
    error_ = status.Error();
    return lines;
}
