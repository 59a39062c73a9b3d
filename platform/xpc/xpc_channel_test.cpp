#include "platform/launchd/socket_activation.h"
#include "platform/xpc/xpc_listener.h"
#include "platform/xpc/xpc_service_connection.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <future>
#include <latch>

namespace korvane::xpc {
namespace {

using namespace std::chrono_literals;

const XpcInterface kInterface{{{"echo:reply:", true}, {"silent", false}, {"twice", false}, {"wait:reply:", true}}};

// Echoes its argument; "silent" never replies, "twice" replies twice, "wait:reply:" blocks
// until the test releases it.
class TestService : public XpcExportedObject {
public:
    void handleCall(std::string_view selector, std::optional<Data> argument, XpcReply reply) override {
        calls.fetch_add(1);
        if (selector == "echo:reply:") {
            reply(std::move(argument));
        } else if (selector == "twice") {
            reply(Data{1});
            reply(Data{2});
        } else if (selector == "wait:reply:") {
            entered.count_down();
            release.wait();
            reply(std::move(argument));
        }
    }
    std::atomic<int> calls{0};
    std::latch entered{1};
    std::latch release{1};
};

class TestDelegate : public XpcListenerDelegate {
public:
    explicit TestDelegate(std::shared_ptr<TestService> service) : service_(std::move(service)) {}
    bool shouldAcceptNewConnection(XpcListener&, XpcConnection& connection) override {
        seenPid = connection.processIdentifier();
        hadToken = connection.auditToken().has_value() && connection.auditToken()->pidfd >= 0;
        if (!accept) return false;
        connection.setExportedInterface(kInterface);
        connection.setExportedObject(service_);
        connection.setInvalidationHandler([this] { invalidations.fetch_add(1); });
        connection.resume();
        return true;
    }
    std::atomic<bool> accept{true};
    std::atomic<pid_t> seenPid{-1};
    std::atomic<bool> hadToken{false};
    std::atomic<int> invalidations{0};

private:
    std::shared_ptr<TestService> service_;
};

class XpcChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("xpc-test-" + std::to_string(getpid()) + "-" +
                                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        path_ = dir_ / "service.sock";
        startListener();
    }
    void TearDown() override {
        listener_.reset();
        std::filesystem::remove_all(dir_);
    }
    void startListener() {
        listener_ = std::make_unique<XpcListener>(launchd::bindListenSocket(path_), "com.example.test");
        listener_->setDelegate(&delegate_);
        listener_->setFrameStallTimeout(300ms);
        listener_->resume();
    }
    std::shared_ptr<XpcServiceConnection> connect() {
        auto connection = XpcServiceConnection::create("com.example.test", path_);
        connection->resume();
        return connection;
    }
    // A raw socket for writing whatever bytes a test needs.
    int rawSocket() {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path_.c_str());
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        return fd;
    }
    static std::optional<Data> replyOf(const XpcServiceConnection::SyncResult& result) {
        EXPECT_TRUE(std::holds_alternative<std::optional<Data>>(result));
        return std::holds_alternative<std::optional<Data>>(result) ? std::get<0>(result) : std::nullopt;
    }
    bool waitFor(const std::function<bool()>& condition) {
        for (auto deadline = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < deadline;) {
            if (condition()) return true;
            std::this_thread::sleep_for(10ms);
        }
        return condition();
    }

    std::filesystem::path dir_;
    std::filesystem::path path_;
    std::shared_ptr<TestService> service_ = std::make_shared<TestService>();
    TestDelegate delegate_{service_};
    std::unique_ptr<XpcListener> listener_;
};

TEST_F(XpcChannelTest, RepliesCarryTheBytesUnchangedAndInOrder) {
    auto connection = connect();
    std::mutex lock;
    std::vector<Data> replies;
    std::promise<void> done;
    constexpr int kCalls = 50;
    for (int i = 0; i < kCalls; ++i) {
        Data payload = {0, static_cast<std::uint8_t>(i), 0xFF, 0};
        connection->send("echo:reply:", payload,
                         [&, i](std::optional<Data> reply) {
                             std::lock_guard guard(lock);
                             replies.push_back(reply.value_or(Data{}));
                             if (i == kCalls - 1) done.set_value();
                         },
                         [](XpcTransportError) { ADD_FAILURE() << "transport error"; });
    }
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    ASSERT_EQ(replies.size(), std::size_t{kCalls});
    for (int i = 0; i < kCalls; ++i) EXPECT_EQ(replies[i], (Data{0, static_cast<std::uint8_t>(i), 0xFF, 0}));
    EXPECT_EQ(delegate_.seenPid.load(), getpid());
    EXPECT_TRUE(delegate_.hadToken.load());
}

TEST_F(XpcChannelTest, EveryCallGetsExactlyOneReply) {
    auto connection = connect();
    EXPECT_EQ(replyOf(connection->sendSync("silent", std::nullopt, 5s)), std::nullopt);
    EXPECT_EQ(replyOf(connection->sendSync("twice", std::nullopt, 5s)), Data{1});
    // The second reply of "twice" must not be taken for the answer to this call.
    EXPECT_EQ(replyOf(connection->sendSync("echo:reply:", Data{42}, 5s)), Data{42});
    // An argument-taking selector called without one gets empty bytes.
    EXPECT_EQ(replyOf(connection->sendSync("echo:reply:", std::nullopt, 5s)), Data{});
}

TEST_F(XpcChannelTest, RefusedPeerSeesAnInvalidatedConnection) {
    delegate_.accept = false;
    auto connection = connect();
    std::atomic<int> invalidations{0};
    connection->setInvalidationHandler([&] { invalidations.fetch_add(1); });
    const auto first = connection->sendSync("echo:reply:", Data{1}, 5s);
    ASSERT_TRUE(std::holds_alternative<XpcTransportError>(first));
    EXPECT_EQ(std::get<XpcTransportError>(first), XpcTransportError::connectionInvalid);
    const auto second = connection->sendSync("echo:reply:", Data{1}, 5s);
    EXPECT_EQ(std::get<XpcTransportError>(second), XpcTransportError::connectionInvalid);
    EXPECT_EQ(invalidations.load(), 1);
    EXPECT_EQ(service_->calls.load(), 0);
}

TEST_F(XpcChannelTest, ServiceGoingAwayInterruptsAndTheNextCallReconnects) {
    // A hand-driven service on its own socket, so the test decides when it goes away.
    listener_.reset();
    std::filesystem::remove(path_);
    const int listening = launchd::bindListenSocket(path_);
    auto connection = connect();
    std::atomic<int> interruptions{0};
    std::atomic<int> invalidations{0};
    connection->setInterruptionHandler([&] { interruptions.fetch_add(1); });
    connection->setInvalidationHandler([&] { invalidations.fetch_add(1); });

    std::promise<XpcTransportError> failed;
    connection->send("echo:reply:", Data{1}, [](std::optional<Data>) { ADD_FAILURE() << "unexpected reply"; },
                     [&](XpcTransportError error) { failed.set_value(error); });
    // The service takes the call and ends without answering.
    int served = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(served, 0);
    FrameReader reader;
    std::uint8_t buffer[256];
    std::optional<Frame> call;
    while (!call) {
        const ssize_t n = ::recv(served, buffer, sizeof(buffer), 0);
        ASSERT_GT(n, 0);
        reader.feed(std::span(buffer, static_cast<std::size_t>(n)));
        call = reader.next();
    }
    ::close(served);
    auto error = failed.get_future();
    ASSERT_EQ(error.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(error.get(), XpcTransportError::connectionInterrupted);
    EXPECT_TRUE(waitFor([&] { return interruptions.load() == 1; }));

    // The next call connects again and is answered.
    std::promise<std::optional<Data>> answered;
    connection->send("echo:reply:", Data{2}, [&](std::optional<Data> d) { answered.set_value(std::move(d)); },
                     [](XpcTransportError) { ADD_FAILURE() << "transport error"; });
    served = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(served, 0);
    FrameReader second;
    call.reset();
    while (!call) {
        const ssize_t n = ::recv(served, buffer, sizeof(buffer), 0);
        ASSERT_GT(n, 0);
        second.feed(std::span(buffer, static_cast<std::size_t>(n)));
        call = second.next();
    }
    EXPECT_EQ(call->selector, "echo:reply:");
    ASSERT_TRUE(writeAll(served, encodeFrame({FrameType::reply, call->callId, "", call->data})));
    auto reply = answered.get_future();
    ASSERT_EQ(reply.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reply.get(), Data{2});
    EXPECT_EQ(invalidations.load(), 0);
    connection.reset();
    ::close(served);
    ::close(listening);
}

TEST_F(XpcChannelTest, UnreachableServiceInvalidates) {
    auto connection = XpcServiceConnection::create("com.example.none", dir_ / "missing.sock");
    std::atomic<int> invalidations{0};
    connection->setInvalidationHandler([&] { invalidations.fetch_add(1); });
    connection->resume();
    const auto result = connection->sendSync("echo:reply:", Data{1}, 5s);
    EXPECT_EQ(std::get<XpcTransportError>(result), XpcTransportError::connectionInvalid);
    EXPECT_EQ(invalidations.load(), 1);
    EXPECT_EQ(connection->describe(XpcTransportError::connectionInvalid),
              "The connection to service named com.example.none was invalidated.");
}

TEST_F(XpcChannelTest, BadFramesDropOnlyTheirOwnConnection) {
    auto healthy = connect();
    ASSERT_EQ(replyOf(healthy->sendSync("echo:reply:", Data{1}, 5s)), Data{1});

    struct Case { const char* name; Data bytes; };
    const Frame unknown{FrameType::call, 1, "noSuchSelector", std::nullopt};
    const Frame reply{FrameType::reply, 1, "", std::nullopt};
    const Case cases[] = {
        {"over the size limit", {0x7F, 0xFF, 0xFF, 0xFF}},
        {"garbage body", {0, 0, 0, 3, 0xDE, 0xAD, 0xBE}},
        {"unknown selector", encodeFrame(unknown)},
        {"a reply sent to the service", encodeFrame(reply)},
        {"half a frame, then a stall", {0, 0, 0, 40, 1, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int fd = rawSocket();
        ASSERT_TRUE(writeAll(fd, c.bytes));
        // The service closes this connection (the stall after its time-out) ...
        timeval timeout{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        std::uint8_t byte;
        EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);
        ::close(fd);
        // ... and the other client is served all along.
        EXPECT_EQ(replyOf(healthy->sendSync("echo:reply:", Data{2}, 5s)), Data{2});
    }
    EXPECT_TRUE(waitFor([&] { return listener_->activeConnections() == 1; }));
}

TEST_F(XpcChannelTest, ConnectionsAreServedInParallel) {
    auto blocked = connect();
    std::promise<std::optional<Data>> blockedReply;
    blocked->send("wait:reply:", Data{7}, [&](std::optional<Data> d) { blockedReply.set_value(std::move(d)); },
                  [](XpcTransportError) {});
    service_->entered.wait();
    auto other = connect();
    EXPECT_EQ(replyOf(other->sendSync("echo:reply:", Data{8}, 5s)), Data{8});
    service_->release.count_down();
    auto reply = blockedReply.get_future();
    ASSERT_EQ(reply.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reply.get(), Data{7});
}

TEST_F(XpcChannelTest, TimedOutCallLeavesTheConnectionUsableAndAsyncRepliesStillArrive) {
    auto connection = connect();
    std::promise<std::optional<Data>> slowReply;
    connection->send("wait:reply:", Data{5}, [&](std::optional<Data> d) { slowReply.set_value(std::move(d)); },
                     [](XpcTransportError) { ADD_FAILURE() << "transport error"; });
    service_->entered.wait();
    // Queued behind the blocked call on the service's side: it times out here.
    const auto late = connection->sendSync("echo:reply:", Data{6}, 100ms);
    ASSERT_TRUE(std::holds_alternative<XpcTransportError>(late));
    EXPECT_EQ(std::get<XpcTransportError>(late), XpcTransportError::timedOut);
    service_->release.count_down();
    auto reply = slowReply.get_future();
    ASSERT_EQ(reply.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reply.get(), Data{5});
    // The late reply to the timed-out call is dropped, not taken for this one.
    EXPECT_EQ(replyOf(connection->sendSync("echo:reply:", Data{7}, 5s)), Data{7});
}

TEST_F(XpcChannelTest, ManyThreadsShareOneConnection) {
    auto connection = connect();
    constexpr int kThreads = 8;
    constexpr int kCalls = 200;
    std::atomic<int> wrong{0};
    std::atomic<int> asyncDone{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                const Data payload = {static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(i)};
                if (t % 2 == 0) {
                    if (replyOf(connection->sendSync("echo:reply:", payload, 10s)) != payload) wrong.fetch_add(1);
                } else {
                    connection->send("echo:reply:", payload,
                                     [&, payload](std::optional<Data> d) {
                                         if (d != payload) wrong.fetch_add(1);
                                         asyncDone.fetch_add(1);
                                     },
                                     [&](XpcTransportError) { wrong.fetch_add(1); });
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_TRUE(waitFor([&] { return asyncDone.load() == kThreads / 2 * kCalls; }));
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(XpcChannelTest, ClosedClientIsReportedAndItsDescriptorsFreed) {
    {
        auto connection = connect();
        ASSERT_EQ(replyOf(connection->sendSync("echo:reply:", Data{1}, 5s)), Data{1});
        EXPECT_EQ(listener_->activeConnections(), 1u);
    }
    EXPECT_TRUE(waitFor([&] { return delegate_.invalidations.load() == 1; }));
    EXPECT_TRUE(waitFor([&] { return listener_->activeConnections() == 0; }));
}

} // namespace
} // namespace korvane::xpc
