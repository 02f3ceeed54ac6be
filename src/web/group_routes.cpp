// The group routes of WebServerManager. Group names in the path are used exactly as they
// arrive: unlike the device routes, these do not percent-decode them.
#include "web/web_server_manager.hpp"

#include "devices/device_manager.hpp"
#include "devices/group_manager.hpp"
#include "log/logger.hpp"
#include "push/push_messages.hpp"
#include "push/ui_websocket_server.hpp"
#include "web/route_helpers.hpp"

#include <nlohmann/json.hpp>

#include <exception>
#include <map>
#include <string>
#include <vector>

namespace pellan {
namespace {

/// The string under `key` of a parsed body; throws (the server answers 500) when the body is
/// not an object, the key is missing or its value is not a string.
std::string stringAt(const nlohmann::json& body, const char* key) {
    return body.at(key).get<std::string>();
}

}  // namespace

HttpResponse WebServerManager::getGroups(const HttpRequest& /*request*/) {
    const std::vector<std::string> order = groupManager_.groupOrder();
    std::map<std::string, std::vector<std::string>> members;
    for (const std::string& name : order) {
        members[name] = groupManager_.groupMembers(name);
    }
    nlohmann::json view = makeGroupsMessage(order, members);
    view.erase("type");
    return jsonBody(200, view);
}

HttpResponse WebServerManager::replaceGroups(const HttpRequest& request) {
    // Ordered: the groups are created, and ordered, as the request text lists them.
    const auto body = tryParseRequestBody<nlohmann::ordered_json>(request.body);
    if (!body) {
        return textResponse(400, "Invalid JSON");
    }
    logger_.log("Groups modified, recreating all groups and devices ", "group");
    for (const std::string& name : groupManager_.groupOrder()) {
        groupManager_.deleteGroup(name);
    }
    // A body that is not an object, or a value that is not a list of strings, ends the request
    // with 500 here; what was deleted and created before stays so in memory.
    if (!body->is_object()) {
        throw std::invalid_argument("groups body is not an object");
    }
    std::vector<std::string> names;
    for (const auto& [name, hostnames] : body->items()) {
        groupManager_.createGroup(name);
        if (!hostnames.is_array()) {
            throw std::invalid_argument("group members are not a list");
        }
        for (const auto& hostname : hostnames) {
            const auto host = hostname.get<std::string>();
            if (deviceManager_.findDeviceByHostname(host).isMonitored) {
                groupManager_.addDeviceToGroup(name, host);
            }
        }
        uiPush_.pushGroup(name, groupManager_.groupMembers(name));
        names.push_back(name);
    }
    groupManager_.setGroupOrder(names);
    logger_.log("Groups updated from UI", "group");
    uiPush_.pushGroups();
    return textResponse(200, "Groups updated");
}

HttpResponse WebServerManager::addGroup(const HttpRequest& request) {
    // A body that does not parse answers 500, as a missing key does.
    const std::string name = stringAt(parseRequestBody(request.body), "groupName");
    groupManager_.createGroup(name);
    logger_.log("Group added: " + name, "group");
    uiPush_.pushGroup(name, groupManager_.groupMembers(name));
    return textResponse(200, "Group added");
}

HttpResponse WebServerManager::renameGroup(const HttpRequest& request) {
    const nlohmann::json body = parseRequestBody(request.body);
    const std::string oldName = stringAt(body, "oldName");
    const std::string newName = stringAt(body, "newName");
    const auto groups = groupManager_.listGroups();
    const auto found = groups.find(oldName);
    if (found == groups.end()) {
        return textResponse(404, "Old group not found");
    }
    // Created anew, the group goes to the end of the order; onto an existing name the members
    // are merged into it.
    groupManager_.deleteGroup(oldName);
    groupManager_.createGroup(newName);
    for (const std::string& member : found->second) {
        groupManager_.addDeviceToGroup(newName, member);
    }
    logger_.log("Group renamed: " + oldName + " -> " + newName, "group");
    uiPush_.pushGroupDeleted(oldName);
    uiPush_.pushGroup(newName, groupManager_.groupMembers(newName));
    persistGroups();
    return textResponse(200, "Group renamed");
}

HttpResponse WebServerManager::orderGroups(const HttpRequest& request) {
    const auto body = tryParseRequestBody(request.body);
    if (!body) {
        return textResponse(400, "Invalid JSON");
    }
    if (!body->is_array()) {
        return textResponse(400, "Expected JSON array of group names");
    }
    try {
        std::vector<std::string> names;
        for (const auto& element : *body) {
            if (element.is_string()) {
                names.push_back(element.get<std::string>());
            }
        }
        groupManager_.setGroupOrder(names);
        uiPush_.pushGroups();
        persistGroups();
        logger_.log("Groups order updated via API", "group");
        return textResponse(200, "Group order updated");
    } catch (const std::exception& error) {
        logger_.log(std::string("Failed to update group order: ") + error.what(), "error");
        return textResponse(500, "Failed to update group order");
    }
}

HttpResponse WebServerManager::deleteGroup(const HttpRequest& request) {
    const std::string& name = request.params.at(0);
    groupManager_.deleteGroup(name);
    logger_.log("Group deleted: " + name, "group");
    uiPush_.pushGroupDeleted(name);
    uiPush_.pushGroups();
    persistGroups();
    return textResponse(200, "Group deleted");
}

HttpResponse WebServerManager::addDeviceToGroup(const HttpRequest& request) {
    const std::string& name = request.params.at(0);
    const std::string host = stringAt(parseRequestBody(request.body), "hostname");
    // An unmonitored or unknown device is not added; the answer is the same.
    if (deviceManager_.findDeviceByHostname(host).isMonitored) {
        groupManager_.addDeviceToGroup(name, host);
    }
    uiPush_.pushGroup(name, groupManager_.groupMembers(name));
    persistGroups();
    logger_.log("Device " + host + " added to group: " + name, "group");
    return textResponse(200, "Device added to group");
}

HttpResponse WebServerManager::removeDeviceFromGroup(const HttpRequest& request) {
    const std::string& name = request.params.at(0);
    const std::string host = stringAt(parseRequestBody(request.body), "hostname");
    groupManager_.removeDeviceFromGroup(name, host);
    uiPush_.pushGroup(name, groupManager_.groupMembers(name));
    persistGroups();
    logger_.log("Device " + host + " removed from group: " + name, "group");
    return textResponse(200, "Device removed from group");
}

}  // namespace pellan
