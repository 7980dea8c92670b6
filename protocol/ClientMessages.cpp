#include "protocol/ClientMessages.hpp"

#include <cstring>
#include <utility>

bool ClientMessages::Admit(ClientId id) {
    if (client_) return false;
    client_ = Client{id, ++admissions_, State::Open, {}, false};
    return true;
}

void ClientMessages::Forget(ClientId id) {
    if (!client_ || client_->id != id) return;
    client_.reset();
    waiting_.clear();
    waitingText_ = 0;
}

void ClientMessages::EndClient(ClientId id) {
    if (!client_ || client_->id != id) return;
    client_->state = State::Ending;
    DropWhatWasSent();
}

void ClientMessages::DropWhatWasSent() {
    client_->text.clear();
    waiting_.clear();
    waitingText_ = 0;
}

bool ClientMessages::Queue(std::string text, TimePoint received) {
    if (waiting_.size() == kMaxWaitingMessages || waitingText_ + text.size() > kMaxWaitingText) {
        return false;
    }
    waitingText_ += text.size();
    waiting_.push_back({client_->id, client_->admission, std::move(text), received});
    return true;
}

ClientMessages::Fed ClientMessages::Feed(ClientId id, const char* data, std::size_t size,
                                         TimePoint received) {
    if (!client_ || client_->id != id) return Fed::NotAdmitted;
    Client& client = *client_;
    if (client.state == State::Ending) return Fed::Kept;

    const char* next = data;
    const char* const end = data + size;
    auto fail = [&](Fed why) {
        client.state = State::Ending;
        DropWhatWasSent();
        return why;
    };
    // Keeps the unfinished text within its bound.
    auto keep = [&](const char* first, const char* last) {
        if (client.text.size() + static_cast<std::size_t>(last - first) > kMaxClientText) {
            return false;
        }
        client.text.append(first, last);
        return true;
    };

    if (next != end) {
        if (client.afterCarriageReturn && *next == '\n') ++next;
        client.afterCarriageReturn = false;
    }
    while (next != end) {
        const auto* cr = static_cast<const char*>(std::memchr(next, '\r', end - next));
        if (cr == nullptr) {
            if (!keep(next, end)) return fail(Fed::TextTooLong);
            break;
        }
        std::string message;
        if (client.text.empty()) {
            message.assign(next, cr);
        } else {
            if (!keep(next, cr)) return fail(Fed::TextTooLong);
            message = std::move(client.text);
            client.text.clear();
        }
        if (!Queue(std::move(message), received)) return fail(Fed::TooManyWaiting);

        next = cr + 1;
        if (next == end) {
            client.afterCarriageReturn = true;
        } else if (*next == '\n') {
            ++next;
        }
    }
    return Fed::Kept;
}

ClientMessages::Message ClientMessages::Next() {
    Message message = std::move(waiting_.front());
    waiting_.pop_front();
    waitingText_ -= message.text.size();
    return message;
}

bool ClientMessages::Wanted(const Message& message) const {
    return client_ && client_->state == State::Open && client_->admission == message.admission;
}
