// DeviceManager at the scale of a large studio, 1,000 devices: the discovery merge of a host
// that is already registered, the live-state look-up by address at its worst (the last
// record), and the full-list copy that every REST answer and push starts from.
#include "devices/device_entry.hpp"
#include "devices/device_manager.hpp"
#include "log/logger.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr int kDevices = 1000;

std::string hexSuffix(int i) {
    static const char* const digits = "0123456789ABCDEF";
    std::string suffix = "0A";
    for (int shift = 12; shift >= 0; shift -= 4) {
        suffix.push_back(digits[(i >> shift) & 0xF]);
    }
    return suffix;
}

/// A fully discovered panel: both identities, names long enough to leave the small-string
/// buffer, as the real announcements are.
pellan::DeviceEntry discoveredRecord(int i) {
    pellan::DeviceEntry record;
    record.hostname = "TRQ-PN4-" + hexSuffix(i);
    record.hostname2 = "trq-pn4-" + hexSuffix(i) + "-dante";
    record.danteName = "TRQ-PN4-Studio-" + std::to_string(i);
    record.friendlyName = "Studio talkback panel " + std::to_string(i);
    record.ip = "198.18." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
    record.ip2 = "198.19." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
    record.discoveredByHttp = true;
    record.discoveredByNetaudio = true;
    return record;
}

void fill(pellan::DeviceManager& devices) {
    for (int i = 0; i < kDevices; ++i) {
        devices.addOrUpdateDevice(discoveredRecord(i));
    }
}

// Discovery re-announcing a known host with nothing new: scan to the host, compare, no log.
void BM_AddOrUpdateDevice_MergeUnchanged(benchmark::State& state) {
    pellan::Logger logger;
    pellan::DeviceManager devices(logger);
    fill(devices);
    const pellan::DeviceEntry record = discoveredRecord(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(devices.addOrUpdateDevice(record));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddOrUpdateDevice_MergeUnchanged)
    ->Arg(0)
    ->Arg(kDevices / 2)
    ->Arg(kDevices - 1)
    ->Unit(benchmark::kNanosecond);

// A known host announced with a new address each time: the merge stores it and logs
// "Updated device: ..." (history only; no log file in this run).
void BM_AddOrUpdateDevice_MergeNewIp(benchmark::State& state) {
    pellan::Logger logger;
    pellan::DeviceManager devices(logger);
    fill(devices);
    pellan::DeviceEntry first = discoveredRecord(kDevices - 1);
    pellan::DeviceEntry second = first;
    second.ip = "198.18.200.200";
    bool flip = false;
    for (auto _ : state) {
        flip = !flip;
        benchmark::DoNotOptimize(devices.addOrUpdateDevice(flip ? second : first));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddOrUpdateDevice_MergeNewIp)->Unit(benchmark::kNanosecond);

void BM_FindDeviceByIp_LastDevice(benchmark::State& state) {
    pellan::Logger logger;
    pellan::DeviceManager devices(logger);
    fill(devices);
    const std::string ip = discoveredRecord(kDevices - 1).ip;
    for (auto _ : state) {
        pellan::DeviceEntry found = devices.findDeviceByIp(ip);
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FindDeviceByIp_LastDevice)->Unit(benchmark::kNanosecond);

// Live-state update by address at the worst position: the scan without the copy.
void BM_UpdateMeterLevelsByIp_LastDevice(benchmark::State& state) {
    pellan::Logger logger;
    pellan::DeviceManager devices(logger);
    fill(devices);
    const std::string ip = discoveredRecord(kDevices - 1).ip;
    pellan::DeviceEntry levels;
    levels.meterLevels = {1, 2, 3, 4, 5, 6, 7, 8};
    for (auto _ : state) {
        devices.updateMeterLevelsByIp(ip, levels);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UpdateMeterLevelsByIp_LastDevice)->Unit(benchmark::kNanosecond);

void BM_ListDevices(benchmark::State& state) {
    pellan::Logger logger;
    pellan::DeviceManager devices(logger);
    fill(devices);
    for (auto _ : state) {
        std::vector<pellan::DeviceEntry> list = devices.listDevices();
        benchmark::DoNotOptimize(list);
    }
    state.SetItemsProcessed(state.iterations() * kDevices);
}
BENCHMARK(BM_ListDevices)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
