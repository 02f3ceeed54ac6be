#include "web/device_routes.hpp"

#include "devices/device_entry.hpp"
#include "devices/device_manager.hpp"
#include "devices/group_manager.hpp"
#include "links/health_monitor.hpp"
#include "log/logger.hpp"
#include "push/device_view.hpp"
#include "push/ui_websocket_server.hpp"
#include "web/route_helpers.hpp"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace pellan {
namespace {

/// The device list as last answered, with the registry revision it was built at: while the
/// registry has not changed, the page's frequent requests share one body, neither copied nor
/// serialised again.
struct DeviceListAnswer {
    std::uint64_t revision = 0;
    std::shared_ptr<const std::string> body;
};

using DeviceListCache = std::atomic<std::shared_ptr<const DeviceListAnswer>>;

HttpResponse getDevices(const RouteContext& context, DeviceListCache& cache) {
    const std::shared_ptr<const DeviceListAnswer> last = cache.load();
    if (last && last->revision == context.deviceManager.revision()) {
        return sharedTextResponse(200, last->body);
    }
    const DeviceManager::Snapshot snapshot = context.deviceManager.snapshot();
    nlohmann::json views = nlohmann::json::array();
    for (const DeviceEntry& entry : snapshot.devices) {
        views.push_back(buildDeviceView(entry));
    }
    auto answer = std::make_shared<const DeviceListAnswer>(
        DeviceListAnswer{snapshot.revision, std::make_shared<const std::string>(wireJson(views))});
    // A request that built from an older snapshot may store after this one; the next request
    // then sees the revision differ and builds again.
    cache.store(answer);
    return sharedTextResponse(200, answer->body);
}

HttpResponse postDevice(const RouteContext& context, const HttpRequest& request) {
    const auto body = tryParseRequestBody(request.body);
    if (!body) {
        return textResponse(400, "Invalid JSON");
    }
    // A missing key, or one that is not a string, throws: the server answers 500.
    const std::string hostname = body->at("hostname").get<std::string>();
    if (hostname.empty()) {
        return textResponse(400, "Host Name required");
    }
    DeviceEntry entry;
    entry.hostname = hostname;
    entry.isManuallyAdded = true;
    // An existing host name is merged by the registry, and the answer is the same.
    context.deviceManager.addOrUpdateDevice(entry);
    context.uiPush.pushDevice(context.deviceManager.findDeviceByHostname(hostname));
    context.persistDevices();
    context.uiPush.pushGroups();
    return textResponse(200, "Device added");
}

HttpResponse deleteDevice(const RouteContext& context, const HttpRequest& request) {
    const std::string host = urlDecode(request.params.at(0));
    if (!context.deviceManager.removeDevice(host)) {
        context.logger.log("Remove failed: " + host + " - device not found or could not remove",
                           "error");
        return textResponse(404, "Device not found");
    }
    context.groupManager.removeDeviceFromAllGroups(host);
    context.uiPush.pushGroups();
    context.logger.log("Device removed: " + host, "device");
    context.uiPush.pushDeviceRemoval(host);
    // The health monitor rebuilds its address table before its next round. The device's
    // WebSocket link and Ember+ clients are left to the reachability handling.
    context.healthMonitor.requestRefresh();
    context.persistDevices();
    context.persistGroups();
    return textResponse(200, "Device removed");
}

HttpResponse getMonitored(const RouteContext& context) {
    nlohmann::json hostnames = nlohmann::json::array();
    for (const DeviceEntry& entry : context.deviceManager.listMonitoredDevices()) {
        hostnames.push_back(entry.hostname);
    }
    return jsonBody(200, hostnames);
}

HttpResponse toggleMonitor(const RouteContext& context, const HttpRequest& request) {
    const std::string host = urlDecode(request.params.at(0));
    const bool was = context.deviceManager.findDeviceByHostname(host).isMonitored;
    context.deviceManager.setMonitored(host, !was);
    const DeviceEntry record = context.deviceManager.findDeviceByHostname(host);
    if (record.isMonitored) {
        context.logger.log("Added " + host + " - " + record.ip + " for monitoring", "monitor");
    } else {
        // The groups file is not written here: the next route that saves the groups takes
        // this change along.
        context.groupManager.removeDeviceFromAllGroups(host);
        context.uiPush.pushGroups();
        context.logger.log("Removed " + host + " - " + record.ip +
                               " from monitoring and from all groups",
                           "monitor");
    }
    context.uiPush.pushDevice(record);
    context.persistDevices();
    return textResponse(200, "Monitor state toggled");
}

}  // namespace

void addDeviceRoutes(Router& router, const RouteContext& context) {
    // The list and the monitored names only read memory under short locks, so they run on the
    // network threads; every route that saves a file runs on the handler threads.
    constexpr auto kInline = RouteExecution::Inline;
    auto cache = std::make_shared<DeviceListCache>();
    router.add(
        HttpMethod::Get, "/api/devices",
        [&context, cache](const HttpRequest&) { return getDevices(context, *cache); }, kInline);
    router.add(HttpMethod::Post, "/api/devices",
               [&context](const HttpRequest& request) { return postDevice(context, request); });
    router.add(HttpMethod::Delete, "/api/devices/<string>",
               [&context](const HttpRequest& request) { return deleteDevice(context, request); });
    router.add(
        HttpMethod::Get, "/api/monitored",
        [&context](const HttpRequest&) { return getMonitored(context); }, kInline);
    router.add(HttpMethod::Post, "/api/devices/<string>/monitor",
               [&context](const HttpRequest& request) { return toggleMonitor(context, request); });
}

}  // namespace pellan
