#include "settings/app_settings_manager.hpp"

#include "log/logger.hpp"

#include <string>
#include <utility>

namespace pellan {
namespace {

const char* boolText(bool value) {
    return value ? "true" : "false";
}

}  // namespace

AppSettingsManager::AppSettingsManager(Logger& logger, InterfaceEnumerator enumerate)
    : logger_(logger), enumerate_(std::move(enumerate)) {}

void AppSettingsManager::apply(const AppSettings& record) {
    std::lock_guard lock(mutex_);
    settings_ = record;
    logger_.log(std::string("App settings updated: AutoMonitor: ") +
                    boolText(settings_.autoMonitorEnabled) + " AppLocked: " +
                    boolText(settings_.appLocked) + " MonitoredDeviceOfflineIndicationEnabled: " +
                    boolText(settings_.monitoredDeviceOfflineIndicationEnabled) +
                    " NetworkInterface: " + settings_.selectedInterface +
                    " LineInIndex: " + std::to_string(settings_.lineInDeviceIndex) +
                    " SpeakerOutIndex: " + std::to_string(settings_.speakerOutDeviceIndex) +
                    " HelpGpioHost: " + settings_.helpGpioHostname +
                    " HelpGpioPhys: " + std::to_string(settings_.helpGpioPhysicalIndex),
                "settings");
}

void AppSettingsManager::refreshInterfaces() {
    // Enumerate before locking: the system call may take a moment and calls nothing of ours.
    std::vector<NetworkInterfaceInfo> found =
        enumerate_ ? enumerate_() : std::vector<NetworkInterfaceInfo>{};
    std::lock_guard lock(mutex_);
    networkInterfaces_ = std::move(found);
    settings_.interfaces.clear();
    if (!networkInterfaces_.empty()) {
        settings_.interfaces.emplace_back(kAllNetworks);
        for (const NetworkInterfaceInfo& info : networkInterfaces_) {
            settings_.interfaces.push_back(info.label);
        }
        if (settings_.selectedInterface.empty()) {
            settings_.selectedInterface = kAllNetworks;
        }
    }
}

int AppSettingsManager::selectedInterfaceIndex() const {
    std::lock_guard lock(mutex_);
    if (settings_.selectedInterface == kAllNetworks) {
        return 0;
    }
    for (const NetworkInterfaceInfo& info : networkInterfaces_) {
        if (info.label == settings_.selectedInterface) {
            return info.index;
        }
    }
    return 0;
}

AppSettings AppSettingsManager::snapshot() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

}  // namespace pellan
