#include "tests/support/OpenRawPtyPair.hpp"

#include <pty.h>
#include <termios.h>
#include <unistd.h>

bool OpenRawPtyPair(int& master, int& device, std::string& deviceName) {
    if (::openpty(&master, &device, nullptr, nullptr, nullptr) != 0) return false;
    termios settings;
    const char* name = ::ttyname(device);
    if (name == nullptr || ::tcgetattr(device, &settings) != 0) {
        ::close(master);
        ::close(device);
        master = device = -1;
        return false;
    }
    ::cfmakeraw(&settings);
    ::tcsetattr(device, TCSANOW, &settings);
    deviceName = name;
    return true;
}
