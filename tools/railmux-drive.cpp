// A scripted client session against a running Railmux: power on, locomotive 3 accelerates,
// reverses, switches its headlight and horn, stops, a turnout is thrown and set back, CV1 is
// read and CV3 written, power off. Each step shows the message and the reply; with the
// simulator's state file it also shows the station's state and, for a packet, what the rails
// carry beside the client's packet: the two must agree.

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Step {
    const char* what;
    const char* message;
    const char* reply;  // expected, without the final carriage return
};

const Step kSession[] = {
    {"Track power on", "E", "O"},
    {"Loco 3 sets off: speed step 5 forward", "Q 03 3F 85 B9", "O"},
    {"Loco 3 accelerates to step 40", "Q 03 3F A8 94", "O"},
    {"Loco 3 accelerates to step 80", "Q 03 3F D0 EC", "O"},
    {"Loco 3 reverses at step 40", "Q 03 3F 28 14", "O"},
    {"Headlight (F0) on", "S 01 03 90 93", "O"},
    {"Horn (F2) on", "S 01 03 92 91", "O"},
    {"Horn (F2) off", "S 01 03 90 93", "O"},
    {"Loco 3 stops", "Q 03 3F 00 3C", "O"},
    {"Turnout at output 5 (decoder 2, pair 0) thrown", "S 02 82 F9 7B", "O"},
    {"Turnout at output 5 set back", "S 02 82 F8 7A", "O"},
    {"Read CV1 (the address)", "R 001", "CV00103\rP"},
    {"Write CV3 (acceleration) = 5", "P 003 05", "P"},
    {"Read CV3 back", "R 003", "CV00305\rP"},
    {"Track power off", "K", "O"},
};

std::string Printable(const std::string& text) {
    std::string out;
    for (char c : text)
        out += c == '\r' ? std::string("\\r") : std::string(1, c);
    return out;
}

int Connect(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return -1;
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    return fd;
}

// Reads until the reply's final carriage return (CV replies hold two); 20 s covers the longest
// station wait.
bool ReadReply(int fd, int carriageReturns, std::string& reply) {
    reply.clear();
    int seen = 0;
    while (seen < carriageReturns) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20000) <= 0) return false;
        char c;
        if (::recv(fd, &c, 1, 0) != 1) return false;
        if (c == '\r' && ++seen == carriageReturns) break;
        reply += c;
    }
    return true;
}

// The simulator's state file: an account of the station, and the packet of its latest command.
struct StationState {
    std::string account;
    std::string rails;
};

StationState ReadState(const std::string& stateFile) {
    std::ifstream in(stateFile);
    StationState state;
    std::getline(in, state.account);
    std::string line;
    if (std::getline(in, line) && line.rfind("rails: ", 0) == 0) state.rails = line.substr(7);
    return state;
}

// The DCC packet a "Q" or "S" message carries, as the rails show it: without the check byte,
// and for "S" without the repeat count before it. Empty for other messages.
std::string ClientPacket(const std::string& message) {
    if (message.empty() || (message[0] != 'Q' && message[0] != 'S')) return {};
    std::istringstream fields(message.substr(1));
    std::vector<std::string> bytes;
    for (std::string byte; fields >> byte;)
        bytes.push_back(byte);
    const std::size_t first = message[0] == 'S' ? 1 : 0;
    if (bytes.size() < first + 2) return {};
    std::string packet;
    for (std::size_t i = first; i + 1 < bytes.size(); ++i)
        packet += (packet.empty() ? "" : " ") + bytes[i];
    return packet;
}

// The state once the rails carry packet (the station may act after the reply), or after 3 s.
StationState AwaitState(const std::string& stateFile, const std::string& packet) {
    StationState state = ReadState(stateFile);
    for (int i = 0; i < 60 && !packet.empty() && state.rails != packet; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        state = ReadState(stateFile);
    }
    return state;
}

void Usage() {
    std::printf(
        "Usage: railmux-drive [--host HOST] [--port PORT] [--state FILE]\n"
        "Drives locomotive 3 through a short session against Railmux (default "
        "127.0.0.1:11009).\nFILE is the simulator's state file (dsair2-sim --state FILE).\n");
}

}  // namespace

int main(int argc, char* argv[]) {
    std::string host = "127.0.0.1", port = "11009", stateFile;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--host" || arg == "--port" || arg == "--state") && i + 1 < argc) {
            (arg == "--host" ? host : arg == "--port" ? port : stateFile) = argv[++i];
        } else {
            Usage();
            return arg == "-h" || arg == "--help" ? 0 : 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    const int fd = Connect(host, port);
    if (fd < 0) {
        std::fprintf(stderr, "railmux-drive: cannot connect to %s:%s\n", host.c_str(),
                     port.c_str());
        return 1;
    }
    int failures = 0;
    int number = 0;
    for (const Step& step : kSession) {
        std::printf("\n== %d. %s\n   client sends   %s\\r\n", ++number, step.what, step.message);
        const std::string message = std::string(step.message) + "\r";
        if (::send(fd, message.data(), message.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(message.size())) {
            std::fprintf(stderr, "railmux-drive: connection lost\n");
            ::close(fd);
            return 1;
        }
        const int crs = std::strchr(step.reply, '\r') ? 2 : 1;
        std::string reply;
        if (!ReadReply(fd, crs, reply)) {
            std::fprintf(stderr, "railmux-drive: no reply to %s\n", step.message);
            ::close(fd);
            return 1;
        }
        const bool ok = reply == step.reply;
        failures += ok ? 0 : 1;
        std::printf("   Railmux says   %s\\r%s\n", Printable(reply).c_str(),
                    ok ? "" : ("   (expected " + Printable(step.reply) + ")").c_str());
        if (!stateFile.empty()) {
            const std::string packet = ClientPacket(step.message);
            const StationState state = AwaitState(stateFile, packet);
            if (!packet.empty()) {
                const bool agree = state.rails == packet;
                failures += agree ? 0 : 1;
                std::printf("   client packet  %s\n   rails carry    %s%s\n", packet.c_str(),
                            state.rails.c_str(), agree ? "" : "   (they differ)");
            }
            std::printf("   station now    %s\n", state.account.c_str());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ::close(fd);
    std::printf("\n%s\n", failures == 0 ? "Session complete: every reply as expected."
                                        : "Session complete with unexpected replies.");
    return failures == 0 ? 0 : 1;
}
