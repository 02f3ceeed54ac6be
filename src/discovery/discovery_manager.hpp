#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace pellan {
class DiscoveryBrowser;
class Logger;

/// The two pushes the manager makes to every UI page: "discovery-busy" (busy, status text)
/// and "discovery-status" (active). The application wires them to the push server.
struct DiscoveryPushes {
    std::function<void(bool busy, const std::string& statusText)> busy;
    std::function<void(bool active)> status;
};

/// One queued request.
struct DiscoveryCommand {
    enum class Kind { startStop = 0, interfaceChange = 1 };
    Kind kind = Kind::startStop;
    bool start = false;         ///< startStop: true starts, false stops.
    int interfaceIndex = 0;     ///< interfaceChange: the DNS-SD interface index (0 = all).
    std::string interfaceName;  ///< interfaceChange: the name shown in the log.
};

/// Starts, stops and re-targets the two DNS-SD browsers ("_http._tcp" and
/// "_netaudio-cmc._udp") one request at a time on a command thread of its own, since a start
/// or stop can take seconds. Requests return at once; the UI follows through the pushes: busy
/// with a status text ("Starting...", "Stopping...", "Changing network interface...") while
/// a command runs, then the resulting active state, then busy false. Interface changes that
/// wait in the queue collapse into one carrying the latest index and name. Log texts: see
/// the commands (categories "discovery", "settings", "error").
///
/// Kind: thread owner. The constructor starts the command thread; stop() ends and joins it.
/// Callbacks: the pushes run on the command thread, with no lock of this class held.
/// Thread safety: requestActive(), requestInterfaceChange() and isActive() may be called from
///   any thread at any time and never wait for a command. stop() may be called from any thread
///   but the command thread (there it throws std::system_error).
/// Lifetime: the browsers and `logger` must outlive this object; stop() (or destruction)
///   before the browsers go.
class DiscoveryManager {
public:
    /// Starts the command thread; throws std::system_error when it cannot be made.
    DiscoveryManager(DiscoveryBrowser& httpBrowser, DiscoveryBrowser& netaudioBrowser,
                     Logger& logger, DiscoveryPushes uiPush);
    ~DiscoveryManager();  ///< Calls stop().
    DiscoveryManager(const DiscoveryManager&) = delete;
    DiscoveryManager& operator=(const DiscoveryManager&) = delete;

    /// Queues starting (true) or stopping (false) both browsers; ignored after stop().
    void requestActive(bool start);
    /// Queues a change of both browsers' interface, or updates the one already waiting
    /// (however far back in the queue); ignored after stop().
    void requestInterfaceChange(int interfaceIndex, const std::string& interfaceName);
    /// Whether either browser runs (also a browser that gave up after its retries).
    bool isActive() const;
    /// Idempotent. Drops the waiting requests, lets a running command finish and joins the
    /// command thread, then stops the HTTP browser and then the NetAudio browser.
    void stop();

private:
    void commandLoop();
    void execute(const DiscoveryCommand& command);
    void startBoth();
    void stopBoth();
    void changeInterface(int interfaceIndex, const std::string& interfaceName);

    DiscoveryBrowser& httpBrowser_;
    DiscoveryBrowser& netaudioBrowser_;
    Logger& logger_;
    const DiscoveryPushes uiPush_;

    mutable std::mutex mutex_;
    std::condition_variable wakeup_;
    std::deque<DiscoveryCommand> queue_;  // Guarded by mutex_.
    bool stopped_ = false;                // Guarded by mutex_.

    std::thread worker_;  // Last: declared after everything commandLoop() uses.
};

}  // namespace pellan
