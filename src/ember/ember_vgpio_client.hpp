#pragma once
#include "ember/ember_client_core.hpp"
#include "ember/ember_connection.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pellan {

struct DeviceModelInfo;

/// A device's Ember+ virtual-GPIO settings, copied from its model (the model table).
struct EmberVgpioSettings {
    bool emberEnabled = false;
    int emberPort = kEmberPort;
    std::vector<std::int32_t> vgpioBasePath;
    std::int32_t vgpioCount = 10;
    std::int32_t vgpioTypeField = 1;
    std::int32_t vgpioStatusField = 6;

    static EmberVgpioSettings fromModel(const DeviceModelInfo& model);
    /// Whether a connection can be made: Ember+ enabled, a base path of 1 to 8 numbers and
    /// at least one entry.
    bool usable() const;
};

/// The GetDirectory paths of one subscription: every entry's type, then every entry's status.
std::vector<std::vector<std::int32_t>> vgpioWatchedPaths(const EmberVgpioSettings& settings);

/// The report of one decoded parameter: "vgpio I/status" with 1 for non-zero and 0 otherwise,
/// or "vgpio I/type" with the value as an integer (the status test first). None unless the
/// value was present and is an integer or a Boolean, the path is the base path followed by
/// I (1..vgpioCount) and one more number, and that number is the status or the type field.
std::optional<EmberReport> vgpioReportFor(const EmberVgpioSettings& settings,
                                          const GlowParameter& parameter, std::uint32_t fields,
                                          std::span<const std::int32_t> path);

/// Watches the virtual GPIOs of one control panel or rack unit over Ember+: subscribes to
/// every entry's type and status ("GetDirectory-watch mode") and passes each reported value to
/// the value callback. It only reads.
///
/// Kind: thread owner (see EmberClientCore). A model whose settings are not usable never gets
///   a connection; its supervisor cycles without connecting. Not restarted once stopped.
/// Callbacks: the value callback runs on the connection worker thread with the client's
///   callback lock held.
/// Thread safety: every public member from any thread, except stop() from inside the value
///   callback.
/// Lifetime: after stop() (or destruction) no callback runs; a worker that outlived the stop
///   touches only its own record and the detached callback slot.
class EmberVgpioClient {
public:
    EmberVgpioClient(std::string host, const EmberVgpioSettings& settings,
                     EmberClientOptions options = {});
    /// As above, with `port` in place of the settings' port (tests, tools).
    EmberVgpioClient(std::string host, EmberVgpioSettings settings, int port,
                     EmberClientOptions options);
    ~EmberVgpioClient();  ///< Calls stop().
    EmberVgpioClient(const EmberVgpioClient&) = delete;
    EmberVgpioClient& operator=(const EmberVgpioClient&) = delete;

    const std::string& host() const { return host_; }
    const EmberVgpioSettings& settings() const { return settings_; }

    void setValueCallback(EmberValueCallback callback) {
        core_.setValueCallback(std::move(callback));
    }
    /// Stops first, creates the first connection (none for unusable settings) and starts the
    /// supervisor.
    void start() { core_.start(); }
    /// Idempotent; as EmberGpioClient::stop().
    void stop() { core_.stop(); }

    std::shared_ptr<EmberConnection> connection() const { return core_.connection(); }
    bool connected() const { return core_.connected(); }
    bool waitUntilConnected(std::chrono::milliseconds timeout) const {
        return core_.waitUntilConnected(timeout);
    }

private:
    /// createVgpioConnection.
    std::shared_ptr<EmberConnection> createConnection(std::shared_ptr<EmberValueSlot> slot) const;

    const std::string host_;
    const EmberVgpioSettings settings_;
    EmberClientCore core_;  // Last: its threads use the fields above.
};

}  // namespace pellan
