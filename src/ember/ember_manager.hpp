#pragma once
#include "ember/ember_client_core.hpp"
#include "ember/ember_connection.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace pellan {

class AppSettingsManager;
class DeviceManager;
class EmberGpioClient;
class EmberVgpioClient;
class Logger;
struct DeviceEntry;

/// Pause between switching the help output's override on and writing its status.
inline constexpr std::chrono::milliseconds kHelpStatusDelay{100};

/// The two UI pushes EmberManager sends: the application binds them to the push server's
/// pushDevice and pushVgpio; tests and benchmarks give their own.
struct EmberPushTarget {
    std::function<void(const DeviceEntry& record)> pushDevice;
    std::function<void(const std::string& hostname, int index, bool state)> pushVgpio;
};

/// Ports and intervals of the clients EmberManager creates; the defaults are the system's.
struct EmberManagerOptions {
    int gpioPort = kEmberPort;
    /// 0: each device model's own Ember+ port. Tests serve every provider on one port.
    int vgpioPort = 0;
    EmberClientOptions client;
    std::chrono::milliseconds helpStatusDelay = kHelpStatusDelay;
};

/// Owns every Ember+ client of the application: one EmberVgpioClient per reachable control
/// panel or rack unit and one EmberGpioClient per reachable GPIO unit, each keyed by the
/// device's IPv4 address. Turns their reports into registry updates and UI pushes, writes GPIO
/// outputs on request, and signals help: while any online device with the help capability
/// shows its configured help entry active, the configured output of the configured GPIO unit
/// is switched on, and off again when no help request remains.
///
/// Kind: locked manager (one mutex over both client maps) that owns thread owners.
/// Threads: the callers of start/stop (the health monitor's reachability handling), HTTP
///   workers (writes, help evaluation), the connection workers of the clients (onGpioValue,
///   onVgpioValue and through them help evaluation and writes), main (stopAll).
/// Locks: the lock is held while clients are created and started, and while GPIO writes are
///   sent and logged (writes are serialised); never while a client is stopped, because
///   stopping waits for client threads that may be waiting for the lock in a help
///   evaluation. Registry and settings have their own locks; pushes only queue.
/// Thread safety: every public member from any thread.
/// Lifetime: `devices`, `logger`, `settings` (and the push server) must outlive this object;
///   the destructor stops every client, after which no report reaches this object.
class EmberManager {
public:
    EmberManager(DeviceManager& devices, Logger& logger, EmberPushTarget pushes,
                 AppSettingsManager& settings, EmberManagerOptions options = {});
    ~EmberManager();  ///< Calls stopAll().
    EmberManager(const EmberManager&) = delete;
    EmberManager& operator=(const EmberManager&) = delete;

    /// Starts watching the virtual GPIOs of the device at `ip` when its model (stock code
    /// text) has Ember+; an address that already has a client keeps it.
    void startEmberForDevice(const std::string& ip, const std::string& model);
    void stopEmberForDevice(const std::string& ip);
    /// Starts watching the GPIO unit at `ip`; `number` is not used (the port is fixed).
    void startEmberForGpio(const std::string& ip, int number);
    void stopEmberForGpio(const std::string& ip);
    /// Stops and removes every client: the virtual-GPIO clients first. Logs nothing.
    void stopAll();

    bool gpioSetOverride(const std::string& ip, int physical, bool enable);
    bool gpioSetStatus(const std::string& ip, int physical, bool on);

    /// Evaluates the help requests and drives the help output when the state changed or
    /// `force` is true.
    void updateHelpGpio(bool force);

    /// The value callbacks given to the clients, bound to the client's address.
    void onGpioValue(const std::string& ip, const std::string& text, std::int32_t value);
    void onVgpioValue(const std::string& ip, const std::string& text, std::int32_t value);

    bool hasVgpioClient(const std::string& ip) const;
    bool hasGpioClient(const std::string& ip) const;
    bool lastHelpActive() const { return lastHelpActive_.load(); }

private:
    void applyVgpioReport(const std::string& ip, const DeviceEntry& partial);
    bool writeGpio(const char* operation, const char* flagName, const std::string& ip, int physical,
                   bool value, const char* field);

    DeviceManager& devices_;
    Logger& logger_;
    const EmberPushTarget pushes_;
    AppSettingsManager& settings_;
    const EmberManagerOptions options_;

    std::atomic<bool> lastHelpActive_{false};

    mutable std::mutex mutex_;
    std::map<std::string, std::unique_ptr<EmberVgpioClient>> vgpioClients_;  // Guarded by mutex_.
    std::map<std::string, std::unique_ptr<EmberGpioClient>> gpioClients_;    // Guarded by mutex_.
};

}  // namespace pellan
