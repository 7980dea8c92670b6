#include "net/ListenAddress.hpp"

#include <boost/system/error_code.hpp>

bool ParseListenAddress(const std::string& text, boost::asio::ip::address& address) {
    if (text == "localhost") {
        address = boost::asio::ip::address_v4::loopback();
        return true;
    }
    boost::system::error_code ec;
    const auto parsed = boost::asio::ip::make_address(text, ec);
    if (ec) return false;
    address = parsed;
    return true;
}
