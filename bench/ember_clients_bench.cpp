// 100 virtual-GPIO clients of EmberManager against 100 simulated providers, each on its own
// loopback address, each changing one status 20 times a second; the manager's reports go to
// the registry and to a running UI push server.
//
//   latency_p50_us / latency_p99_us   provider's send of a change to the registry update and
//                                     the "vgpio" push (the push follows the update)
//   cpu_process_pct                   CPU of the whole process (providers and driver included),
//                                     in percent of one core
//   cpu_clients_pct                   CPU of the clients' threads (workers and supervisors)
//                                     plus what they run of the manager, registry and push
//
// PELLAN_BENCH_SECONDS sets the measured window (default 10 s).
#include "devices/device_entry.hpp"
#include "devices/device_manager.hpp"
#include "devices/device_model.hpp"
#include "devices/group_manager.hpp"
#include "ember/ember_manager.hpp"
#include "ember/ember_vgpio_client.hpp"
#include "log/logger.hpp"
#include "push/ui_websocket_server.hpp"
#include "settings/app_settings_manager.hpp"
#include "simulators/ember_provider_sim.hpp"

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using namespace pellan;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kProviders = 100;
constexpr int kChangesPerSecond = 20;
constexpr const char* kModel = "TRQ-PN1";

std::string addressOf(int i) {
    return "127.0." + std::to_string(1 + i / 200) + "." + std::to_string(1 + i % 200);
}

std::string hostnameOf(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "TRQ-PN1-%04d", i);
    return name;
}

long long nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

/// CPU seconds of the threads of this process, by group of thread names; from schedstat, which
/// counts in nanoseconds (the clock ticks of stat would lose up to a tick per thread).
std::unordered_map<std::string, double> threadCpuByName() {
    std::unordered_map<std::string, double> out;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return out;
    }
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        const std::string task = std::string("/proc/self/task/") + entry->d_name;
        std::ifstream commFile(task + "/comm");
        std::ifstream schedFile(task + "/schedstat");
        std::string name;
        unsigned long long runNs = 0;
        if (!std::getline(commFile, name) || !(schedFile >> runNs)) {
            continue;
        }
        std::string group = "other";
        if (name.rfind("ember-vgpio", 0) == 0) {
            group = "clients";
        } else if (name.rfind("ember-sim", 0) == 0) {
            group = "providers";
        } else if (name.rfind("ui-push", 0) == 0) {
            group = "push";
        }
        out[group] += static_cast<double>(runNs) / 1e9;
    }
    closedir(dir);
    return out;
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return values[at];
}

void BM_VgpioClientsUnderLoad(benchmark::State& state) {
    const char* secondsText = std::getenv("PELLAN_BENCH_SECONDS");
    const int measureSeconds = secondsText != nullptr ? std::max(1, std::atoi(secondsText)) : 10;
    const EmberVgpioSettings settings = EmberVgpioSettings::fromModel(lookupDeviceModel(kModel));

    Logger logger;
    DeviceManager devices(logger);
    GroupManager groups(logger);
    AppSettingsManager appSettings(logger, [] { return std::vector<NetworkInterfaceInfo>{}; });
    UiWebSocketServerOptions serverOptions;
    serverOptions.port = 0;
    serverOptions.bindAddress = "127.0.0.1";
    UiWebSocketServer server(devices, groups, logger, serverOptions);
    std::thread serverThread([&server] { server.run(); });
    if (server.waitUntilListening(5s) == 0) {
        state.SkipWithError("the push server did not listen");
        server.stop();
        serverThread.join();
        return;
    }

    // Send times by provider; one change is in flight per provider at a time (50 ms apart).
    std::vector<std::atomic<long long>> sentNs(kProviders);
    std::atomic<bool> measuring{false};
    std::vector<std::unique_ptr<EmberProviderSim>> sims;
    int port = 0;
    for (int attempt = 0; attempt < 5 && static_cast<int>(sims.size()) < kProviders; ++attempt) {
        sims.clear();
        port = 0;
        for (int i = 0; i < kProviders; ++i) {
            EmberProviderSimOptions options;
            options.address = addressOf(i);
            options.port = port;
            options.onAnnounce = [&sentNs, i](const std::vector<std::int32_t>&) {
                sentNs[static_cast<std::size_t>(i)].store(nowNs());
            };
            auto sim =
                std::make_unique<EmberProviderSim>(EmberProviderSim::vgpioTree(settings), options);
            if (!sim->start()) {
                break;
            }
            port = sim->port();
            sims.push_back(std::move(sim));
        }
    }
    if (static_cast<int>(sims.size()) < kProviders) {
        state.SkipWithError("could not bind 100 loopback providers on one port");
        server.stop();
        serverThread.join();
        return;
    }

    std::unordered_map<std::string, int> providerOf;
    for (int i = 0; i < kProviders; ++i) {
        DeviceEntry record;
        record.hostname = hostnameOf(i);
        record.ip = addressOf(i);
        devices.addOrUpdateDevice(record);
        devices.setOnlineByIp(record.ip, true);
        devices.setDeviceAudioSettings(record.hostname, -1, -1, 3);
        providerOf[record.hostname] = i;
    }

    std::mutex samplesMutex;
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(kProviders * kChangesPerSecond * measureSeconds) +
                    1000);
    EmberPushTarget pushes{[&server](const DeviceEntry& record) { server.pushDevice(record); },
                           [&](const std::string& hostname, int index, bool pushedState) {
                               server.pushVgpio(hostname, index, pushedState);
                               if (!measuring.load()) {
                                   return;
                               }
                               const auto found = providerOf.find(hostname);
                               if (found == providerOf.end()) {
                                   return;
                               }
                               const long long sent =
                                   sentNs[static_cast<std::size_t>(found->second)].load();
                               const double micros = static_cast<double>(nowNs() - sent) / 1000.0;
                               std::lock_guard lock(samplesMutex);
                               samples.push_back(micros);
                           }};
    EmberManagerOptions managerOptions;
    managerOptions.vgpioPort = port;
    managerOptions.client.diagnostics = [](const std::string&) {};
    EmberManager manager(devices, logger, pushes, appSettings, managerOptions);
    for (int i = 0; i < kProviders; ++i) {
        manager.startEmberForDevice(addressOf(i), kModel);
    }
    for (const auto& sim : sims) {
        sim->waitForRequests(20, 30s);
    }

    // The driver: provider i changes its entry (i % 10) + 1 every 50 ms, the providers spread
    // evenly over the period.
    std::atomic<bool> driving{true};
    std::thread driver([&] {
        const auto period = std::chrono::nanoseconds(1'000'000'000 / kChangesPerSecond);
        const auto step = period / kProviders;
        auto next = Clock::now();
        std::vector<bool> states(kProviders, false);
        for (long long n = 0; driving.load(); ++n) {
            const int i = static_cast<int>(n % kProviders);
            next += step;
            std::this_thread::sleep_until(next);
            std::vector<std::int32_t> path = settings.vgpioBasePath;
            path.push_back(i % 10 + 1);
            path.push_back(settings.vgpioStatusField);
            states[static_cast<std::size_t>(i)] = !states[static_cast<std::size_t>(i)];
            sims[static_cast<std::size_t>(i)]->setValue(
                path, static_cast<bool>(states[static_cast<std::size_t>(i)]));
        }
    });

    std::this_thread::sleep_for(2s);  // Warm-up.
    for (auto _ : state) {
        auto cpuBefore = threadCpuByName();
        const double processBefore = processCpuSeconds();
        const auto wallBefore = Clock::now();
        measuring = true;
        std::this_thread::sleep_for(std::chrono::seconds(measureSeconds));
        measuring = false;
        const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
        const double process = processCpuSeconds() - processBefore;
        auto cpuAfter = threadCpuByName();

        std::vector<double> copy;
        {
            std::lock_guard lock(samplesMutex);
            copy = samples;
        }
        state.counters["latency_p50_us"] = percentile(copy, 0.50);
        state.counters["latency_p99_us"] = percentile(copy, 0.99);
        state.counters["latency_max_us"] = percentile(copy, 1.0);
        state.counters["samples"] = static_cast<double>(copy.size());
        state.counters["cpu_process_pct"] = 100.0 * process / wall;
        const auto share = [&](const char* group) {
            return 100.0 * (cpuAfter[group] - cpuBefore[group]) / wall;
        };
        state.counters["cpu_clients_pct"] = share("clients");
        state.counters["cpu_providers_pct"] = share("providers");
        state.counters["cpu_push_loop_pct"] = share("push");
        state.counters["cpu_other_pct"] = share("other");
    }

    driving = false;
    driver.join();
    manager.stopAll();
    for (const auto& sim : sims) {
        sim->stop();
    }
    server.stop();
    serverThread.join();
}

BENCHMARK(BM_VgpioClientsUnderLoad)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
