#pragma once
#include <nlohmann/json_fwd.hpp>

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace pellan {

struct AppSettings;
struct DeviceEntry;
struct LogEntry;

/// The text of the shut-down notice every open page shows.
inline constexpr std::string_view kApplicationStoppingText =
    "Vantrel Pellan is shutting down. Please wait...";

// The messages of the UI push catalogue, one JSON object each, named by its "type". They only
// build the object; UiWebSocketServer sends it. Pure functions, callable from any thread.

nlohmann::json makeApplicationStoppingMessage();
/// {"timestamp", "message", "type": category}: one record as the log views show it.
nlohmann::json makeLogRecord(const LogEntry& entry);
nlohmann::json makeLogMessage(const LogEntry& entry);
/// "logs": the given records in their order (the logger's newest 200, oldest first).
nlohmann::json makeLogHistoryMessage(const std::vector<LogEntry>& entries);
nlohmann::json makeDiscoveryStatusMessage(bool active);
nlohmann::json makeDiscoveryBusyMessage(bool busy, const std::string& statusText);
/// The device view with "type": "device" beside its keys.
nlohmann::json makeDeviceMessage(const DeviceEntry& record);
nlohmann::json makeDeviceRemovalMessage(const std::string& hostname);
nlohmann::json makeVgpioMessage(const std::string& hostname, int index, bool state);
nlohmann::json makeMeterMessage(const std::string& hostname,
                                const std::vector<std::int32_t>& levels);
nlohmann::json makePanelAudioStateMessage(const std::string& hostname,
                                          const std::array<bool, 4>& onAir,
                                          const std::array<std::string, 4>& talkBack,
                                          const std::array<bool, 4>& lazyGang,
                                          const std::array<bool, 8>& muted,
                                          const std::array<bool, 4>& cough);
nlohmann::json makeInputStateMessage(const std::string& hostname, const std::array<bool, 8>& muted,
                                     const std::array<bool, 8>& gpiMute);
nlohmann::json makeRackAudioStateMessage(const std::string& hostname, bool micMuted);
nlohmann::json makeGroupMessage(const std::string& groupName,
                                const std::vector<std::string>& hostnames);
/// "groups" holds the members of every name of `order`, read from `members`; a name without
/// an entry there gets [].
nlohmann::json makeGroupsMessage(const std::vector<std::string>& order,
                                 const std::map<std::string, std::vector<std::string>>& members);
nlohmann::json makeGroupDeletedMessage(const std::string& groupName);
/// The nine settings keys the UI edits ("interfaces" included).
nlohmann::json makeSettingsObject(const AppSettings& settings);
nlohmann::json makeSettingsMessage(const AppSettings& settings);
nlohmann::json makeTalkStateMessage(const std::string& hostname, bool active);
/// "fields": the given value when it is an object, {} otherwise.
nlohmann::json makeMonitoringDisplayFieldsMessage(const nlohmann::json& fields);
/// "byHost" and "byModel" of the tile settings document after a change; each {} when the
/// document has no object under that key (the file's other keys stay out).
nlohmann::json makeTileSettingsMessage(const nlohmann::json& tileSettingsDocument);

/// Compact text with keys in ascending byte order. Bytes that are not UTF-8 (a device's or a
/// user's text) become U+FFFD instead of making the message unsendable.
std::string serialiseMessage(const nlohmann::json& message);

}  // namespace pellan
