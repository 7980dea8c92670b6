#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <chrono>

// How the TCP server learns that a peer has gone: the platform's keep-alive and time-out options
// on each accepted connection, and a look at whether a connection's end is already in its socket.

// A silent peer is probed after this much quiet, this often, this many times; then, or when a
// reply has gone unacknowledged as long, the connection fails and its slot is free.
constexpr std::chrono::seconds kKeepAliveIdle{10};
constexpr std::chrono::seconds kKeepAliveInterval{3};
constexpr int kKeepAliveProbes = 3;

// Turns on keep-alive with the timers above and, where the platform has it, the same bound for
// unacknowledged data. Failures are ignored: the connection is served without them.
void WatchForDeadPeer(boost::asio::ip::tcp::socket& socket);

// True when the peer's end of stream or reset has already arrived in the socket (whatever data
// precedes it), so that reading it through would end the connection. Never blocks.
bool PeerHasGone(boost::asio::ip::tcp::socket& socket);
