#include "push/device_state_push.hpp"

#include "devices/device_entry.hpp"
#include "devices/device_model.hpp"
#include "push/ui_websocket_server.hpp"

namespace pellan {

void pushDeviceState(const DeviceEntry& registryCopy, UiWebSocketServer& pushServer) {
    if (registryCopy.hostname.empty()) {
        return;
    }
    const DeviceEntry& d = registryCopy;
    switch (lookupDeviceModel(d.stockCode).stateParser) {
    case StateMessageFamily::None:
        return;
    case StateMessageFamily::OneChannelPanel:
    case StateMessageFamily::MultiChannelPanel:
        pushServer.pushPanelAudioState(d.hostname, d.onAirStates, d.talkBackStates, d.lazyGang,
                                       d.muted, d.cough);
        return;
    case StateMessageFamily::EightInputUnit:
        pushServer.pushInputState(d.hostname, d.muted, d.gpiMuteStates);
        return;
    case StateMessageFamily::RackUnit:
        pushServer.pushRackAudioState(d.hostname, d.micMuted);
        return;
    }
}

}  // namespace pellan
