#include "platform/poll.hpp"
#include "platform/tcp_socket.hpp"
#include "platform/thread_name.hpp"
#include "platform/wake_pipe.hpp"

#include <gtest/gtest.h>

#include <pthread.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <thread>

namespace pellan {
namespace {

using namespace std::chrono_literals;
constexpr auto kWait = 10s;

/// A connected pair over loopback: the client's socket and the accepted one.
struct Pair {
    TcpListener listener = TcpListener::open("127.0.0.1", 0, 4);
    TcpSocket client = TcpSocket::open();
    TcpSocket server;
    WakePipe wake;

    bool connect() {
        if (!listener.valid() || !client.valid() ||
            connectTcp(client.handle(), "127.0.0.1", listener.port(), wake, kWait) != 0) {
            return false;
        }
        if (waitForSocket(listener.handle(), WaitFor::Reading, wake, kWait) != WaitResult::Ready) {
            return false;
        }
        server = listener.accept();
        return server.valid();
    }
};

TEST(SocketTest, BytesSentArriveAndAnOrderlyCloseIsSeen) {
    Pair pair;
    ASSERT_TRUE(pair.connect());
    const std::array<std::uint8_t, 3> sent{1, 2, 3};
    ASSERT_EQ(sendNow(pair.client.handle(), sent.data(), sent.size()), 3);
    ASSERT_EQ(waitForSocket(pair.server.handle(), WaitFor::Reading, pair.wake, kWait),
              WaitResult::Ready);
    std::array<std::uint8_t, 8> buffer{};
    const ReceiveResult got = receiveNow(pair.server.handle(), buffer.data(), buffer.size());
    ASSERT_EQ(got.status, ReceiveStatus::Received);
    ASSERT_EQ(got.bytes, 3U);
    EXPECT_EQ(buffer[2], 3);

    EXPECT_EQ(receiveNow(pair.server.handle(), buffer.data(), buffer.size()).status,
              ReceiveStatus::WouldBlock);
    pair.client.close();
    ASSERT_EQ(waitForSocket(pair.server.handle(), WaitFor::Reading, pair.wake, kWait),
              WaitResult::Ready);
    EXPECT_EQ(receiveNow(pair.server.handle(), buffer.data(), buffer.size()).status,
              ReceiveStatus::Closed);
}

TEST(SocketTest, ShutdownWakesAReaderOnAnotherThread) {
    Pair pair;
    ASSERT_TRUE(pair.connect());
    auto reader = std::async(std::launch::async, [&pair] {
        return waitForSocket(pair.client.handle(), WaitFor::Reading, pair.wake, kWait);
    });
    shutdownSocket(pair.client.handle());
    ASSERT_EQ(reader.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(reader.get(), WaitResult::Ready);
    std::array<std::uint8_t, 8> buffer{};
    EXPECT_EQ(receiveNow(pair.client.handle(), buffer.data(), buffer.size()).status,
              ReceiveStatus::Closed);
    EXPECT_EQ(sendNow(pair.client.handle(), buffer.data(), 1), -1);
}

TEST(SocketTest, ConnectRefusesWhatIsNoIpv4AddressAndPort) {
    const struct {
        const char* host;
        int port;
    } cases[] = {{"localhost", 80}, {"127.0.0.01", 80}, {"127.0.0.1", 0}, {"127.0.0.1", 65536}};
    const WakePipe wake;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.host) + ":" + std::to_string(c.port));
        TcpSocket socket = TcpSocket::open();
        EXPECT_EQ(connectTcp(socket.handle(), c.host, c.port, wake, kWait), EINVAL);
    }
    EXPECT_FALSE(TcpListener::open("127.0.0.256", 0, 1).valid());
}

TEST(SocketTest, ConnectToAPortWithoutListenerIsRefused) {
    int port = 0;
    {
        const TcpListener probe = TcpListener::open("127.0.0.1", 0, 1);
        ASSERT_TRUE(probe.valid());
        port = probe.port();
    }
    TcpSocket socket = TcpSocket::open();
    const WakePipe wake;
    EXPECT_EQ(connectTcp(socket.handle(), "127.0.0.1", port, wake, kWait), ECONNREFUSED);
}

TEST(WakePipeTest, SignalFromAnotherThreadEndsWaitsForGood) {
    Pair pair;
    ASSERT_TRUE(pair.connect());
    EXPECT_FALSE(pair.wake.signalled());
    auto waiter = std::async(std::launch::async, [&pair] {
        return waitForSocket(pair.client.handle(), WaitFor::Reading, pair.wake, kWait);
    });
    std::thread([&pair] { pair.wake.signal(); }).join();
    ASSERT_EQ(waiter.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(waiter.get(), WaitResult::Woken);
    // It stays set: later waits and sleeps end at once.
    EXPECT_TRUE(pair.wake.signalled());
    EXPECT_TRUE(sleepUnlessWoken(pair.wake, kWait));
    pair.wake.signal();
    EXPECT_EQ(waitForSocket(pair.client.handle(), WaitFor::Reading, pair.wake, kWait),
              WaitResult::Woken);
}

TEST(WakePipeTest, UnsignalledWaitsTimeOut) {
    Pair pair;
    ASSERT_TRUE(pair.connect());
    EXPECT_EQ(waitForSocket(pair.client.handle(), WaitFor::Reading, pair.wake, 1ms),
              WaitResult::TimedOut);
    EXPECT_FALSE(sleepUnlessWoken(pair.wake, 1ms));
    EXPECT_EQ(waitForSocket(pair.client.handle(), WaitFor::Writing, pair.wake, kWait),
              WaitResult::Ready);
}

TEST(ReadinessSetTest, ReportsOnlyTheReadyHandlesWithinItsLimit) {
    Pair first;
    Pair second;
    ASSERT_TRUE(first.connect());
    ASSERT_TRUE(second.connect());
    const std::uint8_t byte = 7;
    ASSERT_EQ(sendNow(second.client.handle(), &byte, 1), 1);

    ReadinessSet set(2);
    set.add(first.server.handle());
    set.add(first.server.handle());  // Once only.
    set.add(NativeHandle::Invalid);
    set.add(second.server.handle());
    set.add(first.client.handle());  // Beyond the limit.
    ASSERT_EQ(set.wait(kWait), 1);
    EXPECT_TRUE(set.ready(second.server.handle()));
    EXPECT_FALSE(set.ready(first.server.handle()));
    EXPECT_FALSE(set.ready(first.client.handle()));

    ReadinessSet idle(4);
    idle.add(first.server.handle());
    EXPECT_EQ(idle.wait(1ms), 0);
}

TEST(ThreadNameTest, NamesAreCutToTheKernelsLimit) {
    const struct {
        std::string given;
        std::string kept;
    } cases[] = {
        {"health-monitor", "health-monitor"},
        {"exactly-15-char", "exactly-15-char"},
        {"dnssd-netaudio-cmc-long", "dnssd-netaudio-"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.given);
        std::string seen;
        std::thread([&] {
            setCurrentThreadName(c.given);
            std::array<char, 64> name{};
            pthread_getname_np(pthread_self(), name.data(), name.size());
            seen = name.data();
        }).join();
        EXPECT_EQ(seen, c.kept);
    }
}

}  // namespace
}  // namespace pellan
