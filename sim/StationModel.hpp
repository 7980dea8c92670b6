#pragma once

#include "sim/SimState.hpp"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The station's answer to one command line, and what the command did.
struct StationReply {
    // The real device's work before answering, which its timings depend on.
    enum class Work { None, PowerOn, CvWrite, CvRead, CvReadNoDecoder };

    bool command = false;            // false: the line was dropped unseen (empty, overlong)
    std::string name;                // text before "(" (the whole line when there is none)
    std::vector<std::string> lines;  // data lines, then the one status line; no line ends
    int status = 0;                  // code of the status line; 0 when there is none
    std::string change;              // readable account of the effect, for the console
    Work work = Work::None;
};

// The DSAir2's command interpreter and state, without any I/O, thread or clock: fed one command
// line and the time, it returns the reply lines and updates the track power, its refresh list
// of locomotives and accessories, the CV table, what the rails carry and what the decoders hear.
// It keeps the firmware's quirks: one argument array that commands with fewer arguments only
// partly overwrite; a speed-step mode stored per locomotive from setLocoSpeed's third argument
// (mod 4, kept when it is 255 mod 256); a list of 20 entries whose first one a new entry
// overwrites when it is full; a setLocoSpeed for a locomotive without an entry that makes one
// with an undefined packet.
class StationModel {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // The station's input buffer; longer lines never reach the interpreter.
    static constexpr std::size_t kMaxLine = 64;
    // The value a CV read reports when the decoder did not answer.
    static constexpr std::int32_t kFailedRead = 65535;
    // Station address of DCC locomotive 0 and the highest address it puts on the rails.
    static constexpr std::int32_t kLocoBase = 49152;
    static constexpr std::int32_t kMaxDccAddress = 10238;
    // Station number of DCC basic accessory output 0, and the number of outputs (A below 512).
    static constexpr std::int32_t kAccessoryBase = 0x3800;
    static constexpr std::int32_t kAccessoryOutputs = 2044;
    // Positions of the argument array.
    static constexpr std::size_t kArgSlots = 8;
    // The refresh list's capacity, and the locomotive its boot entry holds.
    static constexpr std::size_t kListSize = 20;
    static constexpr std::int32_t kBootLoco = kLocoBase + 3;

    // One refresh round of a list of entries entries (every speed packet, then one function
    // packet per locomotive): 24 ms with one entry, 350 ms with 20, linear in between.
    static std::chrono::microseconds Round(std::size_t entries);

    // Track power off, the boot entry of locomotive 3, the decoder's usual CV defaults.
    StationModel();

    // Interprets one line without its line feed (a trailing carriage return is tolerated),
    // received at now.
    StationReply Handle(const std::string& line, TimePoint now);
    // Advances the refresh to now: accessory packets go out after one round, their entries
    // leave after two and the list closes up.
    void Tick(TimePoint now);
    // When Tick next has something to do; TimePoint::max() when nothing is pending.
    TimePoint NextDeadline() const;
    // The main loop's check every 0.5 s: the counter moves (from the second check after a
    // boot); a short circuit waiting with the track on, or a supply below 9 V or above 20 V,
    // sets the error digit, and with the track on, switches it off.
    void Check();
    // A short circuit on the track, taken by the first check with the track on.
    void ShortCircuit();
    // The track supply from now on, in tenths of a volt (0-999).
    void SetSupply(std::int32_t tenths);
    // What a reset (power cut, watchdog, reopened port) leaves: track power off, the list
    // holding only the boot entry, no accessory state, the argument array zeroed. The decoders
    // keep their CVs and what they heard; the fault counts stay.
    void Reset();

    const SimState& State() const { return state_; }
    // Sets a CV as if the decoder held it; a CV that is absent reads as a failure.
    void SetCv(std::int32_t cv, std::int32_t value);
    // Console lines about the list since the last call (entries overwritten).
    std::vector<std::string> TakeNotes();

    // The 265 characters after "@DSS," in the ping's answer: track power as reported, the error
    // digit, firmware 8, the supply in tenths of a volt, hardware 2, the counter, the first 256
    // accessory outputs as 32 bytes in hex; "0" where the station has nothing to say.
    static std::string StatusLine(const SimState& state);

    // One line for people: track power, each locomotive with its rails packet, the accessories,
    // the decoders that run on without an entry, the CVs that differ from the defaults.
    static std::string Describe(const SimState& state);

private:
    // The argument texts as received, for the one command that echoes one back.
    using Args = std::vector<std::string>;
    using Handler = void (StationModel::*)(const Args& args, TimePoint now, StationReply& reply);
    struct Row {
        const char* name;
        Handler handler;
    };
    static const Row kCommands[];

    void Ping(const Args& args, TimePoint now, StationReply& reply);
    void Power(const Args& args, TimePoint now, StationReply& reply);
    void LocoSpeed(const Args& args, TimePoint now, StationReply& reply);
    void LocoDirection(const Args& args, TimePoint now, StationReply& reply);
    void LocoFunction(const Args& args, TimePoint now, StationReply& reply);
    void Turnout(const Args& args, TimePoint now, StationReply& reply);
    void WriteCv(const Args& args, TimePoint now, StationReply& reply);
    void ReadCv(const Args& args, TimePoint now, StationReply& reply);

    // False, with the reason in reply, when the station drops the address.
    static bool InRange(std::int32_t address, StationReply& reply);
    // The locomotive's entry, or null without one.
    SimLoco* Find(std::int32_t address);
    // A new locomotive entry (speed 0, forward, 28 steps, functions off) in the list.
    SimLoco& NewLoco(std::int32_t address, TimePoint now);
    // Appends entry while the list has room, else writes it over the first entry.
    void Add(const SimEntry& entry, TimePoint now);
    // Records and describes what the rails now carry.
    void OnRails(const std::string& packet, StationReply& reply);
    // The list as seen from outside, and with the track on, what the decoders now hear.
    void Publish();

    struct Entry {
        SimEntry entry;
        TimePoint sendAt;  // Accessory: when the refresh reaches it, and when it leaves
        TimePoint goneAt;
    };

    SimState state_;
    std::vector<Entry> list_;
    // Never cleared between commands; at boot all 0.
    std::array<std::uint16_t, kArgSlots> args_{};
    std::vector<std::string> notes_;
    bool checked_ = false;  // a check has run since the boot
};
