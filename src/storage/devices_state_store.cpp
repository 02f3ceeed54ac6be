#include "storage/devices_state_store.hpp"

#include <string>
#include <utility>

namespace pellan {
namespace {

constexpr const char* kDevicesKey = "devices";

DeviceEntry deviceFromJson(const nlohmann::json& element, std::vector<std::string>& wrongTyped) {
    DeviceEntry entry;
    JsonFieldReader reader(element, wrongTyped);
    reader.read("danteName", entry.danteName);
    reader.read("discoveredByHttp", entry.discoveredByHttp);
    reader.read("discoveredByNetaudio", entry.discoveredByNetaudio);
    reader.read("friendlyName", entry.friendlyName);
    reader.read("hostname", entry.hostname);
    reader.read("hostname2", entry.hostname2);
    reader.read("ip", entry.ip);
    reader.read("ip2", entry.ip2);
    reader.read("isManuallyAdded", entry.isManuallyAdded);
    reader.read("isMonitored", entry.isMonitored);
    reader.read("linkedGpioHostname", entry.linkedGpioHostname);
    reader.read("linkedGpioPhysicalIndex", entry.linkedGpioPhysicalIndex);
    reader.read("paInputDeviceIndex", entry.paInputDeviceIndex);
    reader.read("paTalkOutputDeviceIndex", entry.paTalkOutputDeviceIndex);
    reader.read("stockCode", entry.stockCode);
    reader.read("vgpioHelpIndex", entry.vgpioHelpIndex);
    return entry;
}

nlohmann::json deviceToJson(const DeviceEntry& entry) {
    return {
        {"danteName", entry.danteName},
        {"discoveredByHttp", entry.discoveredByHttp},
        {"discoveredByNetaudio", entry.discoveredByNetaudio},
        {"friendlyName", entry.friendlyName},
        {"hostname", entry.hostname},
        {"hostname2", entry.hostname2},
        {"ip", entry.ip},
        {"ip2", entry.ip2},
        {"isManuallyAdded", entry.isManuallyAdded},
        {"isMonitored", entry.isMonitored},
        {"linkedGpioHostname", entry.linkedGpioHostname},
        {"linkedGpioPhysicalIndex", entry.linkedGpioPhysicalIndex},
        {"paInputDeviceIndex", entry.paInputDeviceIndex},
        {"paTalkOutputDeviceIndex", entry.paTalkOutputDeviceIndex},
        {"stockCode", entry.stockCode},
        {"vgpioHelpIndex", entry.vgpioHelpIndex},
    };
}

}  // namespace

DevicesStateStore::DevicesStateStore(std::filesystem::path path)
    : file_("DevicesStateStore", std::move(path), {{kDevicesKey, nlohmann::json::array()}},
            /*versioned=*/true),
      document_(nlohmann::json::object()) {
    file_.ensureStructure(document_);
    file_.load(document_);
}

std::vector<DeviceEntry> DevicesStateStore::loadDevices() {
    std::lock_guard lock(mutex_);
    file_.load(document_);
    file_.ensureStructure(document_);
    const nlohmann::json& devices = document_[kDevicesKey];
    std::vector<DeviceEntry> result;
    result.reserve(devices.size());
    // Each wrong-typed key is named once per load, however many devices carry it.
    std::vector<std::string> wrongTyped;
    for (const auto& element : devices) {
        DeviceEntry entry = deviceFromJson(element, wrongTyped);
        if (!entry.hostname.empty()) {
            result.push_back(std::move(entry));
        }
    }
    for (const auto& key : wrongTyped) {
        file_.reportWrongType(key);
    }
    return result;
}

bool DevicesStateStore::saveDevices(const std::vector<DeviceEntry>& records) {
    std::lock_guard lock(mutex_);
    file_.ensureStructure(document_);
    nlohmann::json devices = nlohmann::json::array();
    for (const auto& record : records) {
        if (!record.hostname.empty()) {
            devices.push_back(deviceToJson(record));
        }
    }
    document_[kDevicesKey] = std::move(devices);
    return file_.save(document_);
}

}  // namespace pellan
