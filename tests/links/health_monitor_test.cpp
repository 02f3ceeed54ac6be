// The health monitor over a scripted prober: one cycle at a time, no network.
#include "links/health_monitor.hpp"

#include "devices/device_manager.hpp"
#include "links/probe_doubles.hpp"
#include "log/logger.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <stdexcept>
#include <thread>

namespace pellan {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Optional;
using ::testing::UnorderedElementsAre;

using Events = std::vector<std::pair<std::string, bool>>;

/// What the online-state callback saw, with the registry's flag at the time of each call.
class EventRecorder {
public:
    void record(const std::string& address, bool online, bool registryFlag) {
        std::lock_guard lock(mutex_);
        events_.emplace_back(address, online);
        registryAgreed_ = registryAgreed_ && registryFlag == online;
        threads_.push_back(std::this_thread::get_id());
        changed_.notify_all();
    }
    bool awaitCount(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, test::kTestDeadline,
                                 [&] { return events_.size() >= count; });
    }
    Events events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    /// The events after the first `from`.
    Events eventsFrom(std::size_t from) const {
        std::lock_guard lock(mutex_);
        return Events(events_.begin() + static_cast<std::ptrdiff_t>(std::min(from, events_.size())),
                      events_.end());
    }
    bool registryAgreed() const {
        std::lock_guard lock(mutex_);
        return registryAgreed_;
    }
    std::vector<std::thread::id> threads() const {
        std::lock_guard lock(mutex_);
        return threads_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Events events_;
    bool registryAgreed_ = true;
    std::vector<std::thread::id> threads_;
};

constexpr const char* kPanelA = "198.18.0.10";
constexpr const char* kPanelB = "198.18.0.11";
constexpr const char* kShared = "198.18.0.12";
constexpr const char* kLater = "198.18.0.13";

std::string onlineLine(const std::string& address) {
    return "Device " + address + " marking online by health monitor.";
}
std::string offlineLine(const std::string& address) {
    return "Device " + address + " marking offline by health monitor.";
}

class HealthMonitorTest : public ::testing::Test {
protected:
    HealthMonitorOptions fastOptions() const {
        HealthMonitorOptions options;
        options.probeIntervalMs = 1;
        options.probeTimeoutMs = 50;
        options.refreshIntervalMs = 0;
        return options;
    }

    std::unique_ptr<HealthMonitor> makeMonitor(HealthMonitorOptions options) {
        return makeMonitor(options, [this](const std::string& address, bool online) {
            recorder_.record(address, online, devices_.findDeviceByIp(address).isOnline);
        });
    }
    std::unique_ptr<HealthMonitor> makeMonitor(HealthMonitorOptions options,
                                               OnlineStateCallback callback) {
        return std::make_unique<HealthMonitor>(devices_, logger_, std::move(callback),
                                               std::make_unique<test::ScriptedProber>(script_),
                                               options);
    }

    void addDevice(const std::string& hostname, const std::string& ip) {
        DeviceEntry device;
        device.hostname = hostname;
        device.ip = ip;
        ASSERT_TRUE(devices_.addOrUpdateDevice(device));
    }

    bool online(const std::string& hostname) const {
        return devices_.findDeviceByHostname(hostname).isOnline;
    }

    /// The monitor's own log lines, in order.
    std::vector<std::string> monitorLines(const std::string& category = "monitor") const {
        std::vector<std::string> lines;
        for (const LogEntry& entry : logger_.recentEntries()) {
            if (entry.category == category) {
                lines.push_back(entry.message);
            }
        }
        return lines;
    }

    Logger logger_;
    DeviceManager devices_{logger_};
    std::shared_ptr<test::ProbeScript> script_ = std::make_shared<test::ProbeScript>();
    EventRecorder recorder_;
};

TEST_F(HealthMonitorTest, ProbesEachRegisteredAddressOnceAndMarksTheFirstDeviceOfAnAddress) {
    addDevice("panel-a", kPanelA);
    addDevice("panel-b", kPanelB);
    addDevice("no-address", "");
    addDevice("shared-1", kShared);
    addDevice("shared-2", kShared);
    auto monitor = makeMonitor(fastOptions());
    monitor->start();

    // A device without an address is never probed; a shared address is probed once.
    ASSERT_THAT(script_->awaitCycle(), Optional(ElementsAre(kPanelA, kPanelB, kShared)));
    ASSERT_TRUE(script_->completeCycle({kPanelA, kShared}));

    EXPECT_TRUE(online("panel-a"));
    EXPECT_FALSE(online("panel-b"));
    EXPECT_FALSE(online("no-address"));
    EXPECT_TRUE(online("shared-1"));
    EXPECT_FALSE(online("shared-2"));
    EXPECT_THAT(recorder_.events(), UnorderedElementsAre(std::pair{std::string(kPanelA), true},
                                                         std::pair{std::string(kShared), true}));
    EXPECT_THAT(monitorLines(), UnorderedElementsAre(onlineLine(kPanelA), onlineLine(kShared)));
    EXPECT_TRUE(recorder_.registryAgreed());

    // The same answers again change nothing: each transition is reported once.
    ASSERT_TRUE(script_->completeCycle({kPanelA, kShared}));
    EXPECT_EQ(recorder_.events().size(), 2U);
    EXPECT_EQ(monitorLines().size(), 2U);
    EXPECT_THAT(monitorLines("error"), IsEmpty());
}

struct ThresholdCase {
    const char* name;
    int threshold;
    std::vector<bool> answers;  ///< Per cycle: did the device answer?
    /// Per cycle: the change reported after it, if any.
    std::vector<std::optional<bool>> reported;
};

class FailureThresholdTest : public HealthMonitorTest,
                             public ::testing::WithParamInterface<ThresholdCase> {};

TEST_P(FailureThresholdTest, ReportsEachTransitionOnceAfterTheConsecutiveFailures) {
    const ThresholdCase& param = GetParam();
    ASSERT_EQ(param.answers.size(), param.reported.size());
    addDevice("panel-a", kPanelA);
    HealthMonitorOptions options = fastOptions();
    options.failureThreshold = param.threshold;
    auto monitor = makeMonitor(options);
    monitor->start();
    ASSERT_TRUE(script_->awaitCycle());

    bool expectedOnline = false;
    std::vector<std::string> expectedLines;
    for (std::size_t cycle = 0; cycle < param.answers.size(); ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle + 1));
        const std::size_t before = recorder_.events().size();
        std::set<std::string> answered;
        if (param.answers[cycle]) {
            answered.insert(kPanelA);
        }
        ASSERT_TRUE(script_->completeCycle(answered));
        if (param.reported[cycle]) {
            expectedOnline = *param.reported[cycle];
            EXPECT_THAT(recorder_.eventsFrom(before),
                        ElementsAre(std::pair{std::string(kPanelA), expectedOnline}));
            expectedLines.push_back(expectedOnline ? onlineLine(kPanelA) : offlineLine(kPanelA));
        } else {
            EXPECT_THAT(recorder_.eventsFrom(before), IsEmpty());
        }
        EXPECT_EQ(online("panel-a"), expectedOnline);
        EXPECT_EQ(monitorLines(), expectedLines);
    }
    EXPECT_TRUE(recorder_.registryAgreed());
}

const auto kOn = std::optional<bool>(true);
const auto kOff = std::optional<bool>(false);
const auto kNone = std::optional<bool>();

INSTANTIATE_TEST_SUITE_P(Cases, FailureThresholdTest,
                         ::testing::Values(ThresholdCase{"OneLostEchoMarksOffline",
                                                         1,
                                                         {true, true, false, false, true},
                                                         {kOn, kNone, kOff, kNone, kOn}},
                                           ThresholdCase{
                                               "AnAnswerResetsTheCount",
                                               2,
                                               {true, false, true, false, false, false, true},
                                               {kOn, kNone, kNone, kNone, kOff, kNone, kOn}},
                                           ThresholdCase{"FailuresOfAnOfflineDeviceReportNothing",
                                                         3,
                                                         {false, false, false, false, true},
                                                         {kNone, kNone, kNone, kNone, kOn}}),
                         [](const auto& instance) { return std::string(instance.param.name); });

TEST_F(HealthMonitorTest, CallbackRunsOnTheMonitorThreadAfterTheRegistryAndTheLog) {
    addDevice("panel-a", kPanelA);
    std::promise<std::tuple<std::thread::id, bool, bool>> seen;
    std::atomic<bool> once{false};
    auto monitor = makeMonitor(fastOptions(), [&](const std::string& address, bool) {
        if (once.exchange(true)) {
            return;
        }
        const std::vector<std::string> lines = monitorLines();
        const bool logged = !lines.empty() && lines.back() == onlineLine(address);
        seen.set_value(
            {std::this_thread::get_id(), devices_.findDeviceByIp(address).isOnline, logged});
    });
    monitor->start();
    ASSERT_TRUE(script_->awaitCycle());
    script_->answer({kPanelA});
    auto future = seen.get_future();
    ASSERT_EQ(future.wait_for(test::kTestDeadline), std::future_status::ready);
    const auto [thread, registryOnline, logged] = future.get();
    EXPECT_NE(thread, std::this_thread::get_id());
    EXPECT_TRUE(registryOnline);
    EXPECT_TRUE(logged);
}

TEST_F(HealthMonitorTest, AddressesAddedAndRemovedDuringACycle) {
    addDevice("panel-a", kPanelA);
    addDevice("panel-b", kPanelB);
    auto monitor = makeMonitor(fastOptions());
    monitor->start();
    ASSERT_THAT(script_->awaitCycle(), Optional(ElementsAre(kPanelA, kPanelB)));

    // While the echoes are out: panel-b leaves the registry, a new device arrives, and
    // discovery asks for a refresh, as its handlers do.
    ASSERT_TRUE(devices_.removeDevice("panel-b"));
    addDevice("panel-later", kLater);
    monitor->requestRefresh();

    // panel-b's answer finds no device: nothing is logged, written or reported for it. The
    // next cycle probes the new table.
    EXPECT_THAT(script_->completeCycle({kPanelA, kPanelB, kLater}),
                Optional(ElementsAre(kPanelA, kLater)));
    EXPECT_THAT(recorder_.events(), ElementsAre(std::pair{std::string(kPanelA), true}));
    EXPECT_THAT(monitorLines(), ElementsAre(onlineLine(kPanelA)));

    ASSERT_TRUE(script_->completeCycle({kLater}));
    EXPECT_THAT(recorder_.eventsFrom(1),
                UnorderedElementsAre(std::pair{std::string(kPanelA), false},
                                     std::pair{std::string(kLater), true}));
    EXPECT_TRUE(online("panel-later"));
    EXPECT_FALSE(online("panel-a"));
}

TEST_F(HealthMonitorTest, DeviceThatMovesToAnotherAddressIsNotMarkedByItsOldAnswer) {
    addDevice("panel-a", kPanelA);
    HealthMonitorOptions options = fastOptions();
    auto monitor = makeMonitor(options);
    monitor->start();
    ASSERT_TRUE(script_->awaitCycle());
    DeviceEntry moved;
    moved.hostname = "panel-a";
    moved.ip = kPanelB;
    ASSERT_TRUE(devices_.addOrUpdateDevice(moved));
    monitor->requestRefresh();

    EXPECT_THAT(script_->completeCycle({kPanelA}), Optional(ElementsAre(kPanelB)));
    EXPECT_THAT(recorder_.events(), IsEmpty());
    EXPECT_FALSE(online("panel-a"));
}

struct RefreshCase {
    const char* name;
    int refreshIntervalMs;
    bool seenWithoutRequest;
};

class RefreshIntervalTest : public HealthMonitorTest,
                            public ::testing::WithParamInterface<RefreshCase> {};

TEST_P(RefreshIntervalTest, NewDevicesJoinAtTheIntervalOrAtTheNextRequest) {
    addDevice("panel-a", kPanelA);
    HealthMonitorOptions options = fastOptions();
    options.refreshIntervalMs = GetParam().refreshIntervalMs;
    auto monitor = makeMonitor(options);
    monitor->start();
    ASSERT_TRUE(script_->awaitCycle());
    addDevice("panel-later", kLater);

    // Every cycle pauses at least 1 ms, so a 1 ms interval has passed at the next cycle.
    const std::vector<std::string> withLater{kPanelA, kLater};
    const std::vector<std::string> withoutLater{kPanelA};
    for (int cycle = 0; cycle < 3; ++cycle) {
        EXPECT_THAT(script_->completeCycle({}),
                    Optional(GetParam().seenWithoutRequest ? withLater : withoutLater));
    }
    monitor->requestRefresh();
    EXPECT_THAT(script_->completeCycle({}), Optional(withLater));
}

INSTANTIATE_TEST_SUITE_P(Cases, RefreshIntervalTest,
                         ::testing::Values(RefreshCase{"Disabled", 0, false},
                                           RefreshCase{"OneMillisecond", 1, true},
                                           RefreshCase{"LongerThanTheTest", 3600000, false}),
                         [](const auto& instance) { return std::string(instance.param.name); });

/// Runs stop() on another thread and says whether it returned before the deadline.
bool stopsWithinDeadline(HealthMonitor& monitor) {
    auto stopped = std::async(std::launch::async, [&] { monitor.stop(); });
    return stopped.wait_for(test::kTestDeadline) == std::future_status::ready;
}

TEST_F(HealthMonitorTest, StopInterruptsTheHourLongPause) {
    addDevice("panel-a", kPanelA);
    HealthMonitorOptions options = fastOptions();
    options.probeIntervalMs = 3600 * 1000;
    auto monitor = makeMonitor(options);
    monitor->start();
    ASSERT_TRUE(script_->awaitCycle());
    script_->answer({kPanelA});
    ASSERT_TRUE(recorder_.awaitCount(1));  // Evaluated: now in the pause.

    EXPECT_TRUE(stopsWithinDeadline(*monitor));
    EXPECT_EQ(script_->calls(), 1);
}

TEST_F(HealthMonitorTest, StopDuringOutstandingEchoesAbandonsTheCycleUnevaluated) {
    addDevice("panel-a", kPanelA);
    auto monitor = makeMonitor(fastOptions());
    monitor->start();
    ASSERT_TRUE(script_->awaitCycle());
    ASSERT_TRUE(script_->completeCycle({kPanelA}));
    ASSERT_TRUE(online("panel-a"));

    // The cut-short echo is no evidence of silence: the device stays online, unreported.
    EXPECT_TRUE(stopsWithinDeadline(*monitor));
    EXPECT_EQ(script_->cancelledCalls(), 1);
    EXPECT_TRUE(online("panel-a"));
    EXPECT_THAT(recorder_.events(), ElementsAre(std::pair{std::string(kPanelA), true}));
    EXPECT_THAT(monitorLines(), ElementsAre(onlineLine(kPanelA)));
}

TEST_F(HealthMonitorTest, StopIsIdempotentBeforeStartAfterStopAndThroughTheDestructor) {
    addDevice("panel-a", kPanelA);
    {
        auto monitor = makeMonitor(fastOptions());
        monitor->stop();  // Never started.
        monitor->stop();
    }
    {
        auto monitor = makeMonitor(fastOptions());
        monitor->start();
        monitor->start();  // Already running: still one thread.
        ASSERT_TRUE(script_->awaitCycle());
        EXPECT_TRUE(stopsWithinDeadline(*monitor));
        EXPECT_TRUE(stopsWithinDeadline(*monitor));

        // A stopped monitor starts again.
        const int before = script_->calls();
        monitor->start();
        ASSERT_TRUE(script_->awaitCycle());
        ASSERT_TRUE(script_->completeCycle({kPanelA}));
        EXPECT_GT(script_->calls(), before);
        EXPECT_TRUE(stopsWithinDeadline(*monitor));
    }  // The destructor stops again.
    EXPECT_TRUE(online("panel-a"));
}

TEST_F(HealthMonitorTest, StopFromInsideTheCallbackEndsTheThreadWithoutJoiningItself) {
    addDevice("panel-a", kPanelA);
    addDevice("panel-b", kPanelB);
    HealthMonitor* self = nullptr;
    std::atomic<int> callbacks{0};
    std::promise<void> stoppedInside;
    auto monitor = makeMonitor(fastOptions(), [&](const std::string&, bool) {
        if (++callbacks == 1) {
            self->stop();  // Takes the monitor's lock: it must not be held here.
            stoppedInside.set_value();
        }
    });
    self = monitor.get();
    monitor->start();
    ASSERT_TRUE(script_->awaitCycle());
    script_->answer({kPanelA, kPanelB});
    ASSERT_EQ(stoppedInside.get_future().wait_for(test::kTestDeadline), std::future_status::ready);

    EXPECT_TRUE(stopsWithinDeadline(*monitor));  // Joins the thread that ended by itself.
    // The first callback's stop ends the cycle: the second address is not evaluated, and no
    // further cycle starts.
    EXPECT_EQ(callbacks.load(), 1);
    EXPECT_EQ(script_->calls(), 1);
}

TEST_F(HealthMonitorTest, CallbackFailureIsLoggedAndMonitoringGoesOn) {
    addDevice("panel-a", kPanelA);
    addDevice("panel-b", kPanelB);
    auto monitor = makeMonitor(fastOptions(), [&](const std::string& address, bool online) {
        recorder_.record(address, online, true);
        if (address == kPanelA) {
            throw std::runtime_error("link start failed");
        }
    });
    monitor->start();
    ASSERT_TRUE(script_->awaitCycle());
    ASSERT_TRUE(script_->completeCycle({kPanelA, kPanelB}));
    EXPECT_THAT(recorder_.events(), UnorderedElementsAre(std::pair{std::string(kPanelA), true},
                                                         std::pair{std::string(kPanelB), true}));
    EXPECT_THAT(monitorLines("error"),
                ElementsAre("Online-state handling of 198.18.0.10 failed: link start failed"));

    ASSERT_TRUE(script_->completeCycle({kPanelB}));
    EXPECT_THAT(recorder_.eventsFrom(2), ElementsAre(std::pair{std::string(kPanelA), false}));
}

/// Answers every echo with the same failure to open an ICMP socket.
class NoSocketProber final : public IcmpProber {
public:
    explicit NoSocketProber(int systemError) : systemError_(systemError) {}
    std::vector<EchoOutcome> probe(const std::vector<std::string>& addresses,
                                   std::chrono::milliseconds, std::stop_token) override {
        EchoOutcome outcome;
        outcome.failure = EchoFailure::NoSocket;
        outcome.systemError = systemError_;
        return std::vector<EchoOutcome>(addresses.size(), outcome);
    }

private:
    const int systemError_;
};

TEST_F(HealthMonitorTest, EchoThatIsNotPermittedIsLoggedOnceWithHowToAllowIt) {
    const struct {
        const char* name;
        int systemError;
        bool logged;
    } cases[] = {
        {"not permitted", EPERM, true},
        {"access refused", EACCES, true},
        {"a passing shortage", EMFILE, false},
    };
    addDevice("panel-a", kPanelA);
    addDevice("panel-b", kPanelB);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = monitorLines("error").size();
        auto record = std::make_shared<test::ProbeRecord>();
        HealthMonitor monitor(devices_, logger_, {},
                              std::make_unique<test::RecordingProber>(
                                  std::make_unique<NoSocketProber>(c.systemError), record),
                              fastOptions());
        monitor.start();
        // Each cycle's outcomes are looked at before the next cycle begins.
        ASSERT_TRUE(record->awaitCycles(3));
        monitor.stop();
        std::vector<std::string> errors = monitorLines("error");
        errors.erase(errors.begin(), errors.begin() + static_cast<std::ptrdiff_t>(before));
        if (!c.logged) {
            EXPECT_THAT(errors, IsEmpty());
            continue;
        }
        ASSERT_EQ(errors.size(), 1U);
        EXPECT_EQ(errors.front(), echoNotPermittedAdvice());
        EXPECT_THAT(errors.front(), HasSubstr("CAP_NET_RAW"));
        EXPECT_THAT(errors.front(), HasSubstr("ping_group_range"));
    }
}

TEST_F(HealthMonitorTest, RegistryChangesAndRefreshRequestsFromManyThreadsWhileRunning) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    script_->answerAutomatically([](const std::string& address) {
        return address.back() % 2 == 0;  // Even last digit: answers.
    });
    HealthMonitorOptions options = fastOptions();
    options.probeIntervalMs = 0;
    auto monitor = makeMonitor(options);
    monitor->start();
    {
        std::vector<std::jthread> writers;
        for (int t = 0; t < kThreads; ++t) {
            writers.emplace_back([&, t] {
                for (int round = 0; round < kRounds; ++round) {
                    const std::string hostname = "panel-" + std::to_string(t);
                    DeviceEntry device;
                    device.hostname = hostname;
                    device.ip = "198.18.1." + std::to_string(t * 10 + round % 10);
                    devices_.addOrUpdateDevice(device);
                    monitor->requestRefresh();
                    if (round % 7 == 0) {
                        devices_.removeDevice(hostname);
                    }
                }
            });
        }
    }
    ASSERT_TRUE(script_->awaitCalls(script_->calls() + 3));
    EXPECT_TRUE(stopsWithinDeadline(*monitor));
    EXPECT_THAT(monitorLines("error"), IsEmpty());
}

}  // namespace
}  // namespace pellan
