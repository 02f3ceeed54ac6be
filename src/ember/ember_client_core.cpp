#include "ember/ember_client_core.hpp"

#include "log/logger.hpp"
#include "platform/thread_name.hpp"

#include <algorithm>
#include <exception>
#include <string>
#include <system_error>
#include <utility>

namespace pellan {

EmberClientCore::EmberClientCore(EmberClientKind kind, EmberClientOptions options,
                                 ConnectionFactory factory)
    : kind_(kind), options_(std::move(options)), factory_(std::move(factory)) {}

EmberClientCore::~EmberClientCore() {
    stop();
}

void EmberClientCore::setValueCallback(EmberValueCallback callback) {
    std::shared_ptr<EmberValueSlot> slot;
    {
        std::lock_guard lock(mutex_);
        callback_ = callback;
        slot = slot_;
    }
    if (slot) {
        slot->set(std::move(callback));
    }
}

void EmberClientCore::start() {
    stop();
    std::shared_ptr<EmberValueSlot> slot;
    {
        std::lock_guard lock(mutex_);
        slot_ = std::make_shared<EmberValueSlot>(callback_);
        slot = slot_;
        stopRequested_ = false;
    }
    std::shared_ptr<EmberConnection> first = factory_ ? factory_(slot) : nullptr;
    {
        std::lock_guard lock(mutex_);
        connection_ = std::move(first);
    }
    running_ = true;
    try {
        supervisor_ = std::thread([this] { supervise(); });
    } catch (const std::system_error& error) {
        const EmberDiagnosticTexts& texts = emberDiagnosticTexts(kind_);
        if (options_.diagnostics) {
            options_.diagnostics(formatEmberLine(texts.failed, "supervisor", error.what()));
        }
        if (options_.logger != nullptr) {
            options_.logger->log(std::string("Ember+ supervisor could not start: ") + error.what(),
                                 "error");
        }
    }
}

void EmberClientCore::stop() {
    running_ = false;
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
    }
    wake_.notify_all();
    if (supervisor_.joinable() && supervisor_.get_id() != std::this_thread::get_id()) {
        supervisor_.join();
    }
    std::shared_ptr<EmberConnection> connection;
    std::shared_ptr<EmberValueSlot> slot;
    {
        std::lock_guard lock(mutex_);
        connection = std::move(connection_);
        connection_ = nullptr;
        slot = std::move(slot_);
        slot_ = nullptr;
    }
    if (connection) {
        connection->close();
    }
    if (slot) {
        slot->detach();
    }
}

std::shared_ptr<EmberConnection> EmberClientCore::connection() const {
    std::lock_guard lock(mutex_);
    return connection_;
}

bool EmberClientCore::connected() const {
    const auto current = connection();
    return current && current->connected();
}

bool EmberClientCore::waitUntilConnected(std::chrono::milliseconds timeout) const {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    // Bounded by the deadline; each round waits on one connection attempt or on the
    // supervisor's next step.
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return connected();
        }
        if (const auto current = connection()) {
            if (current->waitUntilConnected(left)) {
                return true;
            }
        }
        std::unique_lock lock(mutex_);
        const auto slice = std::min(left, std::chrono::milliseconds(50));
        wake_.wait_for(lock, slice, [this] { return stopRequested_; });
        if (stopRequested_) {
            return false;
        }
    }
}

bool EmberClientCore::pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, duration, [this] { return stopRequested_; });
    return !stopRequested_;
}

void EmberClientCore::supervise() {
    const EmberDiagnosticTexts& texts = emberDiagnosticTexts(kind_);
    setCurrentThreadName(std::string(texts.threadPrefix) + "-sv");
    try {
        const EmberClientTimings& timings = options_.timings;
        auto backoff = timings.backoffInitial;
        while (running_) {
            if (!pause(timings.healthCheck)) {
                return;
            }
            std::shared_ptr<EmberConnection> current = connection();
            if (current && current->connected()) {
                backoff = timings.backoffInitial;
                if (options_.probe.healthy) {
                    options_.probe.healthy();
                }
                continue;
            }
            current.reset();
            std::shared_ptr<EmberConnection> discarded;
            std::shared_ptr<EmberValueSlot> slot;
            {
                std::lock_guard lock(mutex_);
                discarded = std::move(connection_);
                connection_ = nullptr;
                slot = slot_;
            }
            if (discarded) {
                discarded->close();
            }
            discarded.reset();
            const auto wait = std::clamp(backoff, timings.backoffMin, timings.backoffMax);
            if (options_.probe.pausing) {
                options_.probe.pausing(wait);
            }
            if (!pause(wait)) {
                return;
            }
            std::shared_ptr<EmberConnection> next = factory_ ? factory_(slot) : nullptr;
            {
                // stop() joins this thread before it takes the connection out, so the one
                // stored here is closed by it.
                std::lock_guard lock(mutex_);
                connection_ = std::move(next);
            }
            backoff = std::min(backoff * 2, timings.backoffMax);
        }
    } catch (const std::exception& error) {
        if (options_.diagnostics) {
            options_.diagnostics(formatEmberLine(texts.failed, "supervisor", error.what()));
        }
        if (options_.logger != nullptr) {
            options_.logger->log(
                std::string("Ember+ supervisor stopped after an error: ") + error.what(), "error");
        }
    } catch (...) {
        if (options_.logger != nullptr) {
            options_.logger->log("Ember+ supervisor stopped after an unknown error", "error");
        }
    }
}

}  // namespace pellan
