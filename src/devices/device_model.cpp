#include "devices/device_model.hpp"

#include "base/ascii.hpp"
#include "devices/device_entry.hpp"

#include <algorithm>
#include <array>

namespace pellan {
namespace {

struct ModelRow {
    std::string_view prefix;
    DeviceModelInfo info;
};

using Sub = WsSubprotocol;
using Family = StateMessageFamily;

struct ModelTable {
    std::array<ModelRow, 5> rows;
    DeviceModelInfo defaultRow;
};

// Built on first use, so a lookup from another static's initialiser finds it complete.
const ModelTable& modelTable() {
    // One row per product family, in lookup order: the first prefix that begins the stock
    // code wins. The four- and two-channel panels differ only in their channel count; the
    // eight-input unit has no Ember+ side and no capabilities for the UI.
    // clang-format off
    static const ModelTable table{
        {{
            //           commCount talk   help   contextPanel wsPort wsSubprotocol    stateParser                emberEnabled emberPort vgpioBasePath vgpioCount vgpioTypeField vgpioStatusField
            {"TRQ-PN1", {1,        true,  true,  true,        8081,  Sub::FrontPanel, Family::OneChannelPanel,   true,        9000,     {1, 6, 2},    10,        1,             6}},
            {"TRQ-PN2", {2,        true,  true,  true,        8081,  Sub::AudioGrid,  Family::MultiChannelPanel, true,        9000,     {1, 5, 2},    10,        1,             6}},
            {"TRQ-PN4", {4,        true,  true,  true,        8081,  Sub::AudioGrid,  Family::MultiChannelPanel, true,        9000,     {1, 5, 2},    10,        1,             6}},
            {"TRQ-R8X", {0,        false, false, false,       8081,  Sub::Audio,      Family::EightInputUnit,    false,       9000,     {},           10,        1,             6}},
            {"VK-Q-64", {0,        true,  true,  true,        8081,  Sub::Audio,      Family::RackUnit,          true,        9000,     {1, 8, 2},    10,        1,             6}},
        }},
        // Anything else, the GPIO units included (they are driven without this table).
        /* other */ {0,        false, false, false,       8081,  Sub::None,       Family::None,              false,       9000,     {},           10,        1,             6}};
    // clang-format on
    return table;
}

}  // namespace

std::string_view subprotocolName(WsSubprotocol subprotocol) {
    switch (subprotocol) {
    case WsSubprotocol::None:
        return "";
    case WsSubprotocol::FrontPanel:
        return "frontpanel";
    case WsSubprotocol::AudioGrid:
        return "audio_grid";
    case WsSubprotocol::Audio:
        return "audio";
    }
    return "";  // Not a value of the enum: request none.
}

const DeviceModelInfo& lookupDeviceModel(std::string_view stockCode) {
    const ModelTable& table = modelTable();
    for (const ModelRow& row : table.rows) {
        if (startsWithIgnoringAsciiCase(stockCode, row.prefix)) {
            return row.info;
        }
    }
    return table.defaultRow;
}

void deriveStockCode(DeviceEntry& entry) {
    const auto dashes = std::count(entry.hostname.begin(), entry.hostname.end(), '-');
    if (dashes >= 2) {
        entry.stockCode = entry.hostname.substr(0, entry.hostname.rfind('-'));
    } else {
        entry.stockCode = entry.hostname;
    }
    entry.commCount = lookupDeviceModel(entry.stockCode).commCount;
}

}  // namespace pellan
