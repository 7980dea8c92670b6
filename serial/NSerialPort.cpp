#include "serial/NSerialPort.hpp"

#include "base/StopSignalsBlocked.hpp"
#include "serial/ExclusiveAccess.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>

#include <future>
#include <mutex>
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

namespace {

// Which port's event loop the current thread runs, if any.
thread_local const NSerialPort::serial_impl* runningLoop = nullptr;

// One write in progress on the I/O thread; shared with the deadline's handler, which may run
// after the writer has gone on.
struct WriteOperation {
    explicit WriteOperation(asio::io_context& io) : deadline(io) {}
    asio::steady_timer deadline;
    std::promise<boost::system::error_code> done;
    bool finished = false;  // the write's own completion has run
    bool timedOut = false;
};

}  // namespace

class NSerialPort::serial_impl {
public:
    using WorkGuard = asio::executor_work_guard<asio::io_context::executor_type>;

    // The guard is declared before the context it holds, so it is made once the context exists.
    serial_impl() { work = std::make_shared<WorkGuard>(asio::make_work_guard(io)); }

    virtual ~serial_impl() {
        // The port goes first, on the thread that owns it, so that no operation is left on it;
        // then the guard, so that the event loop runs out of work and the thread can be joined.
        if (ioThread.joinable()) {
            asio::post(io, [this] { port.reset(); });
        } else {
            port.reset();
        }
        work.reset();
        if (ioThread.joinable()) ioThread.join();
    }

    serial_impl(const serial_impl&) = delete;
    serial_impl& operator=(const serial_impl&) = delete;

    bool OnIoThread() const { return runningLoop == this; }

    // Runs task on the I/O thread and waits for it; its result or exception is the caller's.
    template <typename Task>
    auto RunOnIoThread(Task task) -> decltype(task()) {
        if (!ioThread.joinable() || OnIoThread()) return task();
        std::packaged_task<decltype(task())()> packaged(std::move(task));
        auto result = packaged.get_future();
        asio::post(io, [&packaged] { packaged(); });
        return result.get();
    }

    std::vector<ReceiveCallback> callbacks;
    LossCallback lossCallback;
    // Serialises Open and Close between the threads that may call them.
    std::mutex lifecycle;
    boost::thread ioThread;
    // Made in the constructor body and released in the destructor, both while io exists.
    std::shared_ptr<WorkGuard> work;
    asio::io_context io;
    // Everything from here on is touched on the I/O thread only (or before it exists).
    std::string portName = "COM1";
    std::unique_ptr<asio::serial_port> port;
    LineSettings settings;
    boost::system::error_code lastOpenError;
    ExclusiveAccess exclusive;
    // The writing thread's own.
    boost::system::error_code lastWriteError;
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

void NSerialPort::SetLossCallback(LossCallback callback) {
    impl_->lossCallback = std::move(callback);
}

bool NSerialPort::Open(const std::string& name) {
    serial_impl& impl = *impl_;
    std::lock_guard<std::mutex> lock(impl.lifecycle);
    if (open_) return false;

    // One thread for the object's whole life: a reopened port keeps it (the work guard never
    // lets its event loop return while the object lives).
    if (!impl.ioThread.joinable()) {
        const StopSignalsBlocked forTheNewThread;
        impl.ioThread = boost::thread([&impl] {
            runningLoop = &impl;
            impl.io.run();
        });
    }

    return impl.RunOnIoThread([this, &impl, &name] {
        auto port = std::make_unique<asio::serial_port>(impl.io);
        boost::system::error_code error;
        port->open(name, error);
#ifndef _WIN32
        // Before the flush, the line settings and DTR: a second Railmux leaves the first one's
        // line alone.
        if (!error) error = impl.exclusive.Claim(port->native_handle());
#endif
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
        // buffers apply. Pending output is discarded, received bytes stay. A failure (a device
        // that is no tty) does not matter, as on Windows.
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
        return true;
    });
}

bool NSerialPort::Write(const void* data, std::size_t size) {
    serial_impl& impl = *impl_;
    impl.lastWriteError.clear();
    if (!open_) {
        impl.lastWriteError = asio::error::not_connected;
        return false;
    }
    if (size == 0) return true;
    // The loop that would carry the write out is the one waiting for it.
    if (impl.OnIoThread()) {
        impl.lastWriteError = asio::error::operation_not_supported;
        return false;
    }

    auto operation = std::make_shared<WriteOperation>(impl.io);
    auto result = operation->done.get_future();
    asio::post(impl.io, [this, &impl, operation, data, size, session = readSession_.load()] {
        if (session != readSession_ || !impl.port || !impl.port->is_open()) {
            operation->done.set_value(asio::error::operation_aborted);
            return;
        }
        operation->deadline.expires_after(kWriteDeadline);
        operation->deadline.async_wait(
            [this, &impl, operation, session](const boost::system::error_code& error) {
                if (error || operation->finished || session != readSession_ || !impl.port) return;
                // A single operation cannot be cancelled on its own here; the read goes too,
                // which is what the owner of a port that takes no bytes wants anyway.
                operation->timedOut = true;
                boost::system::error_code ignored;
                impl.port->cancel(ignored);
            });
        // async_write continues after a partial write until every byte is out.
        asio::async_write(
            *impl.port, asio::buffer(data, size),
            [operation](const boost::system::error_code& error, std::size_t) {
                operation->finished = true;
                operation->deadline.cancel();
                operation->done.set_value(
                    operation->timedOut ? make_error_code(boost::system::errc::timed_out) : error);
            });
    });
    impl.lastWriteError = result.get();
    return !impl.lastWriteError;
}

bool NSerialPort::Close() {
    serial_impl& impl = *impl_;
    std::lock_guard<std::mutex> lock(impl.lifecycle);
    if (!open_) return false;

    boost::system::error_code error;
    // On the I/O thread, in order with the completions: a read that had already completed
    // (asio may complete one at once when it is started) is dropped unseen.
    impl.RunOnIoThread([this, &impl, &error] {
        ++readSession_;
        if (impl.port && impl.port->is_open()) {
            // Output the device never took would make the close wait for it; it is dropped.
#ifdef _WIN32
            ::PurgeComm(impl.port->native_handle(), PURGE_TXABORT | PURGE_TXCLEAR);
#else
            ::tcflush(impl.port->native_handle(), TCOFLUSH);
#endif
            impl.exclusive.Release();
            // asio marks the port as holding no handle whether or not the close succeeded.
            impl.port->close(error);
        }
    });
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

boost::system::error_code NSerialPort::LastWriteError() const {
    return impl_->lastWriteError;
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
    // Any error ends the reader of this session. A close or a cancel is the owner's doing; end of
    // file or a device error (an unplugged adapter) is news for the owner, told once since the
    // reader ends here.
    if (error) {
        if (error != asio::error::operation_aborted && impl_->lossCallback) {
            impl_->lossCallback(error == asio::error::eof ? std::string("end of file")
                                                          : error.message());
        }
        return;
    }
    std::vector<std::uint8_t> chunk(readBuffer_.begin(), readBuffer_.begin() + count);
    OnData(chunk);
    StartRead();
}
