#pragma once

#include <string>

class IStation;
class LocoTable;

// Carries out one client message (without its carriage return) and replaces reply with the
// answer (without terminator). Prints "[E Recv] %s\n" first. True for every message.
// This overload drives NDSDCC and the process-wide locomotive table.
bool ProcessMessage(std::string message, std::string& reply);
// The same against a given station and table.
bool ProcessMessage(std::string message, std::string& reply, IStation& station, LocoTable& locos);
