#include "links/health_monitor.hpp"

#include "devices/device_manager.hpp"
#include "log/logger.hpp"
#include "platform/thread_name.hpp"

#include <algorithm>
#include <climits>
#include <exception>
#include <unordered_set>
#include <utility>
#include <vector>

namespace pellan {

namespace {
constexpr const char* kThreadName = "health-monitor";
}

HealthMonitor::HealthMonitor(DeviceManager& devices, Logger& logger,
                             OnlineStateCallback onOnlineState, std::unique_ptr<IcmpProber> prober,
                             HealthMonitorOptions options)
    : devices_(devices), logger_(logger), onOnlineStateChanged_(std::move(onOnlineState)),
      prober_(prober ? std::move(prober) : std::make_unique<SystemIcmpProber>()),
      options_(options) {}

HealthMonitor::~HealthMonitor() {
    stop();
}

void HealthMonitor::start() {
    if (thread_.joinable()) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = false;
        lastRefresh_ = std::chrono::steady_clock::now();
    }
    stopSource_ = std::stop_source();
    thread_ = std::thread([this, token = stopSource_.get_token()] { run(token); });
}

void HealthMonitor::stop() {
    // The token first: once the thread sees stopRequested_ and leaves its pause, its loop
    // condition must see the stop too, or it would begin another cycle.
    stopSource_.request_stop();
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
    }
    wake_.notify_all();
    if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) {
        return;
    }
    thread_.join();
}

void HealthMonitor::run(const std::stop_token& stop) {
    setCurrentThreadName(kThreadName);
    try {
        runCycles(stop);
    } catch (const std::exception& error) {
        logger_.log(std::string("Health monitor stopped after an error: ") + error.what(), "error");
    } catch (...) {
        logger_.log("Health monitor stopped after an unknown error", "error");
    }
}

void HealthMonitor::runCycles(const std::stop_token& stop) {
    refreshTargets();
    while (!stop.stop_requested()) {
        if (refreshRequested.exchange(false) || refreshDue()) {
            refreshTargets();
        }
        std::vector<std::string> addresses;
        {
            std::lock_guard lock(mutex_);
            addresses.reserve(table_.size());
            for (const auto& entry : table_) {
                addresses.push_back(entry.first);
            }
        }
        if (!addresses.empty()) {
            const std::vector<EchoOutcome> outcomes =
                prober_->probe(addresses, std::chrono::milliseconds(options_.probeTimeoutMs), stop);
            noteIfEchoNotPermitted(outcomes);
            for (std::size_t i = 0; i < addresses.size(); ++i) {
                // Answers cut short by stop() say nothing about the devices.
                if (stop.stop_requested()) {
                    return;
                }
                evaluate(addresses[i], i < outcomes.size() && outcomes[i].reachable);
            }
        }
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, std::chrono::milliseconds(options_.probeIntervalMs),
                       [this] { return stopRequested_; });
    }
}

void HealthMonitor::noteIfEchoNotPermitted(const std::vector<EchoOutcome>& outcomes) {
    if (echoNotPermittedLogged_ ||
        std::none_of(outcomes.begin(), outcomes.end(),
                     [](const EchoOutcome& outcome) { return echoNotPermitted(outcome); })) {
        return;
    }
    // Without it every device stays offline; said once, as it will not change by itself.
    echoNotPermittedLogged_ = true;
    logger_.log(echoNotPermittedAdvice(), "error");
}

bool HealthMonitor::refreshDue() {
    if (options_.refreshIntervalMs <= 0) {
        return false;
    }
    std::lock_guard lock(mutex_);
    return std::chrono::steady_clock::now() - lastRefresh_ >=
           std::chrono::milliseconds(options_.refreshIntervalMs);
}

void HealthMonitor::refreshTargets() {
    std::unordered_set<std::string> targets;
    for (const DeviceEntry& device : devices_.listDevices()) {
        if (!device.ip.empty()) {
            targets.insert(device.ip);
        }
    }
    std::lock_guard lock(mutex_);
    std::erase_if(table_, [&](const auto& entry) { return !targets.contains(entry.first); });
    for (const std::string& address : targets) {
        table_.try_emplace(address, 0);
    }
    lastRefresh_ = std::chrono::steady_clock::now();
}

void HealthMonitor::evaluate(const std::string& address, bool reachable) {
    const DeviceEntry device = devices_.findDeviceByIp(address);
    const bool known = !device.ip.empty();
    bool markOnline = false;
    bool markOffline = false;
    {
        std::lock_guard lock(mutex_);
        const auto entry = table_.find(address);
        if (entry == table_.end()) {
            return;
        }
        if (reachable) {
            entry->second = 0;
            markOnline = known && !device.isOnline;
        } else {
            if (entry->second < INT_MAX) {
                ++entry->second;
            }
            markOffline = known && device.isOnline && entry->second >= options_.failureThreshold;
        }
    }
    if (markOffline) {
        report(address, false);
    }
    if (markOnline) {
        report(address, true);
    }
}

void HealthMonitor::report(const std::string& address, bool online) {
    logger_.log(
        "Device " + address +
            (online ? " marking online by health monitor." : " marking offline by health monitor."),
        "monitor");
    devices_.setOnlineByIp(address, online);
    if (!onOnlineStateChanged_) {
        return;
    }
    // The callback belongs to the reachability handling; its failure must not end monitoring.
    try {
        onOnlineStateChanged_(address, online);
    } catch (const std::exception& error) {
        logger_.log("Online-state handling of " + address + " failed: " + error.what(), "error");
    } catch (...) {
        logger_.log("Online-state handling of " + address + " failed", "error");
    }
}

}  // namespace pellan
