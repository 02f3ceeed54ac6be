#include "web_test_fixture.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pellan {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

class DeviceRoutesTest : public test::WebServerFixture {};

TEST_F(DeviceRoutesTest, AddingADeviceByHandRegistersPushesAndSavesIt) {
    const auto added = call("POST", "/api/devices", R"({"hostname": "TRQ-PN4-0A1B2C"})");
    EXPECT_EQ(added.status, 200);
    EXPECT_EQ(added.body, "Device added");
    EXPECT_EQ(added.header("Content-Type"), nullptr);

    const auto pushes = newPushes();
    ASSERT_EQ(pushes.size(), 2U);
    EXPECT_EQ(pushes[0]["type"], "device");
    EXPECT_EQ(pushes[0]["hostname"], "TRQ-PN4-0A1B2C");
    EXPECT_EQ(pushes[0]["stockCode"], "TRQ-PN4");
    EXPECT_EQ(pushes[0]["isManuallyAdded"], true);
    EXPECT_EQ(pushes[0].size(), 32U);  // The 31 keys of the view and "type".
    EXPECT_EQ(pushes[1]["type"], "groups");

    const auto file = readJson(paths.devicesStateFile);
    ASSERT_TRUE(file.is_object());
    ASSERT_EQ(file["devices"].size(), 1U);
    EXPECT_EQ(file["devices"][0]["hostname"], "TRQ-PN4-0A1B2C");
    EXPECT_EQ(file["devices"][0]["isManuallyAdded"], true);

    // The same host name again is merged, and answered the same.
    EXPECT_EQ(call("POST", "/api/devices", R"({"hostname": "TRQ-PN4-0A1B2C"})").body,
              "Device added");
    EXPECT_EQ(devices.listDevices().size(), 1U);

    const auto list = call("GET", "/api/devices");
    EXPECT_EQ(list.status, 200);
    EXPECT_EQ(list.header("Content-Type"), nullptr);
    const auto views = nlohmann::json::parse(list.body);
    ASSERT_EQ(views.size(), 1U);
    EXPECT_EQ(views[0].size(), 31U);
    EXPECT_EQ(views[0]["hostname"], "TRQ-PN4-0A1B2C");
    EXPECT_FALSE(views[0].contains("type"));
}

TEST_F(DeviceRoutesTest, ListsDevicesAndMonitoredDevicesInRegistryOrder) {
    EXPECT_EQ(call("GET", "/api/devices").body, "[]");
    EXPECT_EQ(call("GET", "/api/monitored").body, "[]");
    addDevice("b-host", "198.19.0.2", true);
    addDevice("a-host", "198.19.0.1");
    addDevice("c-host", "198.19.0.3", true);
    const auto views = nlohmann::json::parse(call("GET", "/api/devices").body);
    ASSERT_EQ(views.size(), 3U);
    EXPECT_EQ(views[0]["hostname"], "b-host");
    EXPECT_EQ(views[1]["hostname"], "a-host");
    EXPECT_EQ(views[2]["hostname"], "c-host");
    const auto monitored = call("GET", "/api/monitored");
    EXPECT_EQ(monitored.body, R"(["b-host","c-host"])");
    EXPECT_EQ(monitored.header("Content-Type"), nullptr);

    // Live state that changes behind the routes' back shows in the next answer.
    devices.setOnlineByIp("198.19.0.1", true);
    EXPECT_EQ(nlohmann::json::parse(call("GET", "/api/devices").body)[1]["isOnline"], true);
    devices.removeDevice("b-host");
    EXPECT_EQ(nlohmann::json::parse(call("GET", "/api/devices").body).size(), 2U);
}

TEST_F(DeviceRoutesTest, AddingRefusesBodiesItCannotUseAndChangesNothing) {
    struct Case {
        std::string body;
        int status;
        std::string answer;
    };
    const std::vector<Case> cases{
        {"", 400, "Invalid JSON"},
        {"not json", 400, "Invalid JSON"},
        {R"({"hostname": "x")", 400, "Invalid JSON"},
        {"\"\xFF\"", 400, "Invalid JSON"},
        {std::string(200, '[') + std::string(200, ']'), 400, "Invalid JSON"},
        {R"({"hostname": ""})", 400, "Host Name required"},
        {R"({"hostname": 5})", 500, ""},
        {R"({"hostname": null})", 500, ""},
        {R"({"hostname": ["a"]})", 500, ""},
        {R"({"hostname": {"a": 1}})", 500, ""},
        {R"({"host": "x"})", 500, ""},
        {"{}", 500, ""},
        {"[]", 500, ""},
        {R"(["hostname"])", 500, ""},
        {R"("hostname")", 500, ""},
        {"5", 500, ""},
        {"null", 500, ""},
    };
    for (const Case& c : cases) {
        const auto response = call("POST", "/api/devices", c.body);
        EXPECT_EQ(response.status, c.status) << c.body;
        EXPECT_EQ(response.body, c.answer) << c.body;
    }
    EXPECT_THAT(devices.listDevices(), IsEmpty());
    EXPECT_THAT(newPushes(), IsEmpty());
    EXPECT_FALSE(std::filesystem::exists(paths.devicesStateFile));
}

TEST_F(DeviceRoutesTest, KeepsUnicodeAndLongHostNamesAsGiven) {
    const std::string unicode = "studio-\xC3\xA9-\xE2\x82\xAC";
    const std::string longName(900'000, 'h');
    EXPECT_EQ(call("POST", "/api/devices", nlohmann::json{{"hostname", unicode}}.dump()).status,
              200);
    EXPECT_EQ(call("POST", "/api/devices", nlohmann::json{{"hostname", longName}}.dump()).status,
              200);
    EXPECT_EQ(call("POST", "/api/devices", R"({"hostname": " Trq-Pn2-x "})").status, 200);
    ASSERT_EQ(devices.listDevices().size(), 3U);
    EXPECT_EQ(devices.listDevices()[0].hostname, unicode);
    EXPECT_EQ(devices.listDevices()[1].hostname, longName);
    EXPECT_EQ(devices.listDevices()[2].hostname, " Trq-Pn2-x ");

    // Removing by the percent-encoded name finds each.
    EXPECT_EQ(call("DELETE", "/api/devices/studio-%C3%A9-%E2%82%AC").body, "Device removed");
    EXPECT_EQ(call("DELETE", "/api/devices/%20Trq-Pn2-x+").body, "Device removed");
    ASSERT_EQ(devices.listDevices().size(), 1U);
    const auto file = readJson(paths.devicesStateFile);
    ASSERT_EQ(file["devices"].size(), 1U);
    EXPECT_EQ(file["devices"][0]["hostname"], longName);
}

TEST_F(DeviceRoutesTest, RemovingADeviceTakesItOutOfGroupsPushesLogsAndSavesBothFiles) {
    addDevice("TRQ-PN4-0A1B2C", "198.19.0.4", true);
    addDevice("other", "198.19.0.5", true);
    groups.createGroup("G");
    groups.addDeviceToGroup("G", "TRQ-PN4-0A1B2C");
    groups.addDeviceToGroup("G", "other");
    health.refreshRequested = false;
    newLogLines();

    const auto removed = call("DELETE", "/api/devices/TRQ%2DPN4%2D0A1B2C");
    EXPECT_EQ(removed.status, 200);
    EXPECT_EQ(removed.body, "Device removed");

    EXPECT_EQ(devices.findDeviceByHostname("TRQ-PN4-0A1B2C").hostname, "");
    EXPECT_THAT(groups.groupMembers("G"), ElementsAre("other"));
    EXPECT_TRUE(health.refreshRequested);
    EXPECT_THAT(newLogLines(), Contains(Pair("Device removed: TRQ-PN4-0A1B2C", "device")));
    const auto pushes = newPushes();
    ASSERT_EQ(pushes.size(), 2U);
    EXPECT_EQ(pushes[0]["type"], "groups");
    EXPECT_EQ(pushes[0]["groups"]["G"], nlohmann::json({"other"}));
    EXPECT_EQ(pushes[1],
              nlohmann::json({{"type", "device-removal"}, {"hostname", "TRQ-PN4-0A1B2C"}}));
    EXPECT_EQ(readJson(paths.devicesStateFile)["devices"].size(), 1U);
    EXPECT_EQ(readJson(paths.groupsStateFile)["groups"]["G"], nlohmann::json({"other"}));
}

TEST_F(DeviceRoutesTest, RemovingAnUnknownDeviceAnswersNotFoundAndLogsTheDecodedName) {
    addDevice("h1", "198.19.0.1");
    struct Case {
        std::string segment;
        std::string decoded;
    };
    const std::vector<Case> cases{
        {"unknown", "unknown"},
        {"%", "%"},
        {"%zz1", "%zz1"},
        {"+", " "},
        {"h1%2Fx", "h1/x"},
        {"%ff", "\xFF"},
        {"%00", std::string(1, '\0')},
        {"h%31x", "h1x"},
    };
    newLogLines();
    for (const Case& c : cases) {
        const auto response = call("DELETE", "/api/devices/" + c.segment);
        EXPECT_EQ(response.status, 404) << c.segment;
        EXPECT_EQ(response.body, "Device not found") << c.segment;
        EXPECT_THAT(newLogLines(), ElementsAre(Pair("Remove failed: " + c.decoded +
                                                        " - device not found or could not remove",
                                                    "error")))
            << c.segment;
    }
    EXPECT_EQ(devices.listDevices().size(), 1U);
    EXPECT_THAT(newPushes(), IsEmpty());
    // A log record that is not UTF-8 does not break the log route.
    EXPECT_EQ(call("GET", "/api/logs").status, 200);
    EXPECT_EQ(call("DELETE", "/api/devices/").status, 405);  // No segment: no route.
}

TEST_F(DeviceRoutesTest, TogglingMonitoringSwitchesLogsPushesAndSaves) {
    addDevice("TRQ-PN2-1", "198.19.0.7");
    groups.createGroup("G");
    newLogLines();

    const auto on = call("POST", "/api/devices/TRQ%2DPN2-1/monitor", "ignored body {");
    EXPECT_EQ(on.status, 200);
    EXPECT_EQ(on.body, "Monitor state toggled");
    EXPECT_TRUE(devices.findDeviceByHostname("TRQ-PN2-1").isMonitored);
    EXPECT_THAT(newLogLines(),
                Contains(Pair("Added TRQ-PN2-1 - 198.19.0.7 for monitoring", "monitor")));
    auto pushes = newPushes();
    ASSERT_EQ(pushes.size(), 1U);
    EXPECT_EQ(pushes[0]["type"], "device");
    EXPECT_EQ(pushes[0]["isMonitored"], true);
    EXPECT_EQ(readJson(paths.devicesStateFile)["devices"][0]["isMonitored"], true);

    groups.addDeviceToGroup("G", "TRQ-PN2-1");
    const auto off = call("POST", "/api/devices/TRQ-PN2-1/monitor");
    EXPECT_EQ(off.body, "Monitor state toggled");
    EXPECT_FALSE(devices.findDeviceByHostname("TRQ-PN2-1").isMonitored);
    EXPECT_THAT(groups.groupMembers("G"), IsEmpty());
    EXPECT_THAT(newLogLines(),
                Contains(Pair("Removed TRQ-PN2-1 - 198.19.0.7 from monitoring and from all groups",
                              "monitor")));
    pushes = newPushes();
    ASSERT_EQ(pushes.size(), 2U);
    EXPECT_EQ(pushes[0]["type"], "groups");
    EXPECT_EQ(pushes[0]["groups"]["G"], nlohmann::json::array());
    EXPECT_EQ(pushes[1]["type"], "device");
    EXPECT_EQ(pushes[1]["isMonitored"], false);
    EXPECT_EQ(readJson(paths.devicesStateFile)["devices"][0]["isMonitored"], false);
    // Only memory: the groups file is left for the next route that saves the groups.
    EXPECT_FALSE(std::filesystem::exists(paths.groupsStateFile));
}

TEST_F(DeviceRoutesTest, TogglingAnUnknownDeviceAnswersSuccessAndPushesNoDevice) {
    newLogLines();
    const auto response = call("POST", "/api/devices/nobody%2Fhere/monitor");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "Monitor state toggled");
    EXPECT_THAT(
        newLogLines(),
        Contains(Pair("Removed nobody/here -  from monitoring and from all groups", "monitor")));
    EXPECT_THAT(newPushTypes(), ElementsAre("groups"));
    EXPECT_THAT(devices.listDevices(), IsEmpty());
}

}  // namespace
}  // namespace pellan
