#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace pellan {
class HttpProbe;
class Logger;

/// Opens the UI in the browser once per start, as soon as the application's own HTTP server
/// answers anything but a server error, and at the latest after the last attempt.
///
/// Kind: thread owner. start() starts one thread; stop() ends it early (the browser is then
/// not opened) and joins it.
/// Callbacks: the open action runs on the launcher's thread, with no lock held.
/// Lifetime: `logger` must outlive this object.
class UiLauncher {
public:
    struct Options {
        std::string host = "127.0.0.1";
        std::uint16_t port = 8000;
        std::string target = "/api/version";
        int attempts = 40;
        std::chrono::milliseconds stepTimeout{800};
        std::chrono::milliseconds pause{250};
    };
    using OpenAction = std::function<void()>;

    UiLauncher(Logger& logger, OpenAction open, Options options);
    UiLauncher(Logger& logger, OpenAction open);
    ~UiLauncher();  ///< Calls stop().
    UiLauncher(const UiLauncher&) = delete;
    UiLauncher& operator=(const UiLauncher&) = delete;

    void start();
    /// Idempotent. Returns within one probe step's time-out.
    void stop();

private:
    void run();

    Logger& logger_;
    const OpenAction open_;
    const Options options_;
    std::unique_ptr<HttpProbe> probe_;

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopRequested_ = false;  // Guarded by mutex_.

    std::thread thread_;  // Last: declared after everything run() uses.
};

}  // namespace pellan
