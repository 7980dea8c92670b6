#include "tests/support/TcpClient.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

std::uint16_t FreeTcpPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool CanConnect(const std::string& address, std::uint16_t port) {
    sockaddr_storage storage{};
    socklen_t size = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        size = sizeof *v4;
    } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        size = sizeof *v6;
    } else {
        return false;
    }
    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&storage), size) == 0;
    ::close(fd);
    return connected;
}

TcpClient::TcpClient(std::uint16_t port, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (;;) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            fd_ = fd;
            return;
        }
        ::close(fd);
        if (std::chrono::steady_clock::now() >= deadline) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

TcpClient::~TcpClient() {
    Close();
}

void TcpClient::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void TcpClient::Reset() {
    if (fd_ < 0) return;
    linger lg{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    Close();
}

bool TcpClient::Send(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

int TcpClient::ReadSome(std::string& into, std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(std::max<long long>(0, timeout.count())));
    if (r <= 0) return -1;
    char buffer[16384];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) return errno == ECONNRESET ? 0 : -1;
    into.append(buffer, static_cast<std::size_t>(n));
    return static_cast<int>(n);
}

std::string TcpClient::ReadUntil(const std::string& suffix, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string received;
    while (received.size() < suffix.size() ||
           received.compare(received.size() - suffix.size(), suffix.size(), suffix) != 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || ReadSome(received, left) <= 0) break;
    }
    return received;
}

std::string TcpClient::ReadReplies(int count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string received;
    while (std::count(received.begin(), received.end(), '\r') < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || ReadSome(received, left) <= 0) break;
    }
    return received;
}

bool TcpClient::WaitForClose(std::chrono::milliseconds timeout, std::string* received) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string scratch;
    std::string& into = received ? *received : scratch;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        int n = ReadSome(into, left);
        if (n == 0) return true;
        if (n < 0) return false;
    }
}
