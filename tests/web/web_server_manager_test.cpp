#include "web_test_fixture.hpp"

#include "storage/app_settings.hpp"
#include "storage/app_settings_store.hpp"
#include "storage/device_tile_settings_manager.hpp"
#include "storage/devices_state_store.hpp"
#include "storage/groups_state_store.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <vector>

namespace pellan {
namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;

class WebServerManagerTest : public test::WebServerFixture {};

TEST_F(WebServerManagerTest, ServesTheUiFilesWithTheSinglePageFallback) {
    struct Case {
        std::string method;
        std::string path;
        int status;
        std::string body;
        std::string type;
    };
    const std::string html = "text/html; charset=utf-8";
    const std::vector<Case> cases{
        {"GET", "/", 200, kIndex, html},
        {"GET", "/app.JS", 200, "console.log(1);", "application/javascript"},
        {"GET", "/missing/page", 200, kIndex, html},
        {"GET", "/api/unknown", 200, kIndex, html},
        {"GET", "/api/devices/", 200, kIndex, html},
        {"GET", "/a/../app.JS", 200, "console.log(1);", "application/javascript"},
        {"GET", "/%2e%2e/%2e%2e/etc/passwd", 200, kIndex, html},
        {"GET", "/../secret.txt", 403, "", ""},
        {"GET", "/a/../../b", 403, "", ""},
        {"GET", "//C:/x", 403, "", ""},
        {"GET", "//etc/passwd", 403, "", ""},
        {"GET", "/..%5c..%5cx", 200, kIndex, html},  // Not decoded: one odd file name.
        {"GET", "/..\\..\\x", 403, "", ""},
        {"HEAD", "/", 200, "", html},
        {"POST", "/api/unknown", 405, "", ""},
        {"DELETE", "/index.html", 405, "", ""},
        {"PATCH", "/api/devices", 405, "", ""},
        {"OPTIONS", "/api/devices", 204, "", ""},
    };
    for (const Case& c : cases) {
        const auto response = call(c.method, c.path);
        EXPECT_EQ(response.status, c.status) << c.method << " " << c.path;
        EXPECT_EQ(response.body, c.body) << c.method << " " << c.path;
        const std::string* type = response.header("Content-Type");
        EXPECT_EQ(type == nullptr ? "" : *type, c.type) << c.method << " " << c.path;
    }
    std::filesystem::remove(paths.uiRoot / "index.html");
    EXPECT_EQ(call("GET", "/").status, 404);
    EXPECT_EQ(call("GET", "/missing").status, 404);
}

TEST_F(WebServerManagerTest, TheRoutesThatComeLaterAreNotServedYet) {
    // GET falls through to the UI files, the other methods find no route.
    for (const char* path : {"/api/discovery-status", "/api/app-settings", "/api/audio-devices",
                             "/api/devices/h1/device-settings"}) {
        EXPECT_EQ(call("GET", path).body, kIndex) << path;
    }
    for (const char* path :
         {"/api/discovery-status", "/api/app-settings", "/api/refresh-audio-devices",
          "/api/devices/h1/device-settings", "/api/devices/h1/talk"}) {
        EXPECT_EQ(call("POST", path, "{}").status, 405) << path;
    }
}

TEST_F(WebServerManagerTest, AppliesThisMachinesHostRule) {
    struct Case {
        std::string host;  // Empty: no Host header (HTTP/1.0).
        int status;
    };
    const std::vector<Case> cases{
        {"127.0.0.1:8000", 200},
        {"localhost:8000", 200},
        {"LOCALHOST", 200},
        {"studio.localhost:8000", 200},
        {"[::1]:8000", 200},
        {"198.18.1.20", 200},
        {"evil.example", 403},
        {"evil.example:8000", 403},
        {"127.0.0.1.evil.example", 403},
        {"", 200},
    };
    for (const Case& c : cases) {
        test::RawHttpConnection connection(port);
        const std::string request =
            c.host.empty() ? "GET /api/version HTTP/1.0\r\n\r\n"
                           : "GET /api/version HTTP/1.1\r\nHost: " + c.host + "\r\n\r\n";
        ASSERT_TRUE(connection.send(request));
        const auto response = connection.readResponse();
        ASSERT_TRUE(response) << c.host;
        EXPECT_EQ(response->status, c.status) << c.host;
        if (c.status == 403) {
            EXPECT_EQ(response->body, "Host not allowed");
        }
    }
    // A page of another site cannot change anything, and nothing changed.
    const auto refused =
        call("POST", "/api/devices", R"({"hostname": "x"})", "Origin: http://evil.example\r\n");
    EXPECT_EQ(refused.status, 403);
    EXPECT_EQ(refused.body, "Cross-origin request refused");
    EXPECT_TRUE(devices.listDevices().empty());
}

TEST_F(WebServerManagerTest, RegistersTheRoutesInTheirMatchingOrder) {
    stopWeb();
    WebServerOptions options;
    options.extraRoutes = [](Router& router) {
        router.add(HttpMethod::Get, "/api/test-extra",
                   [](const HttpRequest&) { return textResponse(200, "extra"); });
    };
    startWeb(std::move(options));
    ASSERT_NE(port, 0);

    using M = HttpMethod;
    const std::vector<RouteKey> expected{
        {M::Get, "/api/devices"},
        {M::Post, "/api/devices"},
        {M::Delete, "/api/devices/<string>"},
        {M::Get, "/api/logs"},
        {M::Get, "/api/monitored"},
        {M::Post, "/api/devices/<string>/monitor"},
        {M::Get, "/api/groups"},
        {M::Post, "/api/groups"},
        {M::Post, "/api/groups/add"},
        {M::Post, "/api/groups/rename"},
        {M::Post, "/api/groups/order"},
        {M::Delete, "/api/groups/<string>"},
        {M::Post, "/api/groups/<string>/add-device"},
        {M::Post, "/api/groups/<string>/remove-device"},
        {M::Get, "/api/device-tile-settings"},
        {M::Post, "/api/device-tile-settings/<string>"},
        {M::Get, "/api/monitoring-display-fields"},
        {M::Post, "/api/monitoring-display-fields"},
        {M::Get, "/api/version"},
        {M::Get, "/api/test-extra"},  // A test's or a benchmark's routes: after the API's.
        {M::Get, "/"},
        {M::Get, "/<path>"},
    };
    const std::vector<RouteKey> routes = web->routes();
    ASSERT_EQ(routes.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(routes[i], expected[i])
            << "#" << i + 1 << " " << httpMethodName(routes[i].method) << " " << routes[i].pattern;
    }
    EXPECT_EQ(call("GET", "/api/test-extra").body, "extra");  // Not taken by "/<path>".
}

TEST_F(WebServerManagerTest, ARouteThatWaitsDelaysNeitherTheApiNorTheFiles) {
    stopWeb();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> waiting{0};
    std::promise<void> bothWaiting;
    WebServerOptions options;
    options.extraRoutes = [&](Router& router) {
        router.add(HttpMethod::Post, "/api/test-wait", [&](const HttpRequest&) {
            if (++waiting == 2) {
                bothWaiting.set_value();
            }
            released.wait_for(20s);
            return textResponse(200, "waited");
        });
    };
    startWeb(std::move(options));
    ASSERT_NE(port, 0);

    test::RawHttpConnection first(port);
    test::RawHttpConnection second(port);
    ASSERT_TRUE(first.send(test::buildRequest("POST", "/api/test-wait", port, "{}")));
    ASSERT_TRUE(second.send(test::buildRequest("POST", "/api/test-wait", port, "{}")));
    ASSERT_EQ(bothWaiting.get_future().wait_for(5s), std::future_status::ready);

    EXPECT_EQ(call("GET", "/api/version").status, 200);
    EXPECT_EQ(call("POST", "/api/groups/add", R"({"groupName": "G"})").status, 200);
    EXPECT_EQ(call("GET", "/").body, kIndex);
    EXPECT_EQ(call("GET", "/api/test-wait").body, kIndex);  // Added before the UI files.

    release.set_value();
    for (auto* connection : {&first, &second}) {
        const auto response = connection->readResponse();
        ASSERT_TRUE(response);
        EXPECT_EQ(response->body, "waited");
    }
}

TEST_F(WebServerManagerTest, PersistHelpersWriteSnapshotsThroughTheOwnedStores) {
    AppSettings record;
    record.autoMonitorEnabled = true;
    record.helpGpioHostname = "TRQ-GPIO-1";
    settings.apply(record);
    web->persistAppSettings();
    const auto file = readJson(paths.appSettingsFile);
    EXPECT_EQ(file["appSettings"]["autoMonitorEnabled"], true);
    EXPECT_EQ(file["appSettings"]["helpGpioHostname"], "TRQ-GPIO-1");

    addDevice("h1", "198.19.0.1", true);
    groups.createGroup("G");
    web->persistDevices();
    web->persistGroups();
    EXPECT_EQ(DevicesStateStore(paths.devicesStateFile).loadDevices().size(), 1U);
    EXPECT_THAT(GroupsStateStore(paths.groupsStateFile).loadGroups().order, ElementsAre("G"));
}

TEST_F(WebServerManagerTest, BadInputOnEveryRouteLosesNoState) {
    // A known state, saved.
    ASSERT_EQ(call("POST", "/api/devices", R"({"hostname": "TRQ-PN4-1"})").status, 200);
    ASSERT_EQ(call("POST", "/api/devices/TRQ-PN4-1/monitor").status, 200);
    ASSERT_EQ(call("POST", "/api/groups/add", R"({"groupName": "G"})").status, 200);
    ASSERT_EQ(call("POST", "/api/groups/G/add-device", R"({"hostname": "TRQ-PN4-1"})").status, 200);
    ASSERT_EQ(
        call("POST", "/api/device-tile-settings/TRQ-PN4-1", R"({"settings": {"a": 1}})").status,
        200);
    const std::string devicesBefore = call("GET", "/api/devices").body;
    const std::string groupsBefore = call("GET", "/api/groups").body;
    const std::string tilesBefore = call("GET", "/api/device-tile-settings").body;
    const std::string devicesFile = test::readFile(paths.devicesStateFile);
    const std::string groupsFile = test::readFile(paths.groupsStateFile);
    const std::string tilesFile = test::readFile(paths.tileSettingsFile);

    const std::vector<std::string> bodies{
        "",
        "nope",
        "{",
        "[]",
        "{}",
        "null",
        "5",
        "\"s\"",
        "\"\xFF\"",
        R"({"hostname": 5, "groupName": [], "oldName": {}, "newName": 1, "settings": 2,
            "fields": "x", "applyModel": "y"})",
        R"({"hostname": null, "groupName": null, "oldName": "nope", "newName": ""})",
        std::string(100'000, '{'),
        std::string(300'000, '"'),
    };
    const std::vector<std::pair<std::string, std::string>> routes{
        {"POST", "/api/devices"},
        {"POST", "/api/groups/add"},
        {"POST", "/api/groups/rename"},
        {"POST", "/api/groups/order"},
        {"POST", "/api/groups/G/add-device"},
        {"POST", "/api/groups/G/remove-device"},
        {"POST", "/api/device-tile-settings/TRQ-PN4-1"},
        {"POST", "/api/monitoring-display-fields"},
        {"PUT", "/api/devices"},
        {"DELETE", "/api/devices/nobody"},
        {"BREW", "/api/groups"},
    };
    for (const auto& [method, path] : routes) {
        for (const std::string& body : bodies) {
            if (path == "/api/groups/order" && body == "[]") {
                continue;  // A valid order: it changes nothing.
            }
            const auto response = call(method, path, body);
            EXPECT_GE(response.status, 400) << method << " " << path << " " << body.substr(0, 40);
        }
    }
    // Bodies over the limit are refused before they are read.
    EXPECT_EQ(call("POST", "/api/devices", std::string(2 * 1024 * 1024, ' ')).status, 413);

    EXPECT_EQ(call("GET", "/api/devices").body, devicesBefore);
    EXPECT_EQ(call("GET", "/api/groups").body, groupsBefore);
    EXPECT_EQ(call("GET", "/api/device-tile-settings").body, tilesBefore);
    EXPECT_EQ(test::readFile(paths.devicesStateFile), devicesFile);
    EXPECT_EQ(test::readFile(paths.groupsStateFile), groupsFile);
    EXPECT_EQ(test::readFile(paths.tileSettingsFile), tilesFile);
}

TEST_F(WebServerManagerTest, WhatTheRoutesSavedComesBackWithTheNextStart) {
    ASSERT_EQ(call("POST", "/api/devices", R"({"hostname": "TRQ-PN2-7"})").status, 200);
    ASSERT_EQ(call("POST", "/api/devices/TRQ-PN2-7/monitor").status, 200);
    ASSERT_EQ(call("POST", "/api/groups/add", R"({"groupName": "Studio"})").status, 200);
    ASSERT_EQ(call("POST", "/api/groups/Studio/add-device", R"({"hostname": "TRQ-PN2-7"})").status,
              200);
    ASSERT_EQ(call("POST", "/api/monitoring-display-fields", R"({"fields": {"ip": false}})").status,
              200);
    stopWeb();

    // The next run: fresh registry and groups restored from the files, a new server on them.
    DeviceManager restoredDevices(logger);
    GroupManager restoredGroups(logger);
    restoredDevices.restoreDevices(DevicesStateStore(paths.devicesStateFile).loadDevices());
    restoredGroups.restoreGroups(GroupsStateStore(paths.groupsStateFile).loadGroups());
    ASSERT_EQ(restoredDevices.listDevices().size(), 1U);
    EXPECT_TRUE(restoredDevices.listDevices()[0].isMonitored);
    EXPECT_TRUE(restoredDevices.listDevices()[0].isManuallyAdded);
    EXPECT_THAT(restoredGroups.groupMembers("Studio"), ElementsAre("TRQ-PN2-7"));
    EXPECT_EQ(DeviceTileSettingsManager(paths.tileSettingsFile).monitoringDisplayFields()["ip"],
              false);
}

}  // namespace
}  // namespace pellan
