#include "devices/device_manager.hpp"

#include "devices/device_entry.hpp"
#include "log/logger.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <latch>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace pellan {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

using LogLine = std::pair<std::string, std::string>;  // message, category

DeviceEntry makeRecord(const std::string& hostname, const std::string& ip = "") {
    DeviceEntry record;
    record.hostname = hostname;
    record.ip = ip;
    return record;
}

std::vector<std::string> hostnames(const std::vector<DeviceEntry>& devices) {
    std::vector<std::string> names;
    names.reserve(devices.size());
    for (const DeviceEntry& d : devices) {
        names.push_back(d.hostname);
    }
    return names;
}

class DeviceManagerTest : public ::testing::Test {
protected:
    std::vector<LogLine> logLines() const {
        std::vector<LogLine> lines;
        for (const LogEntry& entry : logger.recentEntries()) {
            lines.emplace_back(entry.message, entry.category);
        }
        return lines;
    }

    /// The lines logged since the last call.
    std::vector<LogLine> newLogLines() {
        std::vector<LogLine> all = logLines();
        std::vector<LogLine> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end());
        seen_ = all.size();
        return fresh;
    }

    Logger logger;
    DeviceManager devices{logger};

private:
    std::size_t seen_ = 0;
};

// ---- addOrUpdateDevice and the merge rules ----

TEST_F(DeviceManagerTest, AddsDiscoveredDeviceWithDerivedStockCodeAndLogsDiscovery) {
    DeviceEntry record = makeRecord("TRQ-PN4-0A1B2C", "198.18.0.4");
    record.stockCode = "WRONG";
    record.commCount = 7;

    EXPECT_TRUE(devices.addOrUpdateDevice(record));

    const DeviceEntry stored = devices.findDeviceByHostname("TRQ-PN4-0A1B2C");
    EXPECT_EQ(stored.stockCode, "TRQ-PN4");
    EXPECT_EQ(stored.commCount, 4);
    EXPECT_EQ(stored.ip, "198.18.0.4");
    EXPECT_THAT(newLogLines(), ElementsAre(Pair("Device discovered: TRQ-PN4-0A1B2C", "discovery")));
}

TEST_F(DeviceManagerTest, AddsManualDeviceAndLogsManual) {
    DeviceEntry record = makeRecord("TRQ-PN1-AA");
    record.isManuallyAdded = true;

    EXPECT_TRUE(devices.addOrUpdateDevice(record));

    EXPECT_TRUE(devices.findDeviceByHostname("TRQ-PN1-AA").isManuallyAdded);
    EXPECT_THAT(newLogLines(),
                ElementsAre(Pair("Device manually added with hostname: TRQ-PN1-AA", "manual")));
}

TEST_F(DeviceManagerTest, RejectsEmptyHostnameSilently) {
    EXPECT_FALSE(devices.addOrUpdateDevice(makeRecord("", "198.19.0.1")));
    EXPECT_THAT(devices.listDevices(), IsEmpty());
    EXPECT_THAT(logLines(), IsEmpty());
}

TEST_F(DeviceManagerTest, MergingAnIdenticalRecordReturnsFalseAndLogsNothing) {
    DeviceEntry record = makeRecord("TRQ-PN2-01", "198.19.0.2");
    record.danteName = "dante-pn2";
    record.discoveredByHttp = true;
    ASSERT_TRUE(devices.addOrUpdateDevice(record));
    newLogLines();

    record.stockCode = "SOMETHING-ELSE";  // Replaced by derivation, so not a difference.
    record.commCount = 0;
    EXPECT_FALSE(devices.addOrUpdateDevice(record));
    EXPECT_THAT(newLogLines(), IsEmpty());
    EXPECT_EQ(devices.listDevices().size(), 1u);
}

TEST_F(DeviceManagerTest, MergeWithEmptyIpKeepsStoredIpAndNewIpReplacesIt) {
    ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("TRQ-PN2-01", "198.19.0.2")));
    newLogLines();

    EXPECT_FALSE(devices.addOrUpdateDevice(makeRecord("TRQ-PN2-01", "")));
    EXPECT_EQ(devices.findDeviceByHostname("TRQ-PN2-01").ip, "198.19.0.2");
    EXPECT_THAT(newLogLines(), IsEmpty());

    EXPECT_TRUE(devices.addOrUpdateDevice(makeRecord("TRQ-PN2-01", "198.19.0.9")));
    EXPECT_EQ(devices.findDeviceByHostname("TRQ-PN2-01").ip, "198.19.0.9");
    EXPECT_THAT(newLogLines(),
                ElementsAre(Pair("Updated device: TRQ-PN2-01 198.19.0.9", "discovery")));
}

TEST_F(DeviceManagerTest, MergeStoresNonEmptyIdentityFieldsAndNeverClearsThem) {
    DeviceEntry first = makeRecord("TRQ-PN1-01", "198.19.0.1");
    first.hostname2 = "dante-host";
    first.danteName = "dante-name";
    first.friendlyName = "Studio A";
    first.ip2 = "198.19.1.1";
    ASSERT_TRUE(devices.addOrUpdateDevice(first));

    EXPECT_FALSE(devices.addOrUpdateDevice(makeRecord("TRQ-PN1-01")));
    DeviceEntry stored = devices.findDeviceByHostname("TRQ-PN1-01");
    EXPECT_EQ(stored.hostname2, "dante-host");
    EXPECT_EQ(stored.danteName, "dante-name");
    EXPECT_EQ(stored.friendlyName, "Studio A");
    EXPECT_EQ(stored.ip2, "198.19.1.1");

    DeviceEntry second = makeRecord("TRQ-PN1-01");
    second.friendlyName = "Studio B";
    second.ip2 = "198.19.1.2";
    EXPECT_TRUE(devices.addOrUpdateDevice(second));
    stored = devices.findDeviceByHostname("TRQ-PN1-01");
    EXPECT_EQ(stored.friendlyName, "Studio B");
    EXPECT_EQ(stored.ip2, "198.19.1.2");
    EXPECT_EQ(stored.ip, "198.19.0.1");
}

TEST_F(DeviceManagerTest, ManualMarkFollowsTheLatestAdd) {
    ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("TRQ-PN4-01", "198.18.0.4")));

    DeviceEntry manual = makeRecord("TRQ-PN4-01");
    manual.isManuallyAdded = true;
    EXPECT_TRUE(devices.addOrUpdateDevice(manual));
    EXPECT_TRUE(devices.findDeviceByHostname("TRQ-PN4-01").isManuallyAdded);

    EXPECT_TRUE(devices.addOrUpdateDevice(makeRecord("TRQ-PN4-01", "198.18.0.4")));
    EXPECT_FALSE(devices.findDeviceByHostname("TRQ-PN4-01").isManuallyAdded);
}

TEST_F(DeviceManagerTest, DiscoveryFlagsAreOnlyTurnedOnByAMerge) {
    DeviceEntry http = makeRecord("TRQ-PN4-01");
    http.discoveredByHttp = true;
    ASSERT_TRUE(devices.addOrUpdateDevice(http));

    DeviceEntry netaudio = makeRecord("TRQ-PN4-01");
    netaudio.discoveredByNetaudio = true;
    EXPECT_TRUE(devices.addOrUpdateDevice(netaudio));
    DeviceEntry stored = devices.findDeviceByHostname("TRQ-PN4-01");
    EXPECT_TRUE(stored.discoveredByHttp);
    EXPECT_TRUE(stored.discoveredByNetaudio);

    EXPECT_FALSE(devices.addOrUpdateDevice(makeRecord("TRQ-PN4-01")));
    stored = devices.findDeviceByHostname("TRQ-PN4-01");
    EXPECT_TRUE(stored.discoveredByHttp);
    EXPECT_TRUE(stored.discoveredByNetaudio);
}

TEST_F(DeviceManagerTest, MergeLeavesUserSettingsOnlineStateAndLiveStateAlone) {
    ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("TRQ-PN4-01", "198.18.0.4")));
    devices.setMonitored("TRQ-PN4-01", true);
    devices.setOnlineByIp("198.18.0.4", true);
    devices.setDeviceAudioSettings("TRQ-PN4-01", 3, 5, 7);
    ASSERT_TRUE(devices.setLinkedGpio("TRQ-PN4-01", "TRQ-GPIO", 2));
    DeviceEntry meters;
    meters.meterLevels = {1, 2, 3, 4, 5, 6, 7, 8};
    devices.updateMeterLevelsByIp("198.18.0.4", meters);
    const DeviceEntry before = devices.findDeviceByHostname("TRQ-PN4-01");

    DeviceEntry incoming = makeRecord("TRQ-PN4-01", "198.18.0.44");
    incoming.isMonitored = false;
    incoming.isOnline = false;
    incoming.talkActive = true;
    incoming.paInputDeviceIndex = 9;
    incoming.paTalkOutputDeviceIndex = 9;
    incoming.vgpioHelpIndex = 9;
    incoming.linkedGpioHostname = "OTHER";
    incoming.linkedGpioPhysicalIndex = 9;
    incoming.meterLevels.fill(42);
    incoming.vgpioStates.fill(1);
    EXPECT_TRUE(devices.addOrUpdateDevice(incoming));

    DeviceEntry expected = before;
    expected.ip = "198.18.0.44";
    EXPECT_EQ(devices.findDeviceByHostname("TRQ-PN4-01"), expected);
}

// ---- Look-ups ----

TEST_F(DeviceManagerTest, LookupsReturnCopiesOrTheDefaultRecord) {
    DeviceEntry a = makeRecord("TRQ-PN1-A", "198.19.0.1");
    a.danteName = "dante-a";
    a.hostname2 = "h2-a";
    DeviceEntry b = makeRecord("TRQ-PN1-B", "198.19.0.1");  // Same ip: first match wins.
    b.danteName = "dante-b";
    ASSERT_TRUE(devices.addOrUpdateDevice(a));
    ASSERT_TRUE(devices.addOrUpdateDevice(b));

    EXPECT_EQ(devices.findDeviceByHostname("TRQ-PN1-B").danteName, "dante-b");
    EXPECT_TRUE(devices.findDeviceByHostname("trq-pn1-b").hostname.empty());  // Case-sensitive.
    EXPECT_EQ(devices.findDeviceByIp("198.19.0.1").hostname, "TRQ-PN1-A");
    EXPECT_TRUE(devices.findDeviceByIp("198.19.0.2").hostname.empty());
    EXPECT_EQ(devices.findDeviceByDanteName("dante-b").hostname, "TRQ-PN1-B");
    EXPECT_TRUE(devices.findDeviceByDanteName("dante-c").hostname.empty());
    EXPECT_EQ(devices.findDeviceByHostname2("h2-a").hostname, "TRQ-PN1-A");
    EXPECT_TRUE(devices.findDeviceByHostname2("h2-b").hostname.empty());
    EXPECT_EQ(devices.findDeviceByHostname("nothing"), DeviceEntry{});
}

TEST_F(DeviceManagerTest, EmptyIpMatchesFirstUndiscoveredDeviceButEmptyNamesNeverMatch) {
    ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("TRQ-PN1-A", "198.19.0.1")));
    ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("manual-host")));  // No ip, dante name, h2.
    ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("manual-host-2")));

    EXPECT_EQ(devices.findDeviceByIp("").hostname, "manual-host");
    EXPECT_TRUE(devices.findDeviceByDanteName("").hostname.empty());
    EXPECT_TRUE(devices.findDeviceByHostname2("").hostname.empty());
}

TEST_F(DeviceManagerTest, ListsKeepInsertionOrder) {
    for (const char* name : {"c", "a", "b", "d"}) {
        ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord(name)));
    }
    devices.setMonitored("b", true);
    devices.setMonitored("c", true);
    devices.setMonitored("missing", true);

    EXPECT_THAT(hostnames(devices.listDevices()), ElementsAre("c", "a", "b", "d"));
    EXPECT_THAT(hostnames(devices.listMonitoredDevices()), ElementsAre("c", "b"));

    ASSERT_TRUE(devices.removeDevice("a"));
    EXPECT_THAT(hostnames(devices.listDevices()), ElementsAre("c", "b", "d"));
    devices.setMonitored("c", false);
    EXPECT_THAT(hostnames(devices.listMonitoredDevices()), ElementsAre("b"));
}

struct GpioLinkCase {
    std::string gpioHostname;
    std::int32_t physicalIndex;
    std::string exceptHostname;
    bool linked;
};

class IsGpioOutputLinkedTest : public ::testing::TestWithParam<GpioLinkCase> {};

TEST_P(IsGpioOutputLinkedTest, AnswersFromOtherDevicesLinks) {
    Logger logger;
    DeviceManager devices(logger);
    ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("TRQ-PN1-A")));
    ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("TRQ-PN1-B")));
    ASSERT_TRUE(devices.setLinkedGpio("TRQ-PN1-A", "TRQ-GPIO", 3));
    ASSERT_TRUE(devices.setLinkedGpio("TRQ-PN1-B", "TRQ-GPIO", 10));

    const GpioLinkCase& c = GetParam();
    EXPECT_EQ(devices.isGpioOutputLinked(c.gpioHostname, c.physicalIndex, c.exceptHostname),
              c.linked);
}

INSTANTIATE_TEST_SUITE_P(Part32Cases, IsGpioOutputLinkedTest,
                         ::testing::Values(GpioLinkCase{"TRQ-GPIO", 3, "", true},
                                           GpioLinkCase{"TRQ-GPIO", 10, "", true},
                                           GpioLinkCase{"TRQ-GPIO", 4, "", false},
                                           GpioLinkCase{"trq-gpio", 3, "", false},
                                           GpioLinkCase{"OTHER-GPIO", 3, "", false},
                                           // Outside 1..10: false at once.
                                           GpioLinkCase{"TRQ-GPIO", 0, "", false},
                                           GpioLinkCase{"TRQ-GPIO", 11, "", false},
                                           GpioLinkCase{"TRQ-GPIO", -1, "", false},
                                           // Empty GPIO host name: false at once.
                                           GpioLinkCase{"", 3, "", false},
                                           // A device does not count as linking its own output.
                                           GpioLinkCase{"TRQ-GPIO", 3, "TRQ-PN1-A", false},
                                           GpioLinkCase{"TRQ-GPIO", 3, "TRQ-PN1-B", true},
                                           GpioLinkCase{"TRQ-GPIO", 10, "TRQ-PN1-A", true}));

TEST_F(DeviceManagerTest, UnlinkedDevicesDoNotLinkEmptyGpioHost) {
    ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("TRQ-PN1-A")));
    ASSERT_TRUE(devices.setLinkedGpio("TRQ-PN1-A", "", 5));
    EXPECT_FALSE(devices.isGpioOutputLinked("", 5, ""));
}

// ---- updateDeviceByDanteName ----

TEST_F(DeviceManagerTest, UpdateByDanteNameMergesIdentityAndLogs) {
    DeviceEntry netaudio = makeRecord("dante-host-1");
    netaudio.hostname2 = "dante-host-1";
    netaudio.danteName = "PN4-Studio";
    netaudio.ip2 = "198.19.1.4";
    netaudio.discoveredByNetaudio = true;
    netaudio.isManuallyAdded = true;
    ASSERT_TRUE(devices.addOrUpdateDevice(netaudio));
    newLogLines();

    DeviceEntry http = makeRecord("TRQ-PN4-0A1B2C", "198.18.0.4");
    http.hostname2 = "ignored-h2";
    http.danteName = "ignored-dante";
    http.friendlyName = "Studio 4";
    http.discoveredByHttp = true;
    http.discoveredByNetaudio = false;
    http.isManuallyAdded = false;
    EXPECT_TRUE(devices.updateDeviceByDanteName("PN4-Studio", http));

    const DeviceEntry stored = devices.findDeviceByDanteName("PN4-Studio");
    EXPECT_EQ(stored.hostname, "TRQ-PN4-0A1B2C");
    EXPECT_EQ(stored.stockCode, "TRQ-PN4");
    EXPECT_EQ(stored.commCount, 4);
    EXPECT_EQ(stored.ip, "198.18.0.4");
    EXPECT_EQ(stored.ip2, "198.19.1.4");
    EXPECT_EQ(stored.friendlyName, "Studio 4");
    EXPECT_TRUE(stored.discoveredByHttp);
    // Not touched by this operation.
    EXPECT_EQ(stored.hostname2, "dante-host-1");
    EXPECT_EQ(stored.danteName, "PN4-Studio");
    EXPECT_TRUE(stored.isManuallyAdded);
    EXPECT_TRUE(stored.discoveredByNetaudio);
    EXPECT_THAT(newLogLines(),
                ElementsAre(Pair("Updated device info with Dante Name: PN4-Studio , Host Name: "
                                 "TRQ-PN4-0A1B2C , IP: 198.18.0.4",
                                 "discovery")));

    // The same information again changes nothing.
    EXPECT_FALSE(devices.updateDeviceByDanteName("PN4-Studio", http));
    EXPECT_THAT(newLogLines(), IsEmpty());
}

TEST_F(DeviceManagerTest, UpdateByDanteNameIgnoresEmptyAndUnknownNames) {
    ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("no-dante", "198.19.0.1")));
    newLogLines();
    EXPECT_FALSE(devices.updateDeviceByDanteName("", makeRecord("new-name", "198.19.0.2")));
    EXPECT_FALSE(devices.updateDeviceByDanteName("unknown", makeRecord("new-name", "198.19.0.2")));
    EXPECT_EQ(devices.findDeviceByHostname("no-dante").ip, "198.19.0.1");
    EXPECT_THAT(newLogLines(), IsEmpty());
}

TEST_F(DeviceManagerTest, HostnameChangeCanDuplicateAHostnameAndLookupsSeeTheFirst) {
    DeviceEntry first = makeRecord("TRQ-PN2-01", "198.19.0.1");
    DeviceEntry second = makeRecord("other", "198.19.0.2");
    second.danteName = "dante-2";
    ASSERT_TRUE(devices.addOrUpdateDevice(first));
    ASSERT_TRUE(devices.addOrUpdateDevice(second));
    EXPECT_EQ(devices.findDeviceByHostname("other").commCount, 0);

    EXPECT_TRUE(devices.updateDeviceByDanteName("dante-2", makeRecord("TRQ-PN2-01")));

    EXPECT_THAT(hostnames(devices.listDevices()), ElementsAre("TRQ-PN2-01", "TRQ-PN2-01"));
    EXPECT_EQ(devices.findDeviceByHostname("TRQ-PN2-01").ip, "198.19.0.1");
    const DeviceEntry renamed = devices.findDeviceByDanteName("dante-2");
    EXPECT_EQ(renamed.stockCode, "TRQ-PN2");
    EXPECT_EQ(renamed.commCount, 2);

    // removeDevice removes both in one pass.
    EXPECT_TRUE(devices.removeDevice("TRQ-PN2-01"));
    EXPECT_THAT(devices.listDevices(), IsEmpty());
}

// ---- updateDeviceByHostname2 ----

TEST_F(DeviceManagerTest, UpdateByHostname2MergesIdentityAndLogsWithTheArgument) {
    DeviceEntry netaudio = makeRecord("dante-h2");
    netaudio.hostname2 = "dante-h2";
    netaudio.discoveredByNetaudio = true;
    ASSERT_TRUE(devices.addOrUpdateDevice(netaudio));
    newLogLines();

    DeviceEntry incoming = makeRecord("TRQ-R8X-01", "198.19.0.8");
    incoming.danteName = "Rack";
    incoming.friendlyName = "Rack Unit";
    incoming.ip2 = "198.19.1.8";
    incoming.discoveredByHttp = true;
    incoming.discoveredByNetaudio = false;
    EXPECT_TRUE(devices.updateDeviceByHostname2("dante-h2", incoming));

    const DeviceEntry stored = devices.findDeviceByHostname2("dante-h2");
    EXPECT_EQ(stored.hostname, "TRQ-R8X-01");
    EXPECT_EQ(stored.stockCode, "TRQ-R8X");
    EXPECT_EQ(stored.danteName, "Rack");
    EXPECT_EQ(stored.friendlyName, "Rack Unit");
    EXPECT_EQ(stored.ip, "198.19.0.8");
    EXPECT_EQ(stored.ip2, "198.19.1.8");
    EXPECT_FALSE(stored.discoveredByHttp);  // Discovery flags are not touched here.
    EXPECT_TRUE(stored.discoveredByNetaudio);
    EXPECT_THAT(newLogLines(),
                ElementsAre(Pair("Updated device by HostName2:dante-h2 HostName:TRQ-R8X-01 "
                                 "IP:198.19.0.8",
                                 "discovery")));

    EXPECT_FALSE(devices.updateDeviceByHostname2("dante-h2", incoming));
    EXPECT_FALSE(devices.updateDeviceByHostname2("", incoming));
    EXPECT_FALSE(devices.updateDeviceByHostname2("unknown", incoming));
    EXPECT_THAT(newLogLines(), IsEmpty());
}

struct ManualClearCase {
    std::string label;
    bool discoveredByHttp;
    std::string hostname2;
    std::string danteName;
    std::string ip;
    bool clearsManual;
};

class UpdateByHostname2ManualTest : public ::testing::TestWithParam<ManualClearCase> {};

TEST_P(UpdateByHostname2ManualTest, ClearsManualMarkOnlyForDiscoveryInformation) {
    Logger logger;
    DeviceManager devices(logger);
    DeviceEntry manual = makeRecord("TRQ-PN1-01");
    manual.hostname2 = "h2";
    manual.isManuallyAdded = true;
    ASSERT_TRUE(devices.addOrUpdateDevice(manual));

    const ManualClearCase& c = GetParam();
    DeviceEntry incoming;
    incoming.discoveredByHttp = c.discoveredByHttp;
    incoming.hostname2 = c.hostname2;
    incoming.danteName = c.danteName;
    incoming.ip = c.ip;
    incoming.ip2 = "";  // ip2 alone is not discovery information.

    EXPECT_EQ(devices.updateDeviceByHostname2("h2", incoming), c.clearsManual);
    EXPECT_EQ(devices.findDeviceByHostname("TRQ-PN1-01").isManuallyAdded, !c.clearsManual);
}

INSTANTIATE_TEST_SUITE_P(
    Part32Cases, UpdateByHostname2ManualTest,
    ::testing::Values(ManualClearCase{"Http", true, "", "", "", true},
                      ManualClearCase{"Hostname2", false, "h2", "", "", true},
                      ManualClearCase{"DanteName", false, "", "dante", "", true},
                      ManualClearCase{"Ip", false, "", "", "198.19.0.1", true},
                      ManualClearCase{"Nothing", false, "", "", "", false}),
    [](const ::testing::TestParamInfo<ManualClearCase>& caseInfo) { return caseInfo.param.label; });

TEST_F(DeviceManagerTest, UpdateByHostname2WithOnlyIp2KeepsManualMark) {
    DeviceEntry manual = makeRecord("TRQ-PN1-01");
    manual.hostname2 = "h2";
    manual.isManuallyAdded = true;
    ASSERT_TRUE(devices.addOrUpdateDevice(manual));

    DeviceEntry incoming;
    incoming.ip2 = "198.19.1.1";
    EXPECT_TRUE(devices.updateDeviceByHostname2("h2", incoming));
    const DeviceEntry stored = devices.findDeviceByHostname("TRQ-PN1-01");
    EXPECT_EQ(stored.ip2, "198.19.1.1");
    EXPECT_TRUE(stored.isManuallyAdded);
}

// ---- Removal ----

TEST_F(DeviceManagerTest, RemoveDeviceReportsWhetherAnythingWentAndDoesNotLog) {
    ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("a")));
    ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("b")));
    newLogLines();

    EXPECT_FALSE(devices.removeDevice(""));
    EXPECT_FALSE(devices.removeDevice("missing"));
    EXPECT_FALSE(devices.removeDevice("A"));
    EXPECT_TRUE(devices.removeDevice("a"));
    EXPECT_FALSE(devices.removeDevice("a"));
    EXPECT_THAT(hostnames(devices.listDevices()), ElementsAre("b"));
    EXPECT_THAT(newLogLines(), IsEmpty());
}

TEST_F(DeviceManagerTest, RemovesOnlyNetaudioRecordsOfThatDanteName) {
    DeviceEntry netaudio = makeRecord("dante-host");
    netaudio.danteName = "Studio";
    netaudio.discoveredByNetaudio = true;
    DeviceEntry http = makeRecord("TRQ-PN1-01");
    http.danteName = "Studio";
    http.discoveredByHttp = true;
    DeviceEntry otherName = makeRecord("dante-host-2");
    otherName.danteName = "Other";
    otherName.discoveredByNetaudio = true;
    DeviceEntry noName = makeRecord("dante-host-3");
    noName.discoveredByNetaudio = true;
    for (const DeviceEntry& d : {netaudio, http, otherName, noName}) {
        ASSERT_TRUE(devices.addOrUpdateDevice(d));
    }
    newLogLines();

    EXPECT_FALSE(devices.removeNetaudioDevicesByDanteName(""));
    EXPECT_FALSE(devices.removeNetaudioDevicesByDanteName("Nobody"));
    EXPECT_TRUE(devices.removeNetaudioDevicesByDanteName("Studio"));
    EXPECT_FALSE(devices.removeNetaudioDevicesByDanteName("Studio"));
    EXPECT_THAT(hostnames(devices.listDevices()),
                ElementsAre("TRQ-PN1-01", "dante-host-2", "dante-host-3"));
    EXPECT_THAT(newLogLines(), IsEmpty());
}

// ---- restoreDevices ----

TEST_F(DeviceManagerTest, RestoreReplacesRegistryDropsNamelessAndResetsLiveState) {
    ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("old-device")));
    newLogLines();

    DeviceEntry persisted = makeRecord("TRQ-PN2-AB", "198.19.0.2");
    persisted.hostname2 = "h2";
    persisted.stockCode = "STALE";
    persisted.danteName = "Dante";
    persisted.friendlyName = "Friendly";
    persisted.ip2 = "198.19.1.2";
    persisted.isMonitored = true;
    persisted.isManuallyAdded = true;
    persisted.paInputDeviceIndex = 1;
    persisted.paTalkOutputDeviceIndex = 2;
    persisted.vgpioHelpIndex = 3;
    persisted.discoveredByHttp = true;
    persisted.discoveredByNetaudio = true;
    persisted.linkedGpioHostname = "TRQ-GPIO";
    persisted.linkedGpioPhysicalIndex = 4;
    DeviceEntry withLiveState = persisted;
    withLiveState.isOnline = true;
    withLiveState.talkActive = true;
    withLiveState.onAirStates.fill(true);
    withLiveState.lazyGang.fill(true);
    withLiveState.muted.fill(true);
    withLiveState.cough.fill(true);
    withLiveState.gpiMuteStates.fill(true);
    withLiveState.meterLevels.fill(50);
    withLiveState.talkBackStates.fill("talk");
    withLiveState.micMuted = true;
    withLiveState.commCount = 9;

    devices.restoreDevices({withLiveState, makeRecord("", "198.19.0.9"), makeRecord("second")});

    EXPECT_THAT(hostnames(devices.listDevices()), ElementsAre("TRQ-PN2-AB", "second"));
    DeviceEntry expected = persisted;
    expected.stockCode = "TRQ-PN2";
    expected.commCount = 2;
    EXPECT_EQ(devices.findDeviceByHostname("TRQ-PN2-AB"), expected);
    EXPECT_THAT(newLogLines(),
                ElementsAre(Pair("Restored devices from devices_state.json (2)", "settings")));
}

TEST_F(DeviceManagerTest, RestoreOfNothingEmptiesTheRegistryAndLogsZero) {
    ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("old-device")));
    newLogLines();
    devices.restoreDevices({});
    EXPECT_THAT(devices.listDevices(), IsEmpty());
    EXPECT_THAT(newLogLines(),
                ElementsAre(Pair("Restored devices from devices_state.json (0)", "settings")));
}

// ---- User settings ----

TEST_F(DeviceManagerTest, SetTalkActiveLogsOnlyChanges) {
    ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("TRQ-PN1-01")));
    newLogLines();

    devices.setTalkActive("TRQ-PN1-01", true);
    devices.setTalkActive("TRQ-PN1-01", true);
    EXPECT_TRUE(devices.findDeviceByHostname("TRQ-PN1-01").talkActive);
    devices.setTalkActive("TRQ-PN1-01", false);
    devices.setTalkActive("TRQ-PN1-01", false);
    EXPECT_FALSE(devices.findDeviceByHostname("TRQ-PN1-01").talkActive);
    devices.setTalkActive("missing", true);

    EXPECT_THAT(newLogLines(),
                ElementsAre(Pair("Audio talk started for device: TRQ-PN1-01", "audio"),
                            Pair("Audio talk stopped for device: TRQ-PN1-01", "audio")));
}

TEST_F(DeviceManagerTest, StoresAudioSettingsUnvalidated) {
    ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("TRQ-PN1-01")));
    devices.setDeviceAudioSettings("TRQ-PN1-01", 12345, -7, 99);
    devices.setDeviceAudioSettings("missing", 1, 1, 1);

    const DeviceEntry stored = devices.findDeviceByHostname("TRQ-PN1-01");
    EXPECT_EQ(stored.paInputDeviceIndex, 12345);
    EXPECT_EQ(stored.paTalkOutputDeviceIndex, -7);
    EXPECT_EQ(stored.vgpioHelpIndex, 99);
    EXPECT_EQ(devices.listDevices().size(), 1u);
}

TEST_F(DeviceManagerTest, SetLinkedGpioReportsWhetherEitherValueDiffered) {
    ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("TRQ-PN1-01")));

    EXPECT_FALSE(devices.setLinkedGpio("missing", "TRQ-GPIO", 1));
    EXPECT_TRUE(devices.setLinkedGpio("TRQ-PN1-01", "TRQ-GPIO", 1));
    EXPECT_FALSE(devices.setLinkedGpio("TRQ-PN1-01", "TRQ-GPIO", 1));
    EXPECT_TRUE(devices.setLinkedGpio("TRQ-PN1-01", "TRQ-GPIO", 2));
    EXPECT_TRUE(devices.setLinkedGpio("TRQ-PN1-01", "TRQ-GPIO-2", 2));
    EXPECT_TRUE(devices.setLinkedGpio("TRQ-PN1-01", "", -1));

    const DeviceEntry stored = devices.findDeviceByHostname("TRQ-PN1-01");
    EXPECT_EQ(stored.linkedGpioHostname, "");
    EXPECT_EQ(stored.linkedGpioPhysicalIndex, -1);
}

TEST_F(DeviceManagerTest, NoOtherOperationLogs) {
    ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("TRQ-PN1-01", "198.19.0.1")));
    newLogLines();

    DeviceEntry live;
    live.meterLevels.fill(3);
    live.vgpioStates[1] = 1;
    live.gpioPhysicalStatus[1] = 1;
    devices.setMonitored("TRQ-PN1-01", true);
    devices.setDeviceAudioSettings("TRQ-PN1-01", 1, 2, 3);
    devices.setLinkedGpio("TRQ-PN1-01", "TRQ-GPIO", 1);
    devices.setOnlineByIp("198.19.0.1", true);
    devices.updateAudioStateByIp("198.19.0.1", live);
    devices.updateMeterLevelsByIp("198.19.0.1", live);
    devices.updateInputStateByIp("198.19.0.1", {true}, {true});
    devices.setMicMutedByIp("198.19.0.1", true);
    devices.updateVgpioByIp("198.19.0.1", live);
    devices.updateGpioPhysicalByIp("198.19.0.1", live);
    devices.findDeviceByHostname("TRQ-PN1-01");
    devices.findDeviceByIp("198.19.0.1");
    devices.listDevices();
    devices.listMonitoredDevices();
    devices.isGpioOutputLinked("TRQ-GPIO", 1, "");
    devices.removeDevice("TRQ-PN1-01");

    EXPECT_THAT(newLogLines(), IsEmpty());
}

TEST_F(DeviceManagerTest, EveryChangeAdvancesTheRevisionAndNoQueryDoes) {
    // A reader that keeps what it built from a snapshot relies on this: a change that did not
    // advance the revision would leave it answering stale state.
    ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("TRQ-PN1-01", "198.19.0.1")));
    DeviceEntry live;
    live.meterLevels.fill(3);
    live.vgpioStates[1] = 1;
    live.gpioPhysicalStatus[1] = 1;
    const DeviceEntry identity = makeRecord("TRQ-PN1-01", "198.19.0.2");
    const std::vector<std::pair<std::string, std::function<void()>>> changes = {
        {"addOrUpdateDevice", [&] { devices.addOrUpdateDevice(makeRecord("TRQ-PN1-02", "")); }},
        {"updateDeviceByDanteName", [&] { devices.updateDeviceByDanteName("x", identity); }},
        {"updateDeviceByHostname2", [&] { devices.updateDeviceByHostname2("x", identity); }},
        {"setMonitored", [&] { devices.setMonitored("TRQ-PN1-01", true); }},
        {"setTalkActive", [&] { devices.setTalkActive("TRQ-PN1-01", false); }},
        {"setDeviceAudioSettings", [&] { devices.setDeviceAudioSettings("TRQ-PN1-01", 1, 2, 3); }},
        {"setLinkedGpio", [&] { devices.setLinkedGpio("TRQ-PN1-01", "TRQ-GPIO", 1); }},
        {"setOnlineByIp", [&] { devices.setOnlineByIp("198.19.0.1", true); }},
        {"updateAudioStateByIp", [&] { devices.updateAudioStateByIp("198.19.0.1", live); }},
        {"updateMeterLevelsByIp", [&] { devices.updateMeterLevelsByIp("198.19.0.1", live); }},
        {"updateInputStateByIp", [&] { devices.updateInputStateByIp("198.19.0.1", {}, {}); }},
        {"setMicMutedByIp", [&] { devices.setMicMutedByIp("198.19.0.1", true); }},
        {"updateVgpioByIp", [&] { devices.updateVgpioByIp("198.19.0.1", live); }},
        {"updateGpioPhysicalByIp", [&] { devices.updateGpioPhysicalByIp("198.19.0.1", live); }},
        {"removeNetaudioDevicesByDanteName",
         [&] { devices.removeNetaudioDevicesByDanteName("x"); }},
        {"removeDevice", [&] { devices.removeDevice("TRQ-PN1-02"); }},
        {"restoreDevices", [&] { devices.restoreDevices(devices.listDevices()); }},
    };
    for (const auto& [name, change] : changes) {
        const std::uint64_t before = devices.revision();
        change();
        EXPECT_GT(devices.revision(), before) << name;
    }

    const std::uint64_t before = devices.revision();
    devices.findDeviceByHostname("TRQ-PN1-01");
    devices.findDeviceByIp("198.19.0.1");
    devices.findDeviceByDanteName("x");
    devices.findDeviceByHostname2("x");
    devices.listDevices();
    devices.listMonitoredDevices();
    devices.isGpioOutputLinked("TRQ-GPIO", 1, "");
    const DeviceManager::Snapshot snapshot = devices.snapshot();
    EXPECT_EQ(devices.revision(), before);
    EXPECT_EQ(snapshot.revision, before);
    EXPECT_EQ(snapshot.devices, devices.listDevices());
}

// ---- Live state ----

class DeviceManagerLiveStateTest : public DeviceManagerTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("first", "198.19.0.1")));
        ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("second", "198.19.0.1")));  // Same ip.
        ASSERT_TRUE(devices.addOrUpdateDevice(makeRecord("third", "198.19.0.3")));
    }

    DeviceEntry first() const { return devices.findDeviceByHostname("first"); }
    DeviceEntry second() const { return devices.findDeviceByHostname("second"); }
};

TEST_F(DeviceManagerLiveStateTest, SetOnlineActsOnFirstMatchOnly) {
    devices.setOnlineByIp("198.19.0.1", true);
    devices.setOnlineByIp("198.19.9.9", true);
    EXPECT_TRUE(first().isOnline);
    EXPECT_FALSE(second().isOnline);
    EXPECT_FALSE(devices.findDeviceByHostname("third").isOnline);
    devices.setOnlineByIp("198.19.0.1", false);
    EXPECT_FALSE(first().isOnline);
}

TEST_F(DeviceManagerLiveStateTest, AudioStateReplacesPanelArraysOnly) {
    DeviceEntry state;
    state.onAirStates = {true, false, true, false};
    state.talkBackStates = {"a", "b", "c", "d"};
    state.lazyGang = {false, true, false, true};
    state.muted = {true, true, false, false, true, true, false, true};
    state.cough = {true, false, false, true};
    state.gpiMuteStates.fill(true);
    state.meterLevels.fill(9);
    state.micMuted = true;
    devices.updateAudioStateByIp("198.19.0.1", state);

    DeviceEntry expected = first();
    expected.onAirStates = state.onAirStates;
    expected.talkBackStates = state.talkBackStates;
    expected.lazyGang = state.lazyGang;
    expected.muted = state.muted;
    expected.cough = state.cough;
    const DeviceEntry stored = first();
    EXPECT_EQ(stored, expected);
    EXPECT_EQ(stored.muted[7], true);  // All eight, not only the panel's four.
    EXPECT_FALSE(stored.gpiMuteStates[0]);
    EXPECT_EQ(stored.meterLevels[0], 0);
    EXPECT_FALSE(stored.micMuted);
    EXPECT_EQ(second().talkBackStates[0], "");
}

TEST_F(DeviceManagerLiveStateTest, MeterLevelsReplaceAllEight) {
    DeviceEntry levels;
    levels.meterLevels = {-60, -50, -40, -30, -20, -10, 0, 10};
    devices.updateMeterLevelsByIp("198.19.0.1", levels);
    EXPECT_EQ(first().meterLevels, levels.meterLevels);
    EXPECT_EQ(second().meterLevels, (std::array<std::int32_t, 8>{}));
    devices.updateMeterLevelsByIp("198.19.0.1", DeviceEntry{});
    EXPECT_EQ(first().meterLevels, (std::array<std::int32_t, 8>{}));
}

TEST_F(DeviceManagerLiveStateTest, InputStateReplacesMutedAndGpiMute) {
    const std::array<bool, 8> muted{true, false, true, false, true, false, true, false};
    const std::array<bool, 8> gpiMute{false, false, false, false, true, true, true, true};
    devices.updateInputStateByIp("198.19.0.1", muted, gpiMute);
    EXPECT_EQ(first().muted, muted);
    EXPECT_EQ(first().gpiMuteStates, gpiMute);
    EXPECT_EQ(second().muted, (std::array<bool, 8>{}));
}

TEST_F(DeviceManagerLiveStateTest, MicMutedReportsOnlyChanges) {
    EXPECT_FALSE(devices.setMicMutedByIp("198.19.0.1", false));
    EXPECT_TRUE(devices.setMicMutedByIp("198.19.0.1", true));
    EXPECT_FALSE(devices.setMicMutedByIp("198.19.0.1", true));
    EXPECT_FALSE(devices.setMicMutedByIp("198.19.9.9", true));
    EXPECT_TRUE(first().micMuted);
    EXPECT_FALSE(second().micMuted);
    EXPECT_TRUE(devices.setMicMutedByIp("198.19.0.1", false));
}

TEST_F(DeviceManagerLiveStateTest, VgpioUpdateSkipsUnreportedValues) {
    const DeviceEntry before = first();
    devices.updateVgpioByIp("198.19.0.1", DeviceEntry{});  // All -1: nothing changes.
    EXPECT_EQ(first(), before);

    DeviceEntry report;
    report.vgpioTypes[1] = 2;
    report.vgpioStates[1] = 1;
    report.vgpioStates[10] = 0;
    report.vgpioTypes[0] = 5;  // Position 0 is never written.
    report.vgpioStates[0] = 5;
    devices.updateVgpioByIp("198.19.0.1", report);
    DeviceEntry stored = first();
    EXPECT_EQ(stored.vgpioTypes[1], 2);
    EXPECT_EQ(stored.vgpioStates[1], 1);
    EXPECT_EQ(stored.vgpioStates[10], 0);
    EXPECT_EQ(stored.vgpioTypes[0], -1);
    EXPECT_EQ(stored.vgpioStates[0], -1);
    EXPECT_EQ(stored.vgpioTypes[2], -1);

    DeviceEntry next;
    next.vgpioStates[1] = 0;  // 0 is a value and overwrites.
    devices.updateVgpioByIp("198.19.0.1", next);
    stored = first();
    EXPECT_EQ(stored.vgpioStates[1], 0);
    EXPECT_EQ(stored.vgpioTypes[1], 2);  // -1 kept the stored type.
    EXPECT_EQ(stored.vgpioStates[10], 0);
    EXPECT_EQ(second().vgpioStates, DeviceEntry::allUnknown());
}

TEST_F(DeviceManagerLiveStateTest, GpioPhysicalUpdateSkipsUnreportedValues) {
    const DeviceEntry before = first();
    devices.updateGpioPhysicalByIp("198.19.0.1", DeviceEntry{});
    EXPECT_EQ(first(), before);

    DeviceEntry report;
    report.gpioPhysicalTypes[3] = 1;
    report.gpioPhysicalOverride[3] = 0;
    report.gpioPhysicalStatus[3] = 1;
    report.gpioPhysicalStatus[10] = 1;
    report.gpioPhysicalTypes[0] = 7;
    devices.updateGpioPhysicalByIp("198.19.0.1", report);

    DeviceEntry partial;
    partial.gpioPhysicalStatus[3] = 0;
    devices.updateGpioPhysicalByIp("198.19.0.1", partial);

    const DeviceEntry stored = first();
    EXPECT_EQ(stored.gpioPhysicalTypes[3], 1);
    EXPECT_EQ(stored.gpioPhysicalOverride[3], 0);
    EXPECT_EQ(stored.gpioPhysicalStatus[3], 0);
    EXPECT_EQ(stored.gpioPhysicalStatus[10], 1);
    EXPECT_EQ(stored.gpioPhysicalTypes[0], -1);
    EXPECT_EQ(stored.gpioPhysicalOverride[4], -1);
    EXPECT_EQ(second().gpioPhysicalStatus, DeviceEntry::allUnknown());
}

TEST_F(DeviceManagerLiveStateTest, UnknownIpChangesNothing) {
    const std::vector<DeviceEntry> before = devices.listDevices();
    DeviceEntry report;
    report.meterLevels.fill(1);
    report.onAirStates.fill(true);
    report.vgpioStates.fill(1);
    report.gpioPhysicalStatus.fill(1);
    devices.setOnlineByIp("198.19.9.9", true);
    devices.updateAudioStateByIp("198.19.9.9", report);
    devices.updateMeterLevelsByIp("198.19.9.9", report);
    devices.updateInputStateByIp("198.19.9.9", {true}, {true});
    devices.updateVgpioByIp("198.19.9.9", report);
    devices.updateGpioPhysicalByIp("198.19.9.9", report);
    devices.updateMeterLevelsByIp("", report);  // No record has an empty ip here.
    EXPECT_EQ(devices.listDevices(), before);
}

// ---- Concurrency (meant for the TSan row) ----

TEST(DeviceManagerConcurrency, ConcurrentOperationsKeepEveryRecordConsistent) {
    constexpr int kWriters = 3;
    constexpr int kDevicesPerWriter = 150;
    Logger logger;
    DeviceManager devices(logger);
    std::latch start(kWriters + 2);
    std::atomic<bool> writersDone{false};
    std::atomic<int> inconsistent{0};

    auto hostOf = [](int writer, int k) {
        return "TRQ-PN" + std::string(writer % 2 == 0 ? "4" : "2") + "-W" + std::to_string(writer) +
               "D" + std::to_string(k);
    };
    auto ipOf = [](int writer, int k) {
        return "10." + std::to_string(writer) + "." + std::to_string(k / 200) + "." +
               std::to_string(k % 200);
    };

    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            start.arrive_and_wait();
            for (int k = 0; k < kDevicesPerWriter; ++k) {
                const std::string host = hostOf(w, k);
                const std::string ip = ipOf(w, k);
                DeviceEntry record = makeRecord(host, "");
                record.discoveredByNetaudio = true;
                devices.addOrUpdateDevice(record);
                record.ip = ip;
                record.discoveredByHttp = true;
                devices.addOrUpdateDevice(record);  // Merge.
                devices.setOnlineByIp(ip, true);
                DeviceEntry live;
                live.meterLevels.fill(k);
                live.vgpioStates[1] = k % 2;
                live.onAirStates[0] = true;
                devices.updateMeterLevelsByIp(ip, live);
                devices.updateVgpioByIp(ip, live);
                devices.updateAudioStateByIp(ip, live);
                devices.setMicMutedByIp(ip, true);
                devices.setMonitored(host, true);
                devices.setTalkActive(host, true);
                devices.setTalkActive(host, false);
                devices.setLinkedGpio(host, "TRQ-GPIO", (k % 10) + 1);
            }
        });
    }
    // A reader checks that no copy shows a half-made record.
    threads.emplace_back([&] {
        start.arrive_and_wait();
        while (!writersDone.load()) {
            for (const DeviceEntry& d : devices.listDevices()) {
                if (d.hostname.empty() || d.stockCode.empty() ||
                    (d.commCount != 2 && d.commCount != 4)) {
                    inconsistent.fetch_add(1);
                }
            }
            devices.listMonitoredDevices();
            devices.findDeviceByIp(ipOf(kWriters - 1, kDevicesPerWriter - 1));
            devices.isGpioOutputLinked("TRQ-GPIO", 5, "");
        }
    });
    // A churner adds and removes records of its own among the writers'.
    threads.emplace_back([&] {
        start.arrive_and_wait();
        int round = 0;
        while (!writersDone.load()) {
            const std::string host = "TRQ-PN2-CHURN" + std::to_string(round % 5);
            DeviceEntry record = makeRecord(host, "198.19.99." + std::to_string(round % 5));
            record.danteName = "churn" + std::to_string(round % 5);
            record.discoveredByNetaudio = true;
            devices.addOrUpdateDevice(record);
            devices.updateDeviceByDanteName(record.danteName, record);
            if (round % 2 == 0) {
                devices.removeDevice(host);
            } else {
                devices.removeNetaudioDevicesByDanteName(record.danteName);
            }
            ++round;
        }
    });

    for (int w = 0; w < kWriters; ++w) {
        threads[static_cast<std::size_t>(w)].join();
    }
    writersDone.store(true);
    for (std::size_t i = kWriters; i < threads.size(); ++i) {
        threads[i].join();
    }

    EXPECT_EQ(inconsistent.load(), 0);
    EXPECT_EQ(devices.listDevices().size(), static_cast<std::size_t>(kWriters * kDevicesPerWriter));
    for (int w = 0; w < kWriters; ++w) {
        for (int k = 0; k < kDevicesPerWriter; ++k) {
            const DeviceEntry d = devices.findDeviceByHostname(hostOf(w, k));
            ASSERT_EQ(d.ip, ipOf(w, k));
            EXPECT_TRUE(d.isOnline);
            EXPECT_TRUE(d.isMonitored);
            EXPECT_FALSE(d.talkActive);
            EXPECT_TRUE(d.micMuted);
            EXPECT_TRUE(d.discoveredByHttp);
            EXPECT_TRUE(d.discoveredByNetaudio);
            EXPECT_EQ(d.meterLevels[7], k);
            EXPECT_EQ(d.vgpioStates[1], k % 2);
            EXPECT_EQ(d.linkedGpioPhysicalIndex, (k % 10) + 1);
        }
    }
    EXPECT_EQ(devices.listMonitoredDevices().size(),
              static_cast<std::size_t>(kWriters * kDevicesPerWriter));
}

}  // namespace
}  // namespace pellan
