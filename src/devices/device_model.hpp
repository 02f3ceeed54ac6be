#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

namespace pellan {

struct DeviceEntry;

/// The WebSocket subprotocol a model's link requests in its opening handshake. The numbers are
/// the model table's codes.
enum class WsSubprotocol : std::int32_t {
    None = 0,        ///< No subprotocol requested.
    FrontPanel = 1,  ///< "frontpanel"
    AudioGrid = 2,   ///< "audio_grid"
    Audio = 3,       ///< "audio"
};

/// The family of JSON state messages a model pushes over its link. The numbers are the model
/// table's codes.
enum class StateMessageFamily : std::int32_t {
    None = 0,               ///< The model has no WebSocket link.
    OneChannelPanel = 1,    ///< "TRQ-PN1": buttons, lazy gang and one meter.
    MultiChannelPanel = 2,  ///< "TRQ-PN2", "TRQ-PN4": channels 22 to 25 and their meters.
    EightInputUnit = 3,     ///< "TRQ-R8X": eight inputs with mutes, GPI mutes and meters.
    RackUnit = 4,           ///< "VK-Q-64": the microphone mute.
};

/// The subprotocol's name on the wire; "" for None.
std::string_view subprotocolName(WsSubprotocol subprotocol);

/// One row of the fixed model table: what a product family can do and how to talk to it.
/// A default-constructed value is the table's default row.
struct DeviceModelInfo {
    std::int32_t commCount = 0;
    bool talk = false;
    bool help = false;
    bool contextPanel = false;
    std::int32_t wsPort = 8081;
    WsSubprotocol wsSubprotocol = WsSubprotocol::None;
    StateMessageFamily stateParser = StateMessageFamily::None;
    bool emberEnabled = false;
    std::int32_t emberPort = 9000;
    std::vector<std::int32_t> vgpioBasePath;
    std::int32_t vgpioCount = 10;
    std::int32_t vgpioTypeField = 1;
    std::int32_t vgpioStatusField = 6;
};

/// The row whose prefix begins the stock code, compared without regard to ASCII case; the
/// default row when none does. The rows live for the whole process.
const DeviceModelInfo& lookupDeviceModel(std::string_view stockCode);

/// Sets entry.stockCode from entry.hostname (the part before the last '-' when there are two
/// or more '-', else the whole name, case kept) and entry.commCount from its model.
void deriveStockCode(DeviceEntry& entry);

}  // namespace pellan
