#include "storage/devices_state_store.hpp"

#include "support/temp_dir.hpp"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pellan::test::TempDir;

/// Devices with every persisted field set, as a registry of a large studio holds them.
std::vector<pellan::DeviceEntry> makeDevices(int count) {
    std::vector<pellan::DeviceEntry> devices;
    devices.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        pellan::DeviceEntry entry;
        entry.hostname = "TRQ-PN4-" + n;
        entry.hostname2 = "TRQ-PN4-" + n + "-d";
        entry.stockCode = "TRQ-PN4";
        entry.danteName = "PN4-Studio-" + n;
        entry.friendlyName = "Studio panel " + n;
        entry.ip = "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
        entry.ip2 = "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
        entry.isMonitored = i % 2 == 0;
        entry.isManuallyAdded = i % 5 == 0;
        entry.paInputDeviceIndex = i % 8;
        entry.paTalkOutputDeviceIndex = i % 6;
        entry.vgpioHelpIndex = i % 10 + 1;
        entry.discoveredByHttp = true;
        entry.discoveredByNetaudio = i % 3 == 0;
        entry.linkedGpioHostname = "TRQ-GPIO-01";
        entry.linkedGpioPhysicalIndex = i % 10 + 1;
        devices.push_back(entry);
    }
    return devices;
}

/// The whole save of a REST change: serialise, write, fsync, rename, fsync the directory.
void BM_SaveDevices(benchmark::State& state) {
    const TempDir dir;
    const auto devices = makeDevices(static_cast<int>(state.range(0)));
    pellan::DevicesStateStore store(dir / "devices_state.json");
    for (auto _ : state) {
        if (!store.saveDevices(devices)) {
            state.SkipWithError("save failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SaveDevices)->Arg(1000)->Unit(benchmark::kMillisecond);

/// The start-up read of the devices file (target: 1,000 devices under 20 ms).
void BM_LoadDevices(benchmark::State& state) {
    const TempDir dir;
    const fs::path path = dir / "devices_state.json";
    pellan::DevicesStateStore(path).saveDevices(makeDevices(static_cast<int>(state.range(0))));
    pellan::DevicesStateStore store(path);
    for (auto _ : state) {
        auto devices = store.loadDevices();
        if (devices.size() != static_cast<std::size_t>(state.range(0))) {
            state.SkipWithError("load lost devices");
            break;
        }
        benchmark::DoNotOptimize(devices);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_LoadDevices)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
