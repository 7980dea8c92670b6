#include "net/PeerLiveness.hpp"

#include <boost/asio/socket_base.hpp>
#include <boost/system/error_code.hpp>

#ifdef _WIN32
#include <winsock2.h>
// After winsock2.h, which it builds on.
#include <mstcpip.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#endif

namespace {

constexpr std::chrono::seconds kDeadAfter = kKeepAliveIdle + kKeepAliveInterval * kKeepAliveProbes;

}  // namespace

void WatchForDeadPeer(boost::asio::ip::tcp::socket& socket) {
    boost::system::error_code ignored;
    socket.set_option(boost::asio::socket_base::keep_alive(true), ignored);
#ifdef _WIN32
    // The probe count is the system's own (10 since Vista); only the timers can be set here.
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = static_cast<ULONG>(
        std::chrono::duration_cast<std::chrono::milliseconds>(kKeepAliveIdle).count());
    values.keepaliveinterval = static_cast<ULONG>(
        std::chrono::duration_cast<std::chrono::milliseconds>(kKeepAliveInterval).count());
    DWORD returned = 0;
    ::WSAIoctl(socket.native_handle(), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0,
               &returned, nullptr, nullptr);
#else
    const auto setTcp = [&](int option, int value) {
        ::setsockopt(socket.native_handle(), IPPROTO_TCP, option, &value, sizeof value);
    };
#ifdef TCP_KEEPIDLE
    setTcp(TCP_KEEPIDLE, static_cast<int>(kKeepAliveIdle.count()));
#elif defined(TCP_KEEPALIVE)
    setTcp(TCP_KEEPALIVE, static_cast<int>(kKeepAliveIdle.count()));
#endif
#ifdef TCP_KEEPINTVL
    setTcp(TCP_KEEPINTVL, static_cast<int>(kKeepAliveInterval.count()));
#endif
#ifdef TCP_KEEPCNT
    setTcp(TCP_KEEPCNT, kKeepAliveProbes);
#endif
#ifdef TCP_USER_TIMEOUT
    // Keep-alive probes only an idle connection; a reply that the vanished peer never
    // acknowledges would otherwise be retransmitted for a quarter of an hour.
    setTcp(TCP_USER_TIMEOUT,
           static_cast<int>(
               std::chrono::duration_cast<std::chrono::milliseconds>(kDeadAfter).count()));
#endif
#endif
}

bool PeerHasGone(boost::asio::ip::tcp::socket& socket) {
#ifdef _WIN32
    // Readable with nothing to read is an end of stream; an end behind unread data is not seen.
    WSAPOLLFD p{};
    p.fd = socket.native_handle();
    p.events = POLLRDNORM;
    if (::WSAPoll(&p, 1, 0) <= 0) return false;
    if ((p.revents & (POLLHUP | POLLERR)) != 0) return true;
    u_long unread = 0;
    return ::ioctlsocket(socket.native_handle(), FIONREAD, &unread) == 0 && unread == 0;
#else
    pollfd p{socket.native_handle(), 0, 0};
#ifdef POLLRDHUP
    p.events = POLLRDHUP;
    const short gone = POLLRDHUP | POLLHUP | POLLERR;
#else
    p.events = POLLIN;
    const short gone = POLLHUP | POLLERR;
#endif
    return ::poll(&p, 1, 0) > 0 && (p.revents & gone) != 0;
#endif
}
