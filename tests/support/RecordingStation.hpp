#pragma once

#include "protocol/IStation.hpp"

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

// An IStation that records each call as the command line the station link would write for it
// (addresses with the locomotive base 49152 or the accessory base 0x3800 added), and answers as
// scripted: results are taken from the front of `results` (accept when it is empty); a CV read
// finds its value in `cvs`.
class RecordingStation final : public IStation {
public:
    static constexpr std::int32_t kLocoBase = 49152;

    std::vector<std::string> calls;
    std::deque<bool> results;
    std::map<std::int32_t, std::int32_t> cvs;

    bool Greet() override { return Record("setPing()"); }
    bool PowerOn() override { return Record("setPower(1)"); }
    bool PowerOff() override { return Record("setPower(0)"); }
    bool SetLocoSpeed(std::int32_t address, std::int32_t speed, SpeedMode mode) override {
        return Record("setLocoSpeed(" + Loco(address) + "," + std::to_string(speed) + "," +
                      std::to_string(static_cast<int>(mode)) + ")");
    }
    bool SetLocoDirection(std::int32_t address, bool forward) override {
        return Record("setLocoDirection(" + Loco(address) + (forward ? ",1)" : ",2)"));
    }
    bool SetLocoFunction(std::int32_t address, std::int32_t function, bool on) override {
        return Record("setLocoFunction(" + Loco(address) + "," + std::to_string(function) +
                      (on ? ",1)" : ",0)"));
    }
    bool SetTurnout(std::int32_t output, bool thrown) override {
        return Record("setTurnout(" + std::to_string(0x3800 + output) + (thrown ? ",1)" : ",0)"));
    }
    bool SetLocoConfig(std::int32_t cv, std::int32_t value) override {
        return Record("setLocoConfig(49152," + std::to_string(cv) + "," + std::to_string(value) +
                      ")");
    }
    bool GetLocoConfig(std::int32_t cv, std::int32_t& value) override {
        if (!Record("getLocoConfig(49152," + std::to_string(cv) + ")")) return false;
        auto it = cvs.find(cv);
        if (it == cvs.end()) return false;
        value = it->second;
        return true;
    }

private:
    static std::string Loco(std::int32_t address) { return std::to_string(kLocoBase + address); }

    bool Record(std::string call) {
        calls.push_back(std::move(call));
        if (results.empty()) return true;
        const bool result = results.front();
        results.pop_front();
        return result;
    }
};
