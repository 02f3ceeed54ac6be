// The body of GET /api/devices and of the device pushes at the scale of a studio: the view of
// every record, serialised as the wire form. The device list route builds it again whenever
// the registry's revision has moved since the answer it keeps; it runs on a network thread,
// so this is how long one rebuild holds that thread's connections.
#include "devices/device_entry.hpp"
#include "push/device_view.hpp"
#include "web/route_helpers.hpp"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace {

std::vector<pellan::DeviceEntry> panels(int count) {
    std::vector<pellan::DeviceEntry> records;
    for (int i = 0; i < count; ++i) {
        pellan::DeviceEntry record;
        record.hostname = "TRQ-PN4-" + std::to_string(100000 + i);
        record.stockCode = "TRQ-PN4";
        record.commCount = 4;
        record.danteName = "Panel-" + std::to_string(i);
        record.friendlyName = "Studio panel " + std::to_string(i);
        record.ip = "198.18." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
        record.isMonitored = i % 2 == 0;
        records.push_back(record);
    }
    return records;
}

void BM_DeviceListBody(benchmark::State& state) {
    const std::vector<pellan::DeviceEntry> records = panels(static_cast<int>(state.range(0)));
    std::size_t bytes = 0;
    for (auto _ : state) {
        nlohmann::json views = nlohmann::json::array();
        for (const pellan::DeviceEntry& entry : records) {
            views.push_back(pellan::buildDeviceView(entry));
        }
        const std::string body = pellan::wireJson(views);
        bytes = body.size();
        benchmark::DoNotOptimize(body.data());
    }
    state.counters["body_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_DeviceListBody)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
