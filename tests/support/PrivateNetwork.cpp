#include "tests/support/PrivateNetwork.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

PrivateNetwork::PrivateNetwork() {
    original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (original_ < 0) {
        failure_ = std::string("cannot open /proc/thread-self/ns/net: ") + std::strerror(errno);
        return;
    }
    if (::unshare(CLONE_NEWNET) != 0) {
        failure_ = std::string("cannot create a private network namespace (this needs root): ") +
                   std::strerror(errno);
        return;
    }
    entered_ = true;
    BringUp("lo", failure_);
}

PrivateNetwork::~PrivateNetwork() {
    if (entered_) ::setns(original_, CLONE_NEWNET);
    if (original_ >= 0) ::close(original_);
}

bool PrivateNetwork::BringUp(const char* interface, std::string& failure) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        failure = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, interface, IFNAMSIZ - 1);
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        up = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    if (!up) failure = std::string("cannot bring ") + interface + " up: " + std::strerror(errno);
    ::close(fd);
    return up;
}
