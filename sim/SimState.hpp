#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A locomotive as the simulated station holds it in its list.
struct SimLoco {
    std::int32_t speed = 0;  // as the station stores it: 0-1023 (a larger number is kept too)
    // Speed-step mode as the station keeps it, setLocoSpeed's third argument mod 4: 0 28 steps,
    // 1 14 steps, 2 128 steps, 3 no speed (the decoder reset packet).
    std::int32_t mode = 0;
    bool forward = true;
    std::uint64_t functions = 0;  // bit n: Fn on
    // The entry was made by setLocoSpeed (a firmware fault): the packet the station refreshes
    // for it is undefined until the next setLocoSpeed for it.
    bool undefined = false;
};

// One entry of the station's refresh list.
struct SimEntry {
    enum class Kind { Loco, Accessory };
    Kind kind = Kind::Loco;
    // Loco: the station address (49152 + DCC address); Accessory: the station number
    // (0x3800 + output k for a DCC accessory, 0x3000-0x3140 for a Marklin one).
    std::int32_t address = 0;
    int coil = 0;       // Accessory: the coil to activate, 0 or 1
    bool sent = false;  // Accessory: the refresh has put its packet on the rails
};

// What a locomotive decoder last heard on the rails (while the track had power): it runs on it
// whether or not the station still refreshes it.
struct SimDecoder {
    bool defined = true;  // false: the station refreshed an undefined packet to it
    // The mode of the speed packet heard: 0 28 steps, 1 14 steps, 2 128 steps, 3 decoder reset.
    std::int32_t mode = 0;
    // The speed step in that mode: 0 stop, 1-28, 1-14 or 1-126 running; 0 after a reset packet.
    std::int32_t step = 0;
    bool forward = true;
    std::uint64_t functions = 0;  // bit n: Fn on
    std::string rails;            // the speed packet ("03 3F 95"), or "undefined"

    // Moving or not known to stand: a running step or an undefined packet.
    bool Running() const { return !defined || step > 0; }
};

// An entry the full list overwrote.
struct SimOverwrite {
    SimEntry entry;  // as it was: for an accessory, sent tells whether its packet had gone out
    // Loco: its decoder was running at the time (SimDecoder::Running) and runs on.
    bool running = false;
    SimEntry by;  // the new entry written in its place
};

// What the simulated station looks like from outside. The station's own memory goes with a
// reset; what the decoders heard, their CVs and the fault counts do not.
struct SimState {
    bool power = false;  // the track really has power
    // What the status line reports at position 0 ("Y"/"N"): still on after a CV operation has
    // switched the track off.
    bool reportedPower = false;
    // The status line's error digit: 0 after a boot, 1 after setPower(1), 2 supply too low,
    // 4 supply too high, 8 overload or short circuit.
    int error = 0;
    int counter = 0;  // the status line's counter, 0-99, moving every 0.5 s of the main loop
    // The locomotives with an entry in the list. key: station address (49152 + DCC address).
    std::map<std::int32_t, SimLoco> locos;
    // key: basic accessory output k (0-2043, station number 0x3800 + k); value: the coil last
    // activated, 0 or 1.
    std::map<std::int32_t, int> accessories;
    std::map<std::int32_t, std::int32_t> cvs;
    // What the rails carry for the locomotive or accessory of the latest command that named one,
    // as hex bytes without the check byte ("03 3F 86"), or "undefined"; empty before any.
    std::string rails;
    // The station's refresh list, in order: at most 20 entries, locomotive 3 after a reset.
    std::vector<SimEntry> list;

    // The layout: what each locomotive decoder last heard, by DCC address, and the coil each
    // basic accessory output's packet last activated, by output k.
    std::map<std::int32_t, SimDecoder> decoders;
    std::map<std::int32_t, int> accessoryDecoders;

    // The track supply in tenths of a volt, and a short circuit waiting for the next check with
    // the track on.
    std::int32_t supply = 148;
    bool shortPending = false;

    // Faults counted since the simulator started.
    int trips = 0;                          // the station switched the track off by itself
    int speedsWithoutEntry = 0;             // setLocoSpeed for a locomotive without an entry
    std::vector<SimOverwrite> overwritten;  // entries the full list overwrote, in order
    int overwrittenRunning = 0;             // of them, locomotives whose decoders were running
    int overwrittenTurnouts = 0;            // of them, accessories whose packet had not gone out
};
