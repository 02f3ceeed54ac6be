#pragma once

namespace pellan {

class UiWebSocketServer;
struct DeviceEntry;

/// What the pages see after a device link reported a change of buttons, on-air, talkback or
/// mutes: the state message of the device's family, built from `registryCopy` (the registry's
/// record, not the link's partial one). Both panel families push the panel audio state, the
/// eight-input unit its input state, the rack unit its rack audio state; other models, and a
/// record without host name (a failed look-up), push nothing.
///
/// Runs on the caller's thread (the device link loop) and only queues on the push server.
void pushDeviceState(const DeviceEntry& registryCopy, UiWebSocketServer& pushServer);

}  // namespace pellan
