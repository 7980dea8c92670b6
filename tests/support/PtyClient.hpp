#pragma once

#include <chrono>
#include <string>

// The simulated station's device opened as Railmux opens it: read-write, no controlling
// terminal, raw, non-blocking.
class PtyClient {
public:
    explicit PtyClient(const std::string& path) { Open(path); }
    // Closes the device.
    ~PtyClient() { Close(); }
    PtyClient(const PtyClient&) = delete;
    PtyClient& operator=(const PtyClient&) = delete;

    // Opens path (closing what was open), with nothing received so far.
    void Open(const std::string& path);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }

    // Writes all of bytes at once; false when the write fails or falls short.
    bool Send(const std::string& bytes);
    // Reads until text has arrived; false after the timeout or once the device is gone.
    bool ReadUntil(const std::string& text,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads everything that arrives within the time.
    void ReadFor(std::chrono::milliseconds time);
    // What arrived so far, emptied for the next exchange.
    std::string Take();
    // The reads that returned bytes since the open.
    int Reads() const { return reads_; }
    // The device went away under the open descriptor (end of file or an error on read).
    bool Gone() const { return gone_; }

private:
    bool ReadOnce(std::chrono::steady_clock::time_point end);

    int fd_ = -1;
    std::string received_;
    int reads_ = 0;
    bool gone_ = false;
};
