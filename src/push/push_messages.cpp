#include "push/push_messages.hpp"

#include "base/wire_json.hpp"
#include "devices/device_entry.hpp"
#include "log/logger.hpp"
#include "push/device_view.hpp"
#include "storage/app_settings.hpp"

#include <nlohmann/json.hpp>

namespace pellan {

namespace {

nlohmann::json objectOrEmpty(const nlohmann::json& document, const char* key) {
    if (!document.is_object()) {
        return nlohmann::json::object();
    }
    const auto found = document.find(key);
    return found != document.end() && found->is_object() ? *found : nlohmann::json::object();
}

nlohmann::json typed(const char* type) {
    nlohmann::json message = nlohmann::json::object();
    message["type"] = type;
    return message;
}

}  // namespace

nlohmann::json makeApplicationStoppingMessage() {
    auto message = typed("application-stopping");
    message["message"] = std::string(kApplicationStoppingText);
    return message;
}

nlohmann::json makeLogRecord(const LogEntry& entry) {
    return {{"timestamp", entry.timestamp}, {"message", entry.message}, {"type", entry.category}};
}

nlohmann::json makeLogMessage(const LogEntry& entry) {
    auto message = typed("log");
    message["log"] = makeLogRecord(entry);
    return message;
}

nlohmann::json makeLogHistoryMessage(const std::vector<LogEntry>& entries) {
    auto message = typed("logs");
    nlohmann::json records = nlohmann::json::array();
    for (const auto& entry : entries) {
        records.push_back(makeLogRecord(entry));
    }
    message["logs"] = std::move(records);
    return message;
}

nlohmann::json makeDiscoveryStatusMessage(bool active) {
    auto message = typed("discovery-status");
    message["active"] = active;
    return message;
}

nlohmann::json makeDiscoveryBusyMessage(bool busy, const std::string& statusText) {
    auto message = typed("discovery-busy");
    message["busy"] = busy;
    message["statusText"] = statusText;
    return message;
}

nlohmann::json makeDeviceMessage(const DeviceEntry& record) {
    auto message = buildDeviceView(record);
    message["type"] = "device";
    return message;
}

nlohmann::json makeDeviceRemovalMessage(const std::string& hostname) {
    auto message = typed("device-removal");
    message["hostname"] = hostname;
    return message;
}

nlohmann::json makeVgpioMessage(const std::string& hostname, int index, bool state) {
    auto message = typed("vgpio");
    message["hostname"] = hostname;
    message["index"] = index;
    message["state"] = state;
    return message;
}

nlohmann::json makeMeterMessage(const std::string& hostname,
                                const std::vector<std::int32_t>& levels) {
    auto message = typed("meter");
    message["hostname"] = hostname;
    message["meterLevels"] = nlohmann::json::array();
    for (const auto level : levels) {
        message["meterLevels"].push_back(level);
    }
    return message;
}

nlohmann::json makePanelAudioStateMessage(const std::string& hostname,
                                          const std::array<bool, 4>& onAir,
                                          const std::array<std::string, 4>& talkBack,
                                          const std::array<bool, 4>& lazyGang,
                                          const std::array<bool, 8>& muted,
                                          const std::array<bool, 4>& cough) {
    auto message = typed("pn-audio-state");
    message["hostname"] = hostname;
    message["onAirStates"] = onAir;
    message["talkBackStates"] = talkBack;
    message["lazyGang"] = lazyGang;
    message["muted"] = muted;
    message["cough"] = cough;
    return message;
}

nlohmann::json makeInputStateMessage(const std::string& hostname, const std::array<bool, 8>& muted,
                                     const std::array<bool, 8>& gpiMute) {
    auto message = typed("r8x-input-state");
    message["hostname"] = hostname;
    message["muted"] = muted;
    message["gpiMuteStates"] = gpiMute;
    return message;
}

nlohmann::json makeRackAudioStateMessage(const std::string& hostname, bool micMuted) {
    auto message = typed("vkq-audio-state");
    message["hostname"] = hostname;
    message["micMuted"] = micMuted;
    return message;
}

nlohmann::json makeGroupMessage(const std::string& groupName,
                                const std::vector<std::string>& hostnames) {
    auto message = typed("group");
    message["groupName"] = groupName;
    message["hostnames"] = nlohmann::json::array();
    for (const auto& hostname : hostnames) {
        message["hostnames"].push_back(hostname);
    }
    return message;
}

nlohmann::json makeGroupsMessage(const std::vector<std::string>& order,
                                 const std::map<std::string, std::vector<std::string>>& members) {
    auto message = typed("groups");
    message["order"] = nlohmann::json::array();
    message["groups"] = nlohmann::json::object();
    for (const auto& name : order) {
        message["order"].push_back(name);
        auto& hostnames = message["groups"][name];
        hostnames = nlohmann::json::array();
        if (const auto found = members.find(name); found != members.end()) {
            for (const auto& hostname : found->second) {
                hostnames.push_back(hostname);
            }
        }
    }
    return message;
}

nlohmann::json makeGroupDeletedMessage(const std::string& groupName) {
    auto message = typed("group-deleted");
    message["groupName"] = groupName;
    return message;
}

nlohmann::json makeSettingsObject(const AppSettings& settings) {
    nlohmann::json interfaces = nlohmann::json::array();
    for (const auto& label : settings.interfaces) {
        interfaces.push_back(label);
    }
    return {
        {"autoMonitorEnabled", settings.autoMonitorEnabled},
        {"appLocked", settings.appLocked},
        {"monitoredDeviceOfflineIndicationEnabled",
         settings.monitoredDeviceOfflineIndicationEnabled},
        {"selectedInterface", settings.selectedInterface},
        {"interfaces", std::move(interfaces)},
        {"lineInDeviceIndex", settings.lineInDeviceIndex},
        {"speakerOutDeviceIndex", settings.speakerOutDeviceIndex},
        {"helpGpioHostname", settings.helpGpioHostname},
        {"helpGpioPhysicalIndex", settings.helpGpioPhysicalIndex},
    };
}

nlohmann::json makeSettingsMessage(const AppSettings& settings) {
    auto message = typed("settings");
    message["settings"] = makeSettingsObject(settings);
    return message;
}

nlohmann::json makeTalkStateMessage(const std::string& hostname, bool active) {
    auto message = typed("talk-state");
    message["hostname"] = hostname;
    message["active"] = active;
    return message;
}

nlohmann::json makeMonitoringDisplayFieldsMessage(const nlohmann::json& fields) {
    auto message = typed("monitoring-display-fields");
    message["fields"] = fields.is_object() ? fields : nlohmann::json::object();
    return message;
}

nlohmann::json makeTileSettingsMessage(const nlohmann::json& tileSettingsDocument) {
    auto message = typed("tile-settings");
    message["byHost"] = objectOrEmpty(tileSettingsDocument, "byHost");
    message["byModel"] = objectOrEmpty(tileSettingsDocument, "byModel");
    return message;
}

std::string serialiseMessage(const nlohmann::json& message) {
    return wireJson(message);
}

}  // namespace pellan
