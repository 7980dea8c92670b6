// Station bytes through a private station link's line framing and HandleLine, optionally with a
// command waiting for its answer.
//
// Input: see FuzzInput. The first payload byte picks the mode:
//   bit 0  a command waits (the link's port open on a pseudo-terminal, so that the command is
//          written before the bytes arrive); otherwise the bytes arrive with nothing waiting
//   bit 1  the waiting command is the CV read GetLocoConfig; otherwise SendCommand of one of
//          kCommands (bits 4-5)
//   bit 2  with nothing waiting: a CV read refused for want of a connection first, which sets
//          the tag the data lines are stored under
//   bits 3 and 6 together: the bytes start with a line longer than the link keeps (bit 4: a
//          data line); rare because such an input costs a hundred ordinary ones
// The rest of the payload is what the station sends. Control bytes: the CV number of the read
// (default 8), then the size of each chunk (0: all that is left).

#include "fuzz/FuzzCheck.hpp"
#include "fuzz/FuzzInput.hpp"
#include "station/NDSDCCImpl.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const kCommands[] = {"setPower(1)", "setLocoConfig(49152,1,3)",
                                 "setLocoSpeed(49155,40)", "setPing()"};
constexpr std::int32_t kUntouched = -12345;
// A completing line after the input, so that a waiting command always ends without its time-out.
const std::string kTerminator = "\n299 End\n";

// What the link printed, from its log function (which may be called on the waiting thread).
struct Console {
    std::mutex mutex;
    std::vector<std::string> received;  // "[D Recv] %s\n"
    std::vector<std::string> sent;      // "[D Send] %s\n"
    int refusals = 0;                   // "No connection to DSAir2!\n"
    int resets = 0;                     // "DSAir2 on %s was reset; ..."
    std::vector<std::string> other;
};

Console& TheConsole() {
    static Console console;
    return console;
}

void RecordLog(const char* format, ...) {
    Console& console = TheConsole();
    std::lock_guard<std::mutex> lock(console.mutex);
    va_list args;
    va_start(args, format);
    if (std::strcmp(format, "[D Recv] %s\n") == 0) {
        console.received.emplace_back(va_arg(args, const char*));
    } else if (std::strcmp(format, "[D Send] %s\n") == 0) {
        console.sent.emplace_back(va_arg(args, const char*));
    } else if (std::strcmp(format, "No connection to DSAir2!\n") == 0) {
        ++console.refusals;
    } else if (std::strncmp(format, "DSAir2 on %s was reset;", 23) == 0) {
        ++console.resets;
    } else {
        console.other.emplace_back(format);
    }
    va_end(args);
}

// atoi's reading as the link promises it: leading white space, a sign, digits up to the first
// other character, 0 without digits, held to the 32-bit range.
std::int32_t ReadNumber(const std::string& text) {
    std::size_t i = text.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string::npos) return 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 1LL << 32) value = 1LL << 32;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<std::int32_t>(value);
}

// The link's reply state as the station protocol defines it.
struct LinkModel {
    std::string tag;
    std::vector<std::string> values;
    std::int32_t lastStatus = 0;
    std::string line;
    std::vector<std::string> echoes;
    int completions = 0;
    int readyNotices = 0;  // status 100: a reset, for a link that is connected
    std::int32_t firstCompletion = 0;
    std::vector<std::string> valuesAtFirstCompletion;

    void Feed(char c) {
        if (c == '\n') {
            Line();
            line.clear();
        } else if (line.size() < NDSDCC::Impl::kMaxLineLength) {
            line += c;
        }
    }

    void Line() {
        // As the console shows it: control and non-ASCII bytes but the tab and the carriage
        // return as \xNN.
        std::string shown;
        for (const char c : line) {
            const auto byte = static_cast<unsigned char>(c);
            if ((byte >= 0x20 && byte < 0x7F) || c == '\t' || c == '\r') {
                shown += c;
            } else {
                char escape[5];
                std::snprintf(escape, sizeof escape, "\\x%02X", byte);
                shown += escape;
            }
        }
        echoes.push_back(shown);
        if (!line.empty() && line[0] == '@') {
            std::vector<std::string> fields(1);
            for (std::size_t i = 1; i < line.size(); ++i) {
                if (line[i] == ',') {
                    fields.emplace_back();
                } else {
                    fields.back() += line[i];
                }
            }
            if (fields[0] == tag) values.assign(fields.begin() + 1, fields.end());
            return;
        }
        const std::size_t end = line.find_first_of(" \t\v\f\r");
        lastStatus = ReadNumber(line.substr(0, end));
        if (lastStatus == 100) ++readyNotices;
        // 2xx answers a command, and so does the station's refusal 3xx.
        if (lastStatus >= 200 && lastStatus <= 399 && completions++ == 0) {
            firstCompletion = lastStatus;
            valuesAtFirstCompletion = values;
        }
    }
};

// The master side of a pseudo-terminal whose device side the link opens as its serial port.
// The fuzzer holds the device side open itself too, so the master never sees a hang-up.
struct Pty {
    int master = -1;
    int device = -1;
    std::string path;
};

Pty& ThePty() {
    static Pty pty = [] {
        Pty p;
        p.master = ::posix_openpt(O_RDWR | O_NOCTTY);
        FUZZ_CHECK(p.master >= 0 && ::grantpt(p.master) == 0 && ::unlockpt(p.master) == 0,
                   "no pseudo-terminal");
        p.path = ::ptsname(p.master);
        p.device = ::open(p.path.c_str(), O_RDWR | O_NOCTTY);
        FUZZ_CHECK(p.device >= 0, "pseudo-terminal device side");
        ::fcntl(p.master, F_SETFL, ::fcntl(p.master, F_GETFL) | O_NONBLOCK);
        return p;
    }();
    return pty;
}

void DrainMaster(int master) {
    char buffer[256];
    while (::read(master, buffer, sizeof buffer) > 0) {
    }
}

// The bytes the link wrote up to and including a line feed, or what came within the time.
std::string ReadWrittenLine(int master) {
    std::string written;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (written.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{master, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0) continue;
        char buffer[256];
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n > 0) written.append(buffer, static_cast<std::size_t>(n));
    }
    return written;
}

// Delivers the stream to the link in chunks and checks after each that the link echoed what
// the model did and holds the same reply state.
class Feeder {
public:
    Feeder(NDSDCC::Impl& link, LinkModel& model, FuzzInput& input, const std::string& stream)
        : link_(link), model_(model), input_(input), stream_(stream) {}
    // A connected link reports every ready notice as a reset of the station.
    void Connected() { connected_ = true; }

    void FeedUntil(std::size_t end) {
        while (offset_ < end) {
            const std::uint8_t size = input_.Control(0);
            std::size_t n = size == 0 ? end - offset_ : size;
            if (n > end - offset_) n = end - offset_;
            const std::vector<std::uint8_t> chunk(stream_.begin() + offset_,
                                                  stream_.begin() + offset_ + n);
            link_.OnSerialData(chunk);
            for (std::uint8_t c : chunk)
                model_.Feed(static_cast<char>(c));
            offset_ += n;
            Check();
        }
    }
    std::size_t Offset() const { return offset_; }

private:
    void Check() {
        Console& console = TheConsole();
        {
            std::lock_guard<std::mutex> lock(console.mutex);
            FUZZ_CHECK(console.received.size() == model_.echoes.size(),
                       std::to_string(console.received.size()) + " lines echoed, " +
                           std::to_string(model_.echoes.size()) + " received");
            for (std::size_t i = checkedEchoes_; i < model_.echoes.size(); ++i) {
                FUZZ_CHECK(console.received[i] == model_.echoes[i],
                           "echoed \"" + Printable(console.received[i]) + "\" for \"" +
                               Printable(model_.echoes[i]) + "\"");
            }
            checkedEchoes_ = model_.echoes.size();
            FUZZ_CHECK(console.other.empty(), "unexpected console line " + console.other[0]);
            const int resets = connected_ ? model_.readyNotices : 0;
            FUZZ_CHECK(console.resets == resets, std::to_string(console.resets) +
                                                     " resets reported, expected " +
                                                     std::to_string(resets));
        }
        FUZZ_CHECK(link_.LastStatus() == model_.lastStatus,
                   "status " + std::to_string(link_.LastStatus()) + ", expected " +
                       std::to_string(model_.lastStatus));
        FUZZ_CHECK(link_.ReplyValues() == model_.values, "data-line values differ");
    }

    NDSDCC::Impl& link_;
    LinkModel& model_;
    FuzzInput& input_;
    const std::string& stream_;
    std::size_t offset_ = 0;
    std::size_t checkedEchoes_ = 0;
    bool connected_ = false;
};

void ResetConsole() {
    Console& console = TheConsole();
    std::lock_guard<std::mutex> lock(console.mutex);
    console.received.clear();
    console.sent.clear();
    console.refusals = 0;
    console.resets = 0;
    console.other.clear();
}

std::vector<std::string> SentCommands() {
    Console& console = TheConsole();
    std::lock_guard<std::mutex> lock(console.mutex);
    return console.sent;
}

// The byte after the line feed of the first completing status line in stream.
std::size_t FirstCompletionEnd(const std::string& stream, const std::string& tag) {
    LinkModel model;
    model.tag = tag;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        model.Feed(stream[i]);
        if (model.completions > 0) return i + 1;
    }
    return stream.size();
}

void RunWaiting(std::uint8_t mode, FuzzInput& input, std::string stream) {
    stream += kTerminator;
    const bool cvRead = (mode & 2) != 0;
    const std::int32_t cv = input.Control(8);
    const std::string command =
        cvRead ? "getLocoConfig(49152," + std::to_string(cv) + ")" : kCommands[(mode >> 4) & 3];

    Pty& pty = ThePty();
    DrainMaster(pty.master);
    auto link = std::make_unique<NDSDCC::Impl>();
    link->log = &RecordLog;
    FUZZ_CHECK(link->port.Open(pty.path), "the link cannot open the pseudo-terminal");
    link->MarkConnected();

    LinkModel model;
    if (cvRead) model.tag = "CV";
    std::int32_t value = kUntouched;
    std::promise<bool> done;
    std::future<bool> result = done.get_future();
    std::thread waiter([&] {
        done.set_value(cvRead ? link->GetLocoConfig(cv, value) : link->SendCommand(command));
    });

    // Once the command is on the line, everything the station sends counts as its answer.
    const std::string written = ReadWrittenLine(pty.master);
    FUZZ_CHECK(written == command + "\n", "wrote \"" + Printable(written) + "\" for " + command);

    Feeder feeder(*link, model, input, stream);
    feeder.Connected();
    const std::size_t completion = FirstCompletionEnd(stream, model.tag);
    FUZZ_CHECK(completion > 0, "no completing line");
    feeder.FeedUntil(completion - 1);
    FUZZ_CHECK(result.wait_for(std::chrono::seconds(0)) != std::future_status::ready,
               "the wait ended before its completing line");
    // The rest arrives as a serial reader would deliver it, possibly in the chunk that
    // completes the command: the answer is the first completing line and the data lines before
    // it, whatever follows before the waiting thread wakes.
    feeder.FeedUntil(stream.size());
    FUZZ_CHECK(result.wait_for(std::chrono::seconds(5)) == std::future_status::ready,
               "the completing line did not end the wait");
    waiter.join();
    const bool answered = result.get();

    const std::string what = command + " answered " + std::to_string(model.firstCompletion);
    if (!cvRead) {
        FUZZ_CHECK(answered == (model.firstCompletion == 200), what);
    } else {
        const std::vector<std::string>& values = model.valuesAtFirstCompletion;
        bool expected = false;
        std::int32_t expectedValue = kUntouched;
        if (model.firstCompletion == 200 && values.size() == 4 && ReadNumber(values[1]) == cv) {
            expectedValue = ReadNumber(values[2]);
            expected = expectedValue != 65535;
        }
        FUZZ_CHECK(answered == expected, "CV read result: " + what);
        FUZZ_CHECK(value == expectedValue, "CV read value " + std::to_string(value) +
                                               ", expected " + std::to_string(expectedValue) +
                                               ": " + what);
    }
    FUZZ_CHECK(SentCommands() == std::vector<std::string>{command}, "sent lines: " + what);
}

void RunIdle(std::uint8_t mode, FuzzInput& input, const std::string& stream) {
    auto link = std::make_unique<NDSDCC::Impl>();
    link->log = &RecordLog;
    LinkModel model;
    if (mode & 4) {
        const std::int32_t cv = input.Control(8);
        std::int32_t value = kUntouched;
        FUZZ_CHECK(!link->GetLocoConfig(cv, value) && value == kUntouched,
                   "CV read without a connection");
        const std::string command = "getLocoConfig(49152," + std::to_string(cv) + ")";
        FUZZ_CHECK(SentCommands() == std::vector<std::string>{command}, "refused command's echo");
        FUZZ_CHECK(TheConsole().refusals == 1, "refusal not printed once");
        model.tag = "CV";
    }
    Feeder feeder(*link, model, input, stream);
    feeder.FeedUntil(stream.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const std::string head = input.Take(1);
    if (head.empty()) return 0;
    const auto mode = static_cast<std::uint8_t>(head[0]);

    std::string stream;
    if ((mode & 0x48) == 0x48) {
        stream = (mode & 16) ? "@CV,1," : "";
        stream.append(NDSDCC::Impl::kMaxLineLength + 100, '7');
    }
    stream += input.Take(input.PayloadLeft());

    ResetConsole();
    if (mode & 1) {
        RunWaiting(mode, input, stream);
    } else {
        RunIdle(mode, input, stream);
    }
    return 0;
}
