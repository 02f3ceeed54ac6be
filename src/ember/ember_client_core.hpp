#pragma once
#include "ember/ember_connection.hpp"
#include "ember/ember_diagnostics.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace pellan {
class Logger;

/// Calls from a supervisor at its steps, for tests and tools; empty members are skipped. They
/// run on the supervisor thread with no lock of the client held.
struct EmberSupervisorProbe {
    /// A check found the current connection connected (back-off reset).
    std::function<void()> healthy;
    /// The supervisor discarded the connection and pauses this long before the next one.
    std::function<void(std::chrono::milliseconds pause)> pausing;
};

/// What both Ember+ clients take besides their device: the intervals, where the diagnostic
/// lines go, and where a failure of the supervisor is logged.
struct EmberClientOptions {
    EmberClientTimings timings;
    EmberDiagnosticSink diagnostics = printEmberDiagnostic;
    EmberSupervisorProbe probe;
    /// Receives "error" records when a supervisor thread ends after an exception; may be
    /// null (then only the diagnostic line says so). Must outlive the client.
    Logger* logger = nullptr;
};

/// The machinery both Ember+ clients share: the value callback, the current connection, and
/// the supervisor thread that checks the connection every health-check interval and replaces
/// one that is not connected after a growing pause (5, 10, 20, 40, 60, 60 ... seconds; 5
/// again after a healthy check).
///
/// Kind: thread owner. start() creates the first connection at once and starts the
///   supervisor; stop() joins the supervisor and closes the current connection.
/// Callbacks: the value callback runs on the connection workers with the value slot's lock
///   held (see EmberValueSlot); the factory and the probe run on the supervisor thread (the
///   factory also on start()'s caller).
/// Thread safety: every public member from any thread, except stop() and start() from inside
///   the value callback (stop() waits for the callback to return); start() and stop() are
///   called from one thread at a time (EmberManager calls them under its lock or on a client
///   it took out of its map).
/// Lifetime: after stop() returned, no callback of this client runs and none will: every
///   connection, also one that outlived its close, delivers into the detached slot.
class EmberClientCore {
public:
    /// Creates one connection attempt delivering into `slot`, or none (null).
    using ConnectionFactory =
        std::function<std::shared_ptr<EmberConnection>(std::shared_ptr<EmberValueSlot> slot)>;

    EmberClientCore(EmberClientKind kind, EmberClientOptions options, ConnectionFactory factory);
    ~EmberClientCore();  ///< Calls stop().
    EmberClientCore(const EmberClientCore&) = delete;
    EmberClientCore& operator=(const EmberClientCore&) = delete;

    /// Replaces the callback, also for the running connections.
    void setValueCallback(EmberValueCallback callback);
    /// Stops first, then creates the first connection and starts the supervisor.
    void start();
    /// Idempotent. Wakes and joins the supervisor, closes the current connection (waiting at
    /// most the close wait for its worker) and detaches the value callback.
    void stop();

    bool running() const { return running_.load(); }
    /// The current connection attempt; null between a discard and the next attempt.
    std::shared_ptr<EmberConnection> connection() const;
    bool connected() const;
    /// Waits (at most `timeout`) until the current connection is connected, following the
    /// supervisor's replacements.
    bool waitUntilConnected(std::chrono::milliseconds timeout) const;

    const EmberClientOptions& options() const { return options_; }

private:
    void supervise();
    /// Waits `duration` unless stop() comes first; false when stopped.
    bool pause(std::chrono::milliseconds duration);

    const EmberClientKind kind_;
    const EmberClientOptions options_;
    const ConnectionFactory factory_;

    std::atomic<bool> running_{false};

    mutable std::mutex mutex_;
    mutable std::condition_variable wake_;
    bool stopRequested_ = false;                   // Guarded by mutex_.
    EmberValueCallback callback_;                  // Guarded by mutex_.
    std::shared_ptr<EmberValueSlot> slot_;         // Guarded by mutex_.
    std::shared_ptr<EmberConnection> connection_;  // Guarded by mutex_.

    std::thread supervisor_;  // Last: started after everything supervise() uses.
};

}  // namespace pellan
