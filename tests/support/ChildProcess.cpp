#include "tests/support/ChildProcess.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <cerrno>

#include <cstdlib>
#include <stdexcept>

ChildProcess::ChildProcess(std::vector<std::string> argv, int stdoutFd) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    if (stdoutFd >= 0) {
        // The captured pipe ends at once: the reader sees end of file and stops.
        ::close(out[1]);
        out[1] = stdoutFd;
    }
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    if (stdoutFd < 0) ::close(out[1]);
    ::close(err[1]);
    outReader_ = std::thread([this, fd = out[0]] { Reader(fd, stdout_); });
    errReader_ = std::thread([this, fd = err[0]] { Reader(fd, stderr_); });
}

ChildProcess::~ChildProcess() {
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
        Wait(std::chrono::seconds(10));
    }
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
}

void ChildProcess::Reader(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard<std::mutex> lock(mutex_);
        into.append(buffer, static_cast<std::size_t>(n));
        changed_.notify_all();
    }
    ::close(fd);
}

bool ChildProcess::WaitFor(const std::string& text, const std::string& in,
                           std::chrono::milliseconds timeout, std::size_t from) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout,
                             [&] { return in.find(text, from) != std::string::npos; });
}

bool ChildProcess::WaitForStdout(const std::string& text, std::chrono::milliseconds timeout) {
    return WaitFor(text, stdout_, timeout);
}

bool ChildProcess::WaitForStdout(const std::string& text, std::chrono::milliseconds timeout,
                                 std::size_t from) {
    return WaitFor(text, stdout_, timeout, from);
}

bool ChildProcess::WaitForStderr(const std::string& text, std::chrono::milliseconds timeout) {
    return WaitFor(text, stderr_, timeout);
}

void ChildProcess::Signal(int signo) {
    if (!reaped_) ::kill(pid_, signo);
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (reaped_) return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // The output is complete once the child is gone and its pipes have drained.
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
    return status_;
}

std::string ChildProcess::Stdout() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stdout_;
}

std::string ChildProcess::Stderr() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stderr_;
}
