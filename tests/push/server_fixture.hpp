#pragma once
#include "devices/device_manager.hpp"
#include "devices/group_manager.hpp"
#include "log/logger.hpp"
#include "push/ui_websocket_server.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pellan::test {
class PageClient;

/// Every record the logger hands its listener, with waits for the lines the server logs.
class LogWatch {
public:
    void add(const LogEntry& entry);
    /// True once `message` was logged at least `count` times within `timeout`.
    bool waitFor(const std::string& message, std::size_t count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::size_t count(const std::string& message) const;
    std::vector<LogEntry> entries() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<LogEntry> entries_;  // Guarded by mutex_.
};

/// Options for a test server: 127.0.0.1 and an ephemeral port.
UiWebSocketServerOptions loopbackOptions();

/// A push server running on a thread of its own, wired to its logger as main wires it (the
/// listener pushes every record as "log"). The destructor stops and joins.
class RunningServer {
public:
    explicit RunningServer(UiWebSocketServerOptions options = loopbackOptions());
    ~RunningServer();
    RunningServer(const RunningServer&) = delete;
    RunningServer& operator=(const RunningServer&) = delete;

    /// stop() and join; idempotent.
    void stopAndJoin();

    Logger logger;
    DeviceManager devices{logger};
    GroupManager groups{logger};
    LogWatch watch;
    UiWebSocketServer server;
    std::uint16_t port = 0;  ///< 0 when listening failed.

private:
    std::thread thread_;
};

/// Connects a page and waits for the server's own "connected" log line for it: from then on
/// the page is on the broadcast list and misses nothing pushed later. Fails the test when the
/// page is refused or the line never comes.
void connectCountedPage(PageClient& page, std::uint16_t port);

}  // namespace pellan::test
