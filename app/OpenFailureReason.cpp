#include "app/OpenFailureReason.hpp"

#include "serial/ExclusiveAccess.hpp"

#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char kUdevAdvice[] =
    "install the udev rule that hands the station to the group 'dialout' (README, "
    "\"Permissions\"), then join that group";

#ifndef _WIN32

std::string SerialDevicesPresent() {
    const std::string devices = ListSerialDevices("/");
    return devices.empty()
               ? " No serial devices found under /dev/serial/by-id, /dev/ttyUSB*, /dev/ttyACM*."
               : " Serial devices present: " + devices + ".";
}

std::string UserName() {
    const struct passwd* pw = ::getpwuid(::geteuid());
    return pw ? pw->pw_name : "$USER";
}

bool SessionHasGroup(gid_t gid) {
    if (::getegid() == gid) return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.end();
}

// From the group database, which a usermod has changed even while this session predates it.
bool UserHasGroup(gid_t gid) {
    const struct passwd* pw = ::getpwuid(::geteuid());
    if (pw == nullptr) return false;
    if (pw->pw_gid == gid) return true;
    const struct group* g = ::getgrgid(gid);
    if (g == nullptr) return false;
    for (char** member = g->gr_mem; *member != nullptr; ++member) {
        if (std::strcmp(*member, pw->pw_name) == 0) return true;
    }
    return false;
}

std::string PermissionReasonFor(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return "  Could not open " + path + ": " + std::strerror(EACCES) + ".\n";
    }
    DeviceAccess access;
    access.path = path;
    const struct passwd* owner = ::getpwuid(st.st_uid);
    access.owner = owner ? owner->pw_name : std::to_string(st.st_uid);
    const struct group* group = ::getgrgid(st.st_gid);
    access.group = group ? group->gr_name : std::to_string(st.st_gid);
    access.groupId = st.st_gid;
    access.mode = st.st_mode & 07777;
    access.user = UserName();
    access.userInGroup = UserHasGroup(st.st_gid);
    access.sessionInGroup = SessionHasGroup(st.st_gid);
    return PermissionReason(access);
}

std::string BusyReason(const std::string& path) {
    const std::string holders = ExclusiveAccess::Holders(path);
    if (holders.empty()) {
        return "  " + path + " is in use by another program (sudo fuser -v " + path +
               " names it); one program at a time can use the station.\n";
    }
    return "  " + path + " is in use by " + holders +
           "; one program at a time can use the station: stop that one first.\n";
}

std::string NotSerialReason(const std::string& path) {
    return "  " + path + " opened, but it is not a serial device." + SerialDevicesPresent() + "\n";
}

// The open that failed inside the link left no reason behind; a second open finds it. That
// open does not disturb a station in use by another program: the line is already up, and it
// is not the last close that hangs it up.
std::string NotOpenedReason(const std::string& devicePath) {
    const int fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        const bool serial = ::isatty(fd) == 1;
        const bool locked = serial && ExclusiveAccess::LockedElsewhere(fd);
        ::close(fd);
        if (!serial) return NotSerialReason(devicePath);
        if (locked) return BusyReason(devicePath);
        return "  " + devicePath +
               " did not open at the first attempt, but opens now: try again.\n";
    }
    const int err = errno;
    switch (err) {
        case EACCES:
        case EPERM:
            return PermissionReasonFor(devicePath);
        case EBUSY:
            return BusyReason(devicePath);
        case EISDIR:
            return NotSerialReason(devicePath);
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return "  Could not open " + devicePath + ": " + std::strerror(err) + "." +
                   SerialDevicesPresent() + "\n";
        default:
            return "  Could not open " + devicePath + ": " + std::strerror(err) + ".\n";
    }
}

#else

std::string NotOpenedReason(const std::string& devicePath) {
    return ComPortOpenFailure(devicePath);
}

#endif

std::string Octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777);
    return text;
}

}  // namespace

std::string PermissionReason(const DeviceAccess& access) {
    const std::string start = "  Could not open " + access.path + ": Permission denied. ";
    const bool groupMayUse = access.groupId != 0 && (access.mode & 060) == 060;
    if (groupMayUse && !access.userInGroup) {
        return start + "Join the group '" + access.group + "' (sudo usermod -aG " + access.group +
               " " + access.user + ") and log in again.\n";
    }
    if (groupMayUse && !access.sessionInGroup) {
        return start + access.user + " is in the group '" + access.group +
               "', but this login session is not yet: log in again (or start a shell with newgrp " +
               access.group + ").\n";
    }
    const std::string owned =
        "It belongs to " + access.owner + ":" + access.group + " with mode " + Octal(access.mode);
    if (groupMayUse) {
        // In the group and still refused: something beyond the permission bits (an ACL, a
        // security module) decides; the facts are all that can be given.
        return start + owned + ", and this session is in the group '" + access.group + "'.\n";
    }
    return start + owned + ", which gives no group of users access: " + kUdevAdvice + ".\n";
}

#ifndef _WIN32
std::string ListSerialDevices(const std::string& root) {
    std::vector<std::string> found;
    std::error_code ec;
    const fs::path dev = fs::path(root) / "dev";
    for (const auto& entry : fs::directory_iterator(dev / "serial" / "by-id", ec)) {
        found.push_back(entry.path().string());
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> ttys;
    for (const auto& entry : fs::directory_iterator(dev, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0) {
            ttys.push_back(entry.path().string());
        }
    }
    std::sort(ttys.begin(), ttys.end());
    found.insert(found.end(), ttys.begin(), ttys.end());

    std::string list;
    for (const auto& path : found) {
        if (!list.empty()) list += ", ";
        list += path;
    }
    return list;
}
#endif

std::string ComPortList(std::vector<std::string> names) {
    // "COM10" after "COM9": by the number after the letters, then by the whole name.
    auto key = [](const std::string& name) {
        std::size_t digits = name.size();
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1])))
            --digits;
        return std::make_pair(name.substr(0, digits),
                              std::strtoul(name.c_str() + digits, nullptr, 10));
    };
    std::sort(names.begin(), names.end(), [&key](const std::string& a, const std::string& b) {
        return std::make_pair(key(a), a) < std::make_pair(key(b), b);
    });
    names.erase(std::unique(names.begin(), names.end()), names.end());
    std::string list;
    for (const auto& name : names) {
        if (!list.empty()) list += ", ";
        list += name;
    }
    return list;
}

std::string OpenFailureReason(NDSDCC::OpenFailure failure, const std::string& devicePath,
                              const std::string& error) {
    if (!error.empty()) {
        return "  " + devicePath + " opened, but the serial line could not be set up: " + error +
               ".\n";
    }
    switch (failure) {
        case NDSDCC::OpenFailure::DeviceNotOpened:
            return NotOpenedReason(devicePath);
        case NDSDCC::OpenFailure::NoReadyNotice:
            return "  " + devicePath +
                   " opened, but the station sent no ready notice within 5 seconds: is the "
                   "station switched on, and is this its device (README, \"Finding the "
                   "station\")?\n";
        case NDSDCC::OpenFailure::PingFailed:
            return "  The station on " + devicePath + " did not accept the ping (setPing()).\n";
        case NDSDCC::OpenFailure::None:
            break;
    }
    return "";
}
