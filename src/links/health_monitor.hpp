#pragma once
#include "platform/icmp_prober.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace pellan {
class DeviceManager;
class Logger;

/// Called with (address, online) after the registry's `isOnline` of that address was written.
using OnlineStateCallback = std::function<void(const std::string& address, bool online)>;

/// Pause after each probing cycle.
inline constexpr int kHealthProbeIntervalMs = 3000;
/// How long each echo request waits for its answer.
inline constexpr int kHealthProbeTimeoutMs = static_cast<int>(kEchoTimeout.count());
/// Consecutive failed probes before an online device is marked offline.
inline constexpr int kHealthFailureThreshold = 1;
/// Age after which the address table is rebuilt even without a request; 0 or less: never.
inline constexpr int kHealthRefreshIntervalMs = 10000;

/// The monitor's timing; the defaults are the system's. Tests shorten them.
struct HealthMonitorOptions {
    int probeIntervalMs = kHealthProbeIntervalMs;
    int probeTimeoutMs = kHealthProbeTimeoutMs;
    int failureThreshold = kHealthFailureThreshold;
    int refreshIntervalMs = kHealthRefreshIntervalMs;
};

/// Pings the IPv4 address of every registered device in cycles and is the one source of the
/// registry's `isOnline`: an answered echo marks a device online, `failureThreshold`
/// consecutive unanswered ones mark it offline. Each change is logged (category "monitor"),
/// written to the registry and reported through the online-state callback. When the system
/// permits no ICMP echo at all, that is logged once under "error" with how to allow it.
///
/// A cycle sends the echo requests of all addresses at once, collects the answers until each
/// has answered or its time-out has passed, then evaluates the addresses one by one; then the
/// thread pauses `probeIntervalMs`. So a cycle lasts about one time-out, however many devices
/// are silent.
///
/// Kind: thread owner. One thread, started by start() and joined by stop().
/// Callbacks: the online-state callback runs on the monitor thread, with no lock of this class
///   held, after the registry was updated and the change logged; the next probes wait for it.
///   An exception from it is logged under "error" and monitoring goes on.
/// Thread safety: requestRefresh() may be called from any thread at any time. start() and
///   stop() may be called from any thread but not concurrently with each other (main calls
///   both); stop() from inside the callback only asks the thread to end (it cannot join
///   itself), and a later stop() from another thread joins it.
/// Lifetime: `devices` and `logger` must outlive this object.
class HealthMonitor {
public:
    /// `prober` null: the system's ICMP echo (SystemIcmpProber).
    HealthMonitor(DeviceManager& devices, Logger& logger, OnlineStateCallback onOnlineState,
                  std::unique_ptr<IcmpProber> prober = nullptr, HealthMonitorOptions options = {});
    ~HealthMonitor();  ///< Calls stop().
    HealthMonitor(const HealthMonitor&) = delete;
    HealthMonitor& operator=(const HealthMonitor&) = delete;

    /// Starts the monitor thread; nothing when it runs already.
    void start();
    /// Idempotent. Interrupts the pause and the echo waits at once; from then on no address
    /// is evaluated (echoes cut short say nothing about the devices), so no change is
    /// reported after stop() returns. Blocks until the thread has ended, which includes a
    /// callback that is running.
    void stop();

    /// Rebuild the address table from the registry before the next cycle (the discovery
    /// handlers call this after each registry change; main once before start()).
    void requestRefresh() { refreshRequested.store(true); }

    /// Set by any thread (requestRefresh()); read and cleared by the monitor thread in one
    /// exchange at the top of each cycle.
    std::atomic<bool> refreshRequested{false};

private:
    void run(const std::stop_token& stop);
    void runCycles(const std::stop_token& stop);
    void refreshTargets();
    bool refreshDue();
    void noteIfEchoNotPermitted(const std::vector<EchoOutcome>& outcomes);
    void evaluate(const std::string& address, bool reachable);
    void report(const std::string& address, bool online);

    DeviceManager& devices_;
    Logger& logger_;
    const OnlineStateCallback onOnlineStateChanged_;
    const std::unique_ptr<IcmpProber> prober_;
    const HealthMonitorOptions options_;

    std::mutex mutex_;
    std::condition_variable wake_;                       // Signalled by stop() to end the pause.
    bool stopRequested_ = false;                         // Guarded by mutex_.
    std::unordered_map<std::string, int> table_;         // Guarded by mutex_: address -> failures.
    std::chrono::steady_clock::time_point lastRefresh_;  // Guarded by mutex_.

    bool echoNotPermittedLogged_ = false;  // Touched by the monitor thread only.

    std::stop_source stopSource_;  // Touched by start() and stop() only; ends echo waits.
    std::thread thread_;           // Last: declared after everything run() uses.
};

}  // namespace pellan
