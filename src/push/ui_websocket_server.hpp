#pragma once
#include <nlohmann/json_fwd.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pellan {

class DeviceManager;
class GroupManager;
class Logger;
struct AppSettings;
struct DeviceEntry;
struct LogEntry;

inline constexpr std::uint16_t kUiWebSocketPort = 9001;
/// A page that sends a larger message is disconnected.
inline constexpr std::size_t kUiMaxIncomingMessage = 16 * 1024;
/// Unsent data kept per page; later messages to a page that is that far behind are dropped.
inline constexpr std::size_t kUiMaxBackpressure = 64 * 1024;
/// A page from which nothing arrives for this long is closed; pings at half of it keep live
/// pages talking.
inline constexpr std::chrono::milliseconds kUiIdleTimeout{120'000};

/// Where and how the push server listens; the defaults are the system's, tests vary them.
struct UiWebSocketServerOptions {
    std::uint16_t port = kUiWebSocketPort;  ///< 0: an ephemeral port (see waitUntilListening).
    std::string bindAddress = "0.0.0.0";    ///< IPv4 address text; all interfaces by default.
    std::chrono::milliseconds idleTimeout = kUiIdleTimeout;
};

/// Pushes live events, one JSON text message each, to every open UI page over WebSocket.
/// The channel is one-way: what pages send is read and ignored. Any upgrade path is accepted;
/// plain HTTP is answered 404; a Host or Origin header of another site is answered 403.
///
/// Kind: thread owner in the caller's thread: run() is the body of the push server thread,
///   which main creates; that thread runs the event loop, every socket operation, the
///   connection handling and every send. Other threads only queue work on it.
/// Callbacks: none of its own. It logs from the loop thread ("WebSocket client connected"
///   and friends); the logger's listener then calls pushLogEntry on that thread, which only
///   queues.
/// Thread safety: every public member may be called from any thread, at any time, also
///   before or during run(). The push operations never block on the network and never fail
///   towards the caller: a message that cannot be delivered is dropped.
/// Lifetime: `devices`, `groups` and `logger` must outlive this object; destroy it only when
///   run() has returned (or was never called). One-shot: once stopped, a later run() returns
///   at once.
class UiWebSocketServer {
public:
    UiWebSocketServer(DeviceManager& devices, GroupManager& groups, Logger& logger,
                      UiWebSocketServerOptions options = {});
    ~UiWebSocketServer();  ///< Calls stop().
    UiWebSocketServer(const UiWebSocketServer&) = delete;
    UiWebSocketServer& operator=(const UiWebSocketServer&) = delete;

    /// Listens and serves until stop(); returns at once when listening fails (logged as
    /// "Failed to start WebSocket server on port " + port, category "error") or when stop()
    /// came first.
    void run();
    /// Idempotent. Closes the listening socket and every page and makes run() return soon
    /// (a page that does not answer the close is cut off after a second).
    void stop();

    /// The bound port once listening; 0 when listening failed, the server stopped first, or
    /// `timeout` passed.
    std::uint16_t waitUntilListening(std::chrono::milliseconds timeout) const;
    /// Open pages (upgraded connections).
    std::size_t connectionCount() const;

    /// Serialises compactly (sorted keys) on the calling thread and queues the text for
    /// every open page; messages of one thread keep their order. On the loop thread itself
    /// the text is handed to the pages at once. Dropped while not listening.
    void broadcast(const nlohmann::json& message);

    // The catalogue of pushed messages; each ends in broadcast().
    void pushApplicationStopping();
    void pushLogEntry(const LogEntry& entry);
    void pushDiscoveryStatus(bool active);
    void pushDiscoveryBusy(bool busy, const std::string& statusText);
    /// Sends nothing for a record without host name (a failed look-up's default record).
    void pushDevice(const DeviceEntry& record);
    void pushDeviceRemoval(const std::string& hostname);
    void pushVgpio(const std::string& hostname, int index, bool state);
    void pushMeterLevels(const std::string& hostname, const std::vector<std::int32_t>& levels);
    void pushPanelAudioState(const std::string& hostname, const std::array<bool, 4>& onAir,
                             const std::array<std::string, 4>& talkBack,
                             const std::array<bool, 4>& lazyGang, const std::array<bool, 8>& muted,
                             const std::array<bool, 4>& cough);
    void pushInputState(const std::string& hostname, const std::array<bool, 8>& muted,
                        const std::array<bool, 8>& gpiMute);
    void pushRackAudioState(const std::string& hostname, bool micMuted);
    void pushGroup(const std::string& groupName, const std::vector<std::string>& hostnames);
    /// Reads the group order and members from the GroupManager at the time of the call.
    void pushGroups();
    void pushGroupDeleted(const std::string& groupName);
    void pushSettings(const AppSettings& settings);
    void pushTalkState(const std::string& hostname, bool active);
    void pushMonitoringDisplayFields(const nlohmann::json& fields);

private:
    struct Impl;
    /// Whether a push would reach the loop now; saves building messages nobody gets.
    bool accepting() const;

    std::unique_ptr<Impl> impl_;
};

}  // namespace pellan
