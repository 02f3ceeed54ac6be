// Device links for real: the Beast client against a WebSocket server on loopback addresses,
// one fault at a time, through the client and through the manager.
#include "links/device_websocket_client.hpp"

#include "devices/device_entry.hpp"
#include "devices/device_manager.hpp"
#include "links/device_websocket_fake_device.hpp"
#include "links/device_websocket_loop.hpp"
#include "links/device_websocket_manager.hpp"
#include "log/logger.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>

#include <atomic>
#include <future>
#include <pthread.h>

namespace pellan {
namespace {

using test::FakeDevice;
using test::kLinkTestDeadline;
using ::testing::AllOf;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::Ge;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using ::testing::StartsWith;
using namespace std::chrono_literals;

/// Options with the waits short enough for tests; the port is the fake device's.
DeviceWebSocketOptions quickOptions(std::uint16_t port) {
    DeviceWebSocketOptions options;
    options.port = port;
    options.firstReconnectWait = 10ms;
    options.maxReconnectWait = 80ms;
    options.handshakeTimeout = 5s;
    options.closeTimeout = 2s;
    return options;
}

/// Everything a link reported: callbacks, log records and connection events, with waits.
class Recorder {
public:
    void state(const std::string& hostname, const DeviceEntry& record) {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof(name));
        std::lock_guard lock(mutex_);
        afterStop_ = afterStop_ || stopped_;
        states_.emplace_back(hostname, record);
        threadNames_.emplace_back(name);
        changed_.notify_all();
    }
    void meter(const std::string&, const std::vector<std::int32_t>& levels) {
        std::lock_guard lock(mutex_);
        afterStop_ = afterStop_ || stopped_;
        meters_.push_back(levels);
        changed_.notify_all();
    }
    void event(const std::string& address, const DeviceLinkEvent& event) {
        std::lock_guard lock(mutex_);
        afterStop_ = afterStop_ || stopped_;
        events_.emplace_back(address, event);
        changed_.notify_all();
    }
    void log(const LogEntry& entry) {
        if (entry.category == "discovery") {
            return;  // The registry's own records of the devices a test adds.
        }
        std::lock_guard lock(mutex_);
        logs_.push_back(entry.category + ": " + entry.message);
        changed_.notify_all();
    }
    /// From now on, any callback or event is a fault.
    void markStopped() {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }

    bool waitStates(std::size_t count) {
        return waitFor([&] { return states_.size() >= count; });
    }
    bool waitMeters(std::size_t count) {
        return waitFor([&] { return meters_.size() >= count; });
    }
    bool waitLogs(std::size_t count) {
        return waitFor([&] { return logs_.size() >= count; });
    }
    /// Events of that kind, for every address together.
    bool waitEvents(DeviceLinkEvent::Kind kind, std::size_t count) {
        return waitFor([&] { return countEvents(kind, "") >= count; });
    }
    bool waitEventsFor(const std::string& address, DeviceLinkEvent::Kind kind, std::size_t count) {
        return waitFor([&] { return countEvents(kind, address) >= count; });
    }

    std::vector<std::pair<std::string, DeviceEntry>> states() {
        std::lock_guard lock(mutex_);
        return states_;
    }
    std::vector<std::vector<std::int32_t>> meters() {
        std::lock_guard lock(mutex_);
        return meters_;
    }
    std::vector<std::string> logs() {
        std::lock_guard lock(mutex_);
        return logs_;
    }
    std::vector<std::string> threadNames() {
        std::lock_guard lock(mutex_);
        return threadNames_;
    }
    std::vector<DeviceLinkEvent> events(DeviceLinkEvent::Kind kind) {
        std::lock_guard lock(mutex_);
        std::vector<DeviceLinkEvent> found;
        for (const auto& entry : events_) {
            if (entry.second.kind == kind) {
                found.push_back(entry.second);
            }
        }
        return found;
    }
    bool anythingAfterStop() {
        std::lock_guard lock(mutex_);
        return afterStop_;
    }

private:
    std::size_t countEvents(DeviceLinkEvent::Kind kind, const std::string& address) const {
        std::size_t count = 0;
        for (const auto& entry : events_) {
            count += entry.second.kind == kind && (address.empty() || entry.first == address);
        }
        return count;
    }
    bool waitFor(const std::function<bool()>& predicate) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kLinkTestDeadline, predicate);
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<std::string, DeviceEntry>> states_;      // Guarded by mutex_.
    std::vector<std::vector<std::int32_t>> meters_;                // Guarded by mutex_.
    std::vector<std::pair<std::string, DeviceLinkEvent>> events_;  // Guarded by mutex_.
    std::vector<std::string> logs_;                                // Guarded by mutex_.
    std::vector<std::string> threadNames_;                         // Guarded by mutex_.
    bool stopped_ = false;                                         // Guarded by mutex_.
    bool afterStop_ = false;                                       // Guarded by mutex_.
};

/// A registry, a logger whose records the recorder keeps, and a running link loop.
class LinkTest : public ::testing::Test {
protected:
    LinkTest() {
        logger_.setListener([this](const LogEntry& entry) { recorder_.log(entry); });
        loop_.start();
    }
    ~LinkTest() override {
        client_.reset();
        loop_.stop();
        logger_.setListener({});
    }

    void addDevice(const std::string& hostname, const std::string& address) {
        DeviceEntry entry;
        entry.hostname = hostname;
        entry.ip = address;
        devices_.addOrUpdateDevice(entry);
    }

    DeviceWebSocketOptions withEvents(DeviceWebSocketOptions options) {
        options.onLinkEvent = [this](const std::string& address, const DeviceLinkEvent& event) {
            recorder_.event(address, event);
        };
        return options;
    }

    /// A started link for the device `hostname` at 127.0.0.1 on `port`.
    DeviceWebSocketClient& link(const std::string& model, std::uint16_t port,
                                DeviceWebSocketOptions options = {}) {
        if (!options.port) {
            options = quickOptions(port);
        }
        addDevice(model + "-0A1B2C", "127.0.0.1");
        client_ = std::make_unique<DeviceWebSocketClient>(
            logger_, devices_, "127.0.0.1", model,
            [this](const std::string& host, const std::vector<std::int32_t>& levels) {
                recorder_.meter(host, levels);
            },
            [this](const std::string& host, const DeviceEntry& record) {
                recorder_.state(host, record);
            },
            loop_, withEvents(options));
        client_->start();
        return *client_;
    }

    /// Blocks until every handler posted to the loop so far has run.
    void drainLoop() {
        std::promise<void> done;
        boost::asio::post(loop_.context(), [&] { done.set_value(); });
        ASSERT_EQ(done.get_future().wait_for(kLinkTestDeadline), std::future_status::ready);
    }

    Recorder recorder_;
    Logger logger_;
    DeviceManager devices_{logger_};
    DeviceLinkLoop loop_{logger_};
    std::unique_ptr<DeviceWebSocketClient> client_;
};

constexpr const char* kPanelMessage = R"({"ins":[{"id":"22","tbs":"A"}]})";

std::string meterMessage(int level) {
    return R"({"iM":[{"l":"22","v":)" + std::to_string(level) + "}]}";
}

// ---- Pure parts ---------------------------------------------------------------------------

TEST(DeviceReconnectWaitTest, DoublesFromTheFirstWaitUpToTheLongest) {
    const DeviceWebSocketOptions defaults;
    std::vector<long long> waits;
    for (int failures : {0, 1, 2, 3, 6, 7, 8, 1000, -1}) {
        waits.push_back(deviceReconnectWait(failures, defaults).count());
    }
    EXPECT_THAT(waits, ElementsAre(100, 200, 400, 800, 6400, 10000, 10000, 10000, 100));
    EXPECT_EQ(kDeviceWebSocketMaxReconnectWait, 10s);
    EXPECT_EQ(kDeviceWebSocketHandshakeTimeout, 60s);
    EXPECT_EQ(kDeviceWebSocketMessageLimit, 1024u * 1024u);
    EXPECT_FALSE(defaults.port.has_value());
}

TEST(DeviceWebSocketSubprotocolTest, FollowsTheModelTable) {
    const std::vector<std::pair<const char*, const char*>> cases{
        {"TRQ-PN1", "frontpanel"}, {"trq-pn2", "audio_grid"}, {"TRQ-PN4", "audio_grid"},
        {"TRQ-R8X", "audio"},      {"VK-Q-64", "audio"},      {"TRQ-GPIO", ""},
    };
    for (const auto& [model, protocol] : cases) {
        EXPECT_EQ(deviceWebSocketSubprotocol(model), protocol) << model;
    }
}

// ---- The connection -----------------------------------------------------------------------

TEST_F(LinkTest, ConnectsToTheAddressWithTheModelsSubprotocolAndHandsOverEveryDataMessage) {
    const std::vector<std::tuple<const char*, const char*, const char*>> cases{
        {"TRQ-PN1", "frontpanel", R"({"buttons":{"lazygang":true}})"},
        {"TRQ-PN2", "audio_grid", kPanelMessage},
        {"TRQ-R8X", "audio", R"({"inputs":[{"idx":3,"mute":true}]})"},
        {"VK-Q-64", "audio", R"({"mic_mute":1})"},
    };
    std::size_t expectedStates = 0;
    for (const auto& [model, protocol, message] : cases) {
        SCOPED_TRACE(model);
        FakeDevice device(FakeDevice::Options{});
        link(model, device.port());
        ASSERT_TRUE(device.waitForOpen(1));
        const auto request = device.requests().at(0);
        EXPECT_EQ(request.target, "/");
        EXPECT_EQ(request.host, "127.0.0.1:" + std::to_string(device.port()));
        EXPECT_EQ(request.protocol, protocol);
        EXPECT_EQ(request.extensions, "") << "no compression is offered";
        // Binary frames are data messages too.
        device.send(message, std::string(model) == "TRQ-R8X");
        ASSERT_TRUE(recorder_.waitStates(++expectedStates));
        EXPECT_EQ(recorder_.states().back().first, std::string(model) + "-0A1B2C");
        client_.reset();
        devices_.removeDevice(std::string(model) + "-0A1B2C");
    }
    EXPECT_THAT(recorder_.threadNames(), Each(std::string("ws-links")));
    EXPECT_THAT(recorder_.events(DeviceLinkEvent::Kind::Open), SizeIs(4));
}

TEST_F(LinkTest, AModelWithoutAFamilyNeverConnects) {
    FakeDevice device(FakeDevice::Options{});
    link("TRQ-GPIO", device.port());
    drainLoop();
    // A second link on the same device shows that the first one would have been seen.
    FakeDevice other(FakeDevice::Options{});
    DeviceWebSocketClient panel(logger_, devices_, "127.0.0.1", "TRQ-PN4", nullptr, nullptr, loop_,
                                quickOptions(other.port()));
    panel.start();
    ASSERT_TRUE(other.waitForOpen(1));
    drainLoop();
    EXPECT_THAT(device.requests(), IsEmpty());
    EXPECT_THAT(recorder_.events(DeviceLinkEvent::Kind::Retry), IsEmpty());
}

TEST_F(LinkTest, ARefusedConnectionIsRetriedAtGrowingWaitsWithoutLogRecords) {
    FakeDevice device(FakeDevice::Options().refusing());
    link("TRQ-PN4", device.port());
    ASSERT_TRUE(recorder_.waitEvents(DeviceLinkEvent::Kind::Retry, 6));
    std::vector<long long> waits;
    for (const auto& event : recorder_.events(DeviceLinkEvent::Kind::Retry)) {
        waits.push_back(event.wait.count());
    }
    waits.resize(6);
    EXPECT_THAT(waits, ElementsAre(10, 20, 40, 80, 80, 80));
    EXPECT_THAT(recorder_.events(DeviceLinkEvent::Kind::Closed)[0].detail, HasSubstr("refused"));

    device.startListening();
    ASSERT_TRUE(device.waitForOpen(1));
    device.send(kPanelMessage);
    ASSERT_TRUE(recorder_.waitStates(1));
    EXPECT_THAT(recorder_.logs(), IsEmpty());
    EXPECT_EQ(devices_.findDeviceByIp("127.0.0.1").isOnline, false) << "the link never sets it";
}

TEST_F(LinkTest, AnUnansweredHandshakeTimesOutAndIsRetried) {
    FakeDevice device(FakeDevice::Options().answering(FakeDevice::Handshake::Never));
    auto options = quickOptions(device.port());
    options.handshakeTimeout = 150ms;
    link("TRQ-PN4", device.port(), options);
    ASSERT_TRUE(device.waitForConnections(3));
    EXPECT_THAT(recorder_.events(DeviceLinkEvent::Kind::Closed)[0].detail, StartsWith("handshake"));
    EXPECT_THAT(recorder_.events(DeviceLinkEvent::Kind::Open), IsEmpty());
    EXPECT_THAT(recorder_.logs(), IsEmpty());
}

constexpr const char* kRefusedSubprotocolLog =
    "error: Websocket link to device 127.0.0.1: the device answered with the subprotocol "
    "\"something_else\" instead of \"audio_grid\"; the link refuses it and keeps reconnecting";

TEST_F(LinkTest, ADeviceThatPicksAnotherSubprotocolIsNeverHeard) {
    FakeDevice device(
        FakeDevice::Options().answering(FakeDevice::Handshake::Other).greeting_(kPanelMessage));
    link("TRQ-PN4", device.port());
    ASSERT_TRUE(device.waitForOpen(3));
    drainLoop();
    EXPECT_THAT(recorder_.events(DeviceLinkEvent::Kind::Closed)[0].detail,
                HasSubstr("chose the subprotocol \"something_else\""));
    EXPECT_THAT(recorder_.states(), IsEmpty());
    EXPECT_THAT(recorder_.events(DeviceLinkEvent::Kind::Open), IsEmpty());
    // Three refused handshakes, one record.
    EXPECT_THAT(recorder_.logs(), ElementsAre(kRefusedSubprotocolLog));
}

TEST_F(LinkTest, ADeviceThatAnswersWithoutSubprotocolIsHeard) {
    FakeDevice device(
        FakeDevice::Options().answering(FakeDevice::Handshake::None).greeting_(kPanelMessage));
    link("TRQ-PN4", device.port());
    ASSERT_TRUE(recorder_.waitStates(1));
    EXPECT_EQ(recorder_.events(DeviceLinkEvent::Kind::Open).at(0).detail, "");
}

TEST_F(LinkTest, BadMessagesAreLoggedAndTheConnectionStaysOpen) {
    FakeDevice device(FakeDevice::Options{});
    link("TRQ-PN4", device.port());
    ASSERT_TRUE(device.waitForOpen(1));
    device.send("this is not JSON");
    device.send(R"({"ins":[{"id":"22","m":1}]})");    // A number where a bool belongs.
    device.send(R"({"ins":[{"id":22,"m":true}]})");   // An "id" that is a number: skipped.
    device.send(R"({"buttons":{"lazygang":true}})");  // Another family's shape: ignored.
    device.send(kPanelMessage);
    ASSERT_TRUE(recorder_.waitStates(1));
    EXPECT_THAT(recorder_.logs(),
                ElementsAre(StartsWith("error: Device websocket JSON parse/handle error for "
                                       "127.0.0.1: [json.exception.parse_error"),
                            AllOf(StartsWith("error: Device websocket JSON parse/handle error "
                                             "for 127.0.0.1: "),
                                  HasSubstr("\"m\""))));
    EXPECT_THAT(recorder_.states(), SizeIs(1));
    EXPECT_THAT(device.requests(), SizeIs(1));
}

TEST_F(LinkTest, AMessageOverTheLimitClosesTheConnectionWhichReconnects) {
    FakeDevice device(FakeDevice::Options{});
    link("TRQ-PN4", device.port());
    ASSERT_TRUE(device.waitForOpen(1));
    // Exactly at the limit is still a message.
    const std::string head = R"({"ins":[{"id":"22","tbs":"A"}],"pad":")";
    device.send(head + std::string(kDeviceWebSocketMessageLimit - head.size() - 2, 'x') + "\"}");
    ASSERT_TRUE(recorder_.waitStates(1));

    device.send(R"({"pad":")" + std::string(8 * 1024 * 1024, 'x') + "\"}");
    ASSERT_TRUE(device.waitForOpen(2));
    device.send(R"({"ins":[{"id":"22","tbs":"B"}]})");
    ASSERT_TRUE(recorder_.waitStates(2));
    EXPECT_EQ(recorder_.states()[1].second.talkBackStates[0], "B");
    EXPECT_THAT(recorder_.logs(),
                ElementsAre("error: Websocket link to device 127.0.0.1: the device sent a message "
                            "larger than the limit of 1048576 bytes; the link dropped it and "
                            "reconnects"));
}

TEST_F(LinkTest, AFaultNoRetryCuresIsLoggedOncePerStartOfTheLink) {
    struct Case {
        const char* what;
        FakeDevice::Options device;
        std::string log;
    };
    // Every connection repeats the fault: the oversized message is each one's greeting.
    const std::vector<Case> cases{
        {"another subprotocol", FakeDevice::Options().answering(FakeDevice::Handshake::Other),
         kRefusedSubprotocolLog},
        {"a message over the limit",
         FakeDevice::Options().greeting_(R"({"pad":")" + std::string(2000, 'x') + "\"}"),
         "error: Websocket link to device 127.0.0.1: the device sent a message larger than the "
         "limit of 1024 bytes; the link dropped it and reconnects"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A logger and recorder of its own for each case, both outliving the link.
        Recorder recorder;
        Logger logger;
        logger.setListener([&recorder](const LogEntry& entry) { recorder.log(entry); });
        FakeDevice device(c.device);
        auto options = quickOptions(device.port());
        options.messageLimit = 1024;
        options.onLinkEvent = [&recorder](const std::string& address,
                                          const DeviceLinkEvent& event) {
            recorder.event(address, event);
        };
        DeviceWebSocketClient link(logger, devices_, "127.0.0.1", "TRQ-PN4", nullptr, nullptr,
                                   loop_, options);
        link.start();
        ASSERT_TRUE(recorder.waitEvents(DeviceLinkEvent::Kind::Closed, 4));
        EXPECT_THAT(recorder.logs(), ElementsAre(c.log));

        // Stopped and started anew, the link says it again, once.
        link.stop();
        link.start();
        ASSERT_TRUE(recorder.waitEvents(DeviceLinkEvent::Kind::Closed, 8));
        link.stop();
        EXPECT_THAT(recorder.logs(), ElementsAre(c.log, c.log));
    }
}

TEST_F(LinkTest, ABurstOfTenThousandMessagesIsHandledInOrder) {
    FakeDevice device(FakeDevice::Options{});
    link("TRQ-PN4", device.port());
    ASSERT_TRUE(device.waitForOpen(1));
    constexpr int kBurst = 10000;
    for (int i = 0; i < kBurst; ++i) {
        device.send(meterMessage(i % 2 == 0 ? 100 : 0));
    }
    ASSERT_TRUE(recorder_.waitMeters(kBurst));
    const auto meters = recorder_.meters();
    ASSERT_THAT(meters, SizeIs(kBurst));
    for (int i = 0; i < kBurst; ++i) {
        ASSERT_EQ(meters[static_cast<std::size_t>(i)][0], i % 2 == 0 ? 100 : 0) << i;
    }
    EXPECT_EQ(devices_.findDeviceByIp("127.0.0.1").meterLevels[0], 0);
}

TEST_F(LinkTest, ACutInsideAFrameReconnectsWithoutLogRecords) {
    FakeDevice device(FakeDevice::Options{});
    link("TRQ-PN4", device.port());
    ASSERT_TRUE(device.waitForOpen(1));
    device.cutInsideAFrame();
    ASSERT_TRUE(device.waitForOpen(2));
    device.send(kPanelMessage);
    ASSERT_TRUE(recorder_.waitStates(1));
    EXPECT_THAT(recorder_.states(), SizeIs(1));
    EXPECT_THAT(recorder_.logs(), IsEmpty());
}

TEST_F(LinkTest, ADeviceThatGoesAwayAndComesBackIsReconnected) {
    auto device = std::make_unique<FakeDevice>(FakeDevice::Options{});
    const auto port = device->port();
    link("TRQ-PN4", port);
    ASSERT_TRUE(device->waitForOpen(1));
    device.reset();
    ASSERT_TRUE(recorder_.waitEvents(DeviceLinkEvent::Kind::Retry, 4));
    device = std::make_unique<FakeDevice>(FakeDevice::Options().at("127.0.0.1", port));
    ASSERT_TRUE(device->waitForOpen(1));
    device->send(kPanelMessage);
    ASSERT_TRUE(recorder_.waitStates(1));
    EXPECT_THAT(recorder_.events(DeviceLinkEvent::Kind::Open), SizeIs(2));
    EXPECT_THAT(recorder_.logs(), IsEmpty());
}

TEST_F(LinkTest, PingsAreAnsweredAndNoneAreSent) {
    FakeDevice device(FakeDevice::Options{});
    link("TRQ-PN4", device.port());
    ASSERT_TRUE(device.waitForOpen(1));
    device.ping();
    ASSERT_TRUE(device.waitForPongs(1));
    device.send(kPanelMessage);
    ASSERT_TRUE(recorder_.waitStates(1));
    EXPECT_EQ(device.pingsFromLink(), 0);
}

// ---- Stopping -----------------------------------------------------------------------------

TEST_F(LinkTest, StopWhileTheDeviceSendsClosesWithCode1000AndEndsEveryHandler) {
    FakeDevice device(FakeDevice::Options{});
    auto& client = link("TRQ-PN4", device.port());
    ASSERT_TRUE(device.waitForOpen(1));
    for (int i = 0; i < 20000; ++i) {
        device.send(meterMessage(i % 2 == 0 ? 100 : 0));
    }
    ASSERT_TRUE(recorder_.waitMeters(10));
    client.stop();
    recorder_.markStopped();
    client.stop();
    drainLoop();
    EXPECT_EQ(device.closeCode(0), 1000);
    EXPECT_FALSE(recorder_.anythingAfterStop());
    EXPECT_THAT(recorder_.logs(), IsEmpty());
}

TEST_F(LinkTest, StopEndsAnAttemptOrAWaitAtOnce) {
    const std::vector<FakeDevice::Options> devices{
        FakeDevice::Options().answering(FakeDevice::Handshake::Never),
        FakeDevice::Options().refusing(),
    };
    for (const auto& options : devices) {
        FakeDevice device(options);
        auto& client = link("TRQ-PN4", device.port());
        if (options.listen) {
            ASSERT_TRUE(device.waitForConnections(1));
        } else {
            ASSERT_TRUE(recorder_.waitEvents(DeviceLinkEvent::Kind::Retry, 1));
        }
        auto stopped = std::async(std::launch::async, [&] { client.stop(); });
        ASSERT_EQ(stopped.wait_for(kLinkTestDeadline), std::future_status::ready);
        client_.reset();
    }
}

TEST_F(LinkTest, StopIsBoundedWhenTheDeviceNeverAnswersTheClose) {
    FakeDevice device(FakeDevice::Options().deaf());
    auto options = quickOptions(device.port());
    options.closeTimeout = 200ms;
    auto& client = link("TRQ-PN4", device.port(), options);
    ASSERT_TRUE(recorder_.waitEvents(DeviceLinkEvent::Kind::Open, 1));
    auto stopped = std::async(std::launch::async, [&] { client.stop(); });
    ASSERT_EQ(stopped.wait_for(kLinkTestDeadline), std::future_status::ready);
}

// ---- The manager --------------------------------------------------------------------------

class ManagerTest : public ::testing::Test {
protected:
    ManagerTest() {
        logger_.setListener([this](const LogEntry& entry) { recorder_.log(entry); });
    }
    ~ManagerTest() override {
        manager_.reset();
        logger_.setListener({});
    }

    DeviceWebSocketManager& manager(std::uint16_t port,
                                    std::chrono::milliseconds closeTimeout = 2s) {
        auto options = quickOptions(port);
        options.closeTimeout = closeTimeout;
        options.onLinkEvent = [this](const std::string& address, const DeviceLinkEvent& event) {
            recorder_.event(address, event);
        };
        manager_ = std::make_unique<DeviceWebSocketManager>(
            devices_, logger_,
            [this](const std::string& host, const std::vector<std::int32_t>& levels) {
                recorder_.meter(host, levels);
            },
            [this](const std::string& host, const DeviceEntry& record) {
                recorder_.state(host, record);
            },
            options);
        return *manager_;
    }

    void addDevice(const std::string& hostname, const std::string& address) {
        DeviceEntry entry;
        entry.hostname = hostname;
        entry.ip = address;
        devices_.addOrUpdateDevice(entry);
    }

    Recorder recorder_;
    Logger logger_;
    DeviceManager devices_{logger_};
    std::unique_ptr<DeviceWebSocketManager> manager_;
};

TEST_F(ManagerTest, StartingAnAddressTwiceKeepsTheFirstLink) {
    FakeDevice device(FakeDevice::Options{});
    auto& links = manager(device.port());
    addDevice("TRQ-PN4-01", "127.0.0.1");
    links.startWebSocketForDevice("127.0.0.1", "TRQ-PN4");
    links.startWebSocketForDevice("127.0.0.1", "TRQ-PN1");
    ASSERT_TRUE(device.waitForOpen(1));
    device.send(kPanelMessage);  // Of the first model's family.
    ASSERT_TRUE(recorder_.waitStates(1));
    EXPECT_THAT(links.linkAddresses(), ElementsAre("127.0.0.1"));
    EXPECT_THAT(device.requests(), SizeIs(1));
    EXPECT_EQ(device.requests()[0].protocol, "audio_grid");
}

TEST_F(ManagerTest, StoppingAnAddressTwiceLogsOnceAndAnUnknownOneNever) {
    FakeDevice device(FakeDevice::Options{});
    auto& links = manager(device.port());
    links.stopWebSocketForDevice("127.0.0.1");
    links.startWebSocketForDevice("127.0.0.1", "TRQ-PN4");
    links.startWebSocketForDevice("127.0.0.5", "TRQ-GPIO");  // Stored, never connected.
    ASSERT_TRUE(recorder_.waitEvents(DeviceLinkEvent::Kind::Open, 1));
    links.stopWebSocketForDevice("127.0.0.1");
    links.stopWebSocketForDevice("127.0.0.1");
    links.stopWebSocketForDevice("127.0.0.5");
    EXPECT_EQ(device.closeCode(0), 1000);
    EXPECT_THAT(recorder_.logs(),
                ElementsAre("device: Websocket connection to device 127.0.0.1 is stopped",
                            "device: Websocket connection to device 127.0.0.5 is stopped"));
    EXPECT_THAT(links.linkAddresses(), IsEmpty());
}

TEST_F(ManagerTest, StopAllClosesEveryLinkWithCode1000AndLogsNothing) {
    // One port, three loopback addresses: one link per address.
    FakeDevice first(FakeDevice::Options().at("127.0.0.2"));
    FakeDevice second(FakeDevice::Options().at("127.0.0.3", first.port()));
    FakeDevice third(FakeDevice::Options().at("127.0.0.4", first.port()));
    auto& links = manager(first.port());
    const std::vector<std::pair<std::string, FakeDevice*>> all{
        {"127.0.0.2", &first}, {"127.0.0.3", &second}, {"127.0.0.4", &third}};
    int n = 0;
    for (const auto& [address, device] : all) {
        addDevice("TRQ-PN2-0" + std::to_string(++n), address);
        links.startWebSocketForDevice(address, "TRQ-PN2");
    }
    for (const auto& [address, device] : all) {
        ASSERT_TRUE(device->waitForOpen(1)) << address;
        device->send(kPanelMessage);
    }
    ASSERT_TRUE(recorder_.waitStates(3));
    links.stopAll();
    recorder_.markStopped();
    for (const auto& [address, device] : all) {
        EXPECT_EQ(device->closeCode(0), 1000) << address;
    }
    links.stopAll();
    EXPECT_THAT(recorder_.logs(), IsEmpty());
    EXPECT_THAT(links.linkAddresses(), IsEmpty());
    EXPECT_FALSE(recorder_.anythingAfterStop());
}

TEST_F(ManagerTest, LinksStartAgainAfterStopAll) {
    FakeDevice device(FakeDevice::Options{});
    auto& links = manager(device.port());
    addDevice("TRQ-PN4-01", "127.0.0.1");
    links.startWebSocketForDevice("127.0.0.1", "TRQ-PN4");
    ASSERT_TRUE(device.waitForOpen(1));
    links.stopAll();
    links.startWebSocketForDevice("127.0.0.1", "TRQ-PN4");
    ASSERT_TRUE(device.waitForOpen(2));
    device.send(kPanelMessage);
    ASSERT_TRUE(recorder_.waitStates(1));
}

TEST_F(ManagerTest, StopAllWhileEveryLinkReconnects) {
    FakeDevice refusing(FakeDevice::Options().refusing());
    auto& links = manager(refusing.port());
    const std::vector<std::string> addresses{"127.0.0.1", "127.0.0.11", "127.0.0.12", "127.0.0.13",
                                             "127.0.0.14"};
    for (const auto& address : addresses) {
        links.startWebSocketForDevice(address, "TRQ-R8X");
    }
    for (const auto& address : addresses) {
        ASSERT_TRUE(recorder_.waitEventsFor(address, DeviceLinkEvent::Kind::Retry, 2)) << address;
    }
    auto stopped = std::async(std::launch::async, [&] { links.stopAll(); });
    ASSERT_EQ(stopped.wait_for(kLinkTestDeadline), std::future_status::ready);
    recorder_.markStopped();
    EXPECT_FALSE(recorder_.anythingAfterStop());
    EXPECT_THAT(recorder_.logs(), IsEmpty());
}

TEST_F(ManagerTest, DestroyingTheManagerStopsLinksThatAreStillSending) {
    FakeDevice device(FakeDevice::Options{});
    auto& links = manager(device.port());
    addDevice("TRQ-PN4-01", "127.0.0.1");
    links.startWebSocketForDevice("127.0.0.1", "TRQ-PN4");
    ASSERT_TRUE(device.waitForOpen(1));
    for (int i = 0; i < 5000; ++i) {
        device.send(meterMessage(i % 2 == 0 ? 100 : 0));
    }
    ASSERT_TRUE(recorder_.waitMeters(5));
    manager_.reset();
    recorder_.markStopped();
    EXPECT_EQ(device.closeCode(0), 1000);
    EXPECT_FALSE(recorder_.anythingAfterStop());
}

}  // namespace
}  // namespace pellan
