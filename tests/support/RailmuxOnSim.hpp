#pragma once

#include "sim/DSAir2Simulator.hpp"
#include "tests/support/ChildProcess.hpp"

#include <cstdint>
#include <memory>
#include <string>

// Railmux as a user runs it, build/railmux as a child process, on a simulated DSAir2 of its
// own (a link path per process), serving a free loopback port.
class RailmuxOnSim {
public:
    explicit RailmuxOnSim(SimOptions options = {});
    RailmuxOnSim(const RailmuxOnSim&) = delete;
    RailmuxOnSim& operator=(const RailmuxOnSim&) = delete;

    // Starts the simulator, then Railmux, and waits until it serves; false with the reason.
    bool Start(std::string& error);

    DSAir2Simulator& Sim() { return *sim_; }
    ChildProcess& Railmux() { return *railmux_; }
    std::uint16_t Port() const { return port_; }

private:
    SimOptions options_;
    std::unique_ptr<DSAir2Simulator> sim_;
    std::unique_ptr<ChildProcess> railmux_;
    std::uint16_t port_ = 0;
};
