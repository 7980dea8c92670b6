#include "bench/DirectStationLine.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

DirectStationLine::~DirectStationLine() {
    if (fd_ >= 0) ::close(fd_);
}

bool DirectStationLine::Open(const std::string& path, std::string& error) {
    // Non-blocking: a read after poll must not wait when the station went away meanwhile.
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    termios settings{};
    if (::tcgetattr(fd_, &settings) == 0) {
        ::cfmakeraw(&settings);
        ::cfsetspeed(&settings, B115200);
        ::tcsetattr(fd_, TCSANOW, &settings);
    }
    if (!ReadLine("100 Ready", 10000)) {
        error = path + ": no \"100 Ready\" within 10 s";
        return false;
    }
    return true;
}

bool DirectStationLine::RoundTrip(const std::string& command, const std::string& status) {
    out_.assign(command);
    out_.push_back('\n');
    std::size_t sent = 0;
    while (sent < out_.size()) {
        const ssize_t n = ::write(fd_, out_.data() + sent, out_.size() - sent);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return ReadLine(status, 5000);
}

bool DirectStationLine::ReadLine(const std::string& line, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // Complete lines first; the station ends them with CR LF.
        for (std::size_t end; (end = received_.find('\n')) != std::string::npos;) {
            std::size_t length = end;
            if (length > 0 && received_[length - 1] == '\r') --length;
            const bool match = received_.compare(0, length, line) == 0 && length == line.size();
            received_.erase(0, end + 1);
            if (match) return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd entry{fd_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char buffer[256];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        received_.append(buffer, static_cast<std::size_t>(n));
    }
}
