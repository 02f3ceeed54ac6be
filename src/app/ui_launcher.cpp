#include "app/ui_launcher.hpp"

#include "log/logger.hpp"
#include "platform/http_probe.hpp"
#include "platform/thread_name.hpp"

#include <exception>
#include <string>
#include <utility>

namespace pellan {

UiLauncher::UiLauncher(Logger& logger, OpenAction open, Options options)
    : logger_(logger), open_(std::move(open)), options_(std::move(options)),
      probe_(std::make_unique<HttpProbe>()) {}

UiLauncher::UiLauncher(Logger& logger, OpenAction open)
    : UiLauncher(logger, std::move(open), Options{}) {}

UiLauncher::~UiLauncher() {
    stop();
}

void UiLauncher::start() {
    if (thread_.joinable()) {
        return;
    }
    thread_ = std::thread([this] { run(); });
}

void UiLauncher::stop() {
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
    }
    wake_.notify_all();
    probe_->cancel();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

void UiLauncher::run() {
    setCurrentThreadName("ui-launcher");
    try {
        for (int attempt = 0; attempt < options_.attempts; ++attempt) {
            const int status =
                probe_->get(options_.host, options_.port, options_.target, options_.stepTimeout);
            if (status >= 200 && status <= 499) {
                break;
            }
            std::unique_lock lock(mutex_);
            if (wake_.wait_for(lock, options_.pause, [this] { return stopRequested_; })) {
                return;
            }
        }
        {
            std::lock_guard lock(mutex_);
            if (stopRequested_) {
                return;
            }
        }
        if (open_) {
            open_();
        }
    } catch (const std::exception& error) {
        logger_.log(std::string("UI launcher failed: ") + error.what(), "error");
    }
}

}  // namespace pellan
