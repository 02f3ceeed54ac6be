#pragma once
#include <memory>
#include <string>
#include <thread>

namespace boost::asio {
class io_context;
}

namespace pellan {
class Logger;

/// The one event loop that serves every device link: a hundred devices need one thread, not
/// a hundred. All connection work, the state-message handling and the links' callbacks run
/// on its thread, one handler at a time.
///
/// Kind: thread owner. One thread, started by start() and joined by stop(); start() after
///   stop() starts a new one.
/// Callbacks: none of its own; it runs the handlers of the links. A handler that throws is
///   logged under "error" and the loop goes on.
/// Thread safety: start() and stop() may be called from any thread but not concurrently with
///   each other (DeviceWebSocketManager calls both under its lock); isLoopThread() and
///   context() from any thread.
/// Lifetime: `logger` must outlive this object. Every link served by the loop must have
///   ended before stop(): a handler still queued then is not run until the next start().
class DeviceLinkLoop {
public:
    explicit DeviceLinkLoop(Logger& logger, std::string threadName = "ws-links");
    ~DeviceLinkLoop();  ///< Calls stop().
    DeviceLinkLoop(const DeviceLinkLoop&) = delete;
    DeviceLinkLoop& operator=(const DeviceLinkLoop&) = delete;

    /// Starts the loop thread; nothing when it runs already.
    void start();
    /// Idempotent. Ends the loop and joins its thread; from the loop thread itself it only
    /// asks the loop to end.
    void stop();
    bool running() const { return thread_.joinable(); }
    /// True on the loop thread, where a link must not wait for its own handlers.
    bool isLoopThread() const;

    boost::asio::io_context& context();

private:
    struct Impl;

    void run();

    Logger& logger_;
    const std::string threadName_;
    const std::unique_ptr<Impl> impl_;
    std::thread thread_;  // Last: declared after everything run() uses.
};

}  // namespace pellan
