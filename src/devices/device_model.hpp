#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

namespace pellan {

struct DeviceEntry;

/// One row of the fixed model table: what a product family can do and how to talk to it.
struct DeviceModelInfo {
    std::int32_t commCount = 0;
    bool talk = false;
    bool help = false;
    bool contextPanel = false;
    std::int32_t wsPort = 8081;
    std::int32_t wsSubprotocol = 0;  ///< 0 none, 1 "frontpanel", 2 "audio_grid", 3 "audio".
    std::int32_t stateParser = 0;    ///< 0 none (no WebSocket link), 1..4 message family.
    bool emberEnabled = false;
    std::int32_t emberPort = 9000;
    std::vector<std::int32_t> vgpioBasePath;
    std::int32_t vgpioCount = 10;
    std::int32_t vgpioTypeField = 1;
    std::int32_t vgpioStatusField = 6;
};

/// The row whose prefix begins the upper-cased stock code; the default row when none does.
/// The rows live for the whole process.
const DeviceModelInfo& lookupDeviceModel(std::string_view stockCode);

/// Sets entry.stockCode from entry.hostname (the part before the last '-' when there are two
/// or more '-', else the whole name, case kept) and entry.commCount from its model.
void deriveStockCode(DeviceEntry& entry);

}  // namespace pellan
