#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// A loopback TCP port nobody listens on right now (bound to 0, read back, released).
std::uint16_t FreeTcpPort();

// Whether a TCP connection to the address (an IPv4 or IPv6 literal) and port is taken.
bool CanConnect(const std::string& address, std::uint16_t port);

// A blocking loopback TCP client for tests; every read has a time-out.
class TcpClient {
public:
    // Connects to 127.0.0.1:port, retrying until the time-out; Connected() tells the outcome.
    explicit TcpClient(std::uint16_t port,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    bool Connected() const { return fd_ >= 0; }
    bool Send(const std::string& bytes);
    // Reads until the received text ends with suffix; returns what arrived (maybe less on a
    // time-out or end of stream).
    std::string ReadUntil(const std::string& suffix,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads until count carriage returns have arrived.
    std::string ReadReplies(int count,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // True when the peer closes (end of stream or reset) within the time-out; bytes that arrive
    // first are appended to received.
    bool WaitForClose(std::chrono::milliseconds timeout, std::string* received = nullptr);
    // Closes with a reset instead of an orderly shutdown.
    void Reset();
    void Close();

private:
    // One read of what is there within the time-out: >0 bytes, 0 end of stream, -1 time-out or
    // error.
    int ReadSome(std::string& into, std::chrono::milliseconds timeout);
    int fd_ = -1;
};
