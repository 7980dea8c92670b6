#pragma once

#include "protocol/ProcessMessage.hpp"
#include "protocol/StationScheduler.hpp"
#include "protocol/TrackPower.hpp"
#include "tests/support/RecordingStation.hpp"

#include <string>

// The client protocol against a station, its scheduler run by hand: Process carries a message
// out completely, station commands included, before it returns. The station is fresh from its
// boot.
template <typename Station>
struct ManualProtocol {
    Station station;
    TrackPower power;
    StationScheduler scheduler{station, power, {}, StationScheduler::Mode::Manual};

    bool Process(const std::string& message, std::string& reply) {
        const bool result = ProcessMessage(message, reply, scheduler);
        scheduler.RunPending();
        return result;
    }
};

// Against a station that records every command.
using RecordedProtocol = ManualProtocol<RecordingStation>;
