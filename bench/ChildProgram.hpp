#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// A program run as a child process with its standard output and error going to files, as an
// operator would run Railmux with its console redirected. The destructor stops it (SIGTERM,
// then SIGKILL after 5 s) and reaps it.
class ChildProgram {
public:
    ChildProgram(const std::vector<std::string>& argv, const std::string& stdoutPath,
                 const std::string& stderrPath);
    ~ChildProgram();
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    // False when fork or exec failed (then the child has already exited with 127).
    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }

    // Polls the standard output file until it holds text; false after the timeout or when the
    // child has exited.
    bool WaitForStdout(const std::string& text, std::chrono::milliseconds timeout);
    bool Running();
    // SIGTERM, then the exit status as waitpid reports it; -1 after the timeout (the child is
    // then killed).
    int Stop(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    const std::string& StdoutPath() const { return stdoutPath_; }
    const std::string& StderrPath() const { return stderrPath_; }

    // The whole content of a file ("" when it cannot be read).
    static std::string ReadFile(const std::string& path);

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string stdoutPath_;
    std::string stderrPath_;
};
