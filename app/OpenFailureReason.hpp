#pragma once

#include "station/NDSDCC.hpp"

#include <string>
#include <vector>

// One line (with its "\n") that tells a user why the station could not be reached and what to
// do about it. devicePath is the path the link tried: the name as typed, or as DevicePath
// resolved it. error is the text of an exception the link raised, empty when it returned false.
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

// A device that refused this user, as far as the permission advice needs it.
struct DeviceAccess {
    std::string path;
    std::string owner;
    std::string group;
    unsigned groupId = 0;
    unsigned mode = 0;  // the permission bits
    std::string user;
    bool userInGroup = false;     // in the group's member list (or it is the user's own)
    bool sessionInGroup = false;  // among this process's groups
};

// The reason line for a device that refused to open for lack of permission: the group to join
// when that group may read and write the device (and is not root's), a fresh login when the
// user has joined it since; else the owner and the mode, and the udev rule that hands the
// device to the group dialout.
std::string PermissionReason(const DeviceAccess& access);
