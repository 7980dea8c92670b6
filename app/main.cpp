// Railmux: joins a DSAir2 command station on a serial port to a control application over TCP.

#include "app/CommandLine.hpp"
#include "app/ConsoleWriter.hpp"
#include "app/OpenFailureReason.hpp"
#include "app/ServedHandler.hpp"
#include "app/StopSignals.hpp"
#include "base/ConsoleLog.hpp"
#include "base/StopSignalsBlocked.hpp"
#include "net/ListenAddress.hpp"
#include "net/NTCPServerThread.hpp"
#include "protocol/NDSDCCStation.hpp"
#include "protocol/NTCPRecvHandler.hpp"
#include "protocol/StationScheduler.hpp"
#include "protocol/TrackPower.hpp"
#include "station/NDSDCC.hpp"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <thread>

#ifndef RAILMUX_VERSION
#define RAILMUX_VERSION "unknown"
#endif

namespace {

const char kUsage[] =
    "Usage : Railmux ComPort [TCPPort]\nExample: Railmux COM1 11009\n[tcpport] range is "
    "1024-65535.\nIf [tcpport] not specified, defaults to 11009.\n";

// Exit codes: 0 a normal stop, 1 an invalid TCP port, 2 a usage error, 3 the server could not
// start, and this one: the server's thread ended by itself while Railmux ran.
constexpr int kExitServerEnded = 4;

const char kOptions[] =
    "Options, before or after the arguments:\n"
    "  --listen ADDRESS  accept clients only on this address: an IPv4 or IPv6 address of this\n"
    "                    machine, or localhost (default: every IPv4 address)\n"
    "  --version         print the version and exit\n"
    "  -h, --help        print this help and exit\n"
    "See \"man railmux\" for more.\n";

// While main itself waits in the station link (the start-up handshake, up to 8 s without a
// station), a stop request ends that wait: the signal handler can only set a flag.
class StopDuringStartUp {
public:
    StopDuringStartUp() {
        const StopSignalsBlocked forTheNewThread;
        thread_ = std::thread([this] {
            while (!done_) {
                if (StopRequested()) {
                    NDSDCC::Stop();
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    ~StopDuringStartUp() {
        done_ = true;
        thread_.join();
    }
    StopDuringStartUp(const StopDuringStartUp&) = delete;
    StopDuringStartUp& operator=(const StopDuringStartUp&) = delete;

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

}  // namespace

int main(int argc, char* argv[]) {
#ifndef _WIN32
    // A console or client that goes away shows as a failed write, not as the end of the program.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    const CommandLine line = CommandLine::Parse(argc, argv);
    switch (line.action) {
        case CommandLine::Action::kUsage:
            ConsoleLog("%s", kUsage);
            return 0;
        case CommandLine::Action::kHelp:
            ConsoleLog("%s%s", kUsage, kOptions);
            return 0;
        case CommandLine::Action::kVersion:
            ConsoleLog("railmux %s\n", RAILMUX_VERSION);
            return 0;
        case CommandLine::Action::kBadUsage:
            std::fputs(kUsage, stderr);
            return 2;
        case CommandLine::Action::kRun:
            break;
    }

    std::int32_t tcpPort = kDefaultTcpPort;
    if (line.tcpPort != nullptr) {
        tcpPort = ParseTcpPort(line.tcpPort);
        if (tcpPort < kMinTcpPort || tcpPort > kMaxTcpPort) {
            std::fprintf(stderr, "Invalid port number : %d. Use 1024-65535.\n", tcpPort);
            return 1;
        }
    }
    boost::asio::ip::address listenAddress = boost::asio::ip::address_v4::any();
    if (line.listen != nullptr && !ParseListenAddress(line.listen, listenAddress)) {
        std::fprintf(stderr,
                     "Invalid listen address : %s. Use an IPv4 or IPv6 address, or localhost.\n",
                     line.listen);
        return 2;
    }

    // From here on no console line waits for a terminal or pipe that does not drain.
    const ConsoleWriter console;

#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer sets up a thread's signal state at its first blocking call, and a signal
    // that arrives during that set-up is lost; the handshake's wait would be that call.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
#endif
    // Armed before the station is opened, so that a stop during the handshake ends the program
    // as cleanly as one later on; armed before the server's line is printed, so that whoever
    // waits for it may signal at once.
    InstallStopHandlers();

    // The link opens the device as typed (only a bare COM name is matched ignoring case), so
    // that its lines name the device as the user knows it. A line setting the device refuses
    // raises out of the link; that is a failed connect like any other, retried in the
    // background, and the network side still comes up.
    bool connected = false;
    std::string error;
    {
        const StopDuringStartUp stopWatch;
        try {
            connected = NDSDCC::Open(line.comPort);
        } catch (const std::exception& e) {
            error = e.what();
        }
    }
    if (StopRequested()) {
        NDSDCC::Stop();
        return 0;
    }
    if (!connected) {
        std::fprintf(stderr, "Failed to connect to DSAir2 on %s.\n",
                     UpperCasePortName(line.comPort).c_str());
        const std::string reason =
            OpenFailureReason(NDSDCC::LastOpenFailure(), NDSDCC::LastDevicePath(), error);
        std::fputs(reason.c_str(), stderr);
        // The Windows runtime holds it back in a buffer otherwise, until the program ends.
        std::fflush(stderr);
    }

    // The scheduler owns the station commands from here on; the handler's worker hands it the
    // client's messages. Both outlive the server, which stops the worker before it goes.
    TrackPower power;
    NDSDCCStation station;
    StationScheduler scheduler(station, power, &NDSDCC::StationEpoch);
    NTCPRecvHandler handler(scheduler);
    std::uint32_t errorCode = 0;
    NTCPServerThread* server =
        NTCPServerThread::Start(tcpPort, &ServedHandler(handler), errorCode, listenAddress);
    if (server == nullptr) {
        std::fprintf(stderr, "Failed to start TCP server on port %d, error code %u.\n", tcpPort,
                     errorCode);
        return 3;
    }
    ConsoleLog("TCP server started on port %d\n", tcpPort);
    // A server thread that ended by itself serves nobody any more: the program ends too, with a
    // code of its own, so that a service manager starts it again.
    while (!StopRequested() && !server->Ended()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const bool serverEnded = !StopRequested();

    // The station link first: the message under way stops waiting for the station at once, and
    // so does a reconnection attempt; then the scheduler, whose barrier waits end; then the
    // server, which stops the handler's worker (dropping the messages not yet begun) before its
    // own event loop, so that no reply is handed to a loop that is gone.
    NDSDCC::Stop();
    scheduler.Stop();
    NTCPServerThread::Stop(server);
    return serverEnded ? kExitServerEnded : 0;
}
