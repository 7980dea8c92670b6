// ServedHandler for railmux_failing_server, a test build of the program: the client protocol,
// except that a read holding kFailServerThread throws, which ends the server thread as any
// exception from a handler call does.
#include "app/ServedHandler.hpp"

#include "net/ITCPRecvHandler.hpp"
#include "protocol/NTCPRecvHandler.hpp"
#include "tests/support/FailingServedHandler.hpp"

#include <stdexcept>
#include <string>

namespace {

class FailOnRequest final : public ITCPRecvHandler {
public:
    explicit FailOnRequest(ITCPRecvHandler& protocol) : protocol_(protocol) {}

    void OnServerStart(ITCPReplies& replies) override { protocol_.OnServerStart(replies); }
    bool OnAccept(ClientId id, const std::string& address) override {
        return protocol_.OnAccept(id, address);
    }
    void OnDisconnect(ClientId id) override { protocol_.OnDisconnect(id); }
    bool OnReceive(ClientId id, const char* data, unsigned size) override {
        if (std::string(data, size).find(kFailServerThread) != std::string::npos) {
            throw std::runtime_error("failed on request");
        }
        return protocol_.OnReceive(id, data, size);
    }
    void OnServerStop() override { protocol_.OnServerStop(); }

private:
    ITCPRecvHandler& protocol_;
};

}  // namespace

ITCPRecvHandler& ServedHandler(NTCPRecvHandler& protocol) {
    static FailOnRequest served(protocol);
    return served;
}
