#pragma once
#include "links/device_state_handler.hpp"
#include "links/device_websocket_client.hpp"
#include "links/device_websocket_loop.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pellan {
class DeviceManager;
class Logger;

/// Keeps at most one WebSocket link per device address and hands the links' state to the
/// meter and device-state callbacks. Links are started when a device becomes reachable and
/// stopped when it becomes unreachable (reachability handling), and all at shut-down.
///
/// Kind: locked manager that owns the links' event loop. One mutex guards the links; the
///   loop thread starts with the first link that connects and ends in stopAll().
/// Callbacks: `onMeterLevels` and `onDeviceState` (either may be empty) run on the loop
///   thread, with no lock of this class held, outside the registry lock. They must not call
///   back into this manager: stopping a link waits for the loop, under the manager's lock.
///   Nothing the loop runs takes that lock, so the wait cannot deadlock.
/// Thread safety: every public member may be called from any thread except the loop thread.
/// Lifetime: `devices` and `logger` must outlive this object.
class DeviceWebSocketManager {
public:
    DeviceWebSocketManager(DeviceManager& devices, Logger& logger, MeterCallback onMeterLevels,
                           DeviceStateCallback onDeviceState, DeviceWebSocketOptions options = {});
    ~DeviceWebSocketManager();  ///< Calls stopAll().
    DeviceWebSocketManager(const DeviceWebSocketManager&) = delete;
    DeviceWebSocketManager& operator=(const DeviceWebSocketManager&) = delete;

    /// Nothing when the address has a link already (the running link keeps its model).
    /// A model without a state-message family gets a link that never connects.
    void startWebSocketForDevice(const std::string& address, const std::string& model);
    /// Closes the link with code 1000, waits until none of its handlers can run, and logs
    /// "Websocket connection to device <address> is stopped". An address without a link is
    /// ignored silently.
    void stopWebSocketForDevice(const std::string& address);
    /// Closes every link at once, waits for all, and ends the loop thread. Logs nothing.
    void stopAll();

    /// The addresses that have a link, in order.
    std::vector<std::string> linkAddresses() const;

private:
    DeviceManager& devices_;
    Logger& logger_;
    const MeterCallback onMeterLevels_;
    const DeviceStateCallback onDeviceState_;
    const DeviceWebSocketOptions options_;

    mutable std::mutex mutex_;
    DeviceLinkLoop loop_;  // Guarded by mutex_ (its start and stop).
    // Guarded by mutex_. Declared after the loop: links end before it.
    std::map<std::string, std::unique_ptr<DeviceWebSocketClient>> links_;
};

}  // namespace pellan
