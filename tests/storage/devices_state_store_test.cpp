#include "storage/devices_state_store.hpp"

#include "storage_test_support.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

namespace pellan {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::makeDevices;
using test::quotedPath;
using test::readFile;
using test::StderrCapture;
using test::TempDir;
using test::writeFile;

class DevicesStateStoreTest : public ::testing::Test {
protected:
    /// A fresh store's loadDevices(), and what that call wrote to stderr.
    std::vector<DeviceEntry> load(std::string* errors = nullptr) {
        DevicesStateStore store(path);
        StderrCapture capture;
        auto devices = store.loadDevices();
        const std::string text = capture.take();
        if (errors != nullptr) {
            *errors = text;
        }
        return devices;
    }

    std::string wrongTypeLine(const std::string& key) const {
        return "DevicesStateStore: ignoring \"" + key + "\" of wrong type in " + quotedPath(path) +
               "\n";
    }

    TempDir dir;
    fs::path path = dir / "devices_state.json";
};

TEST_F(DevicesStateStoreTest, SavedFileHasTheExactLayoutWithRawUtf8) {
    DeviceEntry entry;
    entry.hostname = "TRQ-PN4-0A1B2C";
    entry.hostname2 = "TRQ-PN4-0A1B2C-d";
    entry.stockCode = "TRQ-PN4";
    entry.danteName = "PN4-Regie";
    entry.friendlyName = "R\xc3\xa9gie 1";  // é
    entry.ip = "198.18.1.20";
    entry.ip2 = "198.18.1.21";
    entry.isMonitored = true;
    entry.paInputDeviceIndex = 2;
    entry.vgpioHelpIndex = 10;
    entry.discoveredByHttp = true;
    entry.linkedGpioHostname = "TRQ-GPIO-01";
    entry.linkedGpioPhysicalIndex = 3;
    ASSERT_TRUE(DevicesStateStore(path).saveDevices({entry}));
    EXPECT_EQ(readFile(path), "{\n"
                              "  \"devices\": [\n"
                              "    {\n"
                              "      \"danteName\": \"PN4-Regie\",\n"
                              "      \"discoveredByHttp\": true,\n"
                              "      \"discoveredByNetaudio\": false,\n"
                              "      \"friendlyName\": \"R\xc3\xa9gie 1\",\n"
                              "      \"hostname\": \"TRQ-PN4-0A1B2C\",\n"
                              "      \"hostname2\": \"TRQ-PN4-0A1B2C-d\",\n"
                              "      \"ip\": \"198.18.1.20\",\n"
                              "      \"ip2\": \"198.18.1.21\",\n"
                              "      \"isManuallyAdded\": false,\n"
                              "      \"isMonitored\": true,\n"
                              "      \"linkedGpioHostname\": \"TRQ-GPIO-01\",\n"
                              "      \"linkedGpioPhysicalIndex\": 3,\n"
                              "      \"paInputDeviceIndex\": 2,\n"
                              "      \"paTalkOutputDeviceIndex\": -1,\n"
                              "      \"stockCode\": \"TRQ-PN4\",\n"
                              "      \"vgpioHelpIndex\": 10\n"
                              "    }\n"
                              "  ],\n"
                              "  \"version\": 1\n"
                              "}");
}

TEST_F(DevicesStateStoreTest, PersistedFieldsRoundTripAndLiveStateIsNotPersisted) {
    std::vector<DeviceEntry> devices = makeDevices(3, "r");
    std::vector<DeviceEntry> withLiveState = devices;
    for (DeviceEntry& entry : withLiveState) {
        entry.isOnline = true;
        entry.commCount = 2;
        entry.onAirStates[1] = true;
        entry.meterLevels[7] = -12;
        entry.talkBackStates[0] = "active";
        entry.lazyGang[3] = true;
        entry.muted[5] = true;
        entry.cough[0] = true;
        entry.gpiMuteStates[2] = true;
        entry.micMuted = true;
        entry.vgpioTypes[4] = 1;
        entry.vgpioStates[4] = 0;
        entry.talkActive = true;
        entry.gpioPhysicalTypes[1] = 2;
        entry.gpioPhysicalOverride[1] = 1;
        entry.gpioPhysicalStatus[1] = 1;
    }
    ASSERT_TRUE(DevicesStateStore(path).saveDevices(withLiveState));
    EXPECT_EQ(load(), devices);
    EXPECT_EQ(json::parse(readFile(path))["devices"][0].size(), 16U);
}

TEST_F(DevicesStateStoreTest, EntryWithOnlyAHostnameHasEveryOtherFieldAtItsDefault) {
    writeFile(path, R"({"devices": [{"hostname": "TRQ-PN2-01"}]})");
    DeviceEntry expected;
    expected.hostname = "TRQ-PN2-01";
    EXPECT_EQ(load(), std::vector<DeviceEntry>{expected});
}

TEST_F(DevicesStateStoreTest, EntriesWithoutAUsableHostnameAreDroppedAndLeaveTheFileAtNextSave) {
    writeFile(path, R"({"devices": [
        {"hostname": "first"}, "TRQ-PN1-02", 7, null, [], {}, {"hostname": ""},
        {"ip": "198.19.0.9"}, {"hostname": "second"}]})");
    DevicesStateStore store(path);
    const auto devices = store.loadDevices();
    ASSERT_EQ(devices.size(), 2U);
    EXPECT_EQ(devices[0].hostname, "first");
    EXPECT_EQ(devices[1].hostname, "second");
    ASSERT_TRUE(store.saveDevices(devices));
    EXPECT_EQ(json::parse(readFile(path))["devices"].size(), 2U);
}

TEST_F(DevicesStateStoreTest, DuplicateHostnamesAreBothRestoredAndBothSaved) {
    writeFile(path, R"({"devices": [{"hostname": "TRQ-PN1-01", "ip": "198.19.0.1"},
                                    {"hostname": "TRQ-PN1-01", "ip": "198.19.0.2"}]})");
    DevicesStateStore store(path);
    const auto devices = store.loadDevices();
    ASSERT_EQ(devices.size(), 2U);
    EXPECT_EQ(devices[0].ip, "198.19.0.1");
    EXPECT_EQ(devices[1].ip, "198.19.0.2");
    ASSERT_TRUE(store.saveDevices(devices));
    EXPECT_EQ(load(), devices);
}

TEST_F(DevicesStateStoreTest, DevicesAsAnObjectGiveNoDevicesAndAreSavedAsAnArray) {
    writeFile(path, R"({"version": 1, "devices": {"hostname": "TRQ-PN1-01"}})");
    std::string errors;
    EXPECT_TRUE(load(&errors).empty());
    EXPECT_EQ(errors, wrongTypeLine("devices"));
    DevicesStateStore store(path);
    ASSERT_TRUE(store.saveDevices({}));
    EXPECT_EQ(json::parse(readFile(path))["devices"], json::array());
}

TEST_F(DevicesStateStoreTest, KeepsVersionAndUnknownTopLevelKeysButDropsUnknownDeviceKeys) {
    writeFile(path, R"({"version": 3, "comment": "by hand",
                        "devices": [{"hostname": "TRQ-PN1-01", "color": "red"}]})");
    DevicesStateStore store(path);
    auto devices = store.loadDevices();
    ASSERT_EQ(devices.size(), 1U);
    ASSERT_TRUE(store.saveDevices(devices));
    const json saved = json::parse(readFile(path));
    EXPECT_EQ(saved["version"], 3);
    EXPECT_EQ(saved["comment"], "by hand");
    EXPECT_FALSE(saved["devices"][0].contains("color"));
}

TEST_F(DevicesStateStoreTest, RecordsWithAnEmptyHostnameAreNotSaved) {
    auto devices = makeDevices(3, "e");
    devices[1].hostname.clear();
    ASSERT_TRUE(DevicesStateStore(path).saveDevices(devices));
    EXPECT_EQ(load(), (std::vector<DeviceEntry>{devices[0], devices[2]}));
}

TEST_F(DevicesStateStoreTest, TenThousandDevicesRoundTripInOrder) {
    const auto devices = makeDevices(10000, "big");
    ASSERT_TRUE(DevicesStateStore(path).saveDevices(devices));
    EXPECT_EQ(load(), devices);
}

TEST_F(DevicesStateStoreTest, KeyOfTheWrongTypeTakesItsDefaultAndOthersAreKept) {
    struct Case {
        std::string key;
        std::string value;  ///< JSON text.
        std::function<void(DeviceEntry&)> resetToDefault;
    };
    const std::vector<Case> cases = {
        {"isMonitored", "\"yes\"", [](DeviceEntry& e) { e.isMonitored = false; }},
        {"isManuallyAdded", "1", [](DeviceEntry& e) { e.isManuallyAdded = false; }},
        {"discoveredByNetaudio", "null", [](DeviceEntry& e) { e.discoveredByNetaudio = false; }},
        {"danteName", "5", [](DeviceEntry& e) { e.danteName.clear(); }},
        {"ip", "[\"198.19.0.1\"]", [](DeviceEntry& e) { e.ip.clear(); }},
        {"stockCode", "false", [](DeviceEntry& e) { e.stockCode.clear(); }},
        {"paInputDeviceIndex", "\"3\"", [](DeviceEntry& e) { e.paInputDeviceIndex = -1; }},
        {"paInputDeviceIndex", "3.5", [](DeviceEntry& e) { e.paInputDeviceIndex = -1; }},
        {"paTalkOutputDeviceIndex", "2147483648",
         [](DeviceEntry& e) { e.paTalkOutputDeviceIndex = -1; }},
        {"vgpioHelpIndex", "-2147483649", [](DeviceEntry& e) { e.vgpioHelpIndex = -1; }},
        {"linkedGpioPhysicalIndex", "{}", [](DeviceEntry& e) { e.linkedGpioPhysicalIndex = -1; }},
    };
    const DeviceEntry original = makeDevices(1, "w")[0];
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key + " = " + c.value);
        ASSERT_TRUE(DevicesStateStore(path).saveDevices({original}));
        json document = json::parse(readFile(path));
        document["devices"][0][c.key] = json::parse(c.value);
        writeFile(path, document.dump());
        std::string errors;
        const auto devices = load(&errors);
        DeviceEntry expected = original;
        c.resetToDefault(expected);
        EXPECT_EQ(devices, std::vector<DeviceEntry>{expected});
        EXPECT_EQ(errors, wrongTypeLine(c.key));
    }
}

TEST_F(DevicesStateStoreTest, WrongTypedKeyIsNamedOncePerLoadAndAWrongHostnameDropsTheEntry) {
    writeFile(path, R"({"devices": [{"hostname": "a", "isMonitored": "yes"},
                                    {"hostname": 42, "isMonitored": true},
                                    {"hostname": "b", "isMonitored": "no"}]})");
    std::string errors;
    const auto devices = load(&errors);
    ASSERT_EQ(devices.size(), 2U);
    EXPECT_EQ(devices[0].hostname, "a");
    EXPECT_EQ(devices[1].hostname, "b");
    EXPECT_FALSE(devices[1].isMonitored);
    EXPECT_EQ(errors, wrongTypeLine("isMonitored") + wrongTypeLine("hostname"));
}

}  // namespace
}  // namespace pellan
