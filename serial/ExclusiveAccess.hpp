#pragma once

#include <boost/system/error_code.hpp>

#include <string>

// Keeps a serial device to one Railmux at a time. Every Railmux takes an advisory lock (flock)
// on the device; on a real serial device the terminal is also put in exclusive mode
// (TIOCEXCL), so that other programs' opens fail with EBUSY (root's excepted, which the lock
// still catches). A pseudo-terminal gets the lock only: its exclusive mode outlives the
// descriptor that set it, so a Railmux killed before it could clear it would keep the next
// one out until the other side of the pseudo-terminal closes. On Windows, whose serial handles
// are exclusive by themselves, nothing is done.
class ExclusiveAccess {
public:
    ExclusiveAccess() = default;
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

    // Claims the device open on fd; empty on success, device_or_resource_busy when another
    // descriptor holds the lock (nothing is then changed on the device), the system's error
    // when the lock cannot be taken at all.
    boost::system::error_code Claim(int fd);
    // Gives the claim up, before the descriptor is closed; nothing when nothing is claimed.
    void Release();

    // Whether another descriptor holds the lock of the device open on fd (the lock is taken and
    // given back at once when it is free).
    static bool LockedElsewhere(int fd);
    // The processes that hold the device at path locked or open, as "railmux (pid 4242)",
    // several separated by ", ", the lock's holder first; empty when none can be seen (an
    // unprivileged caller sees other users' processes only as the lock's holder).
    static std::string Holders(const std::string& path);

private:
    int fd_ = -1;
    bool exclusiveMode_ = false;
};
