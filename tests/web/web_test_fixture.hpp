#pragma once
// The whole component set behind the web server, on ephemeral loopback ports and in a
// temporary directory: registry, groups, settings, push server with one connected page,
// health monitor (never started) and the WebServerManager serving on a thread of the test.
#include "web/web_server_manager.hpp"

#include "devices/device_entry.hpp"
#include "devices/device_manager.hpp"
#include "devices/group_manager.hpp"
#include "links/health_monitor.hpp"
#include "log/logger.hpp"
#include "platform/app_paths.hpp"
#include "push/ui_websocket_server.hpp"
#include "settings/app_settings_manager.hpp"

#include "raw_http_client.hpp"
#include "raw_websocket_client.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace pellan::test {

using LogLine = std::pair<std::string, std::string>;  // message, category

class WebServerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        paths.uiRoot = dir / "ui";
        paths.dataDir = dir / "data";
        std::filesystem::create_directories(paths.uiRoot);
        std::filesystem::create_directories(paths.dataDir);
        paths.appSettingsFile = paths.dataDir / "app_settings.json";
        paths.devicesStateFile = paths.dataDir / "devices_state.json";
        paths.groupsStateFile = paths.dataDir / "groups_state.json";
        paths.tileSettingsFile = paths.dataDir / "device-tile-settings.json";
        writeFile(paths.uiRoot / "index.html", kIndex);
        writeFile(paths.uiRoot / "app.JS", "console.log(1);");

        // As main wires it: every record also goes to the pages.
        logger.setListener([this](const LogEntry& entry) { push.pushLogEntry(entry); });
        pushThread_ = std::thread([this] { push.run(); });
        pushPort = push.waitUntilListening(5s);
        ASSERT_NE(pushPort, 0);
        startWeb();
        ASSERT_NE(port, 0);
        page = std::make_unique<RawWebSocketClient>(pushPort);
        ASSERT_TRUE(page->nextOfType("logs"));
        // The push server logs the new page after sending it the history; from then on the
        // log holds only what the test causes.
        for (;;) {
            const auto record = page->nextOfType("log");
            ASSERT_TRUE(record) << "the page's connection was not logged";
            if ((*record)["log"]["message"] == "WebSocket client connected") {
                break;
            }
        }
        newLogLines();
    }

    void TearDown() override {
        stopWeb();
        page.reset();  // A page that goes away first spares the push server's close grace.
        push.stop();
        if (pushThread_.joinable()) {
            pushThread_.join();
        }
        logger.setListener({});
    }

    void startWeb(WebServerOptions options = {}) {
        options.http.bindAddress = "127.0.0.1";
        web = std::make_unique<WebServerManager>(WebServerDependencies{.deviceManager = devices,
                                                                       .groupManager = groups,
                                                                       .logger = logger,
                                                                       .settingsManager = settings,
                                                                       .uiPush = push,
                                                                       .healthMonitor = health,
                                                                       .paths = paths},
                                                 std::move(options));
        webThread_ = std::thread([this] { web->run(0); });
        port = web->waitUntilListening(5s);
    }

    void stopWeb() {
        if (web) {
            web->stop();
        }
        if (webThread_.joinable()) {
            webThread_.join();
        }
        web.reset();
    }

    RawResponse call(std::string_view method, std::string_view path, std::string_view body = {},
                     std::string_view headers = {}) {
        return httpRequest(port, method, path, body, headers);
    }

    /// The messages pushed since the last call (log records left out): everything the page
    /// receives before a marker the test pushes now.
    std::vector<nlohmann::json> newPushes() {
        push.pushDiscoveryStatus(true);
        auto messages = page->messagesUntil("discovery-status");
        EXPECT_TRUE(messages) << "the push marker did not arrive";
        return messages.value_or(std::vector<nlohmann::json>{});
    }

    /// The "type"s of newPushes(), in order.
    std::vector<std::string> newPushTypes() {
        std::vector<std::string> types;
        for (const auto& message : newPushes()) {
            types.push_back(message.value("type", ""));
        }
        return types;
    }

    /// The lines logged since the last call.
    std::vector<LogLine> newLogLines() {
        std::vector<LogLine> all;
        for (const LogEntry& entry : logger.recentEntries()) {
            all.emplace_back(entry.message, entry.category);
        }
        if (seenLogLines_ > all.size()) {
            seenLogLines_ = 0;
        }
        std::vector<LogLine> fresh(all.begin() + static_cast<std::ptrdiff_t>(seenLogLines_),
                                   all.end());
        seenLogLines_ = all.size();
        return fresh;
    }

    /// The file as JSON; null when it does not exist.
    static nlohmann::json readJson(const std::filesystem::path& path) {
        if (!std::filesystem::exists(path)) {
            return nullptr;
        }
        return nlohmann::json::parse(readFile(path));
    }

    /// A device as discovery would register it, monitored when asked.
    void addDevice(const std::string& hostname, const std::string& ip, bool monitored = false) {
        DeviceEntry entry;
        entry.hostname = hostname;
        entry.ip = ip;
        devices.addOrUpdateDevice(entry);
        if (monitored) {
            devices.setMonitored(hostname, true);
        }
    }

    static constexpr const char* kIndex = "<!doctype html><title>index</title>";

    TempDir dir;
    AppPaths paths;
    Logger logger;
    DeviceManager devices{logger};
    GroupManager groups{logger};
    AppSettingsManager settings{logger, [] { return std::vector<NetworkInterfaceInfo>{}; }};
    UiWebSocketServer push{devices, groups, logger,
                           UiWebSocketServerOptions{0, "127.0.0.1", kUiIdleTimeout}};
    HealthMonitor health{devices, logger, [](const std::string&, bool) {}};
    std::unique_ptr<WebServerManager> web;
    std::unique_ptr<RawWebSocketClient> page;
    std::uint16_t port = 0;
    std::uint16_t pushPort = 0;

private:
    std::thread pushThread_;
    std::thread webThread_;
    std::size_t seenLogLines_ = 0;
};

}  // namespace pellan::test
