#include "push/push_messages.hpp"

#include "devices/device_entry.hpp"
#include "devices/device_model.hpp"
#include "log/logger.hpp"
#include "push/device_view.hpp"
#include "storage/app_settings.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace pellan {
namespace {

TEST(PushMessagesTest, EveryCatalogueMessageHasItsKeysAndTypes) {
    const LogEntry entry{"2024-05-01 10:00:00", "Device a marking online", "monitor"};
    AppSettings settings;
    settings.interfaces = {"All Networks", "eth0 - 198.18.0.1"};
    settings.selectedInterface = "All Networks";
    settings.helpGpioHostname = "TRQ-GPIO";
    settings.helpGpioPhysicalIndex = 3;
    struct Case {
        const char* name;
        nlohmann::json message;
        const char* expected;
    };
    const Case cases[] = {
        {"application-stopping", makeApplicationStoppingMessage(),
         R"({"message":"Vantrel Pellan is shutting down. Please wait...","type":"application-stopping"})"},
        {"log", makeLogMessage(entry),
         R"({"log":{"message":"Device a marking online","timestamp":"2024-05-01 10:00:00","type":"monitor"},"type":"log"})"},
        {"logs", makeLogHistoryMessage({entry, {"t2", "m2", "error"}}),
         R"({"logs":[{"message":"Device a marking online","timestamp":"2024-05-01 10:00:00","type":"monitor"},{"message":"m2","timestamp":"t2","type":"error"}],"type":"logs"})"},
        {"logs empty", makeLogHistoryMessage({}), R"({"logs":[],"type":"logs"})"},
        {"discovery-status", makeDiscoveryStatusMessage(true),
         R"({"active":true,"type":"discovery-status"})"},
        {"discovery-busy", makeDiscoveryBusyMessage(true, "Starting discovery"),
         R"({"busy":true,"statusText":"Starting discovery","type":"discovery-busy"})"},
        {"device-removal", makeDeviceRemovalMessage("TRQ-PN1-01"),
         R"({"hostname":"TRQ-PN1-01","type":"device-removal"})"},
        {"vgpio", makeVgpioMessage("TRQ-PN1-01", 10, true),
         R"({"hostname":"TRQ-PN1-01","index":10,"state":true,"type":"vgpio"})"},
        {"meter", makeMeterMessage("h", {-5, 0, 12}),
         R"({"hostname":"h","meterLevels":[-5,0,12],"type":"meter"})"},
        {"meter empty", makeMeterMessage("h", {}),
         R"({"hostname":"h","meterLevels":[],"type":"meter"})"},
        {"pn-audio-state",
         makePanelAudioStateMessage(
             "p", {true, false, false, true}, {"a", "", "c", ""}, {false, true, false, false},
             {true, false, false, false, false, false, false, true}, {false, false, false, true}),
         R"({"cough":[false,false,false,true],"hostname":"p","lazyGang":[false,true,false,false],)"
         R"("muted":[true,false,false,false,false,false,false,true],"onAirStates":[true,false,false,true],)"
         R"("talkBackStates":["a","","c",""],"type":"pn-audio-state"})"},
        {"r8x-input-state",
         makeInputStateMessage("r", {true, false, false, false, false, false, false, false},
                               {false, false, false, false, false, false, false, true}),
         R"({"gpiMuteStates":[false,false,false,false,false,false,false,true],"hostname":"r",)"
         R"("muted":[true,false,false,false,false,false,false,false],"type":"r8x-input-state"})"},
        {"vkq-audio-state", makeRackAudioStateMessage("v", true),
         R"({"hostname":"v","micMuted":true,"type":"vkq-audio-state"})"},
        {"group", makeGroupMessage("Studio 1", {"b", "a"}),
         R"({"groupName":"Studio 1","hostnames":["b","a"],"type":"group"})"},
        {"groups", makeGroupsMessage({"Z", "A"}, {{"A", {"h1"}}, {"Z", {"h2", "h1"}}}),
         R"({"groups":{"A":["h1"],"Z":["h2","h1"]},"order":["Z","A"],"type":"groups"})"},
        {"groups empty", makeGroupsMessage({}, {}), R"({"groups":{},"order":[],"type":"groups"})"},
        {"group-deleted", makeGroupDeletedMessage("Studio 1"),
         R"({"groupName":"Studio 1","type":"group-deleted"})"},
        {"settings", makeSettingsMessage(settings),
         R"({"settings":{"appLocked":false,"autoMonitorEnabled":false,"helpGpioHostname":"TRQ-GPIO",)"
         R"("helpGpioPhysicalIndex":3,"interfaces":["All Networks","eth0 - 198.18.0.1"],)"
         R"("lineInDeviceIndex":-1,"monitoredDeviceOfflineIndicationEnabled":true,)"
         R"("selectedInterface":"All Networks","speakerOutDeviceIndex":-1},"type":"settings"})"},
        {"talk-state", makeTalkStateMessage("p", false),
         R"({"active":false,"hostname":"p","type":"talk-state"})"},
        {"monitoring-display-fields object",
         makeMonitoringDisplayFieldsMessage(nlohmann::json::parse(R"({"b":true,"a":[1]})")),
         R"({"fields":{"a":[1],"b":true},"type":"monitoring-display-fields"})"},
        {"monitoring-display-fields array",
         makeMonitoringDisplayFieldsMessage(nlohmann::json::parse("[1,2]")),
         R"({"fields":{},"type":"monitoring-display-fields"})"},
        {"monitoring-display-fields null", makeMonitoringDisplayFieldsMessage(nullptr),
         R"({"fields":{},"type":"monitoring-display-fields"})"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(serialiseMessage(c.message), c.expected) << c.name;
    }
}

TEST(PushMessagesTest, DeviceMessageIsTheViewWithItsType) {
    DeviceEntry entry;
    entry.hostname = "TRQ-GPIO";
    deriveStockCode(entry);
    auto expected = buildDeviceView(entry);
    const auto message = makeDeviceMessage(entry);
    EXPECT_EQ(message.size(), 32U);
    EXPECT_EQ(message["type"], "device");
    expected["type"] = "device";
    EXPECT_EQ(message, expected);
}

TEST(PushMessagesTest, TextThatIsNotUtf8IsReplacedRatherThanLosingTheMessage) {
    const auto text =
        serialiseMessage(makeDeviceRemovalMessage(std::string("bad\xff\xfe name", 10)));
    EXPECT_EQ(text,
              "{\"hostname\":\"bad\xEF\xBF\xBD\xEF\xBF\xBD name\",\"type\":\"device-removal\"}");
}

}  // namespace
}  // namespace pellan
