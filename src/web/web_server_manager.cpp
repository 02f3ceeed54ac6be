#include "web/web_server_manager.hpp"

#include "log/logger.hpp"
#include "platform/app_paths.hpp"
#include "push/request_origin.hpp"
#include "web/device_routes.hpp"
#include "web/group_routes.hpp"
#include "web/static_files.hpp"
#include "web/tile_routes.hpp"

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

std::vector<RouteKey> apiRouteOrder() {
    return {
        {HttpMethod::Get, "/api/devices"},
        {HttpMethod::Get, "/api/discovery-status"},
        {HttpMethod::Post, "/api/discovery-status"},
        {HttpMethod::Post, "/api/devices"},
        {HttpMethod::Delete, "/api/devices/<string>"},
        {HttpMethod::Get, "/api/app-settings"},
        {HttpMethod::Post, "/api/app-settings"},
        {HttpMethod::Get, "/api/audio-devices"},
        {HttpMethod::Post, "/api/refresh-audio-devices"},
        {HttpMethod::Get, "/api/devices/<string>/device-settings"},
        {HttpMethod::Post, "/api/devices/<string>/device-settings"},
        {HttpMethod::Post, "/api/devices/<string>/talk"},
        {HttpMethod::Get, "/api/logs"},
        {HttpMethod::Get, "/api/monitored"},
        {HttpMethod::Post, "/api/devices/<string>/monitor"},
        {HttpMethod::Get, "/api/groups"},
        {HttpMethod::Post, "/api/groups"},
        {HttpMethod::Post, "/api/groups/add"},
        {HttpMethod::Post, "/api/groups/rename"},
        {HttpMethod::Post, "/api/groups/order"},
        {HttpMethod::Delete, "/api/groups/<string>"},
        {HttpMethod::Post, "/api/groups/<string>/add-device"},
        {HttpMethod::Post, "/api/groups/<string>/remove-device"},
        {HttpMethod::Get, "/api/device-tile-settings"},
        {HttpMethod::Post, "/api/device-tile-settings/<string>"},
        {HttpMethod::Get, "/api/monitoring-display-fields"},
        {HttpMethod::Post, "/api/monitoring-display-fields"},
        {HttpMethod::Get, "/api/version"},
    };
}

WebServerManager::WebServerManager(const WebServerDependencies& dependencies,
                                   WebServerOptions options)
    : tileSettings_(dependencies.paths.tileSettingsFile),
      appSettingsStore_(dependencies.paths.appSettingsFile),
      devicesStore_(dependencies.paths.devicesStateFile),
      groupsStore_(dependencies.paths.groupsStateFile), context_{dependencies.deviceManager,
                                                                 dependencies.groupManager,
                                                                 dependencies.logger,
                                                                 dependencies.settingsManager,
                                                                 dependencies.uiPush,
                                                                 dependencies.healthMonitor,
                                                                 tileSettings_,
                                                                 appSettingsStore_,
                                                                 devicesStore_,
                                                                 groupsStore_} {
    // The API's routes take their places from its order; the routes added after them (a
    // test's or a benchmark's) come next, and the UI files last, since "/<path>" matches every
    // GET.
    Router router(apiRouteOrder());
    addDeviceRoutes(router, context_);
    addGroupRoutes(router, context_);
    addTileRoutes(router, context_);
    if (options.extraRoutes) {
        options.extraRoutes(router);
    }
    addStaticFileRoutes(router, dependencies.paths.uiRoot);
    routes_ = router.routes();
    server_ = std::make_unique<HttpServer>(std::move(router),
                                           withDefaults(std::move(options.http), context_.logger));
}

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

std::vector<RouteKey> WebServerManager::routes() const {
    return routes_;
}

void WebServerManager::persistDevices() {
    context_.persistDevices();
}

void WebServerManager::persistGroups() {
    context_.persistGroups();
}

void WebServerManager::persistAppSettings() {
    context_.persistAppSettings();
}

}  // namespace pellan
