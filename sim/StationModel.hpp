#pragma once

#include "sim/SimState.hpp"

#include <array>
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

// The DSAir2's command interpreter and state, without any I/O: fed one command line, it returns
// the reply lines and updates the track power, the locomotives, the accessories, the CV table
// and what the rails carry. It keeps the firmware's quirks: one argument array that commands
// with fewer arguments only partly overwrite, and a speed-step mode stored per locomotive from
// setLocoSpeed's third argument.
class StationModel {
public:
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

    // Track power off, no locomotives, the decoder's usual CV defaults.
    StationModel();

    // Interprets one line without its line feed (a trailing carriage return is tolerated).
    StationReply Handle(const std::string& line);
    // What a reset (power cut, watchdog, reopened port) leaves: track power off, no locomotive
    // or accessory state, the argument array zeroed. The decoders keep their CVs.
    void Reset();

    const SimState& State() const { return state_; }
    // Sets a CV as if the decoder held it; a CV that is absent reads as a failure.
    void SetCv(std::int32_t cv, std::int32_t value);

    // One line for people: track power, each locomotive with its rails packet, the accessories,
    // the CVs that differ from the defaults.
    static std::string Describe(const SimState& state);

private:
    // The argument texts as received, for the one command that echoes one back.
    using Args = std::vector<std::string>;
    using Handler = void (StationModel::*)(const Args& args, StationReply& reply);
    struct Row {
        const char* name;
        Handler handler;
    };
    static const Row kCommands[];

    void Ping(const Args& args, StationReply& reply);
    void Power(const Args& args, StationReply& reply);
    void LocoSpeed(const Args& args, StationReply& reply);
    void LocoDirection(const Args& args, StationReply& reply);
    void LocoFunction(const Args& args, StationReply& reply);
    void Turnout(const Args& args, StationReply& reply);
    void WriteCv(const Args& args, StationReply& reply);
    void ReadCv(const Args& args, StationReply& reply);

    // The locomotive for a station address, or null when the station drops the address.
    SimLoco* Loco(std::int32_t address, StationReply& reply);
    // Records and describes what the rails now carry.
    void OnRails(const std::string& packet, StationReply& reply);

    SimState state_;
    // Never cleared between commands; at boot all 0.
    std::array<std::uint16_t, kArgSlots> args_{};
};
