#pragma once

#include "tests/support/ChildProcess.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Railmux as a child process, serving on a TCP port that nobody used a moment ago.
struct RailmuxRun {
    std::unique_ptr<ChildProcess> process;
    std::uint16_t port = 0;
    bool serving = false;  // else process is the last attempt, for its output
};

// Starts Railmux with the arguments that args gives for a port text, on a port picked by binding
// port 0 and releasing it, and waits until it serves: until "TCP server started on port" is on
// its standard output, or, when stdoutFd is given (see ChildProcess), until a connection to
// 127.0.0.1 on the port is taken. Should another program take the port in between, Railmux ends
// with "error code 98" and is started again on another port.
RailmuxRun StartRailmux(const std::function<std::vector<std::string>(const std::string&)>& args,
                        int stdoutFd = -1);
