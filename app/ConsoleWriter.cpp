#include "app/ConsoleWriter.hpp"

#include "base/ConsoleLog.hpp"
#include "base/StopSignalsBlocked.hpp"
#include "base/WriteAll.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// What the output is, for the direct path: a line that cannot make the logging thread wait is
// written at once, saving the writer thread's wake-up.
enum class OutputKind { Other, File, Socket, Pipe };

OutputKind KindOf(int fd) {
#ifdef _WIN32
    (void)fd;
    return OutputKind::Other;
#else
    struct stat info {};
    if (::fstat(fd, &info) != 0) return OutputKind::Other;
    if (S_ISREG(info.st_mode)) return OutputKind::File;
    if (S_ISSOCK(info.st_mode)) return OutputKind::Socket;
    if (S_ISFIFO(info.st_mode)) return OutputKind::Pipe;
    // A terminal may be paused (Ctrl-S), and nothing tells that before a write blocks.
    return OutputKind::Other;
#endif
}

// Longest line taken by the direct path into a pipe, and the room it must find there beyond it:
// a pipe fills page by page, so a page of margin keeps the write from waiting.
constexpr std::size_t kDirectPipeLine = 4096;
constexpr std::size_t kPipeMargin = 4096;

}  // namespace

struct ConsoleWriter::Shared {
    Shared(int fd, std::size_t bound) : fd(fd), bound(bound), kind(KindOf(fd)) {}

    // Called under the console lock, so lines are queued in the order of the ConsoleLog calls.
    void Push(const char* text, std::size_t size) {
        std::lock_guard<std::mutex> lock(mutex);
        // Nothing is waiting before it: written at once where that cannot block.
        if (IdleLocked() && dropped == 0) {
            const std::size_t written = WriteDirect(text, size);
            text += written;
            size -= written;
            if (size == 0) return;
        }
        if (queued.size() + inFlight + size > bound) {
            ++dropped;
            return;
        }
        const bool wasEmpty = queued.empty();
        QueueDroppedLineLocked();
        queued.append(text, size);
        if (wasEmpty) work.notify_one();
    }

    // Writes what the output takes without waiting; the bytes written (the rest is queued).
    std::size_t WriteDirect(const char* text, std::size_t size) {
#ifdef _WIN32
        (void)text;
        (void)size;
        return 0;
#else
        switch (kind) {
            case OutputKind::File:
                WriteAll(fd, text, size);
                return size;
            case OutputKind::Socket: {
                std::size_t sent = 0;
                while (sent < size) {
                    const ssize_t n =
                        ::send(fd, text + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
                    if (n < 0 && errno == EINTR) continue;
                    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return size;  // dropped
                    if (n <= 0) break;
                    sent += static_cast<std::size_t>(n);
                }
                return sent;
            }
            case OutputKind::Pipe: {
                int capacity = 0;
                int unread = 0;
                if (size > kDirectPipeLine || (capacity = ::fcntl(fd, F_GETPIPE_SZ)) <= 0 ||
                    ::ioctl(fd, FIONREAD, &unread) != 0 ||
                    static_cast<std::size_t>(capacity - unread) < size + kPipeMargin) {
                    return 0;
                }
                WriteAll(fd, text, size);
                return size;
            }
            case OutputKind::Other:
                break;
        }
        return 0;
#endif
    }

    // The writer thread: takes everything queued, writes it without the lock, and so on until
    // stopped with nothing left.
    void Run() {
        std::string batch;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            work.wait(lock, [&] { return stop || !queued.empty(); });
            if (queued.empty()) break;
            batch.swap(queued);
            inFlight = batch.size();
            lock.unlock();
            WriteAll(fd, batch.data(), batch.size());
            batch.clear();
            lock.lock();
            inFlight = 0;
            // The output took the last batch: room again, and the place for the count.
            QueueDroppedLineLocked();
            if (IdleLocked()) idle.notify_all();
        }
        ended = true;
        idle.notify_all();
    }

    bool IdleLocked() const {
        return queued.empty() && inFlight == 0;
    }

    void QueueDroppedLineLocked() {
        if (dropped == 0) return;
        queued += DroppedLine(dropped);
        dropped = 0;
    }

    const int fd;
    const std::size_t bound;
    const OutputKind kind;
    std::mutex mutex;
    std::condition_variable work;  // to the writer: a line queued, or stop
    std::condition_variable idle;  // to the owner: everything written, or the writer has ended
    std::string queued;
    std::size_t inFlight = 0;  // bytes of the batch being written
    unsigned long long dropped = 0;
    bool stop = false;
    bool ended = false;
};

ConsoleWriter::ConsoleWriter(int fd, std::size_t bound, std::chrono::milliseconds exitWait)
    : shared_(std::make_shared<Shared>(fd, bound)), exitWait_(exitWait) {
    try {
        // The stop signals belong to the main thread.
        const StopSignalsBlocked forTheWriter;
        thread_ = std::thread([shared = shared_] { shared->Run(); });
    } catch (const std::system_error&) {
        return;
    }
    SetConsoleSink(
        [shared = shared_](const char* text, std::size_t size) { shared->Push(text, size); });
}

ConsoleWriter::~ConsoleWriter() {
    if (!thread_.joinable()) return;
    const auto deadline = std::chrono::steady_clock::now() + exitWait_;
    bool drained;
    {
        std::unique_lock<std::mutex> lock(shared_->mutex);
        drained = shared_->idle.wait_until(lock, deadline, [&] { return shared_->IdleLocked(); });
    }
    // Once the sink is replaced no line reaches the queue any more. An output that did not
    // drain would block a direct write, so its later lines are dropped.
    if (drained) {
        SetConsoleSink(nullptr);
    } else {
        SetConsoleSink([](const char*, std::size_t) {});
    }
    bool ended;
    {
        std::unique_lock<std::mutex> lock(shared_->mutex);
        shared_->stop = true;
        shared_->work.notify_one();
        // A writer that drained ends at once, with at most a last line or two.
        ended = shared_->idle.wait_for(lock, drained ? exitWait_ : std::chrono::milliseconds(0),
                                       [&] { return shared_->ended; });
    }
    if (ended) {
        thread_.join();
    } else {
        // Blocked in a write that a stalled terminal or pipe may never finish, which nothing
        // portable can interrupt; it owns a share of everything it touches and ends with the
        // process.
        thread_.detach();
    }
}

std::string ConsoleWriter::DroppedLine(unsigned long long count) {
    char line[96];
    std::snprintf(line, sizeof line, "Console output blocked: %llu lines dropped.\n", count);
    return line;
}
