// The health monitor with its real timing (3 s pause, 1 s time-out) over the system's ICMP
// echo: 200 device addresses, 100 of them silent, inside network namespaces made by
// scripts/bench-health-monitor.sh, which runs this program on the application's side.
//
//   HealthCycle      length of a whole cycle (echoes, evaluation, pause), start to start
//   HealthDetection  time from a device falling silent to its "marking offline" line
#include "devices/device_manager.hpp"
#include "links/health_monitor.hpp"
#include "log/logger.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The addresses scripts/bench-health-monitor.sh sets up: answering ones exist on the device
// side, silent ones were removed from it again (nobody answers for them on the link).
constexpr int kAnswering = 100;
constexpr int kSilent = 100;

std::string answeringAddress(int i) {
    return "198.18.1." + std::to_string(i + 1);
}
std::string silentAddress(int i) {
    return "198.18.2." + std::to_string(i + 1);
}

double seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

/// The environment, or why the benchmark cannot run.
struct Environment {
    std::string name;
    std::string script;
    std::string problem;
};

Environment environment() {
    Environment env;
    const char* name = std::getenv("PELLAN_NETNS");
    const char* script = std::getenv("PELLAN_NETNS_SCRIPT");
    if (geteuid() != 0 || name == nullptr || script == nullptr) {
        env.problem = "run through scripts/bench-health-monitor.sh as root (it creates the "
                      "device namespaces)";
        return env;
    }
    env.name = name;
    env.script = script;
    return env;
}

/// Adds or deletes a device address on the device side, through the environment script.
bool deviceAddress(const Environment& env, const std::string& action, const std::string& ip) {
    const std::string command =
        "/bin/bash '" + env.script + "' addr '" + env.name + "' " + action + " " + ip;
    return std::system(command.c_str()) == 0;  // NOLINT(concurrency-mt-unsafe): one thread.
}

/// A running monitor over the 200 addresses, with the times of each probe call's start and
/// the time each monitor log line was written.
class MonitoredStudio {
public:
    MonitoredStudio() {
        for (int i = 0; i < kAnswering; ++i) {
            add("panel-" + std::to_string(i), answeringAddress(i));
        }
        for (int i = 0; i < kSilent; ++i) {
            add("silent-" + std::to_string(i), silentAddress(i));
        }
        logger_.setListener([this](const pellan::LogEntry& entry) {
            if (entry.category != "monitor") {
                return;
            }
            std::lock_guard lock(mutex_);
            lines_.emplace_back(entry.message, Clock::now());
            changed_.notify_all();
        });
        monitor_ = std::make_unique<pellan::HealthMonitor>(
            devices_, logger_, [](const std::string&, bool) {},
            std::make_unique<StartTimes>(std::make_unique<pellan::SystemIcmpProber>(), *this));
        monitor_->start();
    }
    ~MonitoredStudio() {
        monitor_->stop();
        logger_.setListener({});
    }
    MonitoredStudio(const MonitoredStudio&) = delete;
    MonitoredStudio& operator=(const MonitoredStudio&) = delete;

    /// Waits until probe calls have started `count` times in all; their start times.
    std::vector<Clock::time_point> awaitStarts(std::size_t count, Clock::duration deadline) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, deadline, [&] { return starts_.size() >= count; });
        return starts_;
    }

    /// Waits for the log line; when it was written, or nothing by the deadline.
    std::optional<Clock::time_point> awaitLine(const std::string& message, Clock::time_point after,
                                               Clock::duration deadline) {
        std::unique_lock lock(mutex_);
        std::optional<Clock::time_point> at;
        changed_.wait_for(lock, deadline, [&] {
            for (const auto& [text, time] : lines_) {
                if (text == message && time >= after) {
                    at = time;
                    return true;
                }
            }
            return false;
        });
        return at;
    }

    int onlineCount() const {
        const auto devices = devices_.listDevices();
        return static_cast<int>(std::count_if(devices.begin(), devices.end(),
                                              [](const auto& d) { return d.isOnline; }));
    }

private:
    class StartTimes final : public pellan::IcmpProber {
    public:
        StartTimes(std::unique_ptr<pellan::IcmpProber> inner, MonitoredStudio& studio)
            : inner_(std::move(inner)), studio_(studio) {}
        std::vector<pellan::EchoOutcome> probe(const std::vector<std::string>& addresses,
                                               std::chrono::milliseconds timeout,
                                               std::stop_token stop) override {
            {
                std::lock_guard lock(studio_.mutex_);
                studio_.starts_.push_back(Clock::now());
                studio_.changed_.notify_all();
            }
            return inner_->probe(addresses, timeout, stop);
        }

    private:
        const std::unique_ptr<pellan::IcmpProber> inner_;
        MonitoredStudio& studio_;
    };

    void add(const std::string& hostname, const std::string& ip) {
        pellan::DeviceEntry device;
        device.hostname = hostname;
        device.ip = ip;
        devices_.addOrUpdateDevice(device);
    }

    pellan::Logger logger_;
    pellan::DeviceManager devices_{logger_};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Clock::time_point> starts_;                         // Guarded by mutex_.
    std::vector<std::pair<std::string, Clock::time_point>> lines_;  // Guarded by mutex_.
    std::unique_ptr<pellan::HealthMonitor> monitor_;
};

void reportSpread(benchmark::State& state, std::vector<double> values, const char* prefix) {
    if (values.empty()) {
        return;
    }
    std::sort(values.begin(), values.end());
    state.counters[std::string(prefix) + "_min_s"] = values.front();
    state.counters[std::string(prefix) + "_max_s"] = values.back();
    state.counters[std::string(prefix) + "_median_s"] = values[values.size() / 2];
}

void HealthCycle(benchmark::State& state) {
    const Environment env = environment();
    if (!env.problem.empty()) {
        state.SkipWithError(env.problem.c_str());
        return;
    }
    MonitoredStudio studio;
    // The first cycle marks the answering devices online; from then on the cycles are steady.
    auto starts = studio.awaitStarts(2, 30s);
    if (starts.size() < 2 || studio.onlineCount() != kAnswering) {
        state.SkipWithError("the environment does not answer as set up (100 of 200 addresses)");
        return;
    }
    std::vector<double> cycles;
    std::size_t next = starts.size() + 1;
    for (auto _ : state) {
        starts = studio.awaitStarts(next, 30s);
        if (starts.size() < next) {
            state.SkipWithError("no next cycle within 30 s");
            return;
        }
        const double length = seconds(starts[next - 1] - starts[next - 2]);
        state.SetIterationTime(length);
        cycles.push_back(length);
        ++next;
    }
    reportSpread(state, cycles, "cycle");
    state.counters["online"] = studio.onlineCount();
}

void HealthDetection(benchmark::State& state) {
    const Environment env = environment();
    if (!env.problem.empty()) {
        state.SkipWithError(env.problem.c_str());
        return;
    }
    MonitoredStudio studio;
    if (studio.awaitStarts(2, 30s).size() < 2 || studio.onlineCount() != kAnswering) {
        state.SkipWithError("the environment does not answer as set up (100 of 200 addresses)");
        return;
    }
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> phaseMs(0, 4000);
    std::vector<double> detections;
    int device = 0;
    for (auto _ : state) {
        // Fall silent at a random point of the cycle, as a device does.
        std::this_thread::sleep_for(std::chrono::milliseconds(phaseMs(random)));
        const std::string ip = answeringAddress(device++ % kAnswering);
        if (!deviceAddress(env, "del", ip)) {
            state.SkipWithError("could not remove a device address");
            return;
        }
        const auto silentAt = Clock::now();
        const auto offlineAt =
            studio.awaitLine("Device " + ip + " marking offline by health monitor.", silentAt, 30s);
        if (!offlineAt) {
            state.SkipWithError("no offline line within 30 s");
            return;
        }
        const double detection = seconds(*offlineAt - silentAt);
        state.SetIterationTime(detection);
        detections.push_back(detection);

        const auto restoredAt = Clock::now();
        if (!deviceAddress(env, "add", ip) ||
            !studio.awaitLine("Device " + ip + " marking online by health monitor.", restoredAt,
                              30s)) {
            state.SkipWithError("the device did not come back online");
            return;
        }
    }
    reportSpread(state, detections, "detect");
}

BENCHMARK(HealthCycle)->UseManualTime()->Iterations(6)->Unit(benchmark::kMillisecond);
BENCHMARK(HealthDetection)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
