#include "net/NTCPServerThread.hpp"

#include "base/ConsoleLog.hpp"
#include "net/ListenAddress.hpp"
#include "protocol/NTCPRecvHandler.hpp"
#include "tests/support/TcpClient.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr auto kWait = 10s;

// One handler call as the server made it.
struct Call {
    char kind;  // 'A'ccept, 'R'eceive, 'D'isconnect, s'T'op
    ClientId id;
    std::string data;  // the address for 'A', the bytes for 'R'
};

// Records every call under its lock; the scripts decide the answers and run without the lock,
// so a script may block to hold the server thread. Replies go through the server's reply path.
class ScriptedHandler final : public ITCPRecvHandler {
public:
    using AcceptScript = std::function<bool(int index)>;
    // Answers one read: what it hands over through replies, and whether the connection is kept.
    using ReceiveScript = std::function<bool(int index, ClientId id, ITCPReplies& replies)>;

    // Set before the server starts.
    AcceptScript admit = [](int) { return true; };
    ReceiveScript receive = [](int, ClientId, ITCPReplies&) { return true; };
    std::function<void()> stop = [] {};

    void OnServerStart(ITCPReplies& replies) override { replies_ = &replies; }
    bool OnAccept(ClientId id, const std::string& address) override {
        return admit(Record({'A', id, address}));
    }
    void OnDisconnect(ClientId id) override { Record({'D', id, {}}); }
    bool OnReceive(ClientId id, const char* data, unsigned size) override {
        const int index = Record({'R', id, std::string(data, size)});
        return receive(index, id, *replies_);
    }
    void OnServerStop() override {
        Record({'T', 0, {}});
        stop();
    }

    // The server's reply path, from OnServerStart until OnServerStop.
    ITCPReplies& Replies() { return *replies_; }

    std::vector<Call> Calls(char kind = 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Call> result;
        for (const Call& call : calls_) {
            if (kind == 0 || call.kind == kind) result.push_back(call);
        }
        return result;
    }
    // Waits until at least count calls of the kind have been made.
    bool WaitFor(char kind, std::size_t count, std::chrono::milliseconds timeout = kWait) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return CountLocked(kind) >= count; });
    }

private:
    // Returns the call's index among the calls of its kind.
    int Record(Call call) {
        std::lock_guard<std::mutex> lock(mutex_);
        const char kind = call.kind;
        calls_.push_back(std::move(call));
        changed_.notify_all();
        return static_cast<int>(CountLocked(kind)) - 1;
    }
    std::size_t CountLocked(char kind) const {
        std::size_t n = 0;
        for (const Call& call : calls_)
            n += call.kind == kind ? 1 : 0;
        return n;
    }

    ITCPReplies* replies_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
};

// Answers every read with the same text.
ScriptedHandler::ReceiveScript Answer(const std::string& text) {
    return [text](int, ClientId id, ITCPReplies& replies) {
        replies.Reply(id, text);
        return true;
    };
}

// A blocking loopback client whose reads give up after a generous time-out.
class Client {
public:
    enum class End { kOpen, kEof, kReset, kTimeout };

    // receiveBuffer > 0 holds the socket's receive buffer at about that size.
    explicit Client(std::uint16_t port, int receiveBuffer = 0)
        : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        if (fd_ < 0) throw std::runtime_error("socket");
        timeval timeout{static_cast<time_t>(kWait.count()), 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (receiveBuffer > 0) {
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            throw std::runtime_error("connect");
        }
    }
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void Send(const std::string& data) {
        ASSERT_EQ(::send(fd_, data.data(), data.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(data.size()));
    }
    // Reads until count bytes have come (count 0: until the connection ends).
    std::string Read(std::size_t count, End* end = nullptr) {
        std::string data;
        char chunk[65536];
        End how = End::kOpen;
        while (count == 0 || data.size() < count) {
            const std::size_t want = count == 0 ? sizeof chunk : count - data.size();
            const ssize_t n = ::recv(fd_, chunk, std::min(want, sizeof chunk), 0);
            if (n > 0) {
                data.append(chunk, static_cast<std::size_t>(n));
                continue;
            }
            how = n == 0                                      ? End::kEof
                  : (errno == EAGAIN || errno == EWOULDBLOCK) ? End::kTimeout
                                                              : End::kReset;
            break;
        }
        if (end != nullptr) *end = how;
        return data;
    }
    // Closes with a reset instead of an orderly end.
    void Reset() {
        linger hard{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        Close();
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // Ends the sending side: the server sees end of stream.
    bool ShutdownSending() { return ::shutdown(fd_, SHUT_WR) == 0; }

private:
    int fd_;
};

class TcpServerTest : public ::testing::Test {
protected:
    void StartServer() {
        std::uint32_t error = 99;
        server_ = NTCPServerThread::Start(0, &handler_, error);
        ASSERT_NE(server_, nullptr) << "error " << error;
        EXPECT_EQ(error, 0u);
        ASSERT_NE(server_->Port(), 0);
    }
    void StopServer() {
        NTCPServerThread::Stop(server_);
        server_ = nullptr;
    }
    void TearDown() override { StopServer(); }

    ScriptedHandler handler_;
    NTCPServerThread* server_ = nullptr;
};

TEST_F(TcpServerTest, ReadsOverTheBufferSizeArriveInOrderInChunksOfAtMost10000) {
    StartServer();
    std::string sent(25000, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>('a' + i % 23);
    Client client(server_->Port());
    client.Send(sent);

    std::string received;
    for (int index = 0; received.size() < sent.size(); ++index) {
        ASSERT_TRUE(handler_.WaitFor('R', static_cast<std::size_t>(index) + 1))
            << received.size() << " bytes so far";
        const std::string chunk = handler_.Calls('R')[static_cast<std::size_t>(index)].data;
        EXPECT_LE(chunk.size(), 10000u);
        received += chunk;
    }
    EXPECT_GE(handler_.Calls('R').size(), 3u);
    EXPECT_EQ(received, sent);
    const auto accepts = handler_.Calls('A');
    ASSERT_EQ(accepts.size(), 1u);
    EXPECT_EQ(accepts[0].data, "127.0.0.1");
    for (const Call& call : handler_.Calls('R'))
        EXPECT_EQ(call.id, accepts[0].id);
}

TEST_F(TcpServerTest, RefusedConnectionIsClosedWithoutAByteAndWithoutDisconnect) {
    handler_.admit = [](int index) { return index == 0; };
    handler_.receive = Answer("echo");
    StartServer();
    Client first(server_->Port());
    ASSERT_TRUE(handler_.WaitFor('A', 1));
    Client second(server_->Port());
    Client::End end;
    EXPECT_EQ(second.Read(0, &end), "");
    EXPECT_EQ(end, Client::End::kEof);

    first.Send("x");
    EXPECT_EQ(first.Read(4), "echo");
    first.Close();
    ASSERT_TRUE(handler_.WaitFor('D', 1));
    StopServer();

    const auto accepts = handler_.Calls('A');
    ASSERT_EQ(accepts.size(), 2u);
    const auto disconnects = handler_.Calls('D');
    ASSERT_EQ(disconnects.size(), 1u);
    EXPECT_EQ(disconnects[0].id, accepts[0].id);
    for (const Call& call : handler_.Calls('R'))
        EXPECT_EQ(call.id, accepts[0].id);
}

TEST_F(TcpServerTest, StopWithAClientConnectedClosesItWithoutDisconnect) {
    handler_.receive = Answer("pong");
    StartServer();
    Client client(server_->Port());
    client.Send("ping");
    ASSERT_EQ(client.Read(4), "pong");
    StopServer();

    Client::End end;
    EXPECT_EQ(client.Read(0, &end), "");
    EXPECT_TRUE(end == Client::End::kEof || end == Client::End::kReset);
    EXPECT_TRUE(handler_.Calls('D').empty());
    EXPECT_EQ(handler_.Calls('T').size(), 1u);
}

// The handler's own thread hands replies over until the server asks it to stop: Stop does that
// before the event loop that the replies are posted to goes.
TEST_F(TcpServerTest, StopWaitsUntilTheHandlerHasLetGoOfTheReplyPath) {
    std::atomic<bool> stopping{false};
    std::thread replier;
    std::atomic<int> handedAfterStop{0};
    handler_.receive = [&](int index, ClientId id, ITCPReplies& replies) {
        if (index == 0) {
            replier = std::thread([&replies, &stopping, id] {
                while (!stopping)
                    replies.Reply(id, "r");
            });
        }
        return true;
    };
    handler_.stop = [&] {
        stopping = true;
        replier.join();
    };
    StartServer();
    Client client(server_->Port());
    client.Send("go");
    EXPECT_EQ(client.Read(100), std::string(100, 'r'));
    StopServer();
    EXPECT_FALSE(replier.joinable());
}

// What one connection sees for the replies a script gives. Each message is sent once the
// previous one has reached the handler, so every message is a read of its own.
struct ReplyCase {
    const char* name;
    ScriptedHandler::ReceiveScript script;
    int messages;
    std::string expected;  // every byte the client gets
    bool serverCloses;     // else the client closes after reading expected
};

void PrintTo(const ReplyCase& row, std::ostream* out) {
    *out << row.name;
}

class ReplyTest : public TcpServerTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyTest, ClientGetsExactlyTheRepliesHandedOverAndOneDisconnect) {
    const ReplyCase& row = GetParam();
    handler_.receive = row.script;
    StartServer();
    Client client(server_->Port());
    for (int i = 0; i < row.messages; ++i) {
        client.Send("m" + std::to_string(i));
        ASSERT_TRUE(handler_.WaitFor('R', static_cast<std::size_t>(i) + 1));
    }
    if (row.serverCloses) {
        Client::End end;
        EXPECT_EQ(client.Read(0, &end), row.expected);
        EXPECT_EQ(end, Client::End::kEof);
    } else {
        EXPECT_EQ(client.Read(row.expected.size()), row.expected);
        client.Close();
    }
    ASSERT_TRUE(handler_.WaitFor('D', 1));
    StopServer();

    const auto calls = handler_.Calls();
    ASSERT_EQ(calls.size(), 1u + static_cast<std::size_t>(row.messages) + 2u);
    EXPECT_EQ(calls[calls.size() - 2].kind, 'D');
    EXPECT_EQ(calls[calls.size() - 2].id, calls.front().id);
}

// Hands replies[index] over for each read; keep false ends the connection afterwards.
ScriptedHandler::ReceiveScript Replies(std::vector<std::string> replies, bool keep = true) {
    return [=](int index, ClientId id, ITCPReplies& path) {
        path.Reply(id, replies[static_cast<std::size_t>(index)]);
        return keep;
    };
}

// Ends the connection through the reply path after handing the reply over.
ScriptedHandler::ReceiveScript ReplyThenEnd(std::string reply) {
    return [=](int, ClientId id, ITCPReplies& path) {
        path.Reply(id, reply);
        path.End(id);
        return true;
    };
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyTest,
    ::testing::Values(
        ReplyCase{"WrittenByteForByte", Replies({"R0\r\n", "R1\r"}), 2, "R0\r\nR1\r", false},
        ReplyCase{"EmptyReplySendsNothingAndReadsOn", Replies({"", "late"}), 2, "late", false},
        ReplyCase{"ReceiveFalseDropsTheReplyNotYetWritten", Replies({"X"}, false), 1, "", true},
        ReplyCase{"EndFromTheReplyPathEndsTheConnection", ReplyThenEnd(""), 1, "", true}),
    [](const ::testing::TestParamInfo<ReplyCase>& info) { return info.param.name; });

// The read stays outstanding while a reply is written, so a message (and the client's end)
// is seen while a reply the client does not read yet is still on its way.
TEST_F(TcpServerTest, ReadsGoOnWhileAReplyIsWrittenAndRepliesKeepTheirOrder) {
    // Far more than the socket buffers hold (the client's is held small), so the write can
    // complete only once the client has read most of it.
    const std::string big(32 * 1024 * 1024, 'b');
    handler_.receive = [&](int index, ClientId id, ITCPReplies& replies) {
        replies.Reply(id, index == 0 ? big : "after");
        return true;
    };
    StartServer();
    Client client(server_->Port(), 256 * 1024);
    client.Send("1");
    ASSERT_TRUE(handler_.WaitFor('R', 1));
    client.Send("2");
    ASSERT_TRUE(handler_.WaitFor('R', 2)) << "no read while the reply was unwritten";
    const std::string received = client.Read(big.size() + 5);
    EXPECT_TRUE(received == big + "after") << received.size() << " bytes";
}

TEST_F(TcpServerTest, RepliesFromAnotherThreadAreWrittenInTheOrderHandedOver) {
    std::thread replier;
    std::string expected;
    for (int i = 0; i < 2000; ++i)
        expected += std::to_string(i) + "\r";
    handler_.receive = [&](int index, ClientId id, ITCPReplies& replies) {
        if (index == 0) {
            replier = std::thread([&replies, id] {
                for (int i = 0; i < 2000; ++i)
                    replies.Reply(id, std::to_string(i) + "\r");
            });
        }
        return true;
    };
    StartServer();
    Client client(server_->Port());
    client.Send("go");
    // The client keeps sending meanwhile.
    for (int i = 0; i < 50; ++i)
        client.Send("more");
    EXPECT_EQ(client.Read(expected.size()), expected);
    replier.join();
}

TEST_F(TcpServerTest, AClientThatEndsItsSideIsReportedGoneAtOnceWithItsReplyUnwritten) {
    const std::string big(32 * 1024 * 1024, 'b');
    handler_.receive = [&](int index, ClientId id, ITCPReplies& replies) {
        if (index == 0) replies.Reply(id, big);
        return true;
    };
    StartServer();
    Client first(server_->Port(), 64 * 1024);
    first.Send("1");
    ASSERT_TRUE(handler_.WaitFor('R', 1));
    ASSERT_TRUE(first.ShutdownSending());
    ASSERT_TRUE(handler_.WaitFor('D', 1));
    const auto disconnects = handler_.Calls('D');
    EXPECT_EQ(disconnects[0].id, handler_.Calls('A')[0].id);

    // Its place is free at once: the next one is asked about without any wait.
    Client second(server_->Port());
    EXPECT_TRUE(handler_.WaitFor('A', 2));
    // What had not been written is dropped with the connection.
    Client::End end;
    EXPECT_LT(first.Read(0, &end).size(), big.size());
}

TEST_F(TcpServerTest, AClientThatDoesNotReadItsRepliesIsEnded) {
    std::thread replier;
    std::atomic<bool> stop{false};
    handler_.receive = [&](int index, ClientId id, ITCPReplies& replies) {
        if (index == 0) {
            // 64 MiB, far more than the sockets' buffers and the unwritten bound hold.
            replier = std::thread([&replies, &stop, id] {
                const std::string reply(1000, 'r');
                for (int i = 0; i < 64 * 1024 && !stop; ++i)
                    replies.Reply(id, reply);
            });
        }
        return true;
    };
    handler_.stop = [&] {
        stop = true;
        if (replier.joinable()) replier.join();
    };
    StartServer();
    Client client(server_->Port(), 64 * 1024);
    client.Send("go");
    EXPECT_TRUE(handler_.WaitFor('D', 1, 60s));
    Client::End end;
    EXPECT_LT(client.Read(0, &end).size(), 64u * 1024 * 1000);
    StopServer();  // joins the replier while it is still in scope
}

TEST_F(TcpServerTest, PortHeldByAnotherSocketFailsStartWithAddressInUse) {
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);

    std::uint32_t error = 0;
    NTCPServerThread* server = NTCPServerThread::Start(ntohs(address.sin_port), &handler_, error);
    EXPECT_EQ(server, nullptr);
    EXPECT_EQ(error, static_cast<std::uint32_t>(EADDRINUSE));
    NTCPServerThread::Stop(server);
    ::close(holder);
}

TEST_F(TcpServerTest, PeerResetBeforeItsAddressIsReadDoesNotStopAccepting) {
    std::mutex gate;
    std::condition_variable opened;
    bool inAccept = false;
    bool release = false;
    handler_.admit = [&](int index) {
        if (index == 0) {
            // Hold the server thread so the next peer resets while still in the backlog.
            std::unique_lock<std::mutex> lock(gate);
            inAccept = true;
            opened.notify_all();
            opened.wait_for(lock, kWait, [&] { return release; });
        }
        return true;
    };
    handler_.receive = Answer("ok");
    StartServer();
    Client first(server_->Port());
    {
        std::unique_lock<std::mutex> lock(gate);
        ASSERT_TRUE(opened.wait_for(lock, kWait, [&] { return inAccept; }));
    }
    Client(server_->Port()).Reset();
    {
        std::lock_guard<std::mutex> lock(gate);
        release = true;
        opened.notify_all();
    }

    Client next(server_->Port());
    next.Send("hello");
    EXPECT_EQ(next.Read(2), "ok");
    for (const Call& call : handler_.Calls('A'))
        EXPECT_EQ(call.data, "127.0.0.1");
}

TEST_F(TcpServerTest, AcceptingResumesAfterRunningOutOfDescriptors) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "UBSan's pointer checks open a pipe, which fails with no descriptor left";
#endif
    StartServer();
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit saved = limit;
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_cur, 256);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    std::vector<int> fillers;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;)
        fillers.push_back(fd);
    ASSERT_EQ(errno, EMFILE);
    ASSERT_FALSE(fillers.empty());
    // One descriptor for the client; the server's accept then has none.
    ::close(fillers.back());
    fillers.pop_back();
    Client client(server_->Port());
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(handler_.Calls('A').empty());

    for (int fd : fillers)
        ::close(fd);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_TRUE(handler_.WaitFor('A', 1)) << "accepting stopped after EMFILE";
}

TEST_F(TcpServerTest, HandlerExceptionEndsTheThreadWithALineAndStopStillReturns) {
    handler_.receive = [](int, ClientId, ITCPReplies&) -> bool {
        throw std::runtime_error("scripted failure");
    };
    StartServer();
    testing::internal::CaptureStderr();
    Client client(server_->Port());
    EXPECT_FALSE(server_->Ended());
    client.Send("boom");
    ASSERT_TRUE(handler_.WaitFor('R', 1));
    // Once the thread has ended the listening socket is closed and connecting fails.
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    bool refused = false;
    while (!refused && std::chrono::steady_clock::now() < deadline) {
        try {
            Client probe(server_->Port());
            std::this_thread::sleep_for(20ms);
        } catch (const std::runtime_error&) {
            refused = true;
        }
    }
    EXPECT_TRUE(refused);
    // The program watches for this to end itself.
    while (!server_->Ended() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(server_->Ended());
    StopServer();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "TCP server thread ended: scripted failure\n");
    EXPECT_TRUE(handler_.Calls('D').empty());
}

// How a client leaves before the next one connects at once.
struct ReconnectCase {
    const char* name;
    bool reset;               // a reset instead of an orderly close
    const char* lastMessage;  // sent just before leaving, its reply never read; null: none
};

void PrintTo(const ReconnectCase& c, std::ostream* out) {
    *out << c.name;
}

class Reconnect : public ::testing::TestWithParam<ReconnectCase> {
protected:
    void SetUp() override {
        SetConsoleSink([this](const char* text, std::size_t size) {
            if (std::string(text, size).rfind("Already connected.", 0) == 0) ++denied_;
        });
    }
    void TearDown() override {
        NTCPServerThread::Stop(server_);
        SetConsoleSink(nullptr);
    }

    // The client protocol's one-client rule, with a processor that answers at once.
    NTCPRecvHandler handler_{
        [](std::string message, std::string& reply, std::chrono::steady_clock::time_point) {
            reply = "A(" + message + ")";
            return true;
        }};
    NTCPServerThread* server_ = nullptr;
    std::atomic<int> denied_{0};
};

TEST_P(Reconnect, NoneOfAThousandQuickReconnectsIsRefused) {
    const ReconnectCase& c = GetParam();
    std::uint32_t error = 0;
    server_ = NTCPServerThread::Start(0, &handler_, error);
    ASSERT_NE(server_, nullptr) << error;

    int refused = 0;
    for (int cycle = 0; cycle < 1000; ++cycle) {
        Client client(server_->Port());
        client.Send("V\r");
        // A refused connection ends without a byte.
        if (client.Read(5) != "A(V)\r") {
            ++refused;
            continue;
        }
        if (c.lastMessage != nullptr) client.Send(c.lastMessage);
        if (c.reset) {
            client.Reset();
        } else {
            client.Close();
        }
    }
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(denied_.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Leaving, Reconnect,
    ::testing::Values(ReconnectCase{"Close", false, nullptr}, ReconnectCase{"Reset", true, nullptr},
                      ReconnectCase{"CloseWithAMessageUnanswered", false, "K\r"}),
    [](const ::testing::TestParamInfo<ReconnectCase>& info) { return info.param.name; });

struct ListenCase {
    const char* listen;
    const char* reachable;
    const char* unreachable;
};

void PrintTo(const ListenCase& c, std::ostream* out) {
    *out << c.listen;
}

class ListenAddressTest : public ::testing::TestWithParam<ListenCase> {};

TEST_P(ListenAddressTest, OnlyTheGivenAddressTakesConnections) {
    const ListenCase& c = GetParam();
    boost::asio::ip::address address;
    ASSERT_TRUE(ParseListenAddress(c.listen, address)) << c.listen;
    ScriptedHandler handler;
    std::uint32_t error = 0;
    NTCPServerThread* server = NTCPServerThread::Start(0, &handler, error, address);
    if (server == nullptr && error == EADDRNOTAVAIL) GTEST_SKIP() << c.listen << " is not here";
    ASSERT_NE(server, nullptr) << error;
    EXPECT_TRUE(CanConnect(c.reachable, server->Port()));
    EXPECT_FALSE(CanConnect(c.unreachable, server->Port()));
    NTCPServerThread::Stop(server);
}

// 127.0.0.2 is as much this machine as 127.0.0.1: every address of 127/8 is.
INSTANTIATE_TEST_SUITE_P(Addresses, ListenAddressTest,
                         ::testing::Values(ListenCase{"0.0.0.0", "127.0.0.2", "::1"},
                                           ListenCase{"127.0.0.1", "127.0.0.1", "127.0.0.2"},
                                           ListenCase{"localhost", "127.0.0.1", "127.0.0.2"},
                                           ListenCase{"::1", "::1", "127.0.0.1"}));

TEST(ParseListenAddressTest, TakesLiteralsAndLocalhostOnly) {
    boost::asio::ip::address address;
    EXPECT_TRUE(ParseListenAddress("192.168.1.5", address));
    EXPECT_EQ(address.to_string(), "192.168.1.5");
    EXPECT_TRUE(ParseListenAddress("fe80::1", address));
    EXPECT_TRUE(address.is_v6());
    EXPECT_TRUE(ParseListenAddress("localhost", address));
    EXPECT_EQ(address.to_string(), "127.0.0.1");
    for (const char* bad : {"", "example.org", "192.168.1", "192.168.1.256", "127.0.0.1:11009"})
        EXPECT_FALSE(ParseListenAddress(bad, address)) << bad;
}

}  // namespace
