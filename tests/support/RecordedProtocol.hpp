#pragma once

#include "protocol/ProcessMessage.hpp"
#include "protocol/StationScheduler.hpp"
#include "protocol/TrackPower.hpp"
#include "tests/support/RecordingStation.hpp"

#include <string>

// The client protocol against a station that records every command, its scheduler run by hand:
// Process carries a message out completely, station commands included, before it returns. The
// station is fresh from its boot.
struct RecordedProtocol {
    RecordingStation station;
    TrackPower power;
    StationScheduler scheduler{station, power, {}, StationScheduler::Mode::Manual};

    bool Process(const std::string& message, std::string& reply) {
        const bool result = ProcessMessage(message, reply, scheduler);
        scheduler.RunPending();
        return result;
    }
};
