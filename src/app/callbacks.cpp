#include "app/callbacks.hpp"

#include "devices/device_manager.hpp"
#include "push/device_state_push.hpp"
#include "push/ui_websocket_server.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace pellan {

LogListener logRecordPush(UiWebSocketServer& uiPush) {
    return [&uiPush](const LogEntry& entry) { uiPush.pushLogEntry(entry); };
}

MeterCallback meterLevelPush(DeviceManager& devices, UiWebSocketServer& uiPush) {
    return
        [&devices, &uiPush](const std::string& hostname, const std::vector<std::int32_t>& levels) {
            if (devices.findDeviceByHostname(hostname).isMonitored) {
                uiPush.pushMeterLevels(hostname, levels);
            }
        };
}

DeviceStateCallback deviceStatePush(DeviceManager& devices, UiWebSocketServer& uiPush) {
    return [&devices, &uiPush](const std::string& hostname, const DeviceEntry&) {
        pushDeviceState(devices.findDeviceByHostname(hostname), uiPush);
    };
}

DiscoveryPushes discoveryPushes(UiWebSocketServer& uiPush) {
    return DiscoveryPushes{
        [&uiPush](bool busy, const std::string& statusText) {
            uiPush.pushDiscoveryBusy(busy, statusText);
        },
        [&uiPush](bool active) { uiPush.pushDiscoveryStatus(active); },
    };
}

EmberPushTarget emberPushes(UiWebSocketServer& uiPush) {
    return EmberPushTarget{
        [&uiPush](const DeviceEntry& record) { uiPush.pushDevice(record); },
        [&uiPush](const std::string& hostname, int index, bool state) {
            uiPush.pushVgpio(hostname, index, state);
        },
    };
}

}  // namespace pellan
