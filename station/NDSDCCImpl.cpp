#include "station/NDSDCCImpl.hpp"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <locale>
#include <thread>

namespace {

// The white space that ends a status line's first field (the "C" locale's): a fixed set rather
// than a locale lookup per character.
const auto& StatusFieldEnd() {
    static const auto predicate = boost::algorithm::is_any_of(" \t\v\f\r\n");
    return predicate;
}

// atoi's reading of a field: leading white space, an optional sign, then digits up to the
// first other character; 0 without digits. Saturates at the 32-bit range instead of
// overflowing.
std::int32_t ParseCode(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::int64_t limit =
        negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
                 : std::numeric_limits<std::int32_t>::max();
    std::int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = std::min<std::int64_t>(value * 10 + (text[i] - '0'), limit);
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

bool HasTimeoutPrefix(const std::string& command) {
    return command.compare(0, 13, "setLocoConfig") == 0 ||
           command.compare(0, 13, "getLocoConfig") == 0;
}

}  // namespace

NDSDCC::Impl::Impl() {
    lineBuffer.reserve(256);
    port.AddReceiveCallback(
        [this](const std::vector<std::uint8_t>& bytes) { OnSerialData(bytes); });
}

NDSDCC::Impl::~Impl() {
    try {
        port.Close();
    } catch (const std::exception&) {
        // Nothing is delivered after the close attempt either way.
    }
}

bool NDSDCC::Impl::Open(const std::string& devicePath, std::chrono::milliseconds readyTimeout) {
    lastDevicePath = devicePath;
    // Counted before the port opens: the reader may deliver the notice before the wait begins.
    std::uint64_t noticesBefore;
    {
        std::lock_guard<std::mutex> lock(connectMutex);
        noticesBefore = readyNotices;
    }
    // Stays recorded when the port throws for a line setting it refuses.
    lastOpenFailure = OpenFailure::DeviceNotOpened;
    if (!port.Open(devicePath)) return false;

    bool ready;
    {
        std::unique_lock<std::mutex> lock(connectMutex);
        ready = connectSignal.wait_for(lock, readyTimeout,
                                       [&] { return readyNotices != noticesBefore; });
    }
    if (!ready) {
        Close();
        lastOpenFailure = OpenFailure::NoReadyNotice;
        return false;
    }

    connected = true;
    if (!SendCommand("setPing()")) {
        Close();
        lastOpenFailure = OpenFailure::PingFailed;
        return false;
    }
    lastOpenFailure = OpenFailure::None;
    return true;
}

void NDSDCC::Impl::Close() {
    connected = false;
    port.Close();
}

bool NDSDCC::Impl::SendCommand(const std::string& command) {
    if (log) log("[D Send] %s\n", command.c_str());
    if (!connected) {
        if (log) log("No connection to DSAir2!\n");
        return false;
    }

    AwaitPacing();

    std::uint64_t completionsBefore;
    {
        std::lock_guard<std::mutex> lock(replyMutex);
        lastStatus = 0;
        completionsBefore = completions;
        awaitedCompletion = completions + 1;
        // Data lines that arrived before the write (a late answer to an earlier command, noise
        // during the pacing pause) are not this command's.
        replyValues.clear();
        answerValues.clear();
    }

    std::string line = command;
    line += '\n';
    port.Write(line.data(), line.size());

    const Clock::duration timeout = HasTimeoutPrefix(command) ? Clock::duration(kConfigTimeout)
                                                              : Clock::duration(kCommandTimeout);
    std::unique_lock<std::mutex> lock(replyMutex);
    if (!replySignal.wait_for(lock, timeout, [&] { return completions != completionsBefore; })) {
        return false;
    }
    return completedStatus == 200;
}

void NDSDCC::Impl::AwaitPacing() {
    Clock::time_point statusTime;
    {
        std::lock_guard<std::mutex> lock(replyMutex);
        statusTime = lastStatusTime;
    }
    const auto since = Clock::now() - statusTime;
    if (since < kPacing) {
        std::this_thread::sleep_for(std::min<Clock::duration>(kPacing - since, kPacing));
    }
}

bool NDSDCC::Impl::GetLocoConfig(std::int32_t cv, std::int32_t& value) {
    {
        std::lock_guard<std::mutex> lock(replyMutex);
        expectedTag = "CV";
        replyValues.clear();
    }
    if (!SendCommand("getLocoConfig(49152," + std::to_string(cv) + ")")) return false;

    std::vector<std::string> values;
    {
        std::lock_guard<std::mutex> lock(replyMutex);
        values = answerValues;
    }
    if (values.size() != 4) return false;
    if (ParseCode(values[1]) != cv) return false;
    value = ParseCode(values[2]);
    return value != 65535;
}

void NDSDCC::Impl::OnSerialData(const std::vector<std::uint8_t>& bytes) {
    for (std::uint8_t byte : bytes) {
        if (byte == '\n') {
            HandleLine(lineBuffer);
            lineBuffer.clear();
        } else if (lineBuffer.size() < kMaxLineLength) {
            lineBuffer.push_back(static_cast<char>(byte));
        }
        // Beyond kMaxLineLength the rest of the line is dropped up to its line feed: a station
        // that never ends its line must not grow the buffer without bound.
    }
}

void NDSDCC::Impl::HandleLine(const std::string& line) {
    if (log) log("[D Recv] %s\n", line.c_str());

    if (!line.empty() && line[0] == '@') {
        std::vector<std::string> fields;
        const auto text = boost::make_iterator_range(line.begin() + 1, line.end());
        boost::algorithm::split(fields, text, boost::algorithm::is_any_of(","));
        if (fields.empty()) fields.emplace_back();
        std::lock_guard<std::mutex> lock(replyMutex);
        if (fields[0] == expectedTag) replyValues.assign(fields.begin() + 1, fields.end());
        return;
    }

    const auto fieldEnd = std::find_if(line.begin(), line.end(), StatusFieldEnd());
    const std::int32_t code = ParseCode(std::string(line.begin(), fieldEnd));
    {
        std::lock_guard<std::mutex> lock(replyMutex);
        lastStatusTime = Clock::now();
        lastStatus = code;
        // 3xx is the station's refusal ("300 Cmd err", "301 Stx err"): the command's one status
        // line, so it ends the wait with false instead of holding every client up for the
        // whole time-out.
        if (code >= 200 && code <= 399) {
            if (++completions == awaitedCompletion) {
                completedStatus = code;
                // The data lines of the answer are those before its status line; a line that
                // follows (in the same chunk, before the command wakes) must not replace them.
                answerValues = replyValues;
            }
            replySignal.notify_all();
        }
    }
    if (code == 100) {
        std::lock_guard<std::mutex> lock(connectMutex);
        ++readyNotices;
        connectSignal.notify_all();
    }
}

std::int32_t NDSDCC::Impl::LastStatus() const {
    std::lock_guard<std::mutex> lock(replyMutex);
    return lastStatus;
}

std::vector<std::string> NDSDCC::Impl::ReplyValues() const {
    std::lock_guard<std::mutex> lock(replyMutex);
    return replyValues;
}
