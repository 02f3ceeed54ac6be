// The tile settings, display fields, logs and version routes of WebServerManager. The tile
// settings the UI sends are not interpreted: they are stored and returned as they are.
#include "web/web_server_manager.hpp"

#include "devices/device_entry.hpp"
#include "devices/device_manager.hpp"
#include "log/logger.hpp"
#include "push/push_messages.hpp"
#include "push/ui_websocket_server.hpp"
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

nlohmann::json objectOrEmpty(const nlohmann::json& doc, const char* key) {
    const auto found = doc.find(key);
    return found != doc.end() && found->is_object() ? *found : nlohmann::json::object();
}

}  // namespace

HttpResponse WebServerManager::getTileSettings(const HttpRequest& /*request*/) {
    return typedJsonBody(200, tileSettings_.snapshotDocument());
}

HttpResponse WebServerManager::postTileSettings(const HttpRequest& request) {
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

        nlohmann::json doc = tileSettings_.snapshotDocument();
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
            const std::string code = deviceManager_.findDeviceByHostname(host).stockCode;
            if (!code.empty()) {
                doc[kByModel][code] = settings;
                for (const DeviceEntry& record : deviceManager_.listDevices()) {
                    if (!record.hostname.empty() && record.stockCode == code) {
                        doc[kByHost][record.hostname] = settings;
                    }
                }
            }
        }
        tileSettings_.replaceDocument(doc);
        uiPush_.broadcast({{"type", "tile-settings"},
                           {kByHost, objectOrEmpty(doc, kByHost)},
                           {kByModel, objectOrEmpty(doc, kByModel)}});
        return textResponse(200, "OK");
    } catch (const std::exception& error) {
        logger_.log("Failed to parse tile-settings request: " + clippedErrorText(error.what()),
                    "error");
        return textResponse(400, "Invalid JSON");
    }
}

HttpResponse WebServerManager::getDisplayFields(const HttpRequest& /*request*/) {
    return typedJsonBody(200, {{"fields", tileSettings_.monitoringDisplayFields()}});
}

HttpResponse WebServerManager::postDisplayFields(const HttpRequest& request) {
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
        tileSettings_.setMonitoringDisplayFields(fields);
        uiPush_.pushMonitoringDisplayFields(fields);
        return typedJsonBody(200, {{"ok", true}});
    } catch (const std::exception& error) {
        return textResponse(400, std::string("Invalid JSON: ") + error.what());
    }
}

HttpResponse WebServerManager::getLogs(const HttpRequest& /*request*/) {
    nlohmann::json records = nlohmann::json::array();
    for (const LogEntry& entry : logger_.recentEntries()) {
        records.push_back(makeLogRecord(entry));
    }
    return jsonBody(200, records);
}

HttpResponse WebServerManager::getVersion(const HttpRequest& /*request*/) {
    // The readiness probe and the UI ask often; the answer never changes.
    static const HttpResponse answer = typedJsonBody(200, {{"version", kApplicationVersion}});
    return answer;
}

}  // namespace pellan
