// Group names in the path are used exactly as they arrive: unlike the device routes, these do
// not percent-decode them.
#include "web/group_routes.hpp"

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

HttpResponse getGroups(const RouteContext& context) {
    const std::vector<std::string> order = context.groupManager.groupOrder();
    std::map<std::string, std::vector<std::string>> members;
    for (const std::string& name : order) {
        members[name] = context.groupManager.groupMembers(name);
    }
    nlohmann::json view = makeGroupsMessage(order, members);
    view.erase("type");
    return jsonBody(200, view);
}

HttpResponse replaceGroups(const RouteContext& context, const HttpRequest& request) {
    // Ordered: the groups are created, and ordered, as the request text lists them.
    const auto body = tryParseRequestBody<nlohmann::ordered_json>(request.body);
    if (!body) {
        return textResponse(400, "Invalid JSON");
    }
    context.logger.log("Groups modified, recreating all groups and devices ", "group");
    for (const std::string& name : context.groupManager.groupOrder()) {
        context.groupManager.deleteGroup(name);
    }
    // A body that is not an object, or a value that is not a list of strings, ends the request
    // with 500 here; what was deleted and created before stays so in memory.
    if (!body->is_object()) {
        throw std::invalid_argument("groups body is not an object");
    }
    std::vector<std::string> names;
    for (const auto& [name, hostnames] : body->items()) {
        context.groupManager.createGroup(name);
        if (!hostnames.is_array()) {
            throw std::invalid_argument("group members are not a list");
        }
        for (const auto& hostname : hostnames) {
            const auto host = hostname.get<std::string>();
            if (context.deviceManager.findDeviceByHostname(host).isMonitored) {
                context.groupManager.addDeviceToGroup(name, host);
            }
        }
        context.uiPush.pushGroup(name, context.groupManager.groupMembers(name));
        names.push_back(name);
    }
    context.groupManager.setGroupOrder(names);
    context.logger.log("Groups updated from UI", "group");
    context.uiPush.pushGroups();
    return textResponse(200, "Groups updated");
}

HttpResponse addGroup(const RouteContext& context, const HttpRequest& request) {
    // A body that does not parse answers 500, as a missing key does.
    const std::string name = stringAt(parseRequestBody(request.body), "groupName");
    context.groupManager.createGroup(name);
    context.logger.log("Group added: " + name, "group");
    context.uiPush.pushGroup(name, context.groupManager.groupMembers(name));
    return textResponse(200, "Group added");
}

HttpResponse renameGroup(const RouteContext& context, const HttpRequest& request) {
    const nlohmann::json body = parseRequestBody(request.body);
    const std::string oldName = stringAt(body, "oldName");
    const std::string newName = stringAt(body, "newName");
    const auto groups = context.groupManager.listGroups();
    const auto found = groups.find(oldName);
    if (found == groups.end()) {
        return textResponse(404, "Old group not found");
    }
    // Created anew, the group goes to the end of the order; onto an existing name the members
    // are merged into it.
    context.groupManager.deleteGroup(oldName);
    context.groupManager.createGroup(newName);
    for (const std::string& member : found->second) {
        context.groupManager.addDeviceToGroup(newName, member);
    }
    context.logger.log("Group renamed: " + oldName + " -> " + newName, "group");
    context.uiPush.pushGroupDeleted(oldName);
    context.uiPush.pushGroup(newName, context.groupManager.groupMembers(newName));
    context.persistGroups();
    return textResponse(200, "Group renamed");
}

HttpResponse orderGroups(const RouteContext& context, const HttpRequest& request) {
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
        context.groupManager.setGroupOrder(names);
        context.uiPush.pushGroups();
        context.persistGroups();
        context.logger.log("Groups order updated via API", "group");
        return textResponse(200, "Group order updated");
    } catch (const std::exception& error) {
        context.logger.log(std::string("Failed to update group order: ") + error.what(), "error");
        return textResponse(500, "Failed to update group order");
    }
}

HttpResponse deleteGroup(const RouteContext& context, const HttpRequest& request) {
    const std::string& name = request.params.at(0);
    context.groupManager.deleteGroup(name);
    context.logger.log("Group deleted: " + name, "group");
    context.uiPush.pushGroupDeleted(name);
    context.uiPush.pushGroups();
    context.persistGroups();
    return textResponse(200, "Group deleted");
}

HttpResponse addDeviceToGroup(const RouteContext& context, const HttpRequest& request) {
    const std::string& name = request.params.at(0);
    const std::string host = stringAt(parseRequestBody(request.body), "hostname");
    // An unmonitored or unknown device is not added; the answer is the same.
    if (context.deviceManager.findDeviceByHostname(host).isMonitored) {
        context.groupManager.addDeviceToGroup(name, host);
    }
    context.uiPush.pushGroup(name, context.groupManager.groupMembers(name));
    context.persistGroups();
    context.logger.log("Device " + host + " added to group: " + name, "group");
    return textResponse(200, "Device added to group");
}

HttpResponse removeDeviceFromGroup(const RouteContext& context, const HttpRequest& request) {
    const std::string& name = request.params.at(0);
    const std::string host = stringAt(parseRequestBody(request.body), "hostname");
    context.groupManager.removeDeviceFromGroup(name, host);
    context.uiPush.pushGroup(name, context.groupManager.groupMembers(name));
    context.persistGroups();
    context.logger.log("Device " + host + " removed from group: " + name, "group");
    return textResponse(200, "Device removed from group");
}

}  // namespace

void addGroupRoutes(Router& router, const RouteContext& context) {
    const auto bind = [&context](HttpResponse (*route)(const RouteContext&, const HttpRequest&)) {
        return [&context, route](const HttpRequest& request) { return route(context, request); };
    };
    // Reading the groups only reads memory under short locks, so it runs on the network
    // threads; every other route saves a file, or may, and runs on the handler threads.
    router.add(
        HttpMethod::Get, "/api/groups",
        [&context](const HttpRequest&) { return getGroups(context); }, RouteExecution::Inline);
    router.add(HttpMethod::Post, "/api/groups", bind(replaceGroups));
    router.add(HttpMethod::Post, "/api/groups/add", bind(addGroup));
    router.add(HttpMethod::Post, "/api/groups/rename", bind(renameGroup));
    router.add(HttpMethod::Post, "/api/groups/order", bind(orderGroups));
    router.add(HttpMethod::Delete, "/api/groups/<string>", bind(deleteGroup));
    router.add(HttpMethod::Post, "/api/groups/<string>/add-device", bind(addDeviceToGroup));
    router.add(HttpMethod::Post, "/api/groups/<string>/remove-device", bind(removeDeviceFromGroup));
}

}  // namespace pellan
