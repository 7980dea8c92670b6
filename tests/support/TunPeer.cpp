#include "tests/support/TunPeer.hpp"

#include "tests/support/PrivateNetwork.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr char kInterface[] = "rmxpeer0";
constexpr std::uint8_t kSyn = 0x02;
constexpr std::uint8_t kRst = 0x04;
constexpr std::uint8_t kPsh = 0x08;
constexpr std::uint8_t kAck = 0x10;
constexpr std::size_t kHeaders = 40;  // IPv4 and TCP, no options

void Put16(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}

void Put32(std::uint8_t* at, std::uint32_t value) {
    Put16(at, value >> 16);
    Put16(at + 2, value);
}

std::uint32_t Get16(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0] << 8 | at[1]);
}

std::uint32_t Get32(const std::uint8_t* at) {
    return Get16(at) << 16 | Get16(at + 2);
}

// The Internet checksum of the bytes, continuing a sum already begun.
std::uint16_t Checksum(const std::uint8_t* data, std::size_t size, std::uint32_t sum = 0) {
    for (std::size_t i = 0; i + 1 < size; i += 2)
        sum += Get16(data + i);
    if (size % 2 != 0) sum += static_cast<std::uint32_t>(data[size - 1] << 8);
    while (sum >> 16 != 0)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

bool SetAddress(int fd, unsigned long request, const char* address) {
    ifreq r{};
    std::strncpy(r.ifr_name, kInterface, IFNAMSIZ - 1);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &in.sin_addr);
    std::memcpy(&r.ifr_addr, &in, sizeof in);
    return ::ioctl(fd, request, &r) == 0;
}

}  // namespace

TunPeer::TunPeer() {
    fd_ = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
        failure_ = std::string("cannot open /dev/net/tun: ") + std::strerror(errno);
        return;
    }
    ifreq r{};
    r.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(r.ifr_name, kInterface, IFNAMSIZ - 1);
    if (::ioctl(fd_, TUNSETIFF, &r) != 0) {
        failure_ = std::string("cannot create a TUN interface: ") + std::strerror(errno);
        return;
    }
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool addressed = s >= 0 && SetAddress(s, SIOCSIFADDR, kLocalAddress) &&
                           SetAddress(s, SIOCSIFNETMASK, "255.255.255.0");
    if (s >= 0) ::close(s);
    if (!addressed) {
        failure_ =
            std::string("cannot give the TUN interface its address: ") + std::strerror(errno);
        return;
    }
    PrivateNetwork::BringUp(kInterface, failure_);
}

TunPeer::~TunPeer() {
    if (fd_ >= 0) ::close(fd_);
}

bool TunPeer::Write(std::uint8_t flags, const std::string& payload) {
    std::vector<std::uint8_t> packet(kHeaders + payload.size());
    std::uint8_t* ip = packet.data();
    std::uint8_t* tcp = ip + 20;
    ip[0] = 0x45;
    Put16(ip + 2, static_cast<std::uint32_t>(packet.size()));
    Put16(ip + 6, 0x4000);  // do not fragment
    ip[8] = 64;
    ip[9] = IPPROTO_TCP;
    ::inet_pton(AF_INET, kPeerAddress, ip + 12);
    ::inet_pton(AF_INET, kLocalAddress, ip + 16);
    Put16(ip + 10, Checksum(ip, 20));

    const std::size_t tcpSize = packet.size() - 20;
    Put16(tcp, peerPort_);
    Put16(tcp + 2, localPort_);
    Put32(tcp + 4, sequence_);
    Put32(tcp + 8, acknowledged_);
    tcp[12] = 5 << 4;
    tcp[13] = flags;
    Put16(tcp + 14, 65535);
    std::memcpy(tcp + 20, payload.data(), payload.size());
    // The pseudo-header: both addresses, the protocol and the segment's length.
    const std::uint32_t pseudo = Get16(ip + 12) + Get16(ip + 14) + Get16(ip + 16) + Get16(ip + 18) +
                                 IPPROTO_TCP + static_cast<std::uint32_t>(tcpSize);
    Put16(tcp + 16, Checksum(tcp, tcpSize, pseudo));
    return ::write(fd_, packet.data(), packet.size()) == static_cast<ssize_t>(packet.size());
}

bool TunPeer::Connect(std::uint16_t port, std::chrono::milliseconds timeout) {
    localPort_ = port;
    acknowledged_ = 0;
    if (!Write(kSyn, "")) return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::uint8_t packet[2048];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        const ssize_t n = ::read(fd_, packet, sizeof packet);
        // Anything else the interface carries (IPv6 chatter, say) is skipped.
        if (n < static_cast<ssize_t>(kHeaders) || packet[0] >> 4 != 4 || packet[9] != IPPROTO_TCP)
            continue;
        const std::uint8_t* tcp = packet + (packet[0] & 0x0F) * 4;
        if (Get16(tcp) != localPort_ || Get16(tcp + 2) != peerPort_) continue;
        if ((tcp[13] & kRst) != 0) return false;
        if ((tcp[13] & (kSyn | kAck)) == (kSyn | kAck) && Get32(tcp + 8) == sequence_ + 1) {
            sequence_ += 1;
            acknowledged_ = Get32(tcp + 4) + 1;
            return Write(kAck, "");
        }
    }
}

bool TunPeer::Send(const std::string& bytes) {
    if (!Write(kPsh | kAck, bytes)) return false;
    sequence_ += static_cast<std::uint32_t>(bytes.size());
    return true;
}
