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

// Created before main runs, with ConsoleLog; the constructor registers the receive callback.
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

std::uint64_t NDSDCC::TrackTrips() {
    return instance->TrackTrips();
}

CommandOutcome NDSDCC::Watch() {
    return instance->Watch();
}

bool NDSDCC::SetPing() {
    return instance->SendCommand(PingCommand());
}

bool NDSDCC::Greet() {
    return instance->Greet();
}

bool NDSDCC::PowerOn() {
    return instance->SendCommand(PowerCommand(true));
}

bool NDSDCC::PowerOff() {
    return instance->SendCommand(PowerCommand(false));
}

bool NDSDCC::SetLocoSpeed(std::int32_t address, std::int32_t speed, SpeedMode mode) {
    return instance->SendCommand(SpeedCommand(address, speed, mode));
}

bool NDSDCC::SetLocoDirection(std::int32_t address, bool forward) {
    return instance->SendCommand(DirectionCommand(address, forward));
}

bool NDSDCC::SetLocoFunction(std::int32_t address, std::int32_t function, bool on) {
    return instance->SendCommand(FunctionCommand(address, function, on));
}

bool NDSDCC::SetTurnout(std::int32_t output, bool thrown) {
    return instance->SendCommand(TurnoutCommand(output, thrown));
}

bool NDSDCC::SetLocoConfig(std::int32_t cv, std::int32_t value) {
    return instance->SendCommand(ConfigWriteCommand(cv, value));
}

bool NDSDCC::GetLocoConfig(std::int32_t cv, std::int32_t& value) {
    return instance->ReadCv(cv, value) == CommandOutcome::Done;
}

void NDSDCC::AwaitReady() {
    instance->AwaitPacing();
}

CommandOutcome NDSDCC::Execute(const std::string& command) {
    return instance->Execute(command);
}

CommandOutcome NDSDCC::Execute(const std::string& command, std::uint64_t forEpoch) {
    return instance->Execute(command, forEpoch);
}

CommandOutcome NDSDCC::ReadCv(std::int32_t cv, std::int32_t& value) {
    return instance->ReadCv(cv, value);
}

std::string NDSDCC::PingCommand() {
    return "setPing()";
}

std::string NDSDCC::PowerCommand(bool on) {
    return on ? "setPower(1)" : "setPower(0)";
}

std::string NDSDCC::SpeedCommand(std::int32_t address, std::int32_t speed, SpeedMode mode) {
    return "setLocoSpeed(" + StationAddress(address) + "," + std::to_string(speed) + "," +
           std::to_string(static_cast<std::int32_t>(mode)) + ")";
}

std::string NDSDCC::DirectionCommand(std::int32_t address, bool forward) {
    return "setLocoDirection(" + StationAddress(address) + (forward ? ",1)" : ",2)");
}

std::string NDSDCC::FunctionCommand(std::int32_t address, std::int32_t function, bool on) {
    return "setLocoFunction(" + StationAddress(address) + "," + std::to_string(function) +
           (on ? ",1)" : ",0)");
}

std::string NDSDCC::TurnoutCommand(std::int32_t output, bool thrown) {
    return "setTurnout(" + std::to_string(StationNumber(kAccessoryBase, output)) +
           (thrown ? ",1)" : ",0)");
}

std::string NDSDCC::ConfigWriteCommand(std::int32_t cv, std::int32_t value) {
    return "setLocoConfig(49152," + std::to_string(cv) + "," + std::to_string(value) + ")";
}

std::string NDSDCC::ConfigReadCommand(std::int32_t cv) {
    return "getLocoConfig(49152," + std::to_string(cv) + ")";
}

NDSDCC::OpenFailure NDSDCC::LastOpenFailure() {
    return instance->LastOpenFailure();
}

std::string NDSDCC::LastDevicePath() {
    return instance->LastDevicePath();
}
