#pragma once

#include <boost/system/error_code.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// One chunk of received serial bytes (at most 1024), delivered on the serial I/O thread.
using ReceiveCallback = std::function<void(const std::vector<std::uint8_t>& chunk)>;
// Why the line went away (a read ended with end of file or a device error), on the I/O thread.
using LossCallback = std::function<void(const std::string& reason)>;

// Byte-level link to a serial device at 115200 8N1, no flow control. All port I/O runs on the
// port's own I/O thread: a background reader hands every received chunk to the registered
// callbacks, and writes are carried out there with a deadline while the caller waits.
class NSerialPort {
public:
    // A write that has not finished by then fails (the device stopped taking bytes).
    static constexpr std::chrono::seconds kWriteDeadline{1};

    // Creates the I/O context and its work guard; opens nothing and starts no thread.
    NSerialPort();
    // Closes the device if it is open, then stops and joins the I/O thread.
    ~NSerialPort();
    NSerialPort(const NSerialPort&) = delete;
    NSerialPort& operator=(const NSerialPort&) = delete;

    // Appends a callback; always true. Must not be called while the port is open.
    bool AddReceiveCallback(ReceiveCallback callback);
    // Sets the function told, at most once per Open, that the reader ended on its own (end of
    // file or a device error, not a Close). It runs on the I/O thread and must not block or call
    // Open, Write or Close. Must not be called while the port is open.
    void SetLossCallback(LossCallback callback);
    // Opens and configures the named device and starts reading; false if it is already open or
    // cannot be opened. Throws boost::system::system_error ("set_option") when the device
    // refuses a line setting (the port then counts as open until Close). Open after Close works
    // any number of times on one object, on the one I/O thread.
    bool Open(const std::string& name);
    // Writes all size bytes (a partial write is continued) and waits for it; false when closed,
    // on a device error, when the write is not done within kWriteDeadline, or when a Close cuts
    // it short. Must not be called on the I/O thread (from a callback), where it returns false.
    bool Write(const void* data, std::size_t size);
    // Closes the device, discarding output not yet sent; true if it was open and is now closed.
    // Throws ("close") if the system refuses the close.
    bool Close();
    // Hands one received chunk to every callback in registration order (I/O thread only).
    virtual void OnData(const std::vector<std::uint8_t>& chunk);

    // The system's error of the latest failed Open (for a caller that explains the failure).
    boost::system::error_code LastOpenError() const;
    // Why the latest failed Write failed: timed_out for a missed deadline. Only meaningful to the
    // one thread that writes, right after its Write returned false.
    boost::system::error_code LastWriteError() const;

    class serial_impl;

private:
    void StartRead();
    void HandleRead(const boost::system::error_code& error, std::size_t count);

    std::shared_ptr<serial_impl> impl_;
    // Set by Open, cleared by Close; read by Write from the thread that sends commands.
    std::atomic<bool> open_{false};
    // Counts opens and closes, moved on the I/O thread only. A read or write started in an
    // earlier session is ignored when it completes: its bytes may have arrived just before the
    // close, and after Close no callback may run (the callbacks' owner may be going away).
    std::atomic<unsigned> readSession_{0};
    std::array<std::uint8_t, 1024> readBuffer_{};
};
