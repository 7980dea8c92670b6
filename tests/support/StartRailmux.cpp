#include "tests/support/StartRailmux.hpp"

#include "tests/support/TcpClient.hpp"

#include <chrono>

namespace {

using namespace std::chrono_literals;

constexpr auto kStartTime = 30s;
constexpr int kAttempts = 5;

// True once the child serves; false when it ended first or did not come up in time.
bool Serves(ChildProcess& child, std::uint16_t port, bool watchStdout) {
    const auto deadline = std::chrono::steady_clock::now() + kStartTime;
    while (std::chrono::steady_clock::now() < deadline) {
        if (watchStdout) {
            if (child.WaitForStdout("TCP server started on port", 100ms)) return true;
        } else if (TcpClient(port, 100ms).Connected()) {
            return true;
        }
        if (child.Wait(0ms) != -1) return false;
    }
    return false;
}

}  // namespace

RailmuxRun StartRailmux(const std::function<std::vector<std::string>(const std::string&)>& args,
                        int stdoutFd) {
    RailmuxRun run;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        run.port = FreeTcpPort();
        run.process = std::make_unique<ChildProcess>(args(std::to_string(run.port)), stdoutFd);
        run.serving = Serves(*run.process, run.port, stdoutFd < 0);
        if (run.serving) break;
        const bool portTaken = run.process->Wait(10s) == 3 &&
                               run.process->Stderr().find("error code 98.") != std::string::npos;
        if (!portTaken) break;
    }
    return run;
}
