// The body of GET /api/devices and of the device pushes at the scale of a studio: the view of
// every record, serialised as the wire form. The device list route builds it again whenever
// the registry's revision has moved since the answer it keeps; it runs on a network thread,
// so this is how long one rebuild holds that thread's connections.
#include "devices/device_entry.hpp"
#include "devices/device_manager.hpp"
#include "log/logger.hpp"
#include "push/device_view.hpp"
#include "support/sample_devices.hpp"
#include "web/route_helpers.hpp"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace {

void BM_DeviceListBody(benchmark::State& state) {
    pellan::Logger logger;
    pellan::DeviceManager devices(logger);
    pellan::test::addSamplePanels(devices, static_cast<int>(state.range(0)));
    const std::vector<pellan::DeviceEntry> records = devices.listDevices();
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
