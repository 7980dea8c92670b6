#pragma once

#include <string>

// Opens a pseudo-terminal pair with the device side in raw mode, as a serial line to a station
// would be: master is the test's end, device stays open so the line does not hang up when the
// program under test closes its own descriptor. False (nothing left open) on failure.
bool OpenRawPtyPair(int& master, int& device, std::string& deviceName);
