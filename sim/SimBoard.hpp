#pragma once

#include "sim/SimOptions.hpp"
#include "sim/SimState.hpp"
#include "sim/StationModel.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <variant>
#include <vector>

// The simulated DSAir2 board without a port, a thread or a clock: fed what arrives on its serial
// line and the time, it says what it sends and when, and when it next has something to do. It
// boots on every open, reads lines into its 64-byte buffer, forgets an incomplete line, keeps
// bytes that come while it works on a command, stops listening when a wireless card is fitted
// and no command came in time, counts commands sent too soon, and plays the fault scripts of
// SimOptions. StationModel carries out the commands.
class SimBoard {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    // The board's state as its opener meets it.
    enum class State {
        Gone,     // unplugged: there is no device
        Closed,   // plugged in, nobody holds the port
        Booting,  // reset by the open, before its banner: what arrives is lost
        Ready,    // reading commands
        Busy,     // working on a command: what arrives waits in the 64-byte buffer
        Deaf,     // a wireless card is fitted and no command came in time: input is ignored
    };

    // What the port does once an output's bytes are written.
    enum class Then {
        Nothing,
        HangUp,       // the device vanishes; the board is Gone already
        Reset,        // the board has reset: a port that stopped reading reads again
        StopReading,  // the board takes no more bytes: the opener's writes block
        PlugIn,       // the device comes back under a new number (then call PluggedIn)
    };
    struct Output {
        std::string bytes;  // may be empty when only then matters
        Then then = Then::Nothing;
    };

    // The durations the board works with.
    static constexpr std::chrono::milliseconds kLineTimeout{300};  // an incomplete line goes
    static constexpr std::chrono::milliseconds kByteGap{1};        // byte-by-byte delivery
    static constexpr std::chrono::milliseconds kBootSettle{150};   // open to the first banner line
    static constexpr std::chrono::milliseconds kRealBootSettle{1300};
    static constexpr std::chrono::milliseconds kSdInit{20};  // "Init SD card..." to its "OK"
    static constexpr std::chrono::milliseconds kRealSdInit{200};
    static constexpr std::chrono::milliseconds kRealPowerOn{360};
    static constexpr std::chrono::milliseconds kRealCvWrite{650};
    static constexpr std::chrono::milliseconds kRealCvRead{1600};
    static constexpr std::chrono::milliseconds kRealCvReadNoDecoder{5000};
    // The main loop's check of supply and driver, which also moves the status line's counter.
    static constexpr std::chrono::milliseconds kCheckPeriod{500};

    // A board plugged in, not yet opened, with the station fresh from its boot.
    explicit SimBoard(SimOptions options);

    // The port was opened (the first opener): the board resets and boots.
    void Opened(TimePoint now);
    // The last opener closed the port: what the board was reading or sending is dropped; the
    // station keeps its state.
    void Closed();
    // The cable was pulled: the board is Gone, and comes back SimOptions::replugAfter later
    // (Tick then hands out a PlugIn).
    void Unplugged(TimePoint now);
    // Plugged in again: Closed, the station fresh from its boot.
    void PluggedIn();
    // A reset in mid-session (watchdog, power cut): what the board was about to send is lost,
    // the station forgets its state, and it boots again if the port is held.
    void Reset(TimePoint now);

    // Bytes received from the opener at now.
    void Feed(const std::string& bytes, TimePoint now);
    // Advances the board to now and hands out what is due by now, in order. An output whose
    // then is HangUp or Reset has already taken effect on the board.
    std::vector<Output> Tick(TimePoint now);
    // When Tick next has something to do; TimePoint::max() when nothing is pending.
    TimePoint NextDeadline() const;

    // Bytes for the line as they are (a stale reply, garbage): sent at now, or held until the
    // next open while the port is closed.
    void SendRaw(std::string bytes, TimePoint now);
    // A status code for command name instead of the normal one; negative: the normal one again.
    void SetStatusFor(const std::string& command, int status);
    // The extra delay before every reply from now on.
    void SetReplyDelay(std::chrono::milliseconds delay);
    // The next count lines named command (the text before "(") are lost on the line: neither
    // carried out nor answered. Replaces what was pending for that name; 0 loses none.
    void LoseNext(const std::string& command, int count);
    // The track supply from now on, in volts.
    void SetSupplyVoltage(double volts);
    // A short circuit on the track, taken by the next check with the track on.
    void ShortCircuit();
    // Sets a CV as the decoder on the track holds it.
    void SetCv(std::int32_t cv, std::int32_t value);

    State Current() const;
    // The station's state (track power, locomotives, accessories, CVs, rails).
    const SimState& Station() const { return model_.State(); }
    // Every command line received, in order, without line ends.
    const std::vector<std::string>& Commands() const { return commands_; }
    // How many times the port has been opened.
    int OpenCount() const { return openCount_; }
    // The lines lost on the line (SimOptions::lose, LoseNext), in order, without line ends.
    const std::vector<std::string>& LostLines() const { return lost_; }
    // Commands that came sooner than SimOptions::pacing after a "200 Ok".
    int PacingViolations() const { return pacingViolations_; }
    // False while a wireless card keeps the board deaf to the serial line.
    bool Listening() const { return Current() != State::Deaf; }
    // Moves whenever the station's state may have changed (a command, a reset).
    std::uint64_t Changes() const { return changes_; }
    // The console lines since the last call: each command with what it did, and the board's
    // own events.
    std::vector<std::string> TakeNotes();

private:
    struct GoneState {
        TimePoint replugDue = TimePoint::max();
    };
    struct ClosedState {};
    struct BootingState {
        TimePoint bannerDue;
    };
    struct ReadyState {
        std::string partial;  // the line read so far
        TimePoint lastByte;
        // A wireless card stops the board listening unless a line arrives by then.
        TimePoint listenUntil = TimePoint::max();
    };
    struct BusyState {
        TimePoint until;   // the end of the command's work
        std::string held;  // what arrived meanwhile, as far as the buffer holds it
    };
    struct DeafState {};
    // In the order of State.
    using Phase =
        std::variant<GoneState, ClosedState, BootingState, ReadyState, BusyState, DeafState>;

    struct Chunk {
        TimePoint due;
        std::string bytes;
        Then then = Then::Nothing;
        bool endsOk = false;  // ends with a "200 Ok"
    };

    // Every restart goes through here: the board reads and sends nothing more of what it had,
    // its pacing starts afresh; forget: the station's state goes too.
    void Restart(Phase next, bool forget);
    BootingState Boot(TimePoint now) const;
    // The banner, the listening window, the line time-out, the end of a busy spell, the
    // station's refresh and its checks.
    void Advance(TimePoint now);
    // The station's main loop runs: booted, and not held up by a command.
    bool MainLoopRuns() const;
    void SendBanner(TimePoint now);
    // fresh: the bytes have just arrived (not taken from the buffer after a busy spell).
    void Take(const std::string& bytes, std::size_t from, TimePoint now, bool fresh);
    void Hold(BusyState& busy, const std::string& bytes, std::size_t from);
    // True when the line is to be lost on its way, which it then is.
    bool Lose(const std::string& line);
    void CheckPacing(TimePoint now);
    void HandleLine(const std::string& line, TimePoint now);
    Then ThenAfter(std::size_t count) const;
    void Enqueue(std::string bytes, TimePoint due, Then then = Then::Nothing);
    void Note(std::string text);
    // The station's own console lines (the list's overwrites), after the board's.
    void TakeModelNotes();

    const SimOptions options_;
    const std::string eol_;
    std::map<std::string, int> statusFor_;
    std::chrono::milliseconds replyDelay_;
    std::map<std::string, int> lose_;

    Phase phase_ = ClosedState{};
    StationModel model_;
    std::deque<Chunk> out_;
    std::vector<std::string> raw_;           // SendRaw's bytes while the port is closed
    TimePoint nextByte_ = TimePoint::min();  // byte by byte: the earliest time for the next
    TimePoint lastOk_ = TimePoint::min();    // the latest "200 Ok" handed out
    // The main loop's next check; it waits while the board boots or works on a command.
    TimePoint nextCheck_ = TimePoint::max();
    // SimOptions::shortAfter: armed by the first power on, due then.
    bool shortArmed_ = false;
    TimePoint shortDue_ = TimePoint::max();
    std::vector<std::string> commands_;
    std::vector<std::string> lost_;
    int openCount_ = 0;
    int pacingViolations_ = 0;
    std::uint64_t changes_ = 0;
    std::vector<std::string> notes_;
};
