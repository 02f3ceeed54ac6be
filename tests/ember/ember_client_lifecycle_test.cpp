// The client machinery both Ember+ clients share: back-off, health checks, stops in every
// state, reconnection, and the worker that outlives its client's stop.
#include "ember/ember_gpio_client.hpp"
#include "platform/tcp_socket.hpp"
#include "platform/wake_pipe.hpp"

#include "ember_client_test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

namespace pellan {
namespace {

using namespace test;
using ::testing::ElementsAre;

/// The pauses a supervisor announces, with a wait for the n-th.
class Pauses {
public:
    EmberSupervisorProbe probe() {
        EmberSupervisorProbe probe;
        probe.pausing = [this](std::chrono::milliseconds pause) {
            std::lock_guard lock(mutex_);
            pauses_.push_back(pause.count());
            changed_.notify_all();
        };
        probe.healthy = [this] {
            std::lock_guard lock(mutex_);
            ++healthy_;
            pausesAtHealthy_ = pauses_.size();
            changed_.notify_all();
        };
        return probe;
    }
    bool waitForPauses(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return pauses_.size() >= count; });
    }
    bool waitForHealthy() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return healthy_ > 0; });
    }
    std::vector<long long> pauses() {
        std::lock_guard lock(mutex_);
        return pauses_;
    }
    std::size_t pausesAtHealthy() {
        std::lock_guard lock(mutex_);
        return pausesAtHealthy_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<long long> pauses_;
    int healthy_ = 0;
    std::size_t pausesAtHealthy_ = 0;
};

EmberClientOptions backoffOptions(const std::shared_ptr<Lines>& lines, Pauses& pauses) {
    EmberClientOptions options = fastOptions(lines);
    // The system's steps (5, 10, 20, 40, 60 s) scaled down a thousand times.
    options.timings.healthCheck = 2ms;
    options.timings.backoffInitial = 5ms;
    options.timings.backoffMax = 60ms;
    options.timings.backoffMin = 1ms;
    options.probe = pauses.probe();
    return options;
}

TEST(EmberClientLifecycleTest, BacksOffInDoublingStepsUpToTheMaximumWhileRefused) {
    auto lines = std::make_shared<Lines>();
    Pauses pauses;
    const int port = refusedPort();
    EmberGpioClient client("127.0.0.1", port, backoffOptions(lines, pauses));
    client.start();
    ASSERT_TRUE(pauses.waitForPauses(7));
    client.stop();

    const std::vector<long long> seen = pauses.pauses();
    EXPECT_THAT(std::vector<long long>(seen.begin(), seen.begin() + 7),
                ElementsAre(5, 10, 20, 40, 60, 60, 60));
    // An attempt discarded before its connect began prints nothing, so only some say so.
    const std::string refused =
        "[EMBER][GPIO][NET] connect() to 127.0.0.1:" + std::to_string(port) + " failed";
    EXPECT_GE(lines->count(refused), 1U);
    EXPECT_EQ(lines->count("connect()"), lines->count(refused));
    EXPECT_FALSE(client.connected());
}

TEST(EmberClientLifecycleTest, StartsTheBackOffAgainAfterAHealthyCheck) {
    auto lines = std::make_shared<Lines>();
    Pauses pauses;
    const int port = refusedPort();
    EmberClientOptions options = backoffOptions(lines, pauses);
    // Long enough for a loopback connect to complete before the check looks at it.
    options.timings.healthCheck = 50ms;
    EmberGpioClient client("127.0.0.1", port, options);
    client.start();
    ASSERT_TRUE(pauses.waitForPauses(3));  // 5, 10, 20: grown while refused.

    ScriptedProvider provider("127.0.0.1", port);
    ASSERT_TRUE(provider.listening());
    auto peer = provider.accept();
    ASSERT_NE(peer, nullptr);
    ASSERT_TRUE(pauses.waitForHealthy());
    const std::size_t before = pauses.pausesAtHealthy();
    peer->close();
    ASSERT_TRUE(pauses.waitForPauses(before + 1));
    client.stop();

    EXPECT_EQ(pauses.pauses().at(before), 5);
}

TEST(EmberClientLifecycleTest, StopEndsAConnectThatHangsWithoutWaitingForIt) {
    // A listener with a full accept queue drops further handshakes: connect() hangs.
    ScriptedProvider provider("127.0.0.1", 0, 0);
    ASSERT_TRUE(provider.listening());
    TcpSocket filler = TcpSocket::open();
    const WakePipe never;
    ASSERT_EQ(connectTcp(filler.handle(), "127.0.0.1", provider.port(), never, kWait), 0);

    auto lines = std::make_shared<Lines>();
    EmberClientOptions options = fastOptions(lines);
    options.timings.healthCheck = 30ms;
    options.timings.backoffInitial = 1000ms;  // Stay in the pause after the first discard.
    EmberGpioClient client("127.0.0.1", provider.port(), options);
    client.start();
    // Only a close interrupts the hanging connect within its 5 s limit: the supervisor's
    // discard at the first check does.
    ASSERT_TRUE(lines->waitFor("connect() to 127.0.0.1:" + std::to_string(provider.port())));
    auto stopped = std::async(std::launch::async, [&client] { client.stop(); });
    ASSERT_EQ(stopped.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(lines->count("stop timed out"), 0U);
}

TEST(EmberClientLifecycleTest, StopWhileTheWorkerWaitsForDataClosesTheConnectionAtOnce) {
    ScriptedProvider provider;
    auto lines = std::make_shared<Lines>();
    auto client =
        std::make_unique<EmberGpioClient>("127.0.0.1", provider.port(), fastOptions(lines));
    client->start();
    auto peer = provider.accept();
    ASSERT_NE(peer, nullptr);
    ASSERT_EQ(peer->readFrames(30).size(), 30U);  // Accepted and never answered.
    ASSERT_TRUE(client->connected());

    auto stopped = std::async(std::launch::async, [&client] {
        client->stop();
        client->stop();  // Idempotent.
    });
    ASSERT_EQ(stopped.wait_for(kWait), std::future_status::ready);
    EXPECT_TRUE(peer->waitForClose());
    EXPECT_FALSE(client->connected());
    EXPECT_EQ(client->writeGpio(1, "status", 1), -1);
    client.reset();
    EXPECT_EQ(lines->count("stop timed out"), 0U);
    EXPECT_EQ(lines->count("recv() error/closed"), 0U);

    EmberGpioClient neverStarted("127.0.0.1", provider.port(), fastOptions(lines));
    neverStarted.stop();
}

TEST(EmberClientLifecycleTest, ReconnectsAfterACloseInTheMiddleOfAMessageWithACleanReader) {
    ScriptedProvider provider;
    auto lines = std::make_shared<Lines>();
    auto reports = std::make_shared<Lines>();
    EmberGpioClient client("127.0.0.1", provider.port(), fastOptions(lines));
    client.setValueCallback(reportsInto(reports));
    client.start();

    auto first = provider.accept();
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first->readFrames(30).size(), 30U);
    using namespace build;
    const Bytes message = root({qualifiedParameter({1, 4, 1, 5, 3}, {field(2, boolean(true))})});
    const auto cut = static_cast<std::ptrdiff_t>(message.size() / 2);
    const Bytes head(message.begin(), message.begin() + cut);
    const Bytes tail(message.begin() + cut, message.end());
    const Bytes firstPackage = frame(head, 0x80);
    // The first package whole, then half of a frame, then the close.
    ASSERT_TRUE(first->send(
        build::cat({firstPackage, Bytes(firstPackage.begin(),
                                        firstPackage.begin() + static_cast<std::ptrdiff_t>(5))})));
    first->close();
    ASSERT_TRUE(
        lines->waitFor("[EMBER RX][GPIO] recv() error/closed, WSAGetLastError=0, stopping"));

    auto second = provider.accept();
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(second->readFrames(30).size(), 30U);
    // The last package of the old message means nothing to the new connection's reader.
    ASSERT_TRUE(
        second->send(build::cat({frame(tail, 0x40), valueFrame({1, 4, 1, 6, 3}, boolean(true))})));
    ASSERT_TRUE(reports->waitFor("gpio physical 6/status 1"));
    client.stop();
    EXPECT_THAT(reports->all(), ElementsAre("gpio physical 6/status 1"));
}

TEST(EmberClientLifecycleTest, WorkerLeftRunningAfterTheCloseWaitNeverReachesItsClient) {
    ScriptedProvider provider;
    // The sink holds the worker inside the codec's error report until the test lets it go.
    auto lines = std::make_shared<Lines>();
    auto reports = std::make_shared<Lines>();
    auto held = std::make_shared<std::promise<void>>();
    auto release = std::make_shared<std::promise<void>>();
    std::shared_future<void> released = release->get_future().share();
    EmberClientOptions options = fastOptions(lines);
    options.timings.closeWait = 100ms;
    options.diagnostics = [lines, held, released](const std::string& line) {
        lines->add(line);
        if (line.find("[EMBER][GPIO][LIB] ERROR 512") != std::string::npos) {
            held->set_value();
            released.wait_for(kWait);
        }
    };
    auto client = std::make_unique<EmberGpioClient>("127.0.0.1", provider.port(), options);
    client->setValueCallback(reportsInto(reports));
    client->start();
    auto peer = provider.accept();
    ASSERT_NE(peer, nullptr);
    ASSERT_EQ(peer->readFrames(30).size(), 30U);

    // One message: a parameter whose identifier begins with a digit (error 512), then a value
    // the worker would report once it goes on.
    using namespace build;
    ASSERT_TRUE(peer->send(frame(root(
        {qualifiedParameter({1, 4, 1, 2, 3}, {field(0, utf8("9lives")), field(2, boolean(true))}),
         qualifiedParameter({1, 4, 1, 8, 3}, {field(2, boolean(true))})}))));
    ASSERT_EQ(held->get_future().wait_for(kWait), std::future_status::ready);

    client->stop();
    EXPECT_EQ(lines->count("[EMBER][GPIO] stop timed out waiting for worker thread"), 1U);
    client.reset();
    ASSERT_GE(EmberConnection::workersRunning(), 1U);

    release->set_value();
    ASSERT_TRUE(EmberConnection::waitForAllWorkers(kWait));
    EXPECT_TRUE(reports->all().empty());
}

}  // namespace
}  // namespace pellan
