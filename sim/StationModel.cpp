#include "sim/StationModel.hpp"

#include "sim/Rails.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

namespace {

const char kOk[] = "200 Ok";
const char kCmdErr[] = "300 Cmd err";
const char kStxErr[] = "301 Stx err";

constexpr std::uint16_t kFunctionLimit = 61;  // F0..F60
// The supply the station accepts, in tenths of a volt.
constexpr std::int32_t kLowSupply = 90;
constexpr std::int32_t kHighSupply = 200;
constexpr std::int32_t kMaxCv = 1024;
// Märklin accessory numbers, below the DCC ones.
constexpr std::int32_t kMarklinFirst = 0x3000;
constexpr std::int32_t kMarklinLast = 0x3140;

// The firmware reads a number as an unsigned 16-bit value: leading blanks, a sign, decimal
// digits up to the first other character, 0 without digits; larger values wrap.
std::uint16_t ToNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::uint16_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = static_cast<std::uint16_t>(value * 10 + (text[i] - '0'));
    }
    return negative ? static_cast<std::uint16_t>(-value) : value;
}

std::string Volts(std::int32_t tenths) {
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " V";
}

// The status line's error digits 2, 4 and 8.
std::string ErrorName(int error) {
    switch (error) {
        case 2:
            return "track supply too low";
        case 4:
            return "track supply too high";
        default:
            return "overload or short circuit";
    }
}

void Status(StationReply& reply, int code, const char* text) {
    reply.status = code;
    reply.lines.emplace_back(text);
}

std::string LocoName(std::int32_t address) {
    return "loco " + std::to_string(address - StationModel::kLocoBase);
}

std::string EntryName(const SimEntry& entry) {
    if (entry.kind == SimEntry::Kind::Loco) return LocoName(entry.address);
    if (entry.address < StationModel::kAccessoryBase) {
        return "Marklin accessory " + std::to_string(entry.address - kMarklinFirst);
    }
    return "accessory output " + std::to_string(entry.address - StationModel::kAccessoryBase + 1);
}

std::string ModeName(std::int32_t mode) {
    switch (mode) {
        case Rails::kMode28:
            return "28 steps";
        case Rails::kMode14:
            return "14 steps";
        case Rails::kMode128:
            return "128 steps";
        default:
            return "mode " + std::to_string(mode) + ": decoder reset";
    }
}

std::string Motion(const SimLoco& loco) {
    return "speed " + std::to_string(loco.speed) + "/1023 " +
           (loco.forward ? "forward" : "reverse") + ", " + ModeName(loco.mode);
}

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

const StationModel::Row StationModel::kCommands[] = {
    {"setPing", &StationModel::Ping},
    {"setPower", &StationModel::Power},
    {"setLocoSpeed", &StationModel::LocoSpeed},
    {"setLocoDirection", &StationModel::LocoDirection},
    {"setLocoFunction", &StationModel::LocoFunction},
    {"setTurnout", &StationModel::Turnout},
    {"setLocoConfig", &StationModel::WriteCv},
    {"getLocoConfig", &StationModel::ReadCv},
};

StationModel::StationModel() {
    state_.cvs = kFactoryCvs;
    Reset();
}

std::chrono::microseconds StationModel::Round(std::size_t entries) {
    const std::int64_t n = static_cast<std::int64_t>(std::max<std::size_t>(entries, 1));
    return std::chrono::microseconds(24000 + (n - 1) * (350000 - 24000) /
                                                 static_cast<std::int64_t>(kListSize - 1));
}

void StationModel::Reset() {
    // The layout outlives the station's memory: the decoders keep their CVs and what they
    // heard, and the faults stay counted.
    SimState kept = std::move(state_);
    state_ = SimState{};
    state_.cvs = std::move(kept.cvs);
    state_.decoders = std::move(kept.decoders);
    state_.accessoryDecoders = std::move(kept.accessoryDecoders);
    state_.supply = kept.supply;
    state_.shortPending = kept.shortPending;
    state_.trips = kept.trips;
    state_.speedsWithoutEntry = kept.speedsWithoutEntry;
    state_.overwritten = std::move(kept.overwritten);
    state_.overwrittenRunning = kept.overwrittenRunning;
    state_.overwrittenTurnouts = kept.overwrittenTurnouts;
    args_.fill(0);
    checked_ = false;
    list_.clear();
    list_.push_back(Entry{SimEntry{SimEntry::Kind::Loco, kBootLoco, 0, false}, {}, {}});
    state_.locos[kBootLoco] = SimLoco{};
    Publish();
}

std::vector<std::string> StationModel::TakeNotes() {
    std::vector<std::string> notes;
    notes.swap(notes_);
    return notes;
}

std::string StationModel::Describe(const SimState& state) {
    std::string text = state.power ? "track power ON" : "track power OFF";
    if (state.error >= 2)
        text += " (error " + std::to_string(state.error) + ": " + ErrorName(state.error) + ")";
    for (const auto& [address, loco] : state.locos) {
        text += "; " + LocoName(address) + ": " + Motion(loco);
        for (int f = 0; f < kFunctionLimit; ++f) {
            if (loco.functions & (std::uint64_t{1} << f)) text += " F" + std::to_string(f);
        }
        text += ", rails " + (loco.undefined ? "undefined"
                                             : Rails::Hex(Rails::Speed(address - kLocoBase, loco)));
    }
    for (const auto& [k, d] : state.accessories) {
        text += "; accessory output " + std::to_string(k + 1) + ": coil " + std::to_string(d) +
                ", rails " + Rails::Hex(Rails::Accessory(k, d));
    }
    for (const auto& [dcc, decoder] : state.decoders) {
        if (decoder.Running() && state.locos.count(kLocoBase + dcc) == 0) {
            text += "; loco " + std::to_string(dcc) + " runs on without an entry, rails " +
                    decoder.rails;
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

StationReply StationModel::Handle(const std::string& line, TimePoint now) {
    Tick(now);
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

    // The parser fills the array from the front and leaves the positions after the last
    // argument as the command before left them.
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
    for (std::size_t i = 0; i < args.size() && i < kArgSlots; ++i)
        args_[i] = ToNumber(args[i]);

    const Row* row = nullptr;
    for (const Row& candidate : kCommands) {
        if (reply.name == candidate.name) row = &candidate;
    }
    if (row == nullptr) {
        Status(reply, 300, kCmdErr);
        reply.change = "unknown command";
        return reply;
    }
    (this->*(row->handler))(args, now, reply);
    Publish();
    return reply;
}

void StationModel::Tick(TimePoint now) {
    bool changed = false;
    for (Entry& e : list_) {
        if (e.entry.kind != SimEntry::Kind::Accessory || e.entry.sent || now < e.sendAt) continue;
        e.entry.sent = true;
        changed = true;
        const std::int32_t k = e.entry.address - kAccessoryBase;
        if (state_.power && k >= 0) state_.accessoryDecoders[k] = e.entry.coil;
    }
    const auto before = list_.size();
    list_.erase(std::remove_if(list_.begin(), list_.end(),
                               [now](const Entry& e) {
                                   return e.entry.kind == SimEntry::Kind::Accessory &&
                                          now >= e.goneAt;
                               }),
                list_.end());
    if (changed || list_.size() != before) Publish();
}

StationModel::TimePoint StationModel::NextDeadline() const {
    TimePoint deadline = TimePoint::max();
    for (const Entry& e : list_) {
        if (e.entry.kind != SimEntry::Kind::Accessory) continue;
        deadline = std::min(deadline, e.entry.sent ? e.goneAt : e.sendAt);
    }
    return deadline;
}

void StationModel::Publish() {
    state_.list.clear();
    for (const Entry& e : list_)
        state_.list.push_back(e.entry);
    // With the track on, every locomotive in the list hears its packets.
    if (!state_.power) return;
    for (const auto& [address, loco] : state_.locos) {
        SimDecoder& decoder = state_.decoders[address - kLocoBase];
        decoder.defined = !loco.undefined;
        decoder.mode = loco.mode;
        decoder.step = loco.undefined ? 0 : static_cast<std::int32_t>(Rails::Step(loco));
        decoder.forward = loco.forward;
        decoder.functions = loco.functions;
        decoder.rails =
            loco.undefined ? "undefined" : Rails::Hex(Rails::Speed(address - kLocoBase, loco));
    }
}

SimLoco* StationModel::Find(std::int32_t address) {
    const auto found = state_.locos.find(address);
    return found == state_.locos.end() ? nullptr : &found->second;
}

SimLoco& StationModel::NewLoco(std::int32_t address, TimePoint now) {
    Add(SimEntry{SimEntry::Kind::Loco, address, 0, false}, now);
    return state_.locos[address] = SimLoco{};
}

void StationModel::Add(const SimEntry& entry, TimePoint now) {
    Entry added{entry, TimePoint::max(), TimePoint::max()};
    if (entry.kind == SimEntry::Kind::Accessory) {
        const auto round = Round(std::min(list_.size() + 1, kListSize));
        added.sendAt = now + round;
        added.goneAt = now + 2 * round;
    }
    if (list_.size() < kListSize) {
        list_.push_back(added);
        return;
    }
    // A full list: the new entry is written over the first one, in place.
    SimOverwrite overwrite{list_.front().entry, false, entry};
    const SimEntry& old = overwrite.entry;
    const std::string by = EntryName(entry);
    if (old.kind == SimEntry::Kind::Loco) {
        const auto decoder = state_.decoders.find(old.address - kLocoBase);
        overwrite.running = decoder != state_.decoders.end() && decoder->second.Running();
        if (overwrite.running) ++state_.overwrittenRunning;
        state_.locos.erase(old.address);
        notes_.push_back(
            "list full: " + by + " overwrites the entry of " + EntryName(old) +
            ", which the station forgets; its decoder " +
            (overwrite.running ? "runs on (rails " + decoder->second.rails + ")" : "stands"));
    } else {
        if (!old.sent) ++state_.overwrittenTurnouts;
        notes_.push_back("list full: " + by + " overwrites the entry of " + EntryName(old) +
                         " (coil " + std::to_string(old.coil) +
                         (old.sent ? "), whose packet had gone out"
                                   : "), whose packet never reaches the rails"));
    }
    state_.overwritten.push_back(overwrite);
    list_.front() = added;
}

bool StationModel::InRange(std::int32_t address, StationReply& reply) {
    if (address > kLocoBase && address <= kLocoBase + kMaxDccAddress) return true;
    reply.change = "address " + std::to_string(address) + " out of range, dropped";
    return false;
}

void StationModel::OnRails(const std::string& packet, StationReply& reply) {
    state_.rails = packet;
    reply.change += "; rails: " + packet;
    if (!state_.power) reply.change += " (track power off)";
}

void StationModel::Check() {
    if (checked_) state_.counter = (state_.counter + 1) % 100;
    checked_ = true;
    int code = 0;
    // The driver's alarm needs current: a short waits for the track to have power.
    if (state_.shortPending && state_.power) {
        state_.shortPending = false;
        code = 8;
    } else if (state_.supply < kLowSupply) {
        code = 2;
    } else if (state_.supply > kHighSupply) {
        code = 4;
    }
    if (code == 0) return;
    state_.error = code;
    if (!state_.power) return;
    // Silent on the serial line: only the status line tells.
    state_.power = false;
    state_.reportedPower = false;
    ++state_.trips;
    notes_.push_back("the station switched the track off by itself: " + ErrorName(code) +
                     " (error " + std::to_string(code) + ", supply " + Volts(state_.supply) + ")");
}

void StationModel::ShortCircuit() {
    state_.shortPending = true;
}

void StationModel::SetSupply(std::int32_t tenths) {
    state_.supply = std::clamp<std::int32_t>(tenths, 0, 999);
}

std::string StationModel::StatusLine(const SimState& state) {
    std::string line(265, '0');
    for (const std::size_t comma : {1, 3, 5, 7, 11, 14, 16, 19})
        line[comma] = ',';
    for (const std::size_t semicolon : {31, 47, 112})
        line[semicolon] = ';';
    line[0] = state.reportedPower ? 'Y' : 'N';
    line[2] = static_cast<char>('0' + state.error);
    line[4] = '8';
    const std::string supply = std::to_string(state.supply);
    line.replace(11 - supply.size(), supply.size(), supply);
    line[15] = '2';
    line[17] = static_cast<char>('0' + state.counter / 10);
    line[18] = static_cast<char>('0' + state.counter % 10);
    // Byte i holds outputs 8i to 8i + 7, bit n output 8i + n, set for coil 1.
    std::array<unsigned, 32> outputs{};
    for (const auto& [k, coil] : state.accessories) {
        if (k < 256 && coil != 0) outputs[static_cast<std::size_t>(k / 8)] |= 1u << (k % 8);
    }
    static const char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        line[48 + 2 * i] = kDigits[outputs[i] >> 4];
        line[49 + 2 * i] = kDigits[outputs[i] & 15];
    }
    return line;
}

void StationModel::Ping(const Args&, TimePoint, StationReply& reply) {
    reply.lines.emplace_back("@DSG,00,03,00,02,00,00,00,00");
    reply.lines.push_back("@DSS," + StatusLine(state_));
    Status(reply, 200, kOk);
    reply.change = "ping";
}

void StationModel::Power(const Args&, TimePoint, StationReply& reply) {
    state_.power = args_[0] == 1;
    state_.reportedPower = state_.power;
    if (state_.power) {
        state_.error = 1;
        reply.work = StationReply::Work::PowerOn;
    }
    Status(reply, 200, kOk);
    reply.change = state_.power ? "track power ON" : "track power OFF";
}

void StationModel::LocoSpeed(const Args& args, TimePoint now, StationReply& reply) {
    Status(reply, 200, kOk);
    const std::int32_t address = args_[0];
    if (!InRange(address, reply)) return;
    SimLoco* loco = Find(address);
    if (loco == nullptr) {
        // The firmware finds no entry and writes the mode outside its list: the entry it then
        // makes is in 28-step mode with a packet nobody can tell.
        ++state_.speedsWithoutEntry;
        loco = &NewLoco(address, now);
        loco->speed = args_[1];
        loco->undefined = true;
        reply.change = LocoName(address) + ": speed " + std::to_string(loco->speed) +
                       "/1023 without an entry: the new entry (28 steps) carries an undefined "
                       "packet until the next speed";
        OnRails("undefined", reply);
        return;
    }
    loco->speed = args_[1];
    loco->undefined = false;
    // Without a third argument the mode is whatever the previous command left in the array.
    // The station keeps two bits of it, and nothing of 255.
    const std::uint16_t m = args_[2];
    const bool kept = (m & 0xFF) == 0xFF;
    if (!kept) loco->mode = m & 3;
    reply.change = LocoName(address) + ": " + Motion(*loco);
    if (args.size() < 3) reply.change += " (mode left over)";
    if (kept) reply.change += " (mode " + std::to_string(m) + " leaves it)";
    OnRails(Rails::Hex(Rails::Speed(address - kLocoBase, *loco)), reply);
}

void StationModel::LocoDirection(const Args&, TimePoint now, StationReply& reply) {
    Status(reply, 200, kOk);
    const std::int32_t address = args_[0];
    if (!InRange(address, reply)) return;
    // 0 and 1 are forward, 2 and above reverse.
    const bool forward = args_[1] <= 1;
    SimLoco* loco = Find(address);
    reply.change = LocoName(address) + ": direction " + (forward ? "forward" : "reverse");
    if (loco == nullptr) {
        loco = &NewLoco(address, now);
        loco->forward = forward;
        reply.change += ", new entry: speed 0, 28 steps";
    } else if (forward == loco->forward) {
        reply.change += " (unchanged)";
    } else {
        // The station stops a locomotive it reverses.
        loco->forward = forward;
        loco->speed = 0;
        reply.change += ", speed 0";
    }
    OnRails(loco->undefined ? "undefined" : Rails::Hex(Rails::Speed(address - kLocoBase, *loco)),
            reply);
}

void StationModel::LocoFunction(const Args&, TimePoint now, StationReply& reply) {
    const std::uint16_t function = args_[1];
    if (function >= kFunctionLimit) {
        Status(reply, 300, kCmdErr);
        reply.change = "function " + std::to_string(function) + " out of range";
        return;
    }
    Status(reply, 200, kOk);
    const std::int32_t address = args_[0];
    if (!InRange(address, reply)) return;
    SimLoco* loco = Find(address);
    const bool added = loco == nullptr;
    if (added) loco = &NewLoco(address, now);
    const bool on = args_[2] != 0;
    const std::uint64_t bit = std::uint64_t{1} << function;
    loco->functions = on ? (loco->functions | bit) : (loco->functions & ~bit);
    reply.change = LocoName(address) + ": F" + std::to_string(function) + (on ? " on" : " off");
    if (added) reply.change += ", new entry: speed 0 forward, 28 steps";
    OnRails(Rails::Hex(Rails::Functions(address - kLocoBase, *loco, function)), reply);
}

void StationModel::Turnout(const Args&, TimePoint now, StationReply& reply) {
    Status(reply, 200, kOk);
    const std::int32_t number = args_[0];
    const int d = args_[1] & 1;
    const SimEntry entry{SimEntry::Kind::Accessory, number, d, false};
    if (number >= kMarklinFirst && number <= kMarklinLast) {
        Add(entry, now);
        reply.change = "Marklin accessory " + std::to_string(number - kMarklinFirst) + ", coil " +
                       std::to_string(d) + " (no DCC packet)";
        return;
    }
    const std::int32_t k = number - kAccessoryBase;
    if (k < 0 || k >= kAccessoryOutputs) {
        reply.change = "accessory number " + std::to_string(number) + " out of range, dropped";
        return;
    }
    Add(entry, now);
    state_.accessories[k] = d;
    reply.change = "accessory output " + std::to_string(k + 1) + " (decoder " +
                   std::to_string(k / 4 + 1) + ", pair " + std::to_string(k % 4) + "): coil " +
                   std::to_string(d);
    OnRails(Rails::Hex(Rails::Accessory(k, d)), reply);
}

void StationModel::WriteCv(const Args&, TimePoint, StationReply& reply) {
    const std::int32_t cv = args_[1];
    const std::int32_t value = args_[2];
    reply.lines.push_back("@CVWrite," + std::to_string(cv) + "," + std::to_string(value));
    Status(reply, 200, kOk);
    reply.work = StationReply::Work::CvWrite;
    // Programming switches the track over to the programming output.
    state_.power = false;
    if (cv < 1 || cv > kMaxCv || value > 255) {
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

void StationModel::ReadCv(const Args& args, TimePoint, StationReply& reply) {
    const std::int32_t cv = args_[1];
    const auto found = state_.cvs.find(cv);
    const std::int32_t value = found == state_.cvs.end() ? kFailedRead : found->second;
    // The first argument comes back as it was received.
    reply.lines.push_back("@CV," + (args.empty() ? std::string() : args[0]) + "," +
                          std::to_string(cv) + "," + std::to_string(value) + ",");
    Status(reply, 200, kOk);
    // Without a decoder to answer, the station tries for much longer before it gives up.
    reply.work =
        value == kFailedRead ? StationReply::Work::CvReadNoDecoder : StationReply::Work::CvRead;
    state_.power = false;
    reply.change = "read CV" + std::to_string(cv) + " = " + std::to_string(value) +
                   (value == kFailedRead ? " (no answer)" : "") + "; track power OFF";
}
