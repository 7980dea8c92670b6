#include "app/OpenFailureReason.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The open that failed inside the link gave no reason; opening again here finds it.
int OpenErrno(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

std::string GroupOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "dialout";
    const struct group* g = ::getgrgid(st.st_gid);
    return g ? g->gr_name : std::to_string(st.st_gid);
}

std::string UserName() {
    const struct passwd* pw = ::getpwuid(::geteuid());
    return pw ? pw->pw_name : "$USER";
}

}  // namespace

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
        case NDSDCC::OpenFailure::DeviceNotOpened: {
#ifdef _WIN32
            return ComPortOpenFailure(devicePath);
#else
            const int err = OpenErrno(devicePath);
            std::string line = "  Could not open " + devicePath;
            if (err != 0) line += std::string(": ") + std::strerror(err);
            if (err == EACCES || err == EPERM) {
                const std::string group = GroupOf(devicePath);
                line += ". Join the group '" + group + "' (sudo usermod -aG " + group + " " +
                        UserName() + ") and log in again.\n";
            } else if (err == ENOENT || err == ENODEV || err == ENXIO) {
                const std::string devices = ListSerialDevices("/");
                line += devices.empty()
                            ? ". No serial devices found under /dev/serial/by-id, /dev/ttyUSB*, "
                              "/dev/ttyACM*.\n"
                            : ". Serial devices present: " + devices + ".\n";
            } else {
                line += ".\n";
            }
            return line;
#endif
        }
        case NDSDCC::OpenFailure::NoReadyNotice:
            return "  " + devicePath +
                   " opened, but the station sent no ready notice within 5 seconds.\n";
        case NDSDCC::OpenFailure::PingFailed:
            return "  The station on " + devicePath + " did not accept the ping (setPing()).\n";
        case NDSDCC::OpenFailure::None:
            break;
    }
    return "";
}
