// EmberManager against simulated providers on distinct loopback addresses: registry updates,
// pushes, GPIO writes and help signalling.
#include "ember/ember_manager.hpp"

#include "devices/device_entry.hpp"
#include "devices/device_manager.hpp"
#include "devices/device_model.hpp"
#include "ember/ember_vgpio_client.hpp"
#include "ember_client_test_support.hpp"
#include "log/logger.hpp"
#include "settings/app_settings_manager.hpp"
#include "simulators/ember_provider_sim.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <tuple>

namespace pellan {
namespace {

using namespace test;
using ::testing::ElementsAre;

constexpr const char* kPanelA = "127.0.0.2";
constexpr const char* kPanelB = "127.0.0.3";
constexpr const char* kGpioUnit = "127.0.0.4";
constexpr const char* kNobody = "127.0.0.5";
constexpr const char* kPanelAName = "TRQ-PN1-A1";
constexpr const char* kPanelBName = "TRQ-PN2-B2";
constexpr const char* kGpioName = "trq-gpio-7";
constexpr int kHelpIndex = 3;
constexpr int kHelpOutput = 5;

/// What the manager pushed, with waits.
class Pushes {
public:
    EmberPushTarget target() {
        return {[this](const DeviceEntry& record) {
                    std::lock_guard lock(mutex_);
                    devices_.push_back(record);
                    changed_.notify_all();
                },
                [this](const std::string& hostname, int index, bool state) {
                    std::lock_guard lock(mutex_);
                    vgpio_.emplace_back(hostname, index, state);
                    changed_.notify_all();
                }};
    }
    bool waitForDevices(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return devices_.size() >= count; });
    }
    /// Waits for a device push of `hostname` that satisfies `test`.
    bool waitForDevice(const std::string& hostname,
                       const std::function<bool(const DeviceEntry&)>& test) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] {
            return std::any_of(devices_.begin(), devices_.end(), [&](const DeviceEntry& d) {
                return d.hostname == hostname && test(d);
            });
        });
    }
    bool waitForVgpio(const std::string& hostname, int index, bool state, std::size_t count = 1) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWait,
                                 [&] { return vgpioCount(hostname, index, state) >= count; });
    }
    std::size_t vgpioCount(const std::string& hostname, int index, bool state) const {
        return static_cast<std::size_t>(
            std::count(vgpio_.begin(), vgpio_.end(), std::make_tuple(hostname, index, state)));
    }
    std::size_t deviceCount() {
        std::lock_guard lock(mutex_);
        return devices_.size();
    }
    std::size_t vgpioTotal(const std::string& hostname) {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(
            std::count_if(vgpio_.begin(), vgpio_.end(),
                          [&](const auto& p) { return std::get<0>(p) == hostname; }));
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<DeviceEntry> devices_;
    std::vector<std::tuple<std::string, int, bool>> vgpio_;
};

std::vector<std::int32_t> gpioPath(int port, int field) {
    return {1, 4, 1, port, field};
}

EmberVgpioSettings settingsOf(const char* model) {
    return EmberVgpioSettings::fromModel(lookupDeviceModel(model));
}

class EmberManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        logger.setListener([logs = logs](const LogEntry& entry) {
            logs->add("[" + entry.category + "] " + entry.message);
        });
        ASSERT_TRUE(startProviders());
        addDevice(kPanelAName, kPanelA, kHelpIndex);
        addDevice(kPanelBName, kPanelB, kHelpIndex);
        addDevice(kGpioName, kGpioUnit, -1);
        AppSettings app;
        app.helpGpioHostname = kGpioName;
        app.helpGpioPhysicalIndex = kHelpOutput;
        settings.apply(app);

        EmberManagerOptions options;
        options.gpioPort = port;
        options.vgpioPort = port;
        options.client = fastOptions(diagnostics);
        manager =
            std::make_unique<EmberManager>(devices, logger, pushes.target(), settings, options);
        logs->clear();
    }
    void TearDown() override {
        manager.reset();
        logger.setListener(nullptr);
    }

    /// Every provider on one port, each on its own address.
    bool startProviders() {
        for (int attempt = 0; attempt < 5; ++attempt) {
            panelA = std::make_unique<EmberProviderSim>(
                EmberProviderSim::vgpioTree(settingsOf("TRQ-PN1")), simOptions(kPanelA, 0));
            if (!panelA->start()) {
                continue;
            }
            port = panelA->port();
            panelB = std::make_unique<EmberProviderSim>(
                EmberProviderSim::vgpioTree(settingsOf("TRQ-PN2")), simOptions(kPanelB, port));
            unit = std::make_unique<EmberProviderSim>(EmberProviderSim::gpioTree(),
                                                      simOptions(kGpioUnit, port));
            if (panelB->start() && unit->start()) {
                return true;
            }
        }
        return false;
    }
    static EmberProviderSimOptions simOptions(const char* address, int onPort) {
        EmberProviderSimOptions options;
        options.address = address;
        options.port = onPort;
        return options;
    }
    void addDevice(const std::string& hostname, const std::string& ip, int helpIndex) {
        DeviceEntry record;
        record.hostname = hostname;
        record.ip = ip;
        devices.addOrUpdateDevice(record);
        devices.setOnlineByIp(ip, true);
        devices.setDeviceAudioSettings(hostname, -1, -1, helpIndex);
    }

    /// The GPIO unit's client, connected and subscribed, its first reports in the registry.
    void connectUnit() {
        manager->startEmberForGpio(kGpioUnit, 1);
        ASSERT_TRUE(unit->waitForRequests(30, kWait));
        ASSERT_TRUE(pushes.waitForDevice(
            kGpioName, [](const DeviceEntry& d) { return d.gpioPhysicalTypes[10] == 1; }));
    }
    /// A panel's client, subscribed, its first status reports (all 0) pushed.
    void connectPanel(const char* ip, const char* model, const std::string& hostname) {
        manager->startEmberForDevice(ip, model);
        for (int entry = 1; entry <= 10; ++entry) {
            ASSERT_TRUE(pushes.waitForVgpio(hostname, entry, false));
        }
    }
    /// Returns once every report the panel's provider sent before has been handled: a type
    /// change is reported after them on the same worker and pushes the device.
    void barrier(EmberProviderSim& sim, const std::vector<std::int32_t>& base,
                 const std::string& hostname) {
        std::vector<std::int32_t> path = base;
        path.push_back(9);
        path.push_back(1);
        const std::int64_t type = ++barrierType_;
        ASSERT_TRUE(sim.setValue(path, type));
        ASSERT_TRUE(pushes.waitForDevice(
            hostname, [type](const DeviceEntry& d) { return d.vgpioTypes[9] == type; }));
    }
    std::vector<std::string> helpLines() const {
        std::vector<std::string> out;
        for (const std::string& line : logs->all()) {
            if (line.find("[HelpActive GPIO]") != std::string::npos) {
                out.push_back(line);
            }
        }
        return out;
    }
    std::vector<std::pair<std::vector<std::int32_t>, std::int64_t>> unitWrites() const {
        std::vector<std::pair<std::vector<std::int32_t>, std::int64_t>> out;
        for (const EmberSimWrite& write : unit->writes()) {
            out.emplace_back(write.path, write.value);
        }
        return out;
    }
    std::string diagnosticPrefix() const {
        return "ip=" + std::string(kGpioUnit) + " port=" + std::to_string(port);
    }

    Logger logger;
    DeviceManager devices{logger};
    AppSettingsManager settings{logger, [] { return std::vector<NetworkInterfaceInfo>{}; }};
    std::shared_ptr<Lines> logs = std::make_shared<Lines>();
    std::shared_ptr<Lines> diagnostics = std::make_shared<Lines>();
    Pushes pushes;
    int port = 0;
    std::unique_ptr<EmberProviderSim> panelA;
    std::unique_ptr<EmberProviderSim> panelB;
    std::unique_ptr<EmberProviderSim> unit;
    std::unique_ptr<EmberManager> manager;  // Last: stopped before the providers go.
    std::int64_t barrierType_ = 100;
};

using Writes = std::vector<std::pair<std::vector<std::int32_t>, std::int64_t>>;

TEST_F(EmberManagerTest, HelpRequestSwitchesTheOutputOnAndTheLastClearedHelpSwitchesItOff) {
    connectUnit();
    connectPanel(kPanelA, "TRQ-PN1", kPanelAName);
    connectPanel(kPanelB, "TRQ-PN2", kPanelBName);

    ASSERT_TRUE(panelA->setValue({1, 6, 2, kHelpIndex, 6}, true));
    ASSERT_TRUE(unit->waitForWrites(2, kWait));
    EXPECT_EQ(unitWrites(), (Writes{{gpioPath(kHelpOutput, 2), 1}, {gpioPath(kHelpOutput, 3), 1}}));
    ASSERT_TRUE(logs->waitFor("[HelpActive GPIO]"));
    EXPECT_THAT(helpLines(), ElementsAre("[audio] [HelpActive GPIO] device=trq-gpio-7 phys=5 "
                                         "override=Set(True) status=Set(True) (anyhelp=active)"));
    const auto overrideSent =
        diagnostics->timeOf("SetParameter sent to " + diagnosticPrefix() + " path=[1.4.1.5.2]");
    const auto statusAsked =
        diagnostics->timeOf("request write to " + diagnosticPrefix() + " physical=5 field=status");
    ASSERT_TRUE(overrideSent && statusAsked);
    EXPECT_GE(*statusAsked - *overrideSent, kHelpStatusDelay);
    EXPECT_TRUE(pushes.waitForVgpio(kPanelAName, kHelpIndex, true));
    EXPECT_EQ(devices.findDeviceByIp(kPanelA).vgpioStates[kHelpIndex], 1);
    EXPECT_TRUE(manager->lastHelpActive());

    // A second request while the first is on, then the first clears: nothing to switch.
    ASSERT_TRUE(panelB->setValue({1, 5, 2, kHelpIndex, 6}, true));
    barrier(*panelB, {1, 5, 2}, kPanelBName);
    ASSERT_TRUE(panelA->setValue({1, 6, 2, kHelpIndex, 6}, false));
    barrier(*panelA, {1, 6, 2}, kPanelAName);
    EXPECT_EQ(unit->writes().size(), 2U);
    EXPECT_EQ(helpLines().size(), 1U);

    // The last request clears: the status goes false, once.
    ASSERT_TRUE(panelB->setValue({1, 5, 2, kHelpIndex, 6}, false));
    ASSERT_TRUE(unit->waitForWrites(4, kWait));
    ASSERT_TRUE(logs->waitFor("[HelpActive GPIO]", 2));
    barrier(*panelB, {1, 5, 2}, kPanelBName);
    barrier(*panelA, {1, 6, 2}, kPanelAName);
    const Writes writes = unitWrites();
    EXPECT_EQ(writes, (Writes{{gpioPath(kHelpOutput, 2), 1},
                              {gpioPath(kHelpOutput, 3), 1},
                              {gpioPath(kHelpOutput, 2), 1},
                              {gpioPath(kHelpOutput, 3), 0}}));
    EXPECT_EQ(helpLines().back(), "[audio] [HelpActive GPIO] device=trq-gpio-7 phys=5 "
                                  "override=Set(True) status=Set(False) (anyhelp=inactive)");
    EXPECT_EQ(helpLines().size(), 2U);
}

TEST_F(EmberManagerTest, OfflinePanelsDoNotCountAndForceWritesAnyway) {
    connectUnit();
    devices.setOnlineByIp(kPanelA, false);
    connectPanel(kPanelA, "TRQ-PN1", kPanelAName);
    ASSERT_TRUE(panelA->setValue({1, 6, 2, kHelpIndex, 6}, true));
    ASSERT_TRUE(pushes.waitForVgpio(kPanelAName, kHelpIndex, true));
    barrier(*panelA, {1, 6, 2}, kPanelAName);
    EXPECT_TRUE(unit->writes().empty());
    EXPECT_FALSE(manager->lastHelpActive());

    manager->updateHelpGpio(true);
    ASSERT_TRUE(unit->waitForWrites(2, kWait));
    EXPECT_EQ(unitWrites(), (Writes{{gpioPath(kHelpOutput, 2), 1}, {gpioPath(kHelpOutput, 3), 0}}));
    EXPECT_THAT(helpLines(),
                ElementsAre("[audio] [HelpActive GPIO] device=trq-gpio-7 phys=5 "
                            "override=Set(True) status=Set(False) (anyhelp=inactive)"));
}

TEST_F(EmberManagerTest, HelpWithAnIncompleteConfigurationWritesAndLogsNothing) {
    connectUnit();
    const std::vector<std::pair<std::string, int>> configurations{{"", kHelpOutput},
                                                                  {kGpioName, 0},
                                                                  {kGpioName, 11},
                                                                  {"missing", kHelpOutput},
                                                                  {kPanelAName, kHelpOutput}};
    for (const auto& [hostname, index] : configurations) {
        SCOPED_TRACE(hostname + " " + std::to_string(index));
        AppSettings app;
        app.helpGpioHostname = hostname;
        app.helpGpioPhysicalIndex = index;
        settings.apply(app);
        manager->updateHelpGpio(true);
    }
    // A write of its own after them is the first the unit sees.
    ASSERT_TRUE(manager->gpioSetStatus(kGpioUnit, 1, true));
    ASSERT_TRUE(unit->waitForWrites(1, kWait));
    EXPECT_EQ(unitWrites(), (Writes{{gpioPath(1, 3), 1}}));
    EXPECT_TRUE(helpLines().empty());
}

TEST_F(EmberManagerTest, WritesReportTheirOutcomeAndFailWithoutAConnectedClient) {
    EXPECT_FALSE(manager->gpioSetStatus(kNobody, 2, true));
    EXPECT_FALSE(manager->gpioSetOverride(kNobody, 2, true));
    manager->startEmberForGpio(kNobody, 1);  // Nothing listens there.
    EXPECT_FALSE(manager->gpioSetOverride(kNobody, 2, true));
    connectUnit();
    EXPECT_TRUE(manager->gpioSetStatus(kGpioUnit, 2, true));
    EXPECT_TRUE(manager->gpioSetOverride(kGpioUnit, 2, false));
    ASSERT_TRUE(unit->waitForWrites(2, kWait));
    EXPECT_EQ(unitWrites(), (Writes{{gpioPath(2, 3), 1}, {gpioPath(2, 2), 0}}));

    const std::vector<std::string> lines = logs->all();
    const std::vector<std::string> expected{
        "[error] EmberManager: gpioSetStatus failed - no gpio client available(online) for "
        "ip=127.0.0.5",
        "[error] EmberManager: gpioSetOverride failed - no gpio client available(online) for "
        "ip=127.0.0.5",
        "[error] EmberManager: gpioSetOverride ip=127.0.0.5 physical=2 enable=true => FAIL",
        "[audio] EmberManager: gpioSetStatus ip=127.0.0.4 physical=2 status=true => OK",
        "[audio] EmberManager: gpioSetOverride ip=127.0.0.4 physical=2 enable=false => OK"};
    EXPECT_EQ(lines, expected);
}

TEST_F(EmberManagerTest, GpioReportsFillTheRegistryAndOnlyChangedTypesArePushed) {
    connectUnit();
    ASSERT_TRUE(pushes.waitForDevices(10));
    // Unchanged type: no push; changed type: one push, which also shows that everything the
    // unit sent before was handled.
    ASSERT_TRUE(unit->setValue(gpioPath(10, 1), std::int64_t{1}));
    ASSERT_TRUE(unit->setValue(gpioPath(3, 3), true));
    ASSERT_TRUE(unit->setValue(gpioPath(3, 2), true));
    ASSERT_TRUE(unit->setValue(gpioPath(2, 1), std::int64_t{4}));
    ASSERT_TRUE(pushes.waitForDevice(
        kGpioName, [](const DeviceEntry& d) { return d.gpioPhysicalTypes[2] == 4; }));
    EXPECT_EQ(pushes.deviceCount(), 11U);

    const DeviceEntry record = devices.findDeviceByIp(kGpioUnit);
    for (int portNumber = 1; portNumber <= 10; ++portNumber) {
        SCOPED_TRACE(portNumber);
        const auto at = static_cast<std::size_t>(portNumber);
        EXPECT_EQ(record.gpioPhysicalTypes[at], portNumber == 2 ? 4 : 1);
        EXPECT_EQ(record.gpioPhysicalOverride[at], portNumber == 3 ? 1 : 0);
        EXPECT_EQ(record.gpioPhysicalStatus[at], portNumber == 3 ? 1 : 0);
    }
    EXPECT_EQ(record.gpioPhysicalTypes[0], -1);
}

TEST_F(EmberManagerTest, EveryVgpioStatusReportIsPushedEvenWhenUnchanged) {
    connectPanel(kPanelA, "TRQ-PN1", kPanelAName);
    ASSERT_TRUE(panelA->setValue({1, 6, 2, 2, 6}, false));
    ASSERT_TRUE(pushes.waitForVgpio(kPanelAName, 2, false, 2));
    barrier(*panelA, {1, 6, 2}, kPanelAName);
    EXPECT_EQ(pushes.vgpioTotal(kPanelAName), 11U);
    const DeviceEntry record = devices.findDeviceByIp(kPanelA);
    EXPECT_EQ(record.vgpioStates[2], 0);
    EXPECT_EQ(record.vgpioTypes[1], 1);
}

TEST_F(EmberManagerTest, StartsOneClientPerAddressAndLogsEachStop) {
    manager->startEmberForDevice(kPanelA, "TRQ-PN1");
    manager->startEmberForDevice(kPanelA, "TRQ-PN1");
    manager->startEmberForDevice(kNobody, "TRQ-R8X");  // No Ember+: no client.
    manager->startEmberForGpio(kGpioUnit, 1);
    manager->startEmberForGpio(kGpioUnit, 2);
    ASSERT_TRUE(panelA->waitForRequests(20, kWait));
    ASSERT_TRUE(unit->waitForRequests(30, kWait));
    EXPECT_TRUE(manager->hasVgpioClient(kPanelA));
    EXPECT_FALSE(manager->hasVgpioClient(kNobody));

    manager->stopEmberForDevice(kPanelA);
    manager->stopEmberForDevice(kPanelA);
    manager->stopEmberForGpio(kGpioUnit);
    EXPECT_TRUE(panelA->waitForOpen(0, kWait));
    EXPECT_TRUE(unit->waitForOpen(0, kWait));
    EXPECT_EQ(panelA->connectionsAccepted(), 1U);
    EXPECT_EQ(unit->connectionsAccepted(), 1U);
    EXPECT_FALSE(manager->hasVgpioClient(kPanelA));
    EXPECT_FALSE(manager->hasGpioClient(kGpioUnit));
    EXPECT_EQ(logs->count("[device] Ember connection to device 127.0.0.2 is stopped"), 1U);
    EXPECT_EQ(logs->count("[device] Ember connection to GPIO device 127.0.0.4 is stopped"), 1U);
}

TEST_F(EmberManagerTest, StopAllStopsEveryClientWithoutLogging) {
    connectUnit();
    connectPanel(kPanelA, "TRQ-PN1", kPanelAName);
    connectPanel(kPanelB, "TRQ-PN2", kPanelBName);
    logs->clear();
    manager->stopAll();
    manager->stopAll();
    EXPECT_TRUE(panelA->waitForOpen(0, kWait));
    EXPECT_TRUE(panelB->waitForOpen(0, kWait));
    EXPECT_TRUE(unit->waitForOpen(0, kWait));
    EXPECT_FALSE(manager->hasVgpioClient(kPanelA));
    EXPECT_FALSE(manager->hasGpioClient(kGpioUnit));
    EXPECT_TRUE(logs->all().empty());
}

TEST_F(EmberManagerTest, StoppingAPanelDuringItsHelpWriteNeitherBlocksNorLosesTheStatus) {
    connectUnit();
    connectPanel(kPanelA, "TRQ-PN1", kPanelAName);
    ASSERT_TRUE(panelA->setValue({1, 6, 2, kHelpIndex, 6}, true));
    // The override is out; the panel's worker now waits out the pause inside its report and
    // then needs the manager's lock for the status write.
    ASSERT_TRUE(unit->waitForWrites(1, kWait));
    auto stopped = std::async(std::launch::async, [this] { manager->stopEmberForDevice(kPanelA); });
    ASSERT_EQ(stopped.wait_for(kWait), std::future_status::ready);
    ASSERT_TRUE(unit->waitForWrites(2, kWait));
    EXPECT_EQ(unitWrites(), (Writes{{gpioPath(kHelpOutput, 2), 1}, {gpioPath(kHelpOutput, 3), 1}}));
    EXPECT_EQ(logs->count("[device] Ember connection to device 127.0.0.2 is stopped"), 1U);
    EXPECT_EQ(diagnostics->count("stop timed out"), 0U);
}

}  // namespace
}  // namespace pellan
