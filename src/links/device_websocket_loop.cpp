#include "links/device_websocket_loop.hpp"

#include "log/logger.hpp"
#include "platform/thread_name.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <exception>
#include <optional>

namespace pellan {

namespace asio = boost::asio;

struct DeviceLinkLoop::Impl {
    asio::io_context context{1};
    // Keeps run() going while no link has work queued (every link waiting for a timer still
    // has work, but a loop between links has none).
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
};

DeviceLinkLoop::DeviceLinkLoop(Logger& logger, std::string threadName)
    : logger_(logger), threadName_(std::move(threadName)), impl_(std::make_unique<Impl>()) {}

DeviceLinkLoop::~DeviceLinkLoop() {
    try {
        stop();
    } catch (...) {
        // Only a failed join can throw here; a destructor must not.
    }
}

void DeviceLinkLoop::start() {
    if (thread_.joinable()) {
        return;
    }
    impl_->context.restart();
    impl_->work.emplace(impl_->context.get_executor());
    thread_ = std::thread([this] { run(); });
}

void DeviceLinkLoop::stop() {
    if (!thread_.joinable()) {
        return;
    }
    impl_->work.reset();
    impl_->context.stop();
    if (isLoopThread()) {
        return;
    }
    thread_.join();
}

bool DeviceLinkLoop::isLoopThread() const {
    return impl_->context.get_executor().running_in_this_thread();
}

asio::io_context& DeviceLinkLoop::context() {
    return impl_->context;
}

void DeviceLinkLoop::run() {
    setCurrentThreadName(threadName_);
    // A handler that throws ends run(); the loop logs it and serves the other links on.
    // Bounded: each round either ends the loop or follows a thrown handler.
    for (;;) {
        try {
            impl_->context.run();
            return;
        } catch (const std::exception& error) {
            logger_.log(std::string("Device link loop error: ") + error.what(), "error");
        } catch (...) {
            logger_.log("Device link loop error: unknown error", "error");
        }
    }
}

}  // namespace pellan
