#include "links/device_websocket_manager.hpp"

#include "devices/device_model.hpp"
#include "log/logger.hpp"

#include <utility>

namespace pellan {

DeviceWebSocketManager::DeviceWebSocketManager(DeviceManager& devices, Logger& logger,
                                               MeterCallback onMeterLevels,
                                               DeviceStateCallback onDeviceState,
                                               DeviceWebSocketOptions options)
    : devices_(devices), logger_(logger), onMeterLevels_(std::move(onMeterLevels)),
      onDeviceState_(std::move(onDeviceState)), options_(std::move(options)), loop_(logger) {}

DeviceWebSocketManager::~DeviceWebSocketManager() {
    try {
        stopAll();
    } catch (...) {
        // Only a failed lock can throw here; a destructor must not.
    }
}

void DeviceWebSocketManager::startWebSocketForDevice(const std::string& address,
                                                     const std::string& model) {
    std::lock_guard lock(mutex_);
    if (links_.count(address) != 0) {
        return;
    }
    if (lookupDeviceModel(model).stateParser != StateMessageFamily::None) {
        loop_.start();
    }
    auto link = std::make_unique<DeviceWebSocketClient>(
        logger_, devices_, address, model,
        [this](const std::string& hostname, const std::vector<std::int32_t>& levels) {
            if (onMeterLevels_) {
                onMeterLevels_(hostname, levels);
            }
        },
        [this](const std::string& hostname, const DeviceEntry& record) {
            if (onDeviceState_) {
                onDeviceState_(hostname, record);
            }
        },
        loop_, options_);
    link->start();
    links_.emplace(address, std::move(link));
}

void DeviceWebSocketManager::stopWebSocketForDevice(const std::string& address) {
    std::lock_guard lock(mutex_);
    const auto found = links_.find(address);
    if (found == links_.end()) {
        return;
    }
    found->second->stop();
    links_.erase(found);
    logger_.log("Websocket connection to device " + address + " is stopped", "device");
}

void DeviceWebSocketManager::stopAll() {
    std::lock_guard lock(mutex_);
    // Every link closes at the same time; the waits then overlap.
    for (auto& entry : links_) {
        entry.second->requestStop();
    }
    for (auto& entry : links_) {
        entry.second->stop();
    }
    links_.clear();
    loop_.stop();
}

std::vector<std::string> DeviceWebSocketManager::linkAddresses() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> addresses;
    addresses.reserve(links_.size());
    for (const auto& entry : links_) {
        addresses.push_back(entry.first);
    }
    return addresses;
}

}  // namespace pellan
