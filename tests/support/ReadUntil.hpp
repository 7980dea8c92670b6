#pragma once

#include <chrono>
#include <string>

// Reads the descriptor (a pipe) until what came ends with suffix, the writer closes it or the
// time-out passes; returns what came.
std::string ReadUntil(int fd, const std::string& suffix, std::chrono::milliseconds timeout);
