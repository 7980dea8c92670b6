#pragma once

// What a client sends to railmux_failing_server (a test build of the program) to make its server
// thread end with an exception.
constexpr const char kFailServerThread[] = "fail the server thread";
