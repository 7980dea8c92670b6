// The Windows half of OpenFailureReason: the system's reason why a COM port did not open.
#ifdef _WIN32

#include "app/OpenFailureReason.hpp"

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// The open that failed inside the link gave no reason; opening again as it did finds it.
DWORD OpenError(const std::string& path) {
    HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return ::GetLastError();
    ::CloseHandle(handle);
    return ERROR_SUCCESS;
}

// The system's text for an error, without its closing full stop and line end, and its number.
std::string SystemMessage(DWORD error) {
    char text[512] = {};
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
        nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == ' ' || message.back() == '.' ||
                                message.back() == '\r' || message.back() == '\n')) {
        message.pop_back();
    }
    const std::string number = "error " + std::to_string(error);
    return message.empty() ? number : message + " (" + number + ")";
}

}  // namespace

std::string ListComPorts() {
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return {};
    }
    // Each value maps a driver's device to its port name ("\Device\Serial0" = "COM1").
    for (DWORD index = 0;; ++index) {
        char valueName[256];
        DWORD valueNameSize = sizeof valueName;
        BYTE data[256];
        DWORD dataSize = sizeof data - 1;
        DWORD type = 0;
        const LONG result =
            ::RegEnumValueA(key, index, valueName, &valueNameSize, nullptr, &type, data, &dataSize);
        if (result == ERROR_MORE_DATA) continue;
        if (result != ERROR_SUCCESS) break;
        if (type != REG_SZ) continue;
        data[dataSize] = 0;
        const std::string name(reinterpret_cast<const char*>(data));
        if (!name.empty()) names.push_back(name);
    }
    ::RegCloseKey(key);
    return ComPortList(std::move(names));
}

std::string ComPortOpenFailure(const std::string& devicePath) {
    const DWORD error = OpenError(devicePath);
    std::string line = "  Could not open " + devicePath;
    if (error != ERROR_SUCCESS) line += ": " + SystemMessage(error);
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return line +
                   ". Another program holds the port (a second Railmux, a terminal program); "
                   "close it and start Railmux again.\n";
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: {
            const std::string ports = ListComPorts();
            return line + (ports.empty() ? ". No COM ports are present (the Device Manager lists "
                                           "them under Ports (COM & LPT)).\n"
                                         : ". COM ports present: " + ports + ".\n");
        }
        default:
            return line + ".\n";
    }
}

#endif
