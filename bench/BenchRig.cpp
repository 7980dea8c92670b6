#include "bench/BenchRig.hpp"

#include "bench/LoopbackClient.hpp"

#include <cstdlib>
#include <filesystem>

#ifndef RAILMUX_BIN
#error "RAILMUX_BIN must name the railmux program"
#endif

BenchRig::BenchRig(SimOptions simOptions) : simOptions_(std::move(simOptions)) {
    char pattern[] = "/tmp/railmux-bench.XXXXXX";
    if (::mkdtemp(pattern) != nullptr) directory_ = pattern;
}

BenchRig::~BenchRig() {
    railmux_.reset();
    simulator_.reset();
    if (!directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
}

bool BenchRig::Start(std::string& error) {
    if (directory_.empty()) {
        error = "cannot create a directory under /tmp";
        return false;
    }
    simOptions_.linkPath = PathFor("DSAIR2");
    simOptions_.verbose = false;
    simulator_ = std::make_unique<DSAir2Simulator>(simOptions_);
    if (!simulator_->Start(error)) return false;

    // RAILMUX_BENCH_PROGRAM runs another build of the program instead (to compare a change).
    const char* other = std::getenv("RAILMUX_BENCH_PROGRAM");
    const std::string program = other != nullptr && *other != '\0' ? other : RAILMUX_BIN;
    port_ = FreeLoopbackPort();
    railmux_ = std::make_unique<ChildProgram>(
        std::vector<std::string>{program, simulator_->Path(), std::to_string(port_)},
        PathFor("railmux.console"), PathFor("railmux.stderr"));
    if (!railmux_->WaitForStdout("TCP server started on port", std::chrono::seconds(15))) {
        error = "railmux did not start: " + ChildProgram::ReadFile(PathFor("railmux.stderr"));
        return false;
    }
    const std::string complaints = ChildProgram::ReadFile(PathFor("railmux.stderr"));
    if (complaints.find("Failed to connect") != std::string::npos) {
        error = "railmux could not connect to the simulator: " + complaints;
        return false;
    }
    return true;
}
