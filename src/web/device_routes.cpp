// The device and monitoring routes of WebServerManager.
#include "web/web_server_manager.hpp"

#include "devices/device_entry.hpp"
#include "devices/device_manager.hpp"
#include "devices/group_manager.hpp"
#include "links/health_monitor.hpp"
#include "log/logger.hpp"
#include "push/device_view.hpp"
#include "push/ui_websocket_server.hpp"
#include "web/route_helpers.hpp"

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace pellan {

HttpResponse WebServerManager::getDevices(const HttpRequest& /*request*/) {
    const std::shared_ptr<const DeviceListAnswer> last = deviceListAnswer_.load();
    if (last && last->revision == deviceManager_.revision()) {
        return sharedTextResponse(200, last->body);
    }
    const DeviceManager::Snapshot snapshot = deviceManager_.snapshot();
    nlohmann::json views = nlohmann::json::array();
    for (const DeviceEntry& entry : snapshot.devices) {
        views.push_back(buildDeviceView(entry));
    }
    auto answer = std::make_shared<const DeviceListAnswer>(
        DeviceListAnswer{snapshot.revision, std::make_shared<const std::string>(wireJson(views))});
    // A request that built from an older snapshot may store after this one; the next request
    // then sees the revision differ and builds again.
    deviceListAnswer_.store(answer);
    return sharedTextResponse(200, answer->body);
}

HttpResponse WebServerManager::postDevice(const HttpRequest& request) {
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
    deviceManager_.addOrUpdateDevice(entry);
    uiPush_.pushDevice(deviceManager_.findDeviceByHostname(hostname));
    persistDevices();
    uiPush_.pushGroups();
    return textResponse(200, "Device added");
}

HttpResponse WebServerManager::deleteDevice(const HttpRequest& request) {
    const std::string host = urlDecode(request.params.at(0));
    if (!deviceManager_.removeDevice(host)) {
        logger_.log("Remove failed: " + host + " - device not found or could not remove", "error");
        return textResponse(404, "Device not found");
    }
    groupManager_.removeDeviceFromAllGroups(host);
    uiPush_.pushGroups();
    logger_.log("Device removed: " + host, "device");
    uiPush_.pushDeviceRemoval(host);
    // The health monitor rebuilds its address table before its next round. The device's
    // WebSocket link and Ember+ clients are left to the reachability handling.
    healthMonitor_.requestRefresh();
    persistDevices();
    persistGroups();
    return textResponse(200, "Device removed");
}

HttpResponse WebServerManager::getMonitored(const HttpRequest& /*request*/) {
    nlohmann::json hostnames = nlohmann::json::array();
    for (const DeviceEntry& entry : deviceManager_.listMonitoredDevices()) {
        hostnames.push_back(entry.hostname);
    }
    return jsonBody(200, hostnames);
}

HttpResponse WebServerManager::toggleMonitor(const HttpRequest& request) {
    const std::string host = urlDecode(request.params.at(0));
    const bool was = deviceManager_.findDeviceByHostname(host).isMonitored;
    deviceManager_.setMonitored(host, !was);
    const DeviceEntry record = deviceManager_.findDeviceByHostname(host);
    if (record.isMonitored) {
        logger_.log("Added " + host + " - " + record.ip + " for monitoring", "monitor");
    } else {
        // The groups file is not written here: the next route that saves the groups takes
        // this change along.
        groupManager_.removeDeviceFromAllGroups(host);
        uiPush_.pushGroups();
        logger_.log("Removed " + host + " - " + record.ip + " from monitoring and from all groups",
                    "monitor");
    }
    uiPush_.pushDevice(record);
    persistDevices();
    return textResponse(200, "Monitor state toggled");
}

}  // namespace pellan
