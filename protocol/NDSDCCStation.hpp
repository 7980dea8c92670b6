#pragma once

#include "protocol/IStation.hpp"

#include <cstdint>

// IStation on the process-wide station link: every call goes to the NDSDCC operation of the
// same name and waits as that does.
class NDSDCCStation final : public IStation {
public:
    CommandOutcome Greet() override;
    CommandOutcome Watch() override;
    CommandOutcome PowerOn() override;
    CommandOutcome PowerOff() override;
    CommandOutcome SetLocoSpeed(std::int32_t address, std::int32_t speed, SpeedMode mode) override;
    CommandOutcome SetLocoDirection(std::int32_t address, bool forward) override;
    CommandOutcome SetLocoFunction(std::int32_t address, std::int32_t function, bool on) override;
    CommandOutcome SetTurnout(std::int32_t output, bool thrown) override;
    CommandOutcome SetLocoConfig(std::int32_t cv, std::int32_t value) override;
    CommandOutcome GetLocoConfig(std::int32_t cv, std::int32_t& value) override;
    void ForStation(std::uint64_t epoch) override { epoch_ = epoch; }
    std::uint64_t TrackTrips() const override;
    void AwaitReady() override;

private:
    // Until the scheduler says otherwise: whatever station is there.
    std::uint64_t epoch_ = ~std::uint64_t{0};
};
