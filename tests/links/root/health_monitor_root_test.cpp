// The health monitor over the system's ICMP echo, between namespaces of the test's own.
#include "links/health_monitor.hpp"

#include "devices/device_manager.hpp"
#include "links/probe_doubles.hpp"
#include "links/root/echo_responder.hpp"
#include "links/root/netns_environment.hpp"
#include "log/logger.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace pellan {
namespace {

using test::NetnsEnvironment;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

using Event = std::pair<std::string, bool>;

constexpr const char* kDevice = NetnsEnvironment::kDeviceAddress;
constexpr const char* kSecondDevice = "198.18.1.1";
constexpr const char* kNobody = "198.18.9.9";

class HealthMonitorNamespaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::runningAsRoot()) {
            GTEST_SKIP() << "needs root for network namespaces and raw ICMP sockets";
        }
        env_ = std::make_unique<NetnsEnvironment>();
        ASSERT_TRUE(env_->ok()) << env_->error();
        // The monitor's thread is started from here, so it probes from the application's side.
        scope_ = std::make_unique<test::NamespaceScope>(env_->appNamespace());
        ASSERT_TRUE(scope_->entered());
    }
    void TearDown() override {
        monitor_.reset();
        scope_.reset();
        env_.reset();
    }

    void addDevice(const std::string& hostname, const std::string& ip) {
        DeviceEntry device;
        device.hostname = hostname;
        device.ip = ip;
        devices_.addOrUpdateDevice(device);
    }

    void startMonitor() {
        HealthMonitorOptions options;
        options.probeIntervalMs = 50;
        options.probeTimeoutMs = 300;
        options.refreshIntervalMs = 0;
        monitor_ = std::make_unique<HealthMonitor>(
            devices_, logger_,
            [this](const std::string& address, bool online) {
                std::lock_guard lock(mutex_);
                events_.emplace_back(address, online);
                changed_.notify_all();
            },
            std::make_unique<test::RecordingProber>(std::make_unique<SystemIcmpProber>(), record_),
            options);
        monitor_->start();
    }

    /// Waits until `event` has been reported `times` times in all.
    bool awaitEvent(const Event& event, int times = 1) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, test::kTestDeadline, [&] {
            return std::count(events_.begin(), events_.end(), event) >= times;
        });
    }

    std::vector<Event> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }

    /// Waits until the cycle running now and the next one have been probed: every answer
    /// that came before this call has been evaluated then.
    bool awaitTwoMoreCycles() { return record_->awaitCycles(record_->count() + 2); }

    std::vector<std::string> monitorLines() const {
        std::vector<std::string> lines;
        for (const LogEntry& entry : logger_.recentEntries()) {
            if (entry.category == "monitor") {
                lines.push_back(entry.message);
            }
        }
        return lines;
    }

    std::unique_ptr<NetnsEnvironment> env_;
    std::unique_ptr<test::NamespaceScope> scope_;
    Logger logger_;
    DeviceManager devices_{logger_};
    std::shared_ptr<test::ProbeRecord> record_ = std::make_shared<test::ProbeRecord>();
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;  // Guarded by mutex_.
    std::unique_ptr<HealthMonitor> monitor_;
};

TEST_F(HealthMonitorNamespaceTest, FollowsDevicesThroughAddressLossLinkLossAndSilence) {
    ASSERT_TRUE(env_->addDeviceAddresses({kSecondDevice})) << env_->error();
    addDevice("panel-a", kDevice);
    addDevice("panel-a-twin", kDevice);  // Same address: only the first entry is marked.
    addDevice("rack-b", kSecondDevice);
    addDevice("ghost", kNobody);
    addDevice("typo", "not-an-address");
    addDevice("unaddressed", "");
    startMonitor();

    ASSERT_TRUE(awaitEvent({kDevice, true}));
    ASSERT_TRUE(awaitEvent({kSecondDevice, true}));
    ASSERT_TRUE(awaitTwoMoreCycles());
    EXPECT_THAT(events(), UnorderedElementsAre(Event{kDevice, true}, Event{kSecondDevice, true}));
    EXPECT_TRUE(devices_.findDeviceByHostname("panel-a").isOnline);
    EXPECT_FALSE(devices_.findDeviceByHostname("panel-a-twin").isOnline);
    for (const char* silent : {"ghost", "typo", "unaddressed"}) {
        EXPECT_FALSE(devices_.findDeviceByHostname(silent).isOnline) << silent;
    }
    // The table: each distinct non-empty address, once per cycle.
    const auto probed = record_->cycles().back().addresses;
    EXPECT_THAT(probed, UnorderedElementsAre(kDevice, kSecondDevice, kNobody, "not-an-address"));

    // The device's address goes away: it falls silent.
    ASSERT_TRUE(env_->deleteDeviceAddresses({kSecondDevice})) << env_->error();
    EXPECT_TRUE(awaitEvent({kSecondDevice, false}));

    ASSERT_TRUE(env_->setDeviceLink(false)) << env_->error();
    EXPECT_TRUE(awaitEvent({kDevice, false}));
    ASSERT_TRUE(env_->setDeviceLink(true)) << env_->error();
    EXPECT_TRUE(awaitEvent({kDevice, true}, 2));

    ASSERT_TRUE(env_->setSilent(true)) << env_->error();
    EXPECT_TRUE(awaitEvent({kDevice, false}, 2));

    monitor_->stop();
    EXPECT_THAT(monitorLines(),
                UnorderedElementsAre("Device 198.18.0.2 marking online by health monitor.",
                                     "Device 198.18.1.1 marking online by health monitor.",
                                     "Device 198.18.1.1 marking offline by health monitor.",
                                     "Device 198.18.0.2 marking offline by health monitor.",
                                     "Device 198.18.0.2 marking online by health monitor.",
                                     "Device 198.18.0.2 marking offline by health monitor."));
    EXPECT_FALSE(devices_.findDeviceByHostname("panel-a").isOnline);
}

TEST_F(HealthMonitorNamespaceTest, AnswersThatArriveAfterTheirTimeOutNeverMarkADeviceOnline) {
    ASSERT_TRUE(env_->setSilent(true)) << env_->error();
    addDevice("panel-late", kDevice);
    {
        // Each answer arrives 100 ms after its request's time-out, inside the next cycle.
        test::EchoResponder late(env_->deviceNamespace(), test::Forgery::Correct,
                                 std::chrono::milliseconds(400));
        ASSERT_TRUE(late.ready());
        startMonitor();
        ASSERT_TRUE(record_->awaitCycles(6));
        EXPECT_GE(late.answersSent(), 4);
        ASSERT_TRUE(awaitTwoMoreCycles());
        EXPECT_THAT(events(), IsEmpty());
        EXPECT_FALSE(devices_.findDeviceByHostname("panel-late").isOnline);
    }
    // The same device answering in time is marked at once: the set-up was not silent as such.
    test::EchoResponder punctual(env_->deviceNamespace(), test::Forgery::Correct);
    ASSERT_TRUE(punctual.ready());
    EXPECT_TRUE(awaitEvent({kDevice, true}));
}

}  // namespace
}  // namespace pellan
