#include "bench/ChildProgram.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

ChildProgram::ChildProgram(const std::vector<std::string>& argv, const std::string& stdoutPath,
                           const std::string& stderrPath)
    : stdoutPath_(stdoutPath), stderrPath_(stderrPath) {
    std::vector<std::string> args = argv;
    std::vector<char*> pointers;
    for (std::string& arg : args)
        pointers.push_back(&arg[0]);
    pointers.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ != 0) return;
    // Child: only async-signal-safe calls until exec.
    const int out = ::open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = ::open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) ::_exit(127);
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    ::execv(pointers[0], pointers.data());
    ::_exit(127);
}

ChildProgram::~ChildProgram() {
    Stop();
}

bool ChildProgram::Running() {
    if (pid_ <= 0 || reaped_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        return false;
    }
    return true;
}

bool ChildProgram::WaitForStdout(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ReadFile(stdoutPath_).find(text) != std::string::npos) return true;
        if (!Running()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int ChildProgram::Stop(std::chrono::milliseconds timeout) {
    if (pid_ <= 0 || reaped_) return -1;
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            reaped_ = true;
            return status;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
    return -1;
}

std::string ChildProgram::ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}
