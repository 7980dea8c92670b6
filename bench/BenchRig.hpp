#pragma once

#include "bench/ChildProgram.hpp"
#include "sim/DSAir2Simulator.hpp"

#include <cstdint>
#include <memory>
#include <string>

// Railmux as an operator runs it: the program as a process, its console redirected to a file,
// against a simulated station on a pseudo-terminal (in this process, so that the commands it
// receives can be checked). Everything lives in a fresh directory under /tmp, removed at the
// end.
class BenchRig {
public:
    explicit BenchRig(SimOptions simOptions = {});
    // Stops Railmux, then the simulator, and removes the directory.
    ~BenchRig();
    BenchRig(const BenchRig&) = delete;
    BenchRig& operator=(const BenchRig&) = delete;

    // Starts the simulator and Railmux and waits until Railmux listens and has connected to
    // the station; false with a reason.
    bool Start(std::string& error);

    std::uint16_t Port() const { return port_; }
    pid_t Pid() const { return railmux_ ? railmux_->Pid() : -1; }
    DSAir2Simulator& Simulator() { return *simulator_; }
    const std::string& Directory() const { return directory_; }
    // A file name in the rig's directory.
    std::string PathFor(const std::string& name) const { return directory_ + "/" + name; }

private:
    SimOptions simOptions_;
    std::string directory_;
    std::uint16_t port_ = 0;
    std::unique_ptr<DSAir2Simulator> simulator_;
    std::unique_ptr<ChildProgram> railmux_;
};
