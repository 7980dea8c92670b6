#pragma once

#include <string>

// The station's serial line opened directly, without Railmux: the pseudo-terminal round trip
// that every station command through Railmux contains.
class DirectStationLine {
public:
    DirectStationLine() = default;
    ~DirectStationLine();
    DirectStationLine(const DirectStationLine&) = delete;
    DirectStationLine& operator=(const DirectStationLine&) = delete;

    // Opens the device in raw mode and waits up to 10 s for the boot banner's "100 Ready".
    bool Open(const std::string& path, std::string& error);
    // Writes command with a line feed and reads until a line equals status; false on an error
    // or after 5 s.
    bool RoundTrip(const std::string& command, const std::string& status);

private:
    // Reads until the received text holds a line equal to line; what is left after that line
    // stays for the next call.
    bool ReadLine(const std::string& line, int timeoutMs);

    int fd_ = -1;
    std::string received_;
    std::string out_;
};
