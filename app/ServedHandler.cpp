#include "app/ServedHandler.hpp"

#include "protocol/NTCPRecvHandler.hpp"

ITCPRecvHandler& ServedHandler(NTCPRecvHandler& protocol) {
    return protocol;
}
