#pragma once

#include <boost/system/error_code.hpp>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// One chunk of received serial bytes (at most 1024), delivered on the serial I/O thread.
using ReceiveCallback = std::function<void(const std::vector<std::uint8_t>& chunk)>;

// Byte-level link to a serial device at 115200 8N1, no flow control. A background reader on
// its own I/O thread hands every received chunk to the registered callbacks; writes are
// synchronous on the caller's thread.
class NSerialPort {
public:
    // Creates the I/O context and its work guard; opens nothing and starts no thread.
    NSerialPort();
    // Closes the device if it is open, then stops and joins the I/O thread.
    ~NSerialPort();
    NSerialPort(const NSerialPort&) = delete;
    NSerialPort& operator=(const NSerialPort&) = delete;

    // Appends a callback; always true. Must not be called while the port is open.
    bool AddReceiveCallback(ReceiveCallback callback);
    // Opens and configures the named device and starts reading; false if it is already open or
    // cannot be opened. Throws boost::system::system_error ("set_option") when the device
    // refuses a line setting.
    bool Open(const std::string& name);
    // Writes size bytes in one synchronous write; false when closed or on a device error.
    bool Write(const void* data, std::size_t size);
    // Closes the device; true if it was open and is now closed. Throws ("close") if the system
    // refuses the close.
    bool Close();
    // Hands one received chunk to every callback in registration order (I/O thread only).
    virtual void OnData(const std::vector<std::uint8_t>& chunk);

    // The system's error of the latest failed Open (for a caller that explains the failure).
    boost::system::error_code LastOpenError() const;

    class serial_impl;

private:
    void StartRead();
    void HandleRead(const boost::system::error_code& error, std::size_t count);

    std::shared_ptr<serial_impl> impl_;
    // Set by Open, cleared by Close; read by Write from the thread that sends commands.
    std::atomic<bool> open_{false};
    // Counts opens and closes. A read started in an earlier session is ignored when it
    // completes: its bytes may have arrived just before the close, and after Close no callback
    // may run (the callbacks' owner may be going away).
    std::atomic<unsigned> readSession_{0};
    std::array<std::uint8_t, 1024> readBuffer_{};
};
