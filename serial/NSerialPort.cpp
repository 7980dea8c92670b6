#include "serial/NSerialPort.hpp"

#include "app/StopSignalsBlocked.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>

#include <future>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <termios.h>
#endif

namespace asio = boost::asio;

// The line settings as they were last applied.
struct LineSettings {
    std::uint32_t baudRate = 9600;
    asio::serial_port_base::character_size characterSize{8};
    asio::serial_port_base::parity parity{asio::serial_port_base::parity::none};
    asio::serial_port_base::stop_bits stopBits{asio::serial_port_base::stop_bits::one};
    asio::serial_port_base::flow_control flowControl{asio::serial_port_base::flow_control::none};
};

class NSerialPort::serial_impl {
public:
    using WorkGuard = asio::executor_work_guard<asio::io_context::executor_type>;

    // The guard is declared before the context it holds, so it is made once the context exists.
    serial_impl() { work = std::make_shared<WorkGuard>(asio::make_work_guard(io)); }

    virtual ~serial_impl() {
        // The port goes first so that no read is left on it, then the guard, so that the
        // event loop runs out of work and the thread can be joined.
        port.reset();
        work.reset();
        if (ioThread.joinable()) ioThread.join();
    }

    serial_impl(const serial_impl&) = delete;
    serial_impl& operator=(const serial_impl&) = delete;

    std::vector<ReceiveCallback> callbacks;
    boost::thread ioThread;
    // Made in the constructor body and released in the destructor, both while io exists.
    std::shared_ptr<WorkGuard> work;
    asio::io_context io;
    std::string portName = "COM1";
    std::unique_ptr<asio::serial_port> port;
    LineSettings settings;
    boost::system::error_code lastOpenError;
};

NSerialPort::NSerialPort() : impl_(std::make_shared<serial_impl>()) {}

NSerialPort::~NSerialPort() {
    try {
        Close();
    } catch (const boost::system::system_error&) {
        // The handle is marked closed all the same; nothing more can be done here.
    }
    impl_.reset();
}

bool NSerialPort::AddReceiveCallback(ReceiveCallback callback) {
    impl_->callbacks.push_back(std::move(callback));
    return true;
}

bool NSerialPort::Open(const std::string& name) {
    if (open_) return false;

    serial_impl& impl = *impl_;
    auto port = std::make_unique<asio::serial_port>(impl.io);
    boost::system::error_code error;
    port->open(name, error);
    if (error) {
        impl.lastOpenError = error;
        return false;
    }
    impl.lastOpenError.clear();
    impl.port = std::move(port);
    asio::serial_port& serial = *impl.port;

#ifdef _WIN32
    ::SetupComm(serial.native_handle(), 1024, 1024);
    ::PurgeComm(serial.native_handle(), PURGE_TXABORT | PURGE_TXCLEAR);
#else
    // Linux has no per-port driver queue size to set (SetupComm's part); the tty layer's own
    // buffers apply. Pending output is discarded, received bytes stay. A failure (a device that
    // is no tty) does not matter, as on Windows.
    ::tcflush(serial.native_handle(), TCOFLUSH);
#endif

    open_ = true;
    impl.portName = name;

    impl.settings.baudRate = 115200;
    impl.settings.characterSize = asio::serial_port_base::character_size(8);
    impl.settings.parity = asio::serial_port_base::parity(asio::serial_port_base::parity::none);
    impl.settings.stopBits =
        asio::serial_port_base::stop_bits(asio::serial_port_base::stop_bits::one);
    impl.settings.flowControl =
        asio::serial_port_base::flow_control(asio::serial_port_base::flow_control::none);

    auto apply = [&serial](const auto& option) {
        boost::system::error_code optionError;
        serial.set_option(option, optionError);
        if (optionError) throw boost::system::system_error(optionError, "set_option");
    };
    apply(asio::serial_port_base::baud_rate(impl.settings.baudRate));
    apply(impl.settings.parity);
    apply(impl.settings.characterSize);
    apply(impl.settings.stopBits);
    apply(impl.settings.flowControl);

#ifdef _WIN32
    ::EscapeCommFunction(serial.native_handle(), SETDTR);
    ::EscapeCommFunction(serial.native_handle(), SETRTS);
#else
    // DTR and RTS asserted; a pseudo-terminal refuses the modem-line call, which is harmless.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(serial.native_handle(), TIOCMBIS, &lines);
#endif

    ++readSession_;
    StartRead();
    // A reopened port keeps the thread that is already running the event loop (the work guard
    // never lets it return while the object lives).
    if (!impl.ioThread.joinable()) {
        const StopSignalsBlocked forTheNewThread;
        impl.ioThread = boost::thread([&io = impl.io] { io.run(); });
    }
    return true;
}

bool NSerialPort::Write(const void* data, std::size_t size) {
    if (!open_) return false;
    if (size == 0) return true;
    asio::serial_port* serial = impl_->port.get();
    if (serial == nullptr) return false;
    boost::system::error_code error;
    serial->write_some(asio::buffer(data, size), error);
    return !error;
}

bool NSerialPort::Close() {
    if (!open_) return false;
    serial_impl& impl = *impl_;

    boost::system::error_code error;
    auto closePort = [this, &impl, &error] {
        // Moved on the I/O thread, in order with the completions: a read that had already
        // completed (asio may complete one at once when it is started) is dropped unseen.
        ++readSession_;
        if (impl.port && impl.port->is_open()) {
            // asio marks the port as holding no handle whether or not the close succeeded.
            impl.port->close(error);
        }
    };
    // The reader restarts its reads on the I/O thread, so the handle is closed there too: the
    // port object is never touched by two threads at once.
    if (impl.ioThread.joinable() && impl.ioThread.get_id() != boost::this_thread::get_id()) {
        std::promise<void> done;
        asio::post(impl.io, [&closePort, &done] {
            closePort();
            done.set_value();
        });
        done.get_future().wait();
    } else {
        closePort();
    }
    if (error) throw boost::system::system_error(error, "close");
    open_ = false;
    return true;
}

void NSerialPort::OnData(const std::vector<std::uint8_t>& chunk) {
    for (const ReceiveCallback& callback : impl_->callbacks) {
        callback(chunk);
    }
}

boost::system::error_code NSerialPort::LastOpenError() const {
    return impl_->lastOpenError;
}

void NSerialPort::StartRead() {
    impl_->port->async_read_some(asio::buffer(readBuffer_),
                                 [this, session = readSession_.load()](
                                     const boost::system::error_code& error, std::size_t count) {
                                     if (session != readSession_) return;
                                     HandleRead(error, count);
                                 });
}

void NSerialPort::HandleRead(const boost::system::error_code& error, std::size_t count) {
    // Any error ends the reader for good: a close, the object's destruction, a device that went
    // away. Nothing else of the object is touched on the way out.
    if (error) return;
    std::vector<std::uint8_t> chunk(readBuffer_.begin(), readBuffer_.begin() + count);
    OnData(chunk);
    StartRead();
}
