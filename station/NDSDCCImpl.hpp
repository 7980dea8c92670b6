#pragma once

#include "app/ConsoleLog.hpp"
#include "serial/NSerialPort.hpp"
#include "station/NDSDCC.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// The station link behind NDSDCC. The program has exactly one (NDSDCC's), but the class stands
// alone so that tests and fuzzers can drive a private instance.
class NDSDCC::Impl {
public:
    // Longest reply line kept; the rest of a longer line up to its line feed is discarded.
    static constexpr std::size_t kMaxLineLength = 64 * 1024;

    Impl();
    ~Impl() = default;
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // The handshake on the given device path: open, ready notice within readyTimeout, ping.
    bool Open(const std::string& devicePath,
              std::chrono::milliseconds readyTimeout = std::chrono::seconds(5));
    void Close();

    // Writes one command line and waits for its completing status line; true on status 200.
    bool SendCommand(const std::string& command);
    // The CV read with its value checks (the command set's GetLocoConfig).
    bool GetLocoConfig(std::int32_t cv, std::int32_t& value);

    // One received chunk (the serial port's callback; also fed directly by tests and fuzzers).
    void OnSerialData(const std::vector<std::uint8_t>& bytes);
    // One complete reply line without its line feed.
    void HandleLine(const std::string& line);

    NSerialPort port;
    bool connected = false;
    LogFunction log = ConsoleLog;
    OpenFailure lastOpenFailure = OpenFailure::None;

    // The rest is the reply state shared with the serial I/O thread; see the source for its
    // locking.
    // ... (fields as the implementation needs: lineBuffer, lastStatus, replyValues,
    // expectedTag, lastStatusTime, sequence counts, connectMutex/Signal, replyMutex/Signal)
};
