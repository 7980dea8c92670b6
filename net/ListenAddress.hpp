#pragma once

#include <boost/asio/ip/address.hpp>

#include <string>

// The address the TCP server listens on, from the text of --listen: an IPv4 or IPv6 literal, or
// "localhost" for the IPv4 loopback 127.0.0.1. False for any other text.
bool ParseListenAddress(const std::string& text, boost::asio::ip::address& address);
