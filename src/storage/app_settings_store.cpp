#include "storage/app_settings_store.hpp"

#include <string>
#include <utility>
#include <vector>

namespace pellan {
namespace {

constexpr const char* kAppSettingsKey = "appSettings";

AppSettings appSettingsFromJson(const nlohmann::json& value, std::vector<std::string>& wrongTyped) {
    AppSettings settings;
    JsonFieldReader reader(value, wrongTyped);
    reader.read("autoMonitorEnabled", settings.autoMonitorEnabled);
    reader.read("appLocked", settings.appLocked);
    reader.read("monitoredDeviceOfflineIndicationEnabled",
                settings.monitoredDeviceOfflineIndicationEnabled);
    reader.read("selectedInterface", settings.selectedInterface);
    reader.read("lineInDeviceIndex", settings.lineInDeviceIndex);
    reader.read("speakerOutDeviceIndex", settings.speakerOutDeviceIndex);
    reader.read("helpGpioHostname", settings.helpGpioHostname);
    reader.read("helpGpioPhysicalIndex", settings.helpGpioPhysicalIndex);
    return settings;
}

nlohmann::json appSettingsToJson(const AppSettings& settings) {
    return {
        {"autoMonitorEnabled", settings.autoMonitorEnabled},
        {"appLocked", settings.appLocked},
        {"monitoredDeviceOfflineIndicationEnabled",
         settings.monitoredDeviceOfflineIndicationEnabled},
        {"selectedInterface", settings.selectedInterface},
        {"lineInDeviceIndex", settings.lineInDeviceIndex},
        {"speakerOutDeviceIndex", settings.speakerOutDeviceIndex},
        {"helpGpioHostname", settings.helpGpioHostname},
        {"helpGpioPhysicalIndex", settings.helpGpioPhysicalIndex},
    };
}

}  // namespace

AppSettingsStore::AppSettingsStore(std::filesystem::path path)
    : file_("AppSettingsStore", std::move(path), {{kAppSettingsKey, nlohmann::json::object()}},
            /*versioned=*/true),
      document_(nlohmann::json::object()) {
    file_.ensureStructure(document_);
    file_.load(document_);
}

AppSettings AppSettingsStore::loadAppSettings() {
    std::lock_guard lock(mutex_);
    file_.load(document_);
    file_.ensureStructure(document_);
    std::vector<std::string> wrongTyped;
    AppSettings settings = appSettingsFromJson(document_[kAppSettingsKey], wrongTyped);
    for (const auto& key : wrongTyped) {
        file_.reportWrongType(key);
    }
    return settings;
}

bool AppSettingsStore::saveAppSettings(const AppSettings& settings) {
    std::lock_guard lock(mutex_);
    file_.ensureStructure(document_);
    document_[kAppSettingsKey] = appSettingsToJson(settings);
    return file_.save(document_);
}

}  // namespace pellan
