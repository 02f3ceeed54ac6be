#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace pellan {

/// The application settings record, as held live by AppSettingsManager and persisted (all but
/// `interfaces`) under "appSettings" in "app_settings.json".
struct AppSettings {
    bool autoMonitorEnabled = false;
    bool appLocked = false;
    bool monitoredDeviceOfflineIndicationEnabled = true;
    std::string selectedInterface;
    std::vector<std::string> interfaces;  ///< Labels offered to the user; never persisted.
    std::int32_t lineInDeviceIndex = -1;
    std::int32_t speakerOutDeviceIndex = -1;
    std::string helpGpioHostname;
    std::int32_t helpGpioPhysicalIndex = -1;

    bool operator==(const AppSettings&) const = default;
};

}  // namespace pellan
