#pragma once

#include "protocol/IStation.hpp"

// IStation on the process-wide station link: every call goes to the NDSDCC operation of the
// same name and waits as that does.
class NDSDCCStation final : public IStation {
public:
    bool Greet() override;
    bool PowerOn() override;
    bool PowerOff() override;
    bool SetLocoSpeed(std::int32_t address, std::int32_t speed, SpeedMode mode) override;
    bool SetLocoDirection(std::int32_t address, bool forward) override;
    bool SetLocoFunction(std::int32_t address, std::int32_t function, bool on) override;
    bool SetTurnout(std::int32_t output, bool thrown) override;
    bool SetLocoConfig(std::int32_t cv, std::int32_t value) override;
    bool GetLocoConfig(std::int32_t cv, std::int32_t& value) override;
    void AwaitReady() override;
};
