#include "app/application.hpp"

#include "app/components.hpp"
#include "app/ui_launcher.hpp"
#include "log/logger.hpp"
#include "platform/app_paths.hpp"
#include "platform/desktop.hpp"
#include "platform/shell.hpp"
#include "platform/single_instance.hpp"
#include "storage/app_settings_store.hpp"
#include "storage/devices_state_store.hpp"
#include "storage/groups_state_store.hpp"

#include <cstdint>
#include <exception>
#include <optional>
#include <thread>

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

/// Everything between the logger and the last log line: the components in their creation
/// order, restored and started, the shell's wait, then the stops in their shut-down order.
void runComponents(const AppPaths& paths, Logger& logger) {
    Components c(paths, logger);

    restoreState(paths, c.settings, c.devices, c.groups);
    c.healthMonitor.requestRefresh();
    const auto interfaceIndex = static_cast<std::uint32_t>(c.settings.selectedInterfaceIndex());
    c.httpBrowser.setInterfaceIndex(interfaceIndex);
    c.netaudioBrowser.setInterfaceIndex(interfaceIndex);
    c.discovery.requestActive(true);
    c.healthMonitor.start();

    std::thread webThread([&c] { c.webServer.run(kWebServerPort); });
    std::thread pushThread([&c] { c.uiPush.run(); });
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

    c.uiPush.pushApplicationStopping();
    logger.log("Vantrel Pellan shutdown requested", "application");
    c.webServer.stop();
    c.discovery.stop();
    c.healthMonitor.stop();
    c.deviceLinks.stopAll();
    c.ember.stopAll();
    c.uiPush.stop();
    launcher.stop();
    joinThread(webThread);
    joinThread(pushThread);
    c.logForwarding.clear();
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
