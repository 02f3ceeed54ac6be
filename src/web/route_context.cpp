#include "web/route_context.hpp"

#include "devices/device_manager.hpp"
#include "devices/group_manager.hpp"
#include "settings/app_settings_manager.hpp"
#include "storage/app_settings_store.hpp"
#include "storage/devices_state_store.hpp"
#include "storage/groups_state_store.hpp"

namespace pellan {

void RouteContext::persistDevices() const {
    devicesStore.saveDevices(deviceManager.listDevices());
}

void RouteContext::persistGroups() const {
    groupsStore.saveGroups(groupManager.groupsState());
}

void RouteContext::persistAppSettings() const {
    appSettingsStore.saveAppSettings(settingsManager.snapshot());
}

}  // namespace pellan
