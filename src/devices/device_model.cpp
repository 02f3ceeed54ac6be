#include "devices/device_model.hpp"

#include "devices/device_entry.hpp"

#include <algorithm>
#include <array>
#include <string>

namespace pellan {
namespace {

struct ModelRow {
    std::string_view prefix;
    DeviceModelInfo info;
};

DeviceModelInfo panel(std::int32_t commCount, std::int32_t subprotocol, std::int32_t parser,
                      std::vector<std::int32_t> basePath) {
    DeviceModelInfo info;
    info.commCount = commCount;
    info.talk = true;
    info.help = true;
    info.contextPanel = true;
    info.wsSubprotocol = subprotocol;
    info.stateParser = parser;
    info.emberEnabled = true;
    info.vgpioBasePath = std::move(basePath);
    return info;
}

const std::array<ModelRow, 5>& modelRows() {
    static const std::array<ModelRow, 5> rows = [] {
        DeviceModelInfo rack;
        rack.wsSubprotocol = 3;
        rack.stateParser = 3;
        return std::array<ModelRow, 5>{{
            {"TRQ-PN1", panel(1, 1, 1, {1, 6, 2})},
            {"TRQ-PN2", panel(2, 2, 2, {1, 5, 2})},
            {"TRQ-PN4", panel(4, 2, 2, {1, 5, 2})},
            {"TRQ-R8X", rack},
            {"VK-Q-64", panel(0, 3, 4, {1, 8, 2})},
        }};
    }();
    return rows;
}

}  // namespace

const DeviceModelInfo& lookupDeviceModel(std::string_view stockCode) {
    static const DeviceModelInfo defaultRow;
    std::string upper(stockCode);
    std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) {
        return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    });
    for (const ModelRow& row : modelRows()) {
        if (upper.starts_with(row.prefix)) {
            return row.info;
        }
    }
    return defaultRow;
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
