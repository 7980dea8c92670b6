#include "bench/ReferenceProcess.hpp"

#include "bench/FixedReplyServer.hpp"

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
const char kFlag[] = "--fixed-reply-server";
}

ReferenceProcess::ReferenceProcess(const std::string& reply, const std::string& directory) {
    // Fresh file names for every process, so that the port of an earlier one is never read.
    static int count = 0;
    const std::string name = directory + "/reference" + std::to_string(++count);
    program_ = std::make_unique<ChildProgram>(
        std::vector<std::string>{"/proc/self/exe", kFlag, reply}, name + ".out", name + ".err");
    if (!program_->WaitForStdout("\n", std::chrono::seconds(10))) return;
    const std::string out = ChildProgram::ReadFile(program_->StdoutPath());
    if (out.compare(0, 5, "port ") == 0) {
        port_ = static_cast<std::uint16_t>(std::atoi(out.c_str() + 5));
    }
}

bool ReferenceProcess::ServeIfAsked(int argc, char* argv[]) {
    if (argc < 3 || std::strcmp(argv[1], kFlag) != 0) return false;
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    // Blocked before the server's thread starts, so that only sigwait below receives them.
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    FixedReplyServer server(argv[2]);
    std::printf("port %u\n", static_cast<unsigned>(server.Port()));
    std::fflush(stdout);
    int received = 0;
    sigwait(&stop, &received);
    return true;
}
