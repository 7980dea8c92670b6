#pragma once

#include "bench/ChildProgram.hpp"

#include <cstdint>
#include <memory>
#include <string>

// The fixed-reply reference server in a process of its own, so that it pays the same process
// switches as Railmux does. The benchmark program runs itself with --fixed-reply-server REPLY;
// its main hands that call to ServeIfAsked first.
class ReferenceProcess {
public:
    // Starts the process in directory (for its output files) and waits for its port.
    ReferenceProcess(const std::string& reply, const std::string& directory);

    bool Started() const { return port_ != 0; }
    std::uint16_t Port() const { return port_; }
    pid_t Pid() const { return program_->Pid(); }

    // When argv asks for the reference server, serves until SIGTERM or SIGINT and returns true
    // (main then returns 0); otherwise returns false at once.
    static bool ServeIfAsked(int argc, char* argv[]);

private:
    std::unique_ptr<ChildProgram> program_;
    std::uint16_t port_ = 0;
};
