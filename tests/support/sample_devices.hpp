#pragma once
#include "devices/device_entry.hpp"
#include "devices/device_manager.hpp"

#include <string>

namespace pellan::test {

/// Registers `count` talkback panels as discovery would, with addresses from the test range
/// and every other one monitored: the studio the HTTP and device-view benchmarks measure.
inline void addSamplePanels(DeviceManager& devices, int count) {
    for (int i = 0; i < count; ++i) {
        DeviceEntry entry;
        entry.hostname = "TRQ-PN4-" + std::to_string(100000 + i);
        entry.ip = "198.18." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
        entry.danteName = "Panel-" + std::to_string(i);
        entry.friendlyName = "Studio panel " + std::to_string(i);
        entry.isMonitored = i % 2 == 0;
        devices.addOrUpdateDevice(entry);
    }
}

}  // namespace pellan::test
