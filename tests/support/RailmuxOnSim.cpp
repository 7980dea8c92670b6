#include "tests/support/RailmuxOnSim.hpp"

#include "tests/support/StartRailmux.hpp"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <vector>

RailmuxOnSim::RailmuxOnSim(SimOptions options) : options_(std::move(options)) {
    static std::atomic<int> instances{0};
    if (options_.linkPath.empty()) {
        options_.linkPath =
            "/tmp/railmux-sim-" + std::to_string(::getpid()) + "-" + std::to_string(instances++);
    }
}

bool RailmuxOnSim::Start(std::string& error) {
    sim_ = std::make_unique<DSAir2Simulator>(options_);
    if (!sim_->Start(error)) return false;
    RailmuxRun run = StartRailmux([this](const std::string& port) {
        return std::vector<std::string>{RAILMUX_BIN, sim_->Path(), port};
    });
    railmux_ = std::move(run.process);
    port_ = run.port;
    if (!run.serving) {
        error = "Railmux did not start:\n" + railmux_->Stdout() + railmux_->Stderr();
        return false;
    }
    return true;
}
