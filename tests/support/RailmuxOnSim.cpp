#include "tests/support/RailmuxOnSim.hpp"

#include "tests/support/TcpClient.hpp"

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
    port_ = FreeTcpPort();
    railmux_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{RAILMUX_BIN, sim_->Path(), std::to_string(port_)});
    const std::string started = "TCP server started on port " + std::to_string(port_) + "\n";
    if (!railmux_->WaitForStdout(started, std::chrono::seconds(30))) {
        error = "Railmux did not start:\n" + railmux_->Stdout() + railmux_->Stderr();
        return false;
    }
    return true;
}
