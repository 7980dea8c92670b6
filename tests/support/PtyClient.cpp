#include "tests/support/PtyClient.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

void PtyClient::Open(const std::string& path) {
    Close();
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    received_.clear();
    reads_ = 0;
    gone_ = false;
    if (fd_ < 0) return;
    termios modes{};
    ::tcgetattr(fd_, &modes);
    ::cfmakeraw(&modes);
    ::tcsetattr(fd_, TCSANOW, &modes);
}

void PtyClient::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool PtyClient::Send(const std::string& bytes) {
    return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

bool PtyClient::ReadUntil(const std::string& text, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (received_.find(text) == std::string::npos) {
        if (gone_ || !ReadOnce(end)) return false;
    }
    return true;
}

void PtyClient::ReadFor(std::chrono::milliseconds time) {
    const auto end = std::chrono::steady_clock::now() + time;
    while (!gone_ && ReadOnce(end)) {
    }
}

std::string PtyClient::Take() {
    std::string out;
    out.swap(received_);
    return out;
}

bool PtyClient::ReadOnce(std::chrono::steady_clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[4096];
    const ssize_t count = ::read(fd_, buffer, sizeof buffer);
    if (count > 0) {
        received_.append(buffer, static_cast<std::size_t>(count));
        ++reads_;
        return true;
    }
    if (count < 0 && errno == EAGAIN) return true;
    gone_ = true;
    return false;
}
