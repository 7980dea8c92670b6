#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A program run as a child process with its standard output and error captured, for tests that
// exercise the programs as a user runs them.
class ChildProcess {
public:
    // stdoutFd >= 0: the child's standard output is that descriptor instead (a pipe the test
    // reads, or does not; best opened close-on-exec), which the caller keeps and closes; Stdout()
    // stays empty.
    explicit ChildProcess(std::vector<std::string> argv, int stdoutFd = -1);
    // Kills the child if it is still running and reaps it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits until standard output (or error) holds text; false after the timeout.
    bool WaitForStdout(const std::string& text, std::chrono::milliseconds timeout);
    // The same, for text that begins at byte from of standard output or later.
    bool WaitForStdout(const std::string& text, std::chrono::milliseconds timeout,
                       std::size_t from);
    bool WaitForStderr(const std::string& text, std::chrono::milliseconds timeout);
    void Signal(int signo);
    // The exit code, 128 + signal number when killed by a signal, -1 after the timeout.
    int Wait(std::chrono::milliseconds timeout);

    std::string Stdout() const;
    std::string Stderr() const;
    pid_t Pid() const { return pid_; }

private:
    void Reader(int fd, std::string& into);
    bool WaitFor(const std::string& text, const std::string& in, std::chrono::milliseconds t,
                 std::size_t from = 0);

    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string stdout_;
    std::string stderr_;
    std::thread outReader_;
    std::thread errReader_;
};
