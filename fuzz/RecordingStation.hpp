#pragma once

#include "fuzz/FuzzInput.hpp"
#include "protocol/IStation.hpp"

#include <cstdint>
#include <string>
#include <vector>

// One station operation as the client protocol called it.
struct StationCall {
    enum Kind {
        PowerOn,
        PowerOff,
        Speed,
        Direction,
        Function,
        Turnout,
        SetConfig,
        GetConfig,
        Ping
    };
    Kind kind;
    std::int32_t address = 0;  // locomotive address, accessory output, or the CV number
    std::int32_t value = 0;    // speed, forward flag, function number, coil, or the CV value
    std::int32_t state = 0;    // function on/off, or the speed-step mode
    bool result = true;

    bool operator==(const StationCall& other) const {
        return kind == other.kind && address == other.address && value == other.value &&
               state == other.state && result == other.result;
    }
    std::string ToString() const;
};

// A station that records every call and answers from the fuzz input's control bytes: each call
// takes one byte whose low bit set means refused (a refused CV read with bit 1 set also writes
// the failure value 65535); a CV read that succeeds takes a second byte for its value.
// Without control bytes left every call succeeds and a CV reads 3.
class RecordingStation final : public IStation {
public:
    explicit RecordingStation(FuzzInput* script) : script_(script) {}

    bool Greet() override;
    bool PowerOn() override;
    bool PowerOff() override;
    bool SetLocoSpeed(std::int32_t address, std::int32_t speed, SpeedMode mode) override;
    bool SetLocoDirection(std::int32_t address, bool forward) override;
    bool SetLocoFunction(std::int32_t address, std::int32_t function, bool on) override;
    bool SetTurnout(std::int32_t output, bool thrown) override;
    bool SetLocoConfig(std::int32_t cv, std::int32_t value) override;
    bool GetLocoConfig(std::int32_t cv, std::int32_t& value) override;

    // Answers the next calls from this script instead (null: every call succeeds).
    void SetScript(FuzzInput* script) { script_ = script; }
    // Results for the next calls: bit i set refuses the i-th; later calls succeed.
    void SetRefusals(std::uint32_t refusals) {
        script_ = nullptr;
        refusals_ = refusals;
    }

    std::vector<StationCall> calls;

private:
    bool Answer(StationCall call);

    FuzzInput* script_;
    std::uint32_t refusals_ = 0;
    std::uint8_t lastAnswer_ = 0;
};
