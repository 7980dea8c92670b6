#include "sim/PtyStation.hpp"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {

std::string Reason(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

PtyStation::~PtyStation() {
    Close();
}

bool PtyStation::Open(const std::string& linkPath, std::string& error) {
    if (IsOpen()) {
        error = "pseudo-terminal already open";
        return false;
    }
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        error = Reason("posix_openpt");
        return false;
    }
    master_ = master;
    char name[PATH_MAX];
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        error = Reason("pseudo-terminal set-up");
        Close();
        return false;
    }
    deviceName_ = name;

    // Raw from the start: an opener that has not yet set its own modes must not have the
    // station's lines echoed back as commands. The settings outlive this descriptor. Opening
    // the device side once also arms the master's hang-up report, which tells opens from
    // closes (before the first open Linux reports nothing).
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        error = Reason(name);
        Close();
        return false;
    }
    termios modes{};
    bool raw = ::tcgetattr(slave, &modes) == 0;
    if (raw) {
        ::cfmakeraw(&modes);
        ::cfsetispeed(&modes, B115200);
        ::cfsetospeed(&modes, B115200);
        raw = ::tcsetattr(slave, TCSANOW, &modes) == 0;
    }
    if (!raw) error = Reason("raw mode");
    ::close(slave);
    if (!raw) {
        Close();
        return false;
    }

    // The master's hang-up report alone misses a close followed at once by a new open; the
    // watch sees every open and close of the device in order.
    watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_ < 0 || ::inotify_add_watch(watch_, name, IN_OPEN | IN_CLOSE) < 0) {
        error = Reason("watching the device side");
        Close();
        return false;
    }

    const int flags = ::fcntl(master_, F_GETFL);
    if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
        error = Reason("non-blocking master");
        Close();
        return false;
    }

    if (!linkPath.empty()) {
        struct stat existing {};
        if (::lstat(linkPath.c_str(), &existing) == 0) {
            if (!S_ISLNK(existing.st_mode)) {
                error = linkPath + " exists and is not a symbolic link";
                Close();
                return false;
            }
            ::unlink(linkPath.c_str());  // a stale link of an earlier run
        }
        if (::symlink(name, linkPath.c_str()) != 0) {
            error = Reason(linkPath.c_str());
            Close();
            return false;
        }
        linkPath_ = linkPath;
    }
    return true;
}

void PtyStation::Close() {
    if (!linkPath_.empty()) {
        // Another simulator may have taken the path over since; leave its link alone.
        char target[PATH_MAX];
        const ssize_t size = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
        if (size >= 0 && std::string(target, static_cast<std::size_t>(size)) == deviceName_) {
            ::unlink(linkPath_.c_str());
        }
        linkPath_.clear();
    }
    if (watch_ >= 0) {
        ::close(watch_);
        watch_ = -1;
    }
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

void PtyStation::ReadEvents(std::vector<Event>& events) const {
    if (watch_ < 0) return;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t size = ::read(watch_, buffer, sizeof buffer);
        if (size <= 0) return;
        for (ssize_t at = 0; at < size;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->mask & IN_Q_OVERFLOW) events.push_back(Event::Overflow);
            if (event->mask & IN_OPEN) events.push_back(Event::Opened);
            if (event->mask & IN_CLOSE) events.push_back(Event::Closed);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

bool PtyStation::PeerOpen() const {
    if (!IsOpen()) return false;
    pollfd entry{master_, POLLIN, 0};
    if (::poll(&entry, 1, 0) < 0) return false;
    return (entry.revents & POLLHUP) == 0;
}

bool PtyStation::EventsPending() const {
    if (watch_ < 0) return false;
    pollfd entry{watch_, POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN) != 0;
}

bool PtyStation::DropUnreadOutput() const {
    // The master cannot flush what waits on the device side; a descriptor of our own can.
    const int slave = ::open(deviceName_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) return false;
    ::tcflush(slave, TCIFLUSH);
    ::close(slave);
    return true;
}

bool PtyStation::SuspendDeviceOutput(bool suspend) const {
    // The state belongs to the device side's terminal and outlives this descriptor: the
    // opener's own descriptor stays stopped until it is resumed.
    const int slave = ::open(deviceName_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) return false;
    ::tcflow(slave, suspend ? TCOOFF : TCOON);
    ::close(slave);
    return true;
}
