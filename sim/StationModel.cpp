#include "sim/StationModel.hpp"

#include <cctype>
#include <cstring>
#include <map>

namespace {

const char kOk[] = "200 Ok";
const char kCmdErr[] = "300 Cmd err";
const char kStxErr[] = "301 Stx err";

constexpr std::int32_t kFunctionLimit = 61;  // F0..F60
constexpr std::int32_t kMaxSpeed = 1023;
constexpr std::int32_t kMaxCv = 1024;

// The firmware reads numbers the way atoi does: leading blanks, a sign, digits up to the first
// other character, 0 without digits. Clamped to 32 bits instead of overflowing.
std::int32_t ToInt(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT32_MAX) value = std::int64_t{INT32_MAX} + 1;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) return INT32_MAX;
    return static_cast<std::int32_t>(value);
}

std::int32_t Arg(const std::vector<std::string>& args, std::size_t index) {
    return index < args.size() ? ToInt(args[index]) : 0;
}

void Status(StationReply& reply, int code, const char* text) {
    reply.status = code;
    reply.lines.emplace_back(text);
}

std::string LocoName(std::int32_t address) {
    return "loco " + std::to_string(address - StationModel::kLocoBase);
}

}  // namespace

const StationModel::Row StationModel::kCommands[] = {
    {"setPing", &StationModel::Ping},
    {"setPower", &StationModel::Power},
    {"setLocoSpeed", &StationModel::LocoSpeed},
    {"setLocoDirection", &StationModel::LocoDirection},
    {"setLocoFunction", &StationModel::LocoFunction},
    {"setLocoConfig", &StationModel::WriteCv},
    {"getLocoConfig", &StationModel::ReadCv},
};

namespace {

// A typical decoder fresh from the factory at short address 3.
const std::map<std::int32_t, std::int32_t> kFactoryCvs = {
    {1, 3},              // short address
    {2, 1},              // start voltage
    {3, 3},              // acceleration rate
    {4, 3},              // braking rate
    {5, 255},            // top voltage
    {6, 128},            // mid voltage
    {7, 10},             // version
    {8, 13},             // manufacturer: public domain and DIY decoders
    {17, 192}, {18, 0},  // long address, unused while CV29 selects the short one
    {19, 0},             // consist address
    {29, 6},             // 28/128 speed steps, analogue operation, short address
};

}  // namespace

StationModel::StationModel() {
    state_.cvs = kFactoryCvs;
}

std::string StationModel::Describe(const SimState& state) {
    std::string text = state.power ? "track power ON" : "track power OFF";
    for (const auto& [address, loco] : state.locos) {
        text += "; " + LocoName(address) + ": speed " + std::to_string(loco.speed) + "/1023 " +
                (loco.forward ? "forward" : "reverse");
        for (int f = 0; f < kFunctionLimit; ++f) {
            if (loco.functions & (std::uint64_t{1} << f)) text += " F" + std::to_string(f);
        }
    }
    std::string cvs;
    for (const auto& [cv, value] : state.cvs) {
        const auto factory = kFactoryCvs.find(cv);
        if (factory != kFactoryCvs.end() && factory->second == value) continue;
        cvs += " CV" + std::to_string(cv) + "=" + std::to_string(value);
    }
    for (const auto& [cv, value] : kFactoryCvs) {
        if (state.cvs.count(cv) == 0) cvs += " CV" + std::to_string(cv) + " absent";
    }
    if (!cvs.empty()) text += ";" + cvs;
    return text;
}

void StationModel::SetCv(std::int32_t cv, std::int32_t value) {
    state_.cvs[cv] = value;
}

StationReply StationModel::Handle(const std::string& line) {
    StationReply reply;
    // An overflowing input buffer loses the whole line without a word.
    if (line.empty() || line.size() > kMaxLine) {
        reply.change = line.empty() ? "empty line, ignored" : "line longer than 64 bytes, dropped";
        return reply;
    }
    reply.command = true;
    std::string text = line;
    if (text.back() == '\r') text.pop_back();

    const std::size_t open = text.find('(');
    const std::size_t close = open == std::string::npos ? open : text.find(')', open + 1);
    reply.name = text.substr(0, open);
    if (open == std::string::npos || close == std::string::npos) {
        Status(reply, 301, kStxErr);
        reply.change = "syntax error";
        return reply;
    }

    const Row* row = nullptr;
    for (const Row& candidate : kCommands) {
        if (reply.name == candidate.name) row = &candidate;
    }
    if (row == nullptr) {
        Status(reply, 300, kCmdErr);
        reply.change = "unknown command";
        return reply;
    }

    Args args;
    const std::string inner = text.substr(open + 1, close - open - 1);
    if (!inner.empty()) {
        std::size_t start = 0;
        for (;;) {
            const std::size_t comma = inner.find(',', start);
            args.push_back(inner.substr(start, comma - start));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
    (this->*(row->handler))(args, reply);
    return reply;
}

SimLoco* StationModel::Loco(std::int32_t address, StationReply& reply) {
    if (address <= kLocoBase || address > kLocoBase + kMaxDccAddress) {
        reply.change = "address " + std::to_string(address) + " out of range, dropped";
        return nullptr;
    }
    return &state_.locos[address];
}

void StationModel::Ping(const Args&, StationReply& reply) {
    reply.lines.emplace_back("@DSG,00,03,00,02,00,00,00,00");
    reply.lines.push_back("@DSS," + std::string(265, '0'));
    Status(reply, 200, kOk);
    reply.change = "ping";
}

void StationModel::Power(const Args& args, StationReply& reply) {
    state_.power = Arg(args, 0) == 1;
    if (state_.power) reply.work = StationReply::Work::PowerOn;
    Status(reply, 200, kOk);
    reply.change = state_.power ? "track power ON" : "track power OFF";
}

void StationModel::LocoSpeed(const Args& args, StationReply& reply) {
    Status(reply, 200, kOk);
    const std::int32_t address = Arg(args, 0);
    SimLoco* loco = Loco(address, reply);
    if (loco == nullptr) return;
    std::int32_t speed = Arg(args, 1);
    if (speed < 0) speed = 0;
    if (speed > kMaxSpeed) speed = kMaxSpeed;
    loco->speed = speed;
    reply.change = LocoName(address) + ": speed " + std::to_string(speed) + "/1023 " +
                   (loco->forward ? "forward" : "reverse");
    if (args.size() > 2) reply.change += " (step mode " + std::to_string(Arg(args, 2)) + ")";
}

void StationModel::LocoDirection(const Args& args, StationReply& reply) {
    Status(reply, 200, kOk);
    const std::int32_t address = Arg(args, 0);
    const std::int32_t direction = Arg(args, 1);
    if (direction != 1 && direction != 2) {
        reply.change = "direction " + std::to_string(direction) + " unknown, dropped";
        return;
    }
    SimLoco* loco = Loco(address, reply);
    if (loco == nullptr) return;
    const bool forward = direction == 1;
    reply.change = LocoName(address) + ": direction " + (forward ? "forward" : "reverse");
    if (forward == loco->forward) {
        reply.change += " (unchanged)";
        return;
    }
    // The station stops a locomotive it reverses.
    loco->forward = forward;
    loco->speed = 0;
    reply.change += ", speed 0";
}

void StationModel::LocoFunction(const Args& args, StationReply& reply) {
    const std::int32_t function = Arg(args, 1);
    if (function < 0 || function >= kFunctionLimit) {
        Status(reply, 300, kCmdErr);
        reply.change = "function " + std::to_string(function) + " out of range";
        return;
    }
    Status(reply, 200, kOk);
    const std::int32_t address = Arg(args, 0);
    SimLoco* loco = Loco(address, reply);
    if (loco == nullptr) return;
    const bool on = Arg(args, 2) != 0;
    const std::uint64_t bit = std::uint64_t{1} << function;
    loco->functions = on ? (loco->functions | bit) : (loco->functions & ~bit);
    reply.change = LocoName(address) + ": F" + std::to_string(function) + (on ? " on" : " off");
}

void StationModel::WriteCv(const Args& args, StationReply& reply) {
    const std::int32_t cv = Arg(args, 1);
    const std::int32_t value = Arg(args, 2);
    reply.lines.push_back("@CVWrite," + std::to_string(cv) + "," + std::to_string(value));
    Status(reply, 200, kOk);
    reply.work = StationReply::Work::CvWrite;
    // Programming switches the track over to the programming output.
    state_.power = false;
    if (cv < 1 || cv > kMaxCv || value < 0 || value > 255) {
        reply.change = "CV" + std::to_string(cv) + " = " + std::to_string(value) +
                       " not writable, ignored; track power OFF";
    } else if (cv == 7 || cv == 8) {
        reply.change = "CV" + std::to_string(cv) + " is read-only, unchanged; track power OFF";
    } else {
        state_.cvs[cv] = value;
        reply.change =
            "CV" + std::to_string(cv) + " = " + std::to_string(value) + "; track power OFF";
    }
}

void StationModel::ReadCv(const Args& args, StationReply& reply) {
    const std::int32_t cv = Arg(args, 1);
    const auto found = state_.cvs.find(cv);
    const std::int32_t value = found == state_.cvs.end() ? kFailedRead : found->second;
    // The first argument comes back as it was received.
    reply.lines.push_back("@CV," + (args.empty() ? std::string() : args[0]) + "," +
                          std::to_string(cv) + "," + std::to_string(value) + ",");
    Status(reply, 200, kOk);
    reply.work = StationReply::Work::CvRead;
    state_.power = false;
    reply.change = "read CV" + std::to_string(cv) + " = " + std::to_string(value) +
                   (value == kFailedRead ? " (no answer)" : "") + "; track power OFF";
}
