#pragma once

#include <string>

// Turns a COM port name as the command line gives it (upper-cased) into the path to open.
// Windows: "\\.\" followed by the name. Linux: an existing path is used as it is; a path whose
// components differ only in case is matched against each directory (unique match, else the
// name as given); "COMn" is /dev/ttyS(n-1); any other bare name is looked up in /dev the same
// case-insensitive way.
std::string DevicePath(const std::string& portName);

// The same resolution below a root directory other than "/" (tests).
std::string DevicePathUnder(const std::string& root, const std::string& portName);
