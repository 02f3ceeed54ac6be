#include "web/web_server_manager.hpp"

#include "devices/device_manager.hpp"
#include "devices/group_manager.hpp"
#include "log/logger.hpp"
#include "platform/app_paths.hpp"
#include "push/request_origin.hpp"
#include "settings/app_settings_manager.hpp"
#include "web/static_files.hpp"

#include <utility>

namespace pellan {
namespace {

/// The Host rule of this machine and the application log under "error", where the caller
/// left them open.
HttpServerOptions withDefaults(HttpServerOptions options, Logger& logger) {
    if (!options.isAllowedHost) {
        options.isAllowedHost = [](std::string_view host) { return isAllowedHost(host); };
    }
    if (!options.onError) {
        options.onError = [&logger](const std::string& text) { logger.log(text, "error"); };
    }
    return options;
}

}  // namespace

WebServerManager::WebServerManager(DeviceManager& deviceManager, GroupManager& groupManager,
                                   Logger& logger, AppSettingsManager& settingsManager,
                                   UiWebSocketServer& uiPush, HealthMonitor& healthMonitor,
                                   const AppPaths& paths, WebServerOptions options)
    : deviceManager_(deviceManager), groupManager_(groupManager), logger_(logger),
      settingsManager_(settingsManager), uiPush_(uiPush), healthMonitor_(healthMonitor),
      uiRoot_(paths.uiRoot), tileSettings_(paths.tileSettingsFile),
      appSettingsStore_(paths.appSettingsFile), devicesStore_(paths.devicesStateFile),
      groupsStore_(paths.groupsStateFile),
      server_(std::make_unique<HttpServer>(buildRouter(options.extraRoutes),
                                           withDefaults(std::move(options.http), logger))) {}

WebServerManager::~WebServerManager() {
    stop();
}

bool WebServerManager::run(std::uint16_t port) {
    return server_->run(port);
}

void WebServerManager::stop() {
    server_->stop();
}

std::uint16_t WebServerManager::waitUntilListening(std::chrono::milliseconds timeout) const {
    return server_->waitUntilListening(timeout);
}

Router::Handler WebServerManager::bind(Member member) {
    return [this, member](const HttpRequest& request) { return (this->*member)(request); };
}

Router WebServerManager::buildRouter(const std::function<void(Router&)>& extraRoutes) {
    // In the order of the route table. Inline handlers only read memory under short locks;
    // everything that saves a file, or reads one, runs on the handler threads. The discovery,
    // settings, audio-device, device-settings and talk routes are not served yet.
    constexpr auto kInline = RouteExecution::Inline;
    Router router;
    router.add(HttpMethod::Get, "/api/devices", bind(&WebServerManager::getDevices), kInline);
    router.add(HttpMethod::Post, "/api/devices", bind(&WebServerManager::postDevice));
    router.add(HttpMethod::Delete, "/api/devices/<string>", bind(&WebServerManager::deleteDevice));
    router.add(HttpMethod::Get, "/api/logs", bind(&WebServerManager::getLogs), kInline);
    router.add(HttpMethod::Get, "/api/monitored", bind(&WebServerManager::getMonitored), kInline);
    router.add(HttpMethod::Post, "/api/devices/<string>/monitor",
               bind(&WebServerManager::toggleMonitor));
    router.add(HttpMethod::Get, "/api/groups", bind(&WebServerManager::getGroups), kInline);
    router.add(HttpMethod::Post, "/api/groups", bind(&WebServerManager::replaceGroups));
    router.add(HttpMethod::Post, "/api/groups/add", bind(&WebServerManager::addGroup));
    router.add(HttpMethod::Post, "/api/groups/rename", bind(&WebServerManager::renameGroup));
    router.add(HttpMethod::Post, "/api/groups/order", bind(&WebServerManager::orderGroups));
    router.add(HttpMethod::Delete, "/api/groups/<string>", bind(&WebServerManager::deleteGroup));
    router.add(HttpMethod::Post, "/api/groups/<string>/add-device",
               bind(&WebServerManager::addDeviceToGroup));
    router.add(HttpMethod::Post, "/api/groups/<string>/remove-device",
               bind(&WebServerManager::removeDeviceFromGroup));
    router.add(HttpMethod::Get, "/api/device-tile-settings",
               bind(&WebServerManager::getTileSettings));
    router.add(HttpMethod::Post, "/api/device-tile-settings/<string>",
               bind(&WebServerManager::postTileSettings));
    router.add(HttpMethod::Get, "/api/monitoring-display-fields",
               bind(&WebServerManager::getDisplayFields));
    router.add(HttpMethod::Post, "/api/monitoring-display-fields",
               bind(&WebServerManager::postDisplayFields));
    router.add(HttpMethod::Get, "/api/version", bind(&WebServerManager::getVersion), kInline);
    if (extraRoutes) {
        extraRoutes(router);
    }
    router.add(HttpMethod::Get, "/", bind(&WebServerManager::getIndex));
    router.add(HttpMethod::Get, "/<path>", bind(&WebServerManager::getStaticFile));
    return router;
}

void WebServerManager::persistDevices() {
    devicesStore_.saveDevices(deviceManager_.listDevices());
}

void WebServerManager::persistGroups() {
    groupsStore_.saveGroups(groupManager_.groupsState());
}

void WebServerManager::persistAppSettings() {
    appSettingsStore_.saveAppSettings(settingsManager_.snapshot());
}

HttpResponse WebServerManager::getIndex(const HttpRequest& /*request*/) {
    return serveIndex(uiRoot_);
}

HttpResponse WebServerManager::getStaticFile(const HttpRequest& request) {
    return serveStaticPath(uiRoot_, request.params.at(0));
}

}  // namespace pellan
