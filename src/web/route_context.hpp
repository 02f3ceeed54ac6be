#pragma once

namespace pellan {
class AppSettingsManager;
class AppSettingsStore;
class DeviceManager;
class DeviceTileSettingsManager;
class DevicesStateStore;
class GroupManager;
class GroupsStateStore;
class HealthMonitor;
class Logger;
class UiWebSocketServer;

/// What the REST routes work with: the components they call and the stores through which they
/// save the devices, groups, settings and tile settings files.
///
/// Kind: value of references, held by WebServerManager for as long as its routes can run.
/// Thread safety: the route handlers use it on several threads at once; it has no state of its
///   own, and each referenced component guards its own.
/// Lifetime: every referenced object must outlive the routes.
struct RouteContext {
    DeviceManager& deviceManager;
    GroupManager& groupManager;
    Logger& logger;
    AppSettingsManager& settingsManager;
    UiWebSocketServer& uiPush;
    HealthMonitor& healthMonitor;
    DeviceTileSettingsManager& tileSettings;
    AppSettingsStore& appSettingsStore;
    DevicesStateStore& devicesStore;
    GroupsStateStore& groupsStore;

    // A snapshot of the owner, then the store's save, with no lock of the owner held. A failed
    // write is reported by the store; the routes go on.
    void persistDevices() const;
    void persistGroups() const;
    void persistAppSettings() const;
};

}  // namespace pellan
