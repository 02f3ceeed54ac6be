#pragma once
#include "links/device_state_handler.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace pellan {
class DeviceLinkLoop;
class DeviceManager;
class Logger;

/// The first wait before connecting again after a failed attempt or a lost connection; each
/// further failure doubles it up to kDeviceWebSocketMaxReconnectWait.
inline constexpr std::chrono::milliseconds kDeviceWebSocketFirstReconnectWait{100};
inline constexpr std::chrono::milliseconds kDeviceWebSocketMaxReconnectWait{10000};
/// From the start of the TCP connect to the end of the opening handshake.
inline constexpr std::chrono::milliseconds kDeviceWebSocketHandshakeTimeout{60000};
/// How long a stop waits for the device to answer the close frame before the connection is
/// cut.
inline constexpr std::chrono::milliseconds kDeviceWebSocketCloseTimeout{1000};
/// A larger incoming message closes the connection, which then reconnects.
inline constexpr std::size_t kDeviceWebSocketMessageLimit = std::size_t{1024} * 1024;

/// What a link reports about its connection, for diagnostics only: the application itself
/// takes reachability from the health monitor, never from the link.
struct DeviceLinkEvent {
    enum class Kind {
        Open,    ///< Handshake completed; `detail` is the subprotocol the device chose.
        Closed,  ///< An attempt failed or an open connection ended; `detail` says why.
        Retry,   ///< The next attempt starts after `wait`.
    };
    Kind kind = Kind::Closed;
    std::string detail;
    std::chrono::milliseconds wait{0};
};
using DeviceLinkEventCallback =
    std::function<void(const std::string& address, const DeviceLinkEvent& event)>;

/// The links' connection settings; the defaults are the system's. Tests shorten them.
struct DeviceWebSocketOptions {
    /// Unset: the model's `wsPort` (8081 for every family).
    std::optional<std::uint16_t> port;
    std::chrono::milliseconds firstReconnectWait = kDeviceWebSocketFirstReconnectWait;
    std::chrono::milliseconds maxReconnectWait = kDeviceWebSocketMaxReconnectWait;
    std::chrono::milliseconds handshakeTimeout = kDeviceWebSocketHandshakeTimeout;
    std::chrono::milliseconds closeTimeout = kDeviceWebSocketCloseTimeout;
    std::size_t messageLimit = kDeviceWebSocketMessageLimit;
    /// May be empty. Runs on the loop thread.
    DeviceLinkEventCallback onLinkEvent;
};

/// The wait before attempt number `failures` + 1 after `failures` consecutive failures since
/// the last open connection (0 after a connection that was open dropped).
std::chrono::milliseconds deviceReconnectWait(int failures, const DeviceWebSocketOptions& options);

/// The subprotocol a model requests in the opening handshake ("frontpanel", "audio_grid",
/// "audio"), or "" for none.
std::string_view deviceWebSocketSubprotocol(std::string_view model);

/// The receive-only WebSocket link to one device: "ws://" + address + ":" + port, with the
/// model's subprotocol, reconnecting by itself with a wait that grows to at most 10 s. Every
/// data message (text or binary) goes to handleMessage(); nothing is ever sent but the close
/// frame. Pings from the device are answered, none are sent, compression is off. Failed
/// attempts, refused handshakes and dropped connections are retried without touching the
/// registry, and without log records except for two faults that no retry can cure: a device
/// that answers with another subprotocol than the one asked for, and a message over the
/// limit. Each is logged once per start of the link, category "error", naming the address.
///
/// Kind: thread owner by proxy: its connection lives on the shared DeviceLinkLoop.
/// Callbacks: handleMessage(), and through it the meter and device-state forwarders, run on
///   the loop thread, one message at a time, with no lock of this class held.
/// Thread safety: start(), requestStop() and stop() may be called from any thread but not
///   concurrently with each other (DeviceWebSocketManager calls them under its lock).
///   handleMessage() runs on the loop thread only (or, in tests, on a link never started).
/// Lifetime: `logger`, `devices` and `loop` must outlive this object, and the loop must run
///   from start() until stop() has returned.
class DeviceWebSocketClient {
public:
    DeviceWebSocketClient(Logger& logger, DeviceManager& devices, std::string address,
                          std::string model, MeterCallback meterForward,
                          DeviceStateCallback stateForward, DeviceLinkLoop& loop,
                          DeviceWebSocketOptions options = {});
    ~DeviceWebSocketClient();  ///< Calls stop().
    DeviceWebSocketClient(const DeviceWebSocketClient&) = delete;
    DeviceWebSocketClient& operator=(const DeviceWebSocketClient&) = delete;

    /// Nothing for a model without a state-message family, or when started already.
    /// Otherwise the first attempt begins on the loop thread.
    void start();
    /// Asks the link to close (code 1000 when open, else it just cuts the attempt or the
    /// wait) without waiting; stop() then waits. Lets many links close at the same time.
    void requestStop();
    /// Idempotent. Closes with code 1000 and returns when no handler of this link can run
    /// any more: at most the close time-out after the loop took up the request. From the
    /// loop thread (inside a callback) it only asks, since it cannot wait for itself.
    void stop();

    /// Called for every data message of the link, on the loop thread.
    void handleMessage(std::string_view text) { handler_.handleMessage(text); }

    const std::string& address() const { return handler_.address(); }
    const std::string& model() const { return handler_.model(); }
    const DeviceStateCaches& caches() const { return handler_.caches(); }

private:
    class Session;
    struct StopLatch;

    Logger& logger_;
    DeviceLinkLoop& loop_;
    const DeviceWebSocketOptions options_;
    DeviceStateHandler handler_;

    // Touched by start(), requestStop() and stop() only (never concurrently).
    std::shared_ptr<Session> session_;
    std::shared_ptr<StopLatch> stopping_;
};

}  // namespace pellan
