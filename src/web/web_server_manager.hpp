#pragma once
#include "devices/device_entry.hpp"
#include "storage/app_settings_store.hpp"
#include "storage/device_tile_settings_manager.hpp"
#include "storage/devices_state_store.hpp"
#include "storage/groups_state_store.hpp"
#include "web/http_message.hpp"
#include "web/http_server.hpp"
#include "web/router.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
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
/// The application's version as GET "/api/version" reports it.
inline constexpr const char* kApplicationVersion = "1.6";

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
/// calls, and the UI's own files from `uiRoot` with a single-page fallback. Owns the four
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
    WebServerManager(DeviceManager& deviceManager, GroupManager& groupManager, Logger& logger,
                     AppSettingsManager& settingsManager, UiWebSocketServer& uiPush,
                     HealthMonitor& healthMonitor, const AppPaths& paths,
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

    // The shared helpers of the routes: a snapshot of the owner, then the store's save, with no
    // lock of the owner held. A failed write is reported by the store; the routes go on.
    void persistDevices();
    void persistGroups();
    void persistAppSettings();

private:
    using Member = HttpResponse (WebServerManager::*)(const HttpRequest&);

    /// The device list as last answered, with the registry revision it was built at: while
    /// the registry has not changed, the page's frequent requests share one body, neither
    /// copied nor serialised again.
    struct DeviceListAnswer {
        std::uint64_t revision = 0;
        std::shared_ptr<const std::string> body;
    };

    Router buildRouter(const std::function<void(Router&)>& extraRoutes);
    Router::Handler bind(Member member);

    // Devices and monitoring.
    HttpResponse getDevices(const HttpRequest& request);
    HttpResponse postDevice(const HttpRequest& request);
    HttpResponse deleteDevice(const HttpRequest& request);
    HttpResponse getMonitored(const HttpRequest& request);
    HttpResponse toggleMonitor(const HttpRequest& request);
    // Groups.
    HttpResponse getGroups(const HttpRequest& request);
    HttpResponse replaceGroups(const HttpRequest& request);
    HttpResponse addGroup(const HttpRequest& request);
    HttpResponse renameGroup(const HttpRequest& request);
    HttpResponse orderGroups(const HttpRequest& request);
    HttpResponse deleteGroup(const HttpRequest& request);
    HttpResponse addDeviceToGroup(const HttpRequest& request);
    HttpResponse removeDeviceFromGroup(const HttpRequest& request);
    // Tile settings, display fields, logs, version.
    HttpResponse getTileSettings(const HttpRequest& request);
    HttpResponse postTileSettings(const HttpRequest& request);
    HttpResponse getDisplayFields(const HttpRequest& request);
    HttpResponse postDisplayFields(const HttpRequest& request);
    HttpResponse getLogs(const HttpRequest& request);
    HttpResponse getVersion(const HttpRequest& request);
    // The UI files.
    HttpResponse getIndex(const HttpRequest& request);
    HttpResponse getStaticFile(const HttpRequest& request);

    DeviceManager& deviceManager_;
    GroupManager& groupManager_;
    Logger& logger_;
    AppSettingsManager& settingsManager_;
    UiWebSocketServer& uiPush_;
    HealthMonitor& healthMonitor_;
    const std::filesystem::path uiRoot_;

    DeviceTileSettingsManager tileSettings_;
    AppSettingsStore appSettingsStore_;
    DevicesStateStore devicesStore_;
    GroupsStateStore groupsStore_;

    std::atomic<std::shared_ptr<const DeviceListAnswer>> deviceListAnswer_;

    std::unique_ptr<HttpServer> server_;  // Last: its handlers use everything above.
};

}  // namespace pellan
