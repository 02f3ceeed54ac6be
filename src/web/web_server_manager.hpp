#pragma once
#include "storage/app_settings_store.hpp"
#include "storage/device_tile_settings_manager.hpp"
#include "storage/devices_state_store.hpp"
#include "storage/groups_state_store.hpp"
#include "web/http_server.hpp"
#include "web/route_context.hpp"
#include "web/router.hpp"
#include "web/tile_routes.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace pellan {
class AppSettingsManager;
class DeviceManager;
class GroupManager;
class HealthMonitor;
class Logger;
class UiWebSocketServer;
struct AppPaths;

/// The port of the REST API and the UI files.
inline constexpr std::uint16_t kWebServerPort = 8000;

/// The API's routes in the order they are matched. Each route file adds its own routes; this
/// table alone decides their order, which interleaves the files. The discovery, settings,
/// audio-device, device-settings and talk routes are not served yet: their places are kept.
std::vector<RouteKey> apiRouteOrder();

/// The components the web server's routes call, in the order the application creates them.
/// The discovery and Ember+ managers join after the health monitor when their routes are
/// served.
struct WebServerDependencies {
    DeviceManager& deviceManager;
    GroupManager& groupManager;
    Logger& logger;
    AppSettingsManager& settingsManager;
    UiWebSocketServer& uiPush;
    HealthMonitor& healthMonitor;
    /// The UI root directory and the tile settings, settings, devices and groups files.
    const AppPaths& paths;
};

/// How the web server runs; the defaults are the system's.
struct WebServerOptions {
    /// Connections, limits and threads. An empty Host rule takes this machine's (the same as
    /// the push server's); an empty error reporter logs under "error".
    HttpServerOptions http;
    /// Called once, at construction, to add routes after the API's and before the UI files';
    /// tests and benchmarks add routes that wait here.
    std::function<void(Router&)> extraRoutes;
};

/// The application's HTTP server on port 8000: the REST API under "/api/" that the browser UI
/// calls, and the UI's own files from the UI root with a single-page fallback. Owns the four
/// stores through which the routes save the devices, groups, settings and tile settings files.
///
/// Kind: thread owner in the caller's thread: run() is the body of main's web server thread;
///   the server adds its network and handler threads and joins them before run() returns.
/// Callbacks: route handlers run on the server's threads, several at once; they take no lock
///   of this class and call the components and stores, never holding one's lock while calling
///   another (snapshots are taken first).
/// Thread safety: stop() and waitUntilListening() may be called from any thread, at any time;
///   run() once.
/// Lifetime: every referenced component must outlive this object; the stores load their files
///   in the constructor.
class WebServerManager {
public:
    explicit WebServerManager(const WebServerDependencies& dependencies,
                              WebServerOptions options = {});
    ~WebServerManager();  ///< Calls stop(); run() must have returned.
    WebServerManager(const WebServerManager&) = delete;
    WebServerManager& operator=(const WebServerManager&) = delete;

    /// Serves on 0.0.0.0:port (the bind address of the options) until stop(). Returns false at
    /// once when the port cannot be bound or stop() came first; nothing is logged then.
    bool run(std::uint16_t port = kWebServerPort);
    /// Idempotent and final; effective before and during run().
    void stop();
    /// The bound port once listening (for run(0)); 0 when not within `timeout`.
    std::uint16_t waitUntilListening(std::chrono::milliseconds timeout) const;

    /// The method and pattern of every route served, in matching order.
    std::vector<RouteKey> routes() const;

    // The routes' shared saves (see RouteContext).
    void persistDevices();
    void persistGroups();
    void persistAppSettings();

private:
    DeviceTileSettingsManager tileSettings_;
    AppSettingsStore appSettingsStore_;
    DevicesStateStore devicesStore_;
    GroupsStateStore groupsStore_;

    const RouteContext context_;    // Refers to the stores above.
    std::vector<RouteKey> routes_;  // Set by the constructor, then only read.

    std::unique_ptr<HttpServer> server_;  // Last: its handlers use everything above.
};

}  // namespace pellan
