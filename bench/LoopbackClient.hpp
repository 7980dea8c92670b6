#pragma once

#include <cstdint>
#include <string>

// A blocking loopback TCP client that speaks the client protocol one message at a time: the
// same client measures Railmux and every reference, so their numbers differ only by the server.
class LoopbackClient {
public:
    // Connects to 127.0.0.1:port (retrying for up to 10 s while nobody listens yet).
    explicit LoopbackClient(std::uint16_t port);
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    bool Connected() const { return fd_ >= 0; }
    // Sends message and a carriage return, then reads until the received bytes end with a
    // carriage return; the reply is left without it. False on an error, end of stream or after
    // 10 s without the end of the reply.
    bool Request(const std::string& message, std::string& reply);

private:
    int fd_ = -1;
    std::string out_;
    char in_[256];
};

// A loopback TCP port that nobody listened on a moment ago.
std::uint16_t FreeLoopbackPort();
