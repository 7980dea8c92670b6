#include "protocol/ProcessMessage.hpp"

#include "app/ConsoleLog.hpp"
#include "protocol/CvService.hpp"
#include "protocol/IStation.hpp"
#include "protocol/LocoTable.hpp"
#include "protocol/NDSDCCStation.hpp"
#include "protocol/PacketDecoder.hpp"
#include "station/NDSDCC.hpp"

#include <cstdint>
#include <utility>

namespace {

struct Context {
    IStation& station;
    LocoTable& locos;
};

// Carries out a message whose row has been found; may replace the row's reply.
using Action = void (*)(const std::string& message, std::string& reply, Context& context);

void PowerOn(const std::string&, std::string&, Context& context) {
    context.station.PowerOn();
}

void PowerOff(const std::string&, std::string&, Context& context) {
    context.station.PowerOff();
}

void QueuePacket(const std::string& message, std::string&, Context& context) {
    PacketDecoder(context.station, context.locos).QueuePacket(message);
}

void SendPacket(const std::string& message, std::string&, Context& context) {
    PacketDecoder(context.station, context.locos).SendPacket(message);
}

void Dequeue(const std::string& message, std::string&, Context& context) {
    PacketDecoder(context.station, context.locos).Dequeue(message);
}

void WriteCv(const std::string& message, std::string& reply, Context& context) {
    reply = CvService(context.station).Write(message);
}

void ReadCv(const std::string& message, std::string& reply, Context& context) {
    reply = CvService(context.station).Read(message);
}

// An empty consist: "G", the consist number, "0000". Applications send the five-character
// "GD 01", whose number stands at 3-4; a longer message has it at 4-5. Anything shorter keeps
// the row's "O", which the application takes as the end of the consist list.
void Consist(const std::string& message, std::string& reply, Context&) {
    if (message.size() < 5 || message[1] != 'D') return;
    const std::size_t at = message.size() == 5 ? 3 : 4;
    reply = "G";
    reply.append(message, at, 2);
    reply += "0000";
}

// "L", the four characters at 2-5, "000000"; a message too short for them keeps the row's "O".
void ReadLoco(const std::string& message, std::string& reply, Context&) {
    if (message.size() < 6) return;
    reply = "L";
    reply.append(message, 2, 4);
    reply += "000000";
}

struct Row {
    char letter;
    const char* reply;
    Action action;  // null: the reply is all there is to it
};

constexpr Row kLetters[] = {
    {'C', "O", nullptr},   {'D', "O", &Dequeue},     {'E', "O", &PowerOn},  {'F', "O", nullptr},
    {'G', "O", &Consist},  {'K', "O", &PowerOff},    {'L', "O", &ReadLoco}, {'M', "P", nullptr},
    {'P', "P", &WriteCv},  {'Q', "O", &QueuePacket}, {'R', "--", &ReadCv},  {'S', "O", &SendPacket},
    {'V', "---", nullptr}, {'X', "O", nullptr},
};

constexpr const char* kUnknownReply = "?";

const Row* FindRow(const std::string& message) {
    if (message.empty()) return nullptr;
    for (const Row& row : kLetters) {
        if (row.letter == message[0]) return &row;
    }
    return nullptr;
}

}  // namespace

bool ProcessMessage(std::string message, std::string& reply, IStation& station, LocoTable& locos) {
    ConsoleLog("[E Recv] %s\n", message.c_str());
    const Row* row = FindRow(message);
    if (row == nullptr) {
        reply = kUnknownReply;
        return true;
    }
    reply = row->reply;
    if (row->action != nullptr) {
        Context context{station, locos};
        row->action(message, reply, context);
    }
    return true;
}

bool ProcessMessage(std::string message, std::string& reply) {
    static NDSDCCStation station;
    // A station that was reset or reconnected knows nothing of what it was sent: every value
    // must go to it again, also one the client repeats unchanged.
    static std::uint64_t seenEpoch = 0;
    const std::uint64_t epoch = NDSDCC::StationEpoch();
    if (epoch != seenEpoch) {
        seenEpoch = epoch;
        LocoTable::Instance().ForgetAll();
    }
    return ProcessMessage(std::move(message), reply, station, LocoTable::Instance());
}
