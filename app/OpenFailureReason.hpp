#pragma once

#include "station/NDSDCC.hpp"

#include <string>
#include <vector>

// One line (with its "\n") that tells a user why the station could not be reached: the device
// path tried and the system's reason, with what to do about it. error is the text of an
// exception the link raised, empty when it returned false.
std::string OpenFailureReason(NDSDCC::OpenFailure failure, const std::string& devicePath,
                              const std::string& error);

#ifdef _WIN32
// The line that says why the COM port at devicePath ("\\.\COM3") could not be opened, from the
// system's error: the port held by another program, or missing (with the ports that exist).
std::string ComPortOpenFailure(const std::string& devicePath);
// The COM ports present (the registry's HARDWARE\DEVICEMAP\SERIALCOMM), as ComPortList gives them.
std::string ListComPorts();
#else
// The serial devices present (by-id links first, then ttyUSB*, ttyACM*), below root ("/" in the
// program).
std::string ListSerialDevices(const std::string& root);
#endif

// Port names in number order ("COM2" before "COM10"), each once, joined by ", ".
std::string ComPortList(std::vector<std::string> names);
