#include "protocol/NTCPRecvHandler.hpp"

#include "base/ConsoleLog.hpp"
#include "protocol/ProcessMessage.hpp"

#include <cstring>
#include <utility>

namespace {

unsigned long long Wide(ClientId id) {
    return static_cast<unsigned long long>(id);
}

}  // namespace

NTCPRecvHandler::NTCPRecvHandler(StationScheduler& scheduler)
    : processor_([&scheduler](std::string message, std::string& reply) {
          return ProcessMessage(std::move(message), reply, scheduler);
      }) {}

NTCPRecvHandler::NTCPRecvHandler(MessageProcessor processor) : processor_(std::move(processor)) {}

bool NTCPRecvHandler::OnAccept(ClientId id, const std::string& address) {
    if (!clientBuffers.empty()) {
        ConsoleLog("Already connected. Denied connection from [%s].\n", address.c_str());
        return false;
    }
    clientBuffers[id];
    ConsoleLog("TCP connection accepted from [%s], ID: %llX.\n", address.c_str(), Wide(id));
    return true;
}

void NTCPRecvHandler::OnDisconnect(ClientId id) {
    ConsoleLog("Client disconnected, ID: %llX.\n", Wide(id));
    clientBuffers.erase(id);
}

bool NTCPRecvHandler::OnReceive(ClientId id, const char* data, unsigned size, bool& replyReady,
                                std::string& reply, bool& /*closeAfterReply*/) {
    ClientText& client = clientBuffers[id];
    const char* next = data;
    const char* const end = data + size;

    // Keeps the unfinished text within its bound.
    auto keep = [&](const char* first, const char* last) {
        if (client.text.size() + static_cast<std::size_t>(last - first) > kMaxClientText) {
            ConsoleLog(
                "Client ID: %llX sent more than %zu bytes without a carriage return; "
                "connection dropped.\n",
                Wide(id), kMaxClientText);
            client.text.clear();
            return false;
        }
        client.text.append(first, last);
        return true;
    };

    if (next != end) {
        if (client.afterCarriageReturn && *next == '\n') ++next;
        client.afterCarriageReturn = false;
    }

    std::string replies;
    std::string answer;
    bool answered = false;
    while (next != end && !stopping_) {
        const auto* cr = static_cast<const char*>(std::memchr(next, '\r', end - next));
        if (cr == nullptr) {
            if (!keep(next, end)) return false;
            break;
        }
        std::string message;
        if (client.text.empty()) {
            message.assign(next, cr);
        } else {
            if (!keep(next, cr)) return false;
            message = std::move(client.text);
            client.text.clear();
        }
        if (!processor_(std::move(message), answer)) return false;
        ConsoleLog("[E Send] %s\n", ShownText(answer).c_str());
        replies += answer;
        replies += '\r';
        answered = true;

        next = cr + 1;
        if (next == end) {
            client.afterCarriageReturn = true;
        } else if (*next == '\n') {
            ++next;
        }
    }

    if (answered) {
        reply = std::move(replies);
        replyReady = true;
    }
    return true;
}
