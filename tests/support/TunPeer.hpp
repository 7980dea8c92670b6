#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// A TCP client on the far side of a TUN interface that the test owns: it speaks just enough
// IPv4 and TCP to open a connection to a local port and send bytes, and answers nothing by
// itself, like a client whose machine has vanished from the network. Creating the interface
// changes the network it is in: use it inside a PrivateNetwork.
class TunPeer {
public:
    static constexpr const char* kLocalAddress = "10.77.0.1";  // this machine's end
    static constexpr const char* kPeerAddress = "10.77.0.2";

    // Creates the interface with kLocalAddress/24 and brings it up.
    TunPeer();
    ~TunPeer();
    TunPeer(const TunPeer&) = delete;
    TunPeer& operator=(const TunPeer&) = delete;

    // Empty when the interface is in place; otherwise why it is not.
    const std::string& Failure() const { return failure_; }

    // The three-way handshake with kLocalAddress and the port; false when no SYN-ACK came
    // within the time-out.
    bool Connect(std::uint16_t port, std::chrono::milliseconds timeout);
    // One segment with the bytes, acknowledging what the local end had sent at the handshake.
    bool Send(const std::string& bytes);

private:
    bool Write(std::uint8_t flags, const std::string& payload);

    int fd_ = -1;
    std::string failure_;
    std::uint16_t localPort_ = 0;
    std::uint16_t peerPort_ = 40001;
    std::uint32_t sequence_ = 0x1000;  // the peer's next sequence number
    std::uint32_t acknowledged_ = 0;   // the local end's next sequence number
};
