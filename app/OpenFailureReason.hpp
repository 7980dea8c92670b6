#pragma once

#include "station/NDSDCC.hpp"

#include <string>

// One line (with its "\n") that tells a user why the station could not be reached: the device
// path tried and the system's reason, with what to do about it. error is the text of an
// exception the link raised, empty when it returned false.
std::string OpenFailureReason(NDSDCC::OpenFailure failure, const std::string& devicePath,
                              const std::string& error);

// The serial devices present (by-id links first, then ttyUSB*, ttyACM*), below root ("/" in the
// program).
std::string ListSerialDevices(const std::string& root);
