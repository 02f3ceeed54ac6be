#pragma once
#include "discovery/discovery_manager.hpp"
#include "ember/ember_manager.hpp"
#include "links/device_websocket_manager.hpp"
#include "log/logger.hpp"

namespace pellan {
class DeviceManager;
class UiWebSocketServer;

// The callbacks through which the components reach each other. Each is made here, in one
// place, so that a lower layer never needs the type of a higher one; the composition root
// hands them over at construction. Each callback runs on the thread of the component that
// calls it (see docs/threads.md) and only reads the registry and queues pushes.

/// Every log record to every open page.
LogListener logRecordPush(UiWebSocketServer& uiPush);

/// A device link's meter levels, pushed only for a monitored device.
MeterCallback meterLevelPush(DeviceManager& devices, UiWebSocketServer& uiPush);

/// A device link's state change: the pages are shown the registry's record, which the link has
/// just updated, not the link's partial one; its model selects the message.
DeviceStateCallback deviceStatePush(DeviceManager& devices, UiWebSocketServer& uiPush);

/// The discovery manager's busy and status pushes.
DiscoveryPushes discoveryPushes(UiWebSocketServer& uiPush);

/// The Ember+ manager's device and virtual-GPIO pushes.
EmberPushTarget emberPushes(UiWebSocketServer& uiPush);

}  // namespace pellan
