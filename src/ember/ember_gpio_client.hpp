#pragma once
#include "ember/ember_client_core.hpp"
#include "ember/ember_connection.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pellan {

/// Physical GPIO ports of a GPIO unit, numbered 1..10.
inline constexpr int kGpioPhysicalCount = 10;

/// Ember+ path of the GPIO unit's port table: port p, field f is 1.4.1.p.f.
inline constexpr std::int32_t kGpioPathPrefix[] = {1, 4, 1};
inline constexpr std::int32_t kGpioFieldType = 1;
inline constexpr std::int32_t kGpioFieldOverride = 2;
inline constexpr std::int32_t kGpioFieldStatus = 3;

/// The 30 GetDirectory paths of one subscription: type 1..10, override 1..10, status 1..10.
std::vector<std::vector<std::int32_t>> gpioWatchedPaths();

/// The report of one decoded parameter of a GPIO unit: "gpio physical P/type" with the value
/// as an integer, ".../override" and ".../status" with 1 for non-zero and 0 otherwise. None
/// unless the value was present and is an integer or a Boolean, and the path is 1.4.1.P.F
/// with P in 1..10 and F in 1..3.
std::optional<EmberReport> gpioReportFor(const GlowParameter& parameter, std::uint32_t fields,
                                         std::span<const std::int32_t> path);

/// Keeps an Ember+ connection to one GPIO unit, watches the type, override and status of its
/// ten physical ports, passes every reported value to the value callback, and writes a port's
/// override or status flag on request.
///
/// Kind: thread owner (see EmberClientCore: a supervisor thread and one worker per connection
///   attempt). A stopped client is not restarted.
/// Callbacks: the value callback runs on the connection worker thread with the client's
///   callback lock held; setValueCallback takes the same lock.
/// Thread safety: every public member from any thread, except stop() from inside the value
///   callback. writeGpio sends from the caller's thread while the worker receives.
/// Lifetime: after stop() (or destruction) no callback runs; a worker that outlived the stop
///   touches only its own record and the detached callback slot.
class EmberGpioClient {
public:
    explicit EmberGpioClient(std::string ip, int port = kEmberPort,
                             EmberClientOptions options = {});
    ~EmberGpioClient();  ///< Calls stop().
    EmberGpioClient(const EmberGpioClient&) = delete;
    EmberGpioClient& operator=(const EmberGpioClient&) = delete;

    const std::string& ip() const { return ip_; }
    int port() const { return port_; }

    void setValueCallback(EmberValueCallback callback) {
        core_.setValueCallback(std::move(callback));
    }
    /// Stops first (a no-op on a new client), creates the first connection at once and starts
    /// the supervisor.
    void start() { core_.start(); }
    /// Idempotent: joins the supervisor and closes the current connection (waiting for its
    /// worker at most the close wait, 3 s).
    void stop() { core_.stop(); }

    /// Writes the override (field "override") or status ("status") flag of physical port 1..10
    /// on the current connection, `value` taken as a Boolean. 0 when the message went out
    /// whole; -1 without a connection, for another field or port, on a closed socket or a
    /// short send. Does not wait for the unit: its new value arrives as a report.
    int writeGpio(int physical, std::string_view field, int value) const;

    std::shared_ptr<EmberConnection> connection() const { return core_.connection(); }
    bool connected() const { return core_.connected(); }
    bool waitUntilConnected(std::chrono::milliseconds timeout) const {
        return core_.waitUntilConnected(timeout);
    }

private:
    std::shared_ptr<EmberConnection> createConnection(std::shared_ptr<EmberValueSlot> slot) const;

    const std::string ip_;
    const int port_;
    EmberClientCore core_;  // Last: its threads use the fields above.
};

/// Writes a port's flag on `connection` as EmberGpioClient::writeGpio does.
int writeGpioOn(EmberConnection& connection, int physical, std::string_view field, int value);

}  // namespace pellan
