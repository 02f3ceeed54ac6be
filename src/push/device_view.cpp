#include "push/device_view.hpp"

#include "devices/device_entry.hpp"
#include "devices/device_model.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <cstddef>
#include <cstdint>

namespace pellan {

namespace {

/// Ports 1..10 of a port-indexed array; position 0 is no port and is never sent.
nlohmann::json portsOneToTen(const std::array<std::int32_t, 11>& values) {
    nlohmann::json ports = nlohmann::json::array();
    for (std::size_t port = 1; port < values.size(); ++port) {
        ports.push_back(values[port]);
    }
    return ports;
}

}  // namespace

nlohmann::json buildDeviceView(const DeviceEntry& entry) {
    const DeviceModelInfo& model = lookupDeviceModel(entry.stockCode);
    nlohmann::json view = nlohmann::json::object();
    view["hostname"] = entry.hostname;
    view["stockCode"] = entry.stockCode;
    view["danteName"] = entry.danteName;
    view["friendlyName"] = entry.friendlyName;
    view["ip"] = entry.ip;
    view["ip2"] = entry.ip2;
    view["isOnline"] = entry.isOnline;
    view["isMonitored"] = entry.isMonitored;
    view["isManuallyAdded"] = entry.isManuallyAdded;
    view["commCount"] = entry.commCount;
    view["onAirStates"] = entry.onAirStates;
    view["meterLevels"] = entry.meterLevels;
    view["talkBackStates"] = entry.talkBackStates;
    view["lazyGang"] = entry.lazyGang;
    view["muted"] = entry.muted;
    view["gpiMuteStates"] = entry.gpiMuteStates;
    view["micMuted"] = entry.micMuted;
    view["cough"] = entry.cough;
    view["paInputDeviceIndex"] = entry.paInputDeviceIndex;
    view["paTalkOutputDeviceIndex"] = entry.paTalkOutputDeviceIndex;
    view["talkActive"] = entry.talkActive;
    view["discoveredByHttp"] = entry.discoveredByHttp;
    view["vgpioTypes"] = portsOneToTen(entry.vgpioTypes);
    view["vgpioStates"] = portsOneToTen(entry.vgpioStates);
    view["vgpioHelpIndex"] = entry.vgpioHelpIndex;
    view["linkedGpioHostname"] = entry.linkedGpioHostname;
    view["linkedGpioPhysicalIndex"] = entry.linkedGpioPhysicalIndex;
    view["gpioPhysicalTypes"] = portsOneToTen(entry.gpioPhysicalTypes);
    view["gpioPhysicalOverride"] = portsOneToTen(entry.gpioPhysicalOverride);
    view["gpioPhysicalStatus"] = portsOneToTen(entry.gpioPhysicalStatus);
    view["capabilities"] = {
        {"talk", model.talk}, {"help", model.help}, {"contextPanel", model.contextPanel}};
    return view;
}

}  // namespace pellan
