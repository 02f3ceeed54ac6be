#include "app/application.hpp"

#include "app/ui_launcher.hpp"
#include "devices/device_manager.hpp"
#include "devices/group_manager.hpp"
#include "discovery/discovery_manager.hpp"
#include "discovery/dns_sd_browser.hpp"
#include "ember/ember_manager.hpp"
#include "links/device_websocket_manager.hpp"
#include "links/health_monitor.hpp"
#include "log/logger.hpp"
#include "platform/app_paths.hpp"
#include "platform/desktop.hpp"
#include "platform/shell.hpp"
#include "platform/single_instance.hpp"
#include "push/device_state_push.hpp"
#include "push/ui_websocket_server.hpp"
#include "settings/app_settings_manager.hpp"
#include "storage/app_settings_store.hpp"
#include "storage/devices_state_store.hpp"
#include "storage/groups_state_store.hpp"
#include "web/web_server_manager.hpp"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace pellan {
namespace {

/// Settings, devices and groups come back from their files through short-lived store
/// instances, which are gone before any server starts.
void restoreState(const AppPaths& paths, AppSettingsManager& settings, DeviceManager& devices,
                  GroupManager& groups) {
    {
        AppSettingsStore store(paths.appSettingsFile);
        const AppSettings restored = store.loadAppSettings();
        settings.apply(restored);
        settings.refreshInterfaces();
    }
    {
        DevicesStateStore store(paths.devicesStateFile);
        devices.restoreDevices(store.loadDevices());
    }
    {
        GroupsStateStore store(paths.groupsStateFile);
        groups.restoreGroups(store.loadGroups());
    }
}

/// Joins a thread of main's at shut-down; the threads joined here never join themselves.
void joinThread(std::thread& thread) {
    if (thread.joinable()) {
        thread.join();
    }
}

/// Everything between the logger and the main loop: the components in their creation order,
/// started, then stopped in their shut-down order.
void runComponents(const AppPaths& paths, Logger& logger) {
    DeviceManager devices(logger);
    GroupManager groups(logger);
    AppSettingsManager settings(logger);
    UiWebSocketServer uiPush(devices, groups, logger);
    // From here on every log record also reaches the open pages.
    logger.setListener([&uiPush](const LogEntry& entry) { uiPush.pushLogEntry(entry); });

    DeviceWebSocketManager deviceLinks(
        devices, logger,
        [&devices, &uiPush](const std::string& hostname, const std::vector<std::int32_t>& levels) {
            if (devices.findDeviceByHostname(hostname).isMonitored) {
                uiPush.pushMeterLevels(hostname, levels);
            }
        },
        [&devices, &uiPush](const std::string& hostname, const DeviceEntry&) {
            // The pages show the registry's record, not the link's partial one.
            pushDeviceState(devices.findDeviceByHostname(hostname), uiPush);
        });
    // Starts and stops its clients when the reachability handling asks it to; nothing
    // connects before that.
    EmberManager ember(devices, logger, uiPush, settings);
    // Reachability changes reach the discovery handlers once they exist.
    HealthMonitor healthMonitor(devices, logger, [](const std::string&, bool) {});
    // Discovered devices reach the registry once the discovery handlers exist.
    DnsSdBrowser httpBrowser([](const DiscoveredDevice&, bool) {}, logger);
    DnsSdBrowser netaudioBrowser([](const DiscoveredDevice&, bool) {}, logger);
    DiscoveryManager discovery(httpBrowser, netaudioBrowser, logger, uiPush);
    WebServerManager webServer({.deviceManager = devices,
                                .groupManager = groups,
                                .logger = logger,
                                .settingsManager = settings,
                                .uiPush = uiPush,
                                .healthMonitor = healthMonitor,
                                .paths = paths});

    restoreState(paths, settings, devices, groups);
    healthMonitor.requestRefresh();
    const auto interfaceIndex = static_cast<std::uint32_t>(settings.selectedInterfaceIndex());
    httpBrowser.setInterfaceIndex(interfaceIndex);
    netaudioBrowser.setInterfaceIndex(interfaceIndex);
    discovery.requestActive(true);
    healthMonitor.start();

    std::thread webThread([&webServer] { webServer.run(kWebServerPort); });
    std::thread pushThread([&uiPush] { uiPush.run(); });
    UiLauncher launcher(logger, [] { openUi(); });
    launcher.start();

    Shell shell([] { openUi(); });
    if (shell.create()) {
        logger.log("Vantrel Pellan started. Use the tray icon to open or exit the application.",
                   "application");
        shell.run();
    } else {
        logger.log("Failed to create the Windows tray icon", "error");
    }
    shell.remove();

    uiPush.pushApplicationStopping();
    logger.log("Vantrel Pellan shutdown requested", "application");
    webServer.stop();
    discovery.stop();
    healthMonitor.stop();
    deviceLinks.stopAll();
    ember.stopAll();
    uiPush.stop();
    launcher.stop();
    joinThread(webThread);
    joinThread(pushThread);
    logger.setListener({});
}

}  // namespace

int runApplication() {
    // Before any thread exists, so that a signal during start-up waits for the main loop.
    Shell::blockExitSignals();

    SingleInstance instance;
    switch (instance.acquire()) {
    case SingleInstance::Result::Failed:
        showFatalError(instance.failureReason());
        return 1;
    case SingleInstance::Result::AlreadyRunning:
        openUi();
        return 0;
    case SingleInstance::Result::Acquired:
        break;
    }

    std::optional<AppPaths> paths;
    try {
        paths = computeAppPaths();
    } catch (const std::exception& error) {
        showFatalError(error.what());
        return 1;
    }

    Logger logger;
    logger.openFile(paths->logFile, paths->oldLogFile);
    runComponents(*paths, logger);
    logger.log("Vantrel Pellan stopped", "application");
    instance.release();
    return 0;
}

}  // namespace pellan
