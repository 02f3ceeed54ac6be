#include "ember/ember_manager.hpp"

#include "base/ascii.hpp"
#include "devices/device_entry.hpp"
#include "devices/device_manager.hpp"
#include "devices/device_model.hpp"
#include "ember/ember_gpio_client.hpp"
#include "ember/ember_vgpio_client.hpp"
#include "log/logger.hpp"
#include "settings/app_settings_manager.hpp"

#include <algorithm>
#include <cstdio>
#include <thread>
#include <utility>
#include <vector>

namespace pellan {

namespace {

constexpr int kFirstPort = 1;
constexpr int kLastPort = 10;
constexpr const char* kGpioUnitStockCode = "TRQ-GPIO";

bool inPortRange(int number) {
    return number >= kFirstPort && number <= kLastPort;
}

/// A record for merging: every live GPIO number unknown (-1), so only what a report sets is
/// copied into the registry.
DeviceEntry partialRecord() {
    DeviceEntry partial;
    partial.vgpioTypes = DeviceEntry::allUnknown();
    partial.vgpioStates = DeviceEntry::allUnknown();
    partial.gpioPhysicalTypes = DeviceEntry::allUnknown();
    partial.gpioPhysicalOverride = DeviceEntry::allUnknown();
    partial.gpioPhysicalStatus = DeviceEntry::allUnknown();
    return partial;
}

/// "<prefix> %d/%31s": the number and the word, when both are there.
bool parseReport(const std::string& text, const char* format, int& number, std::string& word) {
    char buffer[32] = {};
    if (std::sscanf(text.c_str(), format, &number, buffer) != 2) {
        return false;
    }
    word = buffer;
    return true;
}

}  // namespace

EmberManager::EmberManager(DeviceManager& devices, Logger& logger, EmberPushTarget pushes,
                           AppSettingsManager& settings, EmberManagerOptions options)
    : devices_(devices), logger_(logger), pushes_(std::move(pushes)), settings_(settings),
      options_(std::move(options)) {}

EmberManager::~EmberManager() {
    stopAll();
}

void EmberManager::startEmberForDevice(const std::string& ip, const std::string& model) {
    const DeviceModelInfo& info = lookupDeviceModel(model);
    if (!info.emberEnabled) {
        return;
    }
    std::lock_guard lock(mutex_);
    if (vgpioClients_.contains(ip)) {
        return;
    }
    const EmberVgpioSettings settings = EmberVgpioSettings::fromModel(info);
    const int port = options_.vgpioPort > 0 ? options_.vgpioPort : settings.emberPort;
    auto client = std::make_unique<EmberVgpioClient>(ip, settings, port, options_.client);
    client->setValueCallback(
        [this, ip](const std::string& text, std::int32_t value) { onVgpioValue(ip, text, value); });
    client->start();
    vgpioClients_.emplace(ip, std::move(client));
}

void EmberManager::stopEmberForDevice(const std::string& ip) {
    std::unique_ptr<EmberVgpioClient> client;
    {
        std::lock_guard lock(mutex_);
        const auto found = vgpioClients_.find(ip);
        if (found == vgpioClients_.end()) {
            return;
        }
        client = std::move(found->second);
        vgpioClients_.erase(found);
    }
    client->stop();
    logger_.log("Ember connection to device " + ip + " is stopped", "device");
}

void EmberManager::startEmberForGpio(const std::string& ip, int /*number*/) {
    std::lock_guard lock(mutex_);
    if (gpioClients_.contains(ip)) {
        return;
    }
    auto client = std::make_unique<EmberGpioClient>(ip, options_.gpioPort, options_.client);
    client->setValueCallback(
        [this, ip](const std::string& text, std::int32_t value) { onGpioValue(ip, text, value); });
    client->start();
    gpioClients_.emplace(ip, std::move(client));
}

void EmberManager::stopEmberForGpio(const std::string& ip) {
    std::unique_ptr<EmberGpioClient> client;
    {
        std::lock_guard lock(mutex_);
        const auto found = gpioClients_.find(ip);
        if (found == gpioClients_.end()) {
            return;
        }
        client = std::move(found->second);
        gpioClients_.erase(found);
    }
    client->stop();
    logger_.log("Ember connection to GPIO device " + ip + " is stopped", "device");
}

void EmberManager::stopAll() {
    std::map<std::string, std::unique_ptr<EmberVgpioClient>> vgpio;
    std::map<std::string, std::unique_ptr<EmberGpioClient>> gpio;
    {
        std::lock_guard lock(mutex_);
        vgpio.swap(vgpioClients_);
        gpio.swap(gpioClients_);
    }
    for (auto& entry : vgpio) {
        entry.second->stop();
    }
    vgpio.clear();
    for (auto& entry : gpio) {
        entry.second->stop();
    }
    gpio.clear();
}

bool EmberManager::writeGpio(const char* operation, const char* flagName, const std::string& ip,
                             int physical, bool value, const char* field) {
    std::lock_guard lock(mutex_);
    const auto found = gpioClients_.find(ip);
    if (found == gpioClients_.end()) {
        logger_.log(std::string("EmberManager: ") + operation +
                        " failed - no gpio client available(online) for ip=" + ip,
                    "error");
        return false;
    }
    const bool ok = found->second->writeGpio(physical, field, value ? 1 : 0) == 0;
    logger_.log(std::string("EmberManager: ") + operation + " ip=" + ip +
                    " physical=" + std::to_string(physical) + " " + flagName + "=" +
                    (value ? "true" : "false") + " => " + (ok ? "OK" : "FAIL"),
                ok ? "audio" : "error");
    return ok;
}

bool EmberManager::gpioSetOverride(const std::string& ip, int physical, bool enable) {
    return writeGpio("gpioSetOverride", "enable", ip, physical, enable, "override");
}

bool EmberManager::gpioSetStatus(const std::string& ip, int physical, bool on) {
    return writeGpio("gpioSetStatus", "status", ip, physical, on, "status");
}

void EmberManager::updateHelpGpio(bool force) {
    const std::vector<DeviceEntry> devices = devices_.listDevices();
    const bool helpActive = std::any_of(devices.begin(), devices.end(), [](const DeviceEntry& d) {
        if (!d.isOnline || !lookupDeviceModel(d.stockCode).help || !inPortRange(d.vgpioHelpIndex)) {
            return false;
        }
        return d.vgpioStates[static_cast<std::size_t>(d.vgpioHelpIndex)] == 1;
    });
    if (!force && helpActive == lastHelpActive_.load()) {
        return;
    }
    lastHelpActive_ = helpActive;

    const AppSettings settings = settings_.snapshot();
    const int index = settings.helpGpioPhysicalIndex;
    if (settings.helpGpioHostname.empty() || !inPortRange(index)) {
        return;
    }
    const DeviceEntry unit = devices_.findDeviceByHostname(settings.helpGpioHostname);
    if (unit.hostname.empty() || toUpperAscii(unit.stockCode) != kGpioUnitStockCode ||
        unit.ip.empty()) {
        return;
    }
    const bool overrideOk = gpioSetOverride(unit.ip, index, true);
    std::this_thread::sleep_for(options_.helpStatusDelay);
    const bool statusOk = gpioSetStatus(unit.ip, index, helpActive);
    const char* status = !statusOk ? "Failed" : (helpActive ? "Set(True)" : "Set(False)");
    logger_.log("[HelpActive GPIO] device=" + settings.helpGpioHostname + " phys=" +
                    std::to_string(index) + " override=" + (overrideOk ? "Set(True)" : "Failed") +
                    " status=" + status + " (anyhelp=" + (helpActive ? "active" : "inactive") + ")",
                statusOk ? "audio" : "error");
}

void EmberManager::onGpioValue(const std::string& ip, const std::string& text, std::int32_t value) {
    int port = 0;
    std::string word;
    if (!parseReport(text, "gpio physical %d/%31s", port, word) || !inPortRange(port)) {
        return;
    }
    const auto at = static_cast<std::size_t>(port);
    DeviceEntry partial = partialRecord();
    if (word == "type") {
        const DeviceEntry before = devices_.findDeviceByIp(ip);
        if (before.hostname.empty()) {
            return;
        }
        partial.gpioPhysicalTypes[at] = value;
        devices_.updateGpioPhysicalByIp(ip, partial);
        const DeviceEntry after = devices_.findDeviceByIp(ip);
        if (after.gpioPhysicalTypes[at] != before.gpioPhysicalTypes[at] && pushes_.pushDevice) {
            pushes_.pushDevice(after);
        }
        return;
    }
    if (word == "override") {
        partial.gpioPhysicalOverride[at] = value != 0 ? 1 : 0;
    } else if (word == "status") {
        partial.gpioPhysicalStatus[at] = value != 0 ? 1 : 0;
    } else {
        return;
    }
    devices_.updateGpioPhysicalByIp(ip, partial);
}

void EmberManager::onVgpioValue(const std::string& ip, const std::string& text,
                                std::int32_t value) {
    int entry = 0;
    std::string word;
    if (!parseReport(text, "vgpio %d/%31s", entry, word) || !inPortRange(entry)) {
        return;
    }
    const auto at = static_cast<std::size_t>(entry);
    DeviceEntry partial = partialRecord();
    if (word == "status") {
        partial.vgpioStates[at] = value != 0 ? 1 : 0;
    } else if (word == "type") {
        partial.vgpioTypes[at] = value;
    } else {
        return;
    }
    applyVgpioReport(ip, partial);
    if (word == "status") {
        updateHelpGpio(false);
    }
}

void EmberManager::applyVgpioReport(const std::string& ip, const DeviceEntry& partial) {
    const DeviceEntry before = devices_.findDeviceByIp(ip);
    if (before.hostname.empty()) {
        return;
    }
    devices_.updateVgpioByIp(ip, partial);
    const DeviceEntry after = devices_.findDeviceByIp(ip);
    if (after.vgpioTypes != before.vgpioTypes && pushes_.pushDevice) {
        pushes_.pushDevice(after);
    }
    if (!pushes_.pushVgpio) {
        return;
    }
    for (int entry = kFirstPort; entry <= kLastPort; ++entry) {
        const std::int32_t state = partial.vgpioStates[static_cast<std::size_t>(entry)];
        if (state != -1) {
            pushes_.pushVgpio(after.hostname, entry, state == 1);
        }
    }
}

bool EmberManager::hasVgpioClient(const std::string& ip) const {
    std::lock_guard lock(mutex_);
    return vgpioClients_.contains(ip);
}

bool EmberManager::hasGpioClient(const std::string& ip) const {
    std::lock_guard lock(mutex_);
    return gpioClients_.contains(ip);
}

}  // namespace pellan
