#include "protocol/ProcessMessage.hpp"

#include "app/ConsoleLog.hpp"
#include "protocol/CvService.hpp"
#include "protocol/IStation.hpp"
#include "protocol/LocoTable.hpp"
#include "protocol/NDSDCCStation.hpp"
#include "protocol/PacketDecoder.hpp"
#include "protocol/TrackPower.hpp"

#include <utility>

namespace {

struct Context {
    IStation& station;
    LocoTable& locos;
    TrackPower& power;
};

// Carries out a message whose row has been found; may replace the row's reply.
using Action = void (*)(const std::string& message, std::string& reply, Context& context);

void PowerOn(const std::string&, std::string&, Context& context) {
    context.station.PowerOn();
    context.power.Requested(true);
}

void PowerOff(const std::string&, std::string&, Context& context) {
    context.station.PowerOff();
    context.power.Requested(false);
}

// Leaving programming: the station ended its CV operations with the track off, while the
// application expects the track as it left it.
void LeaveProgramming(const std::string&, std::string&, Context& context) {
    if (!context.power.OffByProgramming()) return;
    if (context.station.PowerOn()) {
        context.power.Restored();
        ConsoleLog("Track power switched back on after programming.\n");
    }
}

void QueuePacket(const std::string& message, std::string&, Context& context) {
    PacketDecoder(context.station, context.locos).QueuePacket(message);
}

// "Sn vv" writes a register; every other "S" is a packet.
void SendPacket(const std::string& message, std::string& reply, Context& context) {
    if (CvService::IsRegisterWrite(message)) {
        reply = CvService(context.station, context.power).WriteRegister(message);
        return;
    }
    PacketDecoder(context.station, context.locos).SendPacket(message);
}

// "Vn" reads a register; every other "V" asks for the version, which is "---".
void Version(const std::string& message, std::string& reply, Context& context) {
    if (CvService::IsRegisterRead(message)) {
        reply = CvService(context.station, context.power).ReadRegister(message);
    }
}

void Dequeue(const std::string& message, std::string&, Context& context) {
    PacketDecoder(context.station, context.locos).Dequeue(message);
}

void WriteCv(const std::string& message, std::string& reply, Context& context) {
    reply = CvService(context.station, context.power).Write(message);
}

void ReadCv(const std::string& message, std::string& reply, Context& context) {
    reply = CvService(context.station, context.power).Read(message);
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
    {'C', "O", nullptr},      {'D', "O", &Dequeue},          {'E', "O", &PowerOn},
    {'F', "O", nullptr},      {'G', "O", &Consist},          {'K', "O", &PowerOff},
    {'L', "O", &ReadLoco},    {'M', "P", nullptr},           {'P', "P", &WriteCv},
    {'Q', "O", &QueuePacket}, {'R', "--", &ReadCv},          {'S', "O", &SendPacket},
    {'V', "---", &Version},   {'X', "O", &LeaveProgramming},
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

bool ProcessMessage(std::string message, std::string& reply, IStation& station, LocoTable& locos,
                    TrackPower& power) {
    ConsoleLog("[E Recv] %s\n", message.c_str());
    const Row* row = FindRow(message);
    if (row == nullptr) {
        reply = kUnknownReply;
        return true;
    }
    reply = row->reply;
    if (row->action != nullptr) {
        Context context{station, locos, power};
        row->action(message, reply, context);
    }
    return true;
}

bool ProcessMessage(std::string message, std::string& reply) {
    static NDSDCCStation station;
    return ProcessMessage(std::move(message), reply, station, LocoTable::Instance(),
                          TrackPower::Instance());
}
