#pragma once

#include <string>

class IStation;
class LocoTable;
class TrackPower;

// Carries out one client message (without its carriage return) and replaces reply with the
// answer (without terminator). Prints "[E Recv] %s\n" first. True for every message.
// This overload drives NDSDCC with the process-wide locomotive table and track power memory.
bool ProcessMessage(std::string message, std::string& reply);
// The same against a given station and memory.
bool ProcessMessage(std::string message, std::string& reply, IStation& station, LocoTable& locos,
                    TrackPower& power);
