#pragma once

#include <string>

// Turns a COM port name as the user typed it into the path to open. Windows: "\\.\" followed by
// the name (the system matches it ignoring case). Linux: a path (beginning with "/") exactly as
// typed; only bare names are matched ignoring case: "COMn" (any case) is /dev/ttyS(n-1), and any
// other bare name is looked up in /dev: as written when it exists, else component by component
// against each directory (a unique case-insensitive match, else the name as given).
std::string DevicePath(const std::string& portName);

// The same resolution below a root directory other than "/" (tests).
std::string DevicePathUnder(const std::string& root, const std::string& portName);
