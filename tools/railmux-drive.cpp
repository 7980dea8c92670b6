// A scripted client session against a running Railmux: power on, locomotive 3 accelerates,
// reverses, switches its headlight and horn, stops, CV1 is read and written, power off. Each
// step shows the message, the reply and, when the simulator's state file is given, the station's
// state afterwards.

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

std::string StationState(const std::string& stateFile) {
    std::ifstream in(stateFile);
    std::stringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    while (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s;
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
            std::printf("   station now    %s\n", StationState(stateFile).c_str());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ::close(fd);
    std::printf("\n%s\n", failures == 0 ? "Session complete: every reply as expected."
                                        : "Session complete with unexpected replies.");
    return failures == 0 ? 0 : 1;
}
