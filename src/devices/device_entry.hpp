#pragma once
#include <array>
#include <cstdint>
#include <string>

namespace pellan {

/// One device known to the application: identity, user settings, discovery flags and live
/// state. A plain value, copied freely; only DeviceManager holds the registry's records.
///
/// The four- and eight-element arrays are indexed by channel - 1; the eleven-element arrays
/// are indexed directly by the 1-based port number (position 0 is never written).
struct DeviceEntry {
    std::string hostname;
    std::string hostname2;
    std::string stockCode;
    std::string danteName;
    std::string friendlyName;
    std::string ip;
    std::string ip2;
    bool isOnline = false;
    bool isMonitored = false;
    bool isManuallyAdded = false;
    std::int32_t commCount = 0;
    std::array<bool, 4> onAirStates{};
    std::array<std::int32_t, 8> meterLevels{};
    std::array<std::string, 4> talkBackStates{};
    std::array<bool, 4> lazyGang{};
    std::array<bool, 8> muted{};
    std::array<bool, 4> cough{};
    std::array<bool, 8> gpiMuteStates{};
    bool micMuted = false;
    std::int32_t paInputDeviceIndex = -1;
    std::int32_t paTalkOutputDeviceIndex = -1;
    std::int32_t vgpioHelpIndex = -1;
    std::array<std::int32_t, 11> vgpioTypes = allUnknown();
    std::array<std::int32_t, 11> vgpioStates = allUnknown();
    bool talkActive = false;
    bool discoveredByHttp = false;
    bool discoveredByNetaudio = false;
    std::string linkedGpioHostname;
    std::int32_t linkedGpioPhysicalIndex = -1;
    std::array<std::int32_t, 11> gpioPhysicalTypes = allUnknown();
    std::array<std::int32_t, 11> gpioPhysicalOverride = allUnknown();
    std::array<std::int32_t, 11> gpioPhysicalStatus = allUnknown();

    /// -1 in every position: "not known" for the GPIO arrays.
    static constexpr std::array<std::int32_t, 11> allUnknown() {
        std::array<std::int32_t, 11> values{};
        values.fill(-1);
        return values;
    }

    bool operator==(const DeviceEntry&) const = default;
};

}  // namespace pellan
