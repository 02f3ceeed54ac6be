// The tile settings the UI sends are not interpreted: they are stored and returned as they are.
#include "web/tile_routes.hpp"

#include "devices/device_entry.hpp"
#include "devices/device_manager.hpp"
#include "log/logger.hpp"
#include "push/push_messages.hpp"
#include "push/ui_websocket_server.hpp"
#include "storage/device_tile_settings_manager.hpp"
#include "web/route_helpers.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <exception>
#include <string>
#include <utility>

namespace pellan {
namespace {

constexpr const char* kByHost = "byHost";
constexpr const char* kByModel = "byModel";

/// The display fields and their defaults, as the tiles show them.
constexpr std::array<std::pair<const char*, bool>, 4> kDisplayFields{{
    {"hostname", true},
    {"ip", true},
    {"friendlyName", false},
    {"danteName", true},
}};

/// A request that could not be carried out whole: logged, and answered as the UI expects.
HttpResponse tileSettingsFailure(const RouteContext& context, std::string_view reason) {
    context.logger.log("Failed to parse tile-settings request: " + clippedErrorText(reason),
                       "error");
    return textResponse(400, "Invalid JSON");
}

HttpResponse getTileSettings(const RouteContext& context) {
    return typedJsonBody(200, context.tileSettings.snapshotDocument());
}

HttpResponse postTileSettings(const RouteContext& context, const HttpRequest& request) {
    const std::string host = urlDecode(request.params.at(0));
    // A key that is not UTF-8 could never be written to the tile settings file again.
    if (host.empty() || !isValidUtf8(host)) {
        return textResponse(400, "Invalid hostname");
    }
    try {
        const nlohmann::json body = parseRequestBody(request.body);
        if (!body.is_object() || !body.contains("settings")) {
            return textResponse(400, "Missing settings in request body");
        }
        const nlohmann::json& settings = body.at("settings");
        if (!settings.is_object()) {
            return textResponse(400, "settings must be a JSON object");
        }
        const bool applyModel = body.contains("applyModel") && body.at("applyModel").get<bool>();

        nlohmann::json doc = context.tileSettings.snapshotDocument();
        if (!doc.is_object()) {
            doc = nlohmann::json::object();
        }
        for (const char* key : {kByHost, kByModel}) {
            if (!doc.contains(key) || !doc[key].is_object()) {
                doc[key] = nlohmann::json::object();
            }
        }
        doc[kByHost][host] = settings;
        if (applyModel) {
            // As stored, and compared exactly: a stock code differing in case is another model.
            const std::string code = context.deviceManager.findDeviceByHostname(host).stockCode;
            if (!code.empty()) {
                doc[kByModel][code] = settings;
                for (const DeviceEntry& record : context.deviceManager.listDevices()) {
                    if (!record.hostname.empty() && record.stockCode == code) {
                        doc[kByHost][record.hostname] = settings;
                    }
                }
            }
        }
        if (!context.tileSettings.replaceDocument(doc)) {
            // The store keeps the change in memory; the pages are not told of a change that
            // the next start would not find.
            return tileSettingsFailure(context,
                                       "Failed to save " + context.tileSettings.path().string());
        }
        context.uiPush.broadcast(makeTileSettingsMessage(doc));
        return textResponse(200, "OK");
    } catch (const std::exception& error) {
        return tileSettingsFailure(context, error.what());
    }
}

HttpResponse getDisplayFields(const RouteContext& context) {
    return typedJsonBody(200, {{"fields", context.tileSettings.monitoringDisplayFields()}});
}

HttpResponse postDisplayFields(const RouteContext& context, const HttpRequest& request) {
    try {
        const nlohmann::json body = parseRequestBody(request.body);
        if (!body.is_object() || !body.contains("fields") || !body.at("fields").is_object()) {
            return textResponse(400, "Missing fields");
        }
        const nlohmann::json& given = body.at("fields");
        nlohmann::json fields = nlohmann::json::object();
        bool any = false;
        for (const auto& [key, fallback] : kDisplayFields) {
            // A present field that is not a boolean throws the JSON library's type error.
            const bool shown = given.contains(key) ? given.at(key).get<bool>() : fallback;
            fields[key] = shown;
            any = any || shown;
        }
        if (!any) {
            return textResponse(400, "Select at least one field");
        }
        context.tileSettings.setMonitoringDisplayFields(fields);
        context.uiPush.pushMonitoringDisplayFields(fields);
        return typedJsonBody(200, {{"ok", true}});
    } catch (const std::exception& error) {
        return textResponse(400, std::string("Invalid JSON: ") + error.what());
    }
}

HttpResponse getLogs(const RouteContext& context) {
    nlohmann::json records = nlohmann::json::array();
    for (const LogEntry& entry : context.logger.recentEntries()) {
        records.push_back(makeLogRecord(entry));
    }
    return jsonBody(200, records);
}

HttpResponse getVersion() {
    // The readiness probe and the UI ask often; the answer never changes.
    static const HttpResponse answer = typedJsonBody(200, {{"version", kApplicationVersion}});
    return answer;
}

}  // namespace

void addTileRoutes(Router& router, const RouteContext& context) {
    // The logs and the version only read memory, so they run on the network threads; the tile
    // settings routes take the store's lock, which is held across its file writes.
    constexpr auto kInline = RouteExecution::Inline;
    router.add(
        HttpMethod::Get, "/api/logs", [&context](const HttpRequest&) { return getLogs(context); },
        kInline);
    router.add(HttpMethod::Get, "/api/device-tile-settings",
               [&context](const HttpRequest&) { return getTileSettings(context); });
    router.add(
        HttpMethod::Post, "/api/device-tile-settings/<string>",
        [&context](const HttpRequest& request) { return postTileSettings(context, request); });
    router.add(HttpMethod::Get, "/api/monitoring-display-fields",
               [&context](const HttpRequest&) { return getDisplayFields(context); });
    router.add(
        HttpMethod::Post, "/api/monitoring-display-fields",
        [&context](const HttpRequest& request) { return postDisplayFields(context, request); });
    router.add(
        HttpMethod::Get, "/api/version", [](const HttpRequest&) { return getVersion(); }, kInline);
}

}  // namespace pellan
