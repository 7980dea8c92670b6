#pragma once

#include <chrono>
#include <string>

class StationScheduler;

// Carries out one client message (without its carriage return) and replaces reply with the
// answer (without terminator). Prints "[E Recv] %s\n" first. True for every message.
// Locomotive and turnout packets are handed to the scheduler and answered at once; track
// power, programming and "D" wait until the scheduler has carried them out in order.
bool ProcessMessage(std::string message, std::string& reply, StationScheduler& scheduler);
// The same for a message that arrived at received (the clock's epoch: now): the replies'
// windows count from there, so a message that waited behind a slow one is not answered later
// than the application waits.
bool ProcessMessage(std::string message, std::string& reply, StationScheduler& scheduler,
                    std::chrono::steady_clock::time_point received);
// Whether the message is answered without waiting for the station: packets, fixed replies and
// unknown letters. Track power, "D", "X" and programming wait.
bool AnsweredAtOnce(const std::string& message);
