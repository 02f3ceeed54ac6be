#include "push/device_view.hpp"

#include "devices/device_entry.hpp"
#include "devices/device_model.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

namespace pellan {
namespace {

DeviceEntry withHostname(const std::string& hostname) {
    DeviceEntry entry;
    entry.hostname = hostname;
    deriveStockCode(entry);
    return entry;
}

TEST(DeviceViewTest, PanelWithLiveStateSerialisesEveryKeyInByteOrder) {
    DeviceEntry entry = withHostname("TRQ-PN2-0A1B2C");
    entry.hostname2 = "TRQ-PN2-0A1B2C-dante";
    entry.danteName = "Studio 3 Panel";
    entry.friendlyName = "Panel \"A\"";
    entry.ip = "198.18.0.10";
    entry.ip2 = "198.18.0.11";
    entry.isOnline = true;
    entry.isMonitored = true;
    entry.onAirStates = {true, false, true, false};
    entry.meterLevels = {-60, -12, 0, 3, 4, 5, 6, 7};
    entry.talkBackStates = {"talk", "", "listen", ""};
    entry.lazyGang = {false, true, false, false};
    entry.muted = {true, false, false, false, false, false, false, true};
    entry.cough = {false, false, true, false};
    entry.gpiMuteStates = {false, true, false, false, false, false, false, false};
    entry.micMuted = true;
    entry.paInputDeviceIndex = 3;
    entry.paTalkOutputDeviceIndex = 4;
    entry.vgpioHelpIndex = 2;
    entry.vgpioTypes = {99, 1, 1, 0, 0, 0, 0, 0, 0, 0, 5};
    entry.vgpioStates = {99, 0, 1, -1, -1, -1, -1, -1, -1, -1, 1};
    entry.talkActive = true;
    entry.discoveredByHttp = true;
    entry.discoveredByNetaudio = true;
    entry.linkedGpioHostname = "TRQ-GPIO-01";
    entry.linkedGpioPhysicalIndex = 7;
    entry.gpioPhysicalTypes[10] = 2;

    EXPECT_EQ(
        buildDeviceView(entry).dump(),
        R"({"capabilities":{"contextPanel":true,"help":true,"talk":true},"commCount":2,)"
        R"("cough":[false,false,true,false],"danteName":"Studio 3 Panel","discoveredByHttp":true,)"
        R"("friendlyName":"Panel \"A\"","gpiMuteStates":[false,true,false,false,false,false,false,false],)"
        R"("gpioPhysicalOverride":[-1,-1,-1,-1,-1,-1,-1,-1,-1,-1],)"
        R"("gpioPhysicalStatus":[-1,-1,-1,-1,-1,-1,-1,-1,-1,-1],)"
        R"("gpioPhysicalTypes":[-1,-1,-1,-1,-1,-1,-1,-1,-1,2],"hostname":"TRQ-PN2-0A1B2C",)"
        R"("ip":"198.18.0.10","ip2":"198.18.0.11","isManuallyAdded":false,"isMonitored":true,)"
        R"("isOnline":true,"lazyGang":[false,true,false,false],"linkedGpioHostname":"TRQ-GPIO-01",)"
        R"("linkedGpioPhysicalIndex":7,"meterLevels":[-60,-12,0,3,4,5,6,7],"micMuted":true,)"
        R"("muted":[true,false,false,false,false,false,false,true],)"
        R"("onAirStates":[true,false,true,false],"paInputDeviceIndex":3,)"
        R"("paTalkOutputDeviceIndex":4,"stockCode":"TRQ-PN2","talkActive":true,)"
        R"("talkBackStates":["talk","","listen",""],"vgpioHelpIndex":2,)"
        R"("vgpioStates":[0,1,-1,-1,-1,-1,-1,-1,-1,1],"vgpioTypes":[1,1,0,0,0,0,0,0,0,5]})");
}

TEST(DeviceViewTest, HasExactlyTheThirtyOneViewKeysAndNoFileOnlyKeys) {
    DeviceEntry entry = withHostname("TRQ-PN4-0A1B2C");
    entry.hostname2 = "other";
    entry.discoveredByNetaudio = true;
    const auto view = buildDeviceView(entry);
    EXPECT_EQ(view.size(), 31U);
    EXPECT_FALSE(view.contains("hostname2"));
    EXPECT_FALSE(view.contains("discoveredByNetaudio"));
}

TEST(DeviceViewTest, FreshlyRestoredDeviceShowsDefaultsAndUnknownPorts) {
    const auto view = buildDeviceView(withHostname("TRQ-PN4-0A1B2C"));
    EXPECT_EQ(view["isOnline"], false);
    EXPECT_EQ(view["talkActive"], false);
    EXPECT_EQ(view["commCount"], 4);
    EXPECT_EQ(view["meterLevels"], nlohmann::json::parse("[0,0,0,0,0,0,0,0]"));
    EXPECT_EQ(view["talkBackStates"], nlohmann::json::parse(R"(["","","",""])"));
    for (const char* key : {"vgpioTypes", "vgpioStates", "gpioPhysicalTypes",
                            "gpioPhysicalOverride", "gpioPhysicalStatus"}) {
        EXPECT_EQ(view[key], nlohmann::json::parse("[-1,-1,-1,-1,-1,-1,-1,-1,-1,-1]")) << key;
    }
    for (const char* key : {"vgpioHelpIndex", "linkedGpioPhysicalIndex", "paInputDeviceIndex",
                            "paTalkOutputDeviceIndex"}) {
        EXPECT_EQ(view[key], -1) << key;
    }
}

TEST(DeviceViewTest, CapabilitiesFollowTheModelRowOfTheStockCode) {
    struct Case {
        const char* hostname;
        const char* stockCode;
        bool capable;
    };
    for (const Case& c : {Case{"trq-pn2-studio-3", "trq-pn2-studio", true},
                          Case{"TRQ-GPIO", "TRQ-GPIO", false}, Case{"VK-Q-64-01", "VK-Q-64", true},
                          Case{"TRQ-R8X-01", "TRQ-R8X", false}, Case{"", "", false}}) {
        const auto view = buildDeviceView(withHostname(c.hostname));
        EXPECT_EQ(view["stockCode"], c.stockCode) << c.hostname;
        const nlohmann::json expected = {
            {"contextPanel", c.capable}, {"help", c.capable}, {"talk", c.capable}};
        EXPECT_EQ(view["capabilities"], expected) << c.hostname;
    }
}

TEST(DeviceViewTest, GpioUnitShowsItsPortTypesFromPortOne) {
    DeviceEntry entry = withHostname("TRQ-GPIO");
    for (int port = 1; port <= 10; ++port) {
        entry.gpioPhysicalTypes[static_cast<std::size_t>(port)] = port % 2;
        entry.gpioPhysicalStatus[static_cast<std::size_t>(port)] = port;
    }
    const auto view = buildDeviceView(entry);
    EXPECT_EQ(view["gpioPhysicalTypes"], nlohmann::json::parse("[1,0,1,0,1,0,1,0,1,0]"));
    EXPECT_EQ(view["gpioPhysicalStatus"], nlohmann::json::parse("[1,2,3,4,5,6,7,8,9,10]"));
}

}  // namespace
}  // namespace pellan
