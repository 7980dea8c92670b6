#include "station/NDSDCC.hpp"

#include "station/NDSDCCImpl.hpp"

#include <cstdint>
#include <string>

namespace {

constexpr std::int32_t kLocoBase = 49152;
constexpr std::int32_t kAccessoryBase = 0x3800;

// A base plus a number. The sum wraps like 32-bit signed arithmetic instead of overflowing.
std::int32_t StationNumber(std::int32_t base, std::int32_t number) {
    const std::int64_t sum = static_cast<std::int64_t>(number) + base;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(sum));
}

std::string StationAddress(std::int32_t address) {
    return std::to_string(StationNumber(kLocoBase, address));
}

}  // namespace

// Created before main runs; the constructor sets ConsoleLog and registers the receive callback.
std::unique_ptr<NDSDCC::Impl> NDSDCC::instance(new NDSDCC::Impl);

bool NDSDCC::Open(const char* portName) {
    return instance->Connect(portName);
}

void NDSDCC::Close() {
    instance->Close();
}

void NDSDCC::Stop() {
    instance->Stop();
}

std::uint64_t NDSDCC::StationEpoch() {
    return instance->StationEpoch();
}

bool NDSDCC::SetPing() {
    return instance->SendCommand("setPing()");
}

bool NDSDCC::Greet() {
    return instance->Greet();
}

bool NDSDCC::PowerOn() {
    return instance->SendCommand("setPower(1)");
}

bool NDSDCC::PowerOff() {
    return instance->SendCommand("setPower(0)");
}

bool NDSDCC::SetLocoSpeed(std::int32_t address, std::int32_t speed, SpeedMode mode) {
    return instance->SendCommand("setLocoSpeed(" + StationAddress(address) + "," +
                                 std::to_string(speed) + "," +
                                 std::to_string(static_cast<std::int32_t>(mode)) + ")");
}

bool NDSDCC::SetLocoDirection(std::int32_t address, bool forward) {
    return instance->SendCommand("setLocoDirection(" + StationAddress(address) +
                                 (forward ? ",1)" : ",2)"));
}

bool NDSDCC::SetLocoFunction(std::int32_t address, std::int32_t function, bool on) {
    return instance->SendCommand("setLocoFunction(" + StationAddress(address) + "," +
                                 std::to_string(function) + (on ? ",1)" : ",0)"));
}

bool NDSDCC::SetTurnout(std::int32_t output, bool thrown) {
    return instance->SendCommand("setTurnout(" +
                                 std::to_string(StationNumber(kAccessoryBase, output)) +
                                 (thrown ? ",1)" : ",0)"));
}

bool NDSDCC::SetLocoConfig(std::int32_t cv, std::int32_t value) {
    return instance->SendCommand("setLocoConfig(49152," + std::to_string(cv) + "," +
                                 std::to_string(value) + ")");
}

bool NDSDCC::GetLocoConfig(std::int32_t cv, std::int32_t& value) {
    return instance->GetLocoConfig(cv, value);
}

void NDSDCC::AwaitReady() {
    instance->AwaitPacing();
}

NDSDCC::OpenFailure NDSDCC::LastOpenFailure() {
    return instance->lastOpenFailure;
}

std::string NDSDCC::LastDevicePath() {
    return instance->lastDevicePath;
}
