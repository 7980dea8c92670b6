#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The station's status line, the "@DSS," line of its answer to a ping: a snapshot of its track
// power, error code, firmware, supply voltage, hardware and main-loop counter. Read only from a
// line of exactly the station's form (265 characters after "@DSS,", a carriage return at the
// end allowed, the digits and separators in their places); anything else is not a status.
class StationStatus {
public:
    // The error digit's values that mean the track cannot be powered.
    static constexpr int kSupplyTooLow = 2;
    static constexpr int kSupplyTooHigh = 4;
    static constexpr int kOverload = 8;

    // The status in line (one line from the station without its line feed); nothing when the
    // line is not a status line of the station's form.
    static std::optional<StationStatus> Parse(std::string_view line);

    // Position 0: "Y". After a CV operation the station still says so with its track off.
    bool TrackOn() const { return trackOn_; }
    // Position 2: 0 after a boot, 1 after the track was switched on, else kSupplyTooLow,
    // kSupplyTooHigh or kOverload (or a digit the station has not documented).
    int Error() const { return error_; }
    // The error digit is one of the three faults.
    bool Fault() const;
    // Position 4, as the station sends it ("8").
    char Firmware() const { return firmware_; }
    // Positions 8-10: the track supply in tenths of a volt (148 is 14.8 V).
    int SupplyTenths() const { return supplyTenths_; }
    // Position 15, as the station sends it ("2" for the DSAir2).
    char Hardware() const { return hardware_; }
    // Positions 17-18: 00-99, moving every 0.5 s while the station's main loop runs.
    int Counter() const { return counter_; }

private:
    StationStatus() = default;

    bool trackOn_ = false;
    int error_ = 0;
    char firmware_ = '0';
    int supplyTenths_ = 0;
    char hardware_ = '0';
    int counter_ = 0;
};
