#pragma once
#include "ember/ember_diagnostics.hpp"
#include "ember_codec/glow_types.hpp"
#include "platform/native_handle.hpp"
#include "platform/wake_pipe.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace pellan {

/// The TCP port of every Ember+ provider of the studio's devices.
inline constexpr int kEmberPort = 9000;

/// The intervals of the Ember+ clients; the defaults are the system's, tests shorten them.
struct EmberClientTimings {
    /// The supervisor looks at its connection this often.
    std::chrono::milliseconds healthCheck{2000};
    /// First pause before a new connection after a failure; doubled up to backoffMax.
    std::chrono::milliseconds backoffInitial{5000};
    std::chrono::milliseconds backoffMax{60000};
    /// No pause is shorter than this.
    std::chrono::milliseconds backoffMin{1000};
    /// A receive that brings nothing for this long ends so the refresh can be checked.
    std::chrono::milliseconds receiveTimeout{500};
    /// Pause after each GetDirectory request of a subscription.
    std::chrono::milliseconds requestSpacing{8};
    /// An open connection subscribes again after this long.
    std::chrono::milliseconds refreshInterval{240000};
    /// closeConnection waits this long for the worker before it leaves the worker running.
    std::chrono::milliseconds closeWait{3000};
    /// A TCP connect that has not completed after this long fails. The supervisor discards a
    /// connection that is not connected at its next check anyway, so this bounds only the
    /// connect of a connection nobody supervises.
    std::chrono::milliseconds connectTimeout{20000};
};

/// A watched parameter's value as the clients pass it on: the report text ("gpio physical
/// 3/status", "vgpio 4/type") and a number.
struct EmberReport {
    std::string text;
    std::int32_t value = 0;
};

/// Turns one decoded parameter into a report, or into nothing when it is not watched.
using EmberReportMapper = std::function<std::optional<EmberReport>(
    const GlowParameter& parameter, std::uint32_t fields, std::span<const std::int32_t> path)>;

/// Receives a client's reports: the text and the number.
using EmberValueCallback = std::function<void(const std::string& text, std::int32_t value)>;

/// The value callback of one started client, shared by the client and every connection it
/// created. The client detaches it when it stops, so a connection worker that outlives the
/// stop (left running after the close wait) delivers into nothing and never reaches the
/// client or whatever its callback refers to.
///
/// Kind: locked manager, one mutex; the callback runs with it held, which is what lets
/// detach() promise that no callback runs once it returned.
/// Thread safety: every member from any thread; deliver() is never called from inside the
/// callback, and neither is detach() (it would wait for itself).
class EmberValueSlot {
public:
    explicit EmberValueSlot(EmberValueCallback callback) : callback_(std::move(callback)) {}

    /// Replaces the callback, unless the slot is detached.
    void set(EmberValueCallback callback);
    /// Calls the callback, if any, on the calling thread with the slot's lock held.
    void deliver(const std::string& text, std::int32_t value);
    /// Drops the callback for good; waits for a callback in progress to return.
    void detach();

private:
    std::mutex mutex_;
    EmberValueCallback callback_;  // Guarded by mutex_.
    bool detached_ = false;        // Guarded by mutex_.
};

/// Everything one connection attempt needs, copied from its client when it is created.
struct EmberConnectionConfig {
    EmberClientKind kind = EmberClientKind::Gpio;
    std::string host;  ///< IPv4 address text; cut to 63 characters.
    int port = kEmberPort;
    /// GetDirectory requests of one subscription, in the order they go out. A path of more
    /// than 10 numbers is not requested (its pause still happens).
    std::vector<std::vector<std::int32_t>> watched;
    EmberReportMapper mapper;
    EmberClientTimings timings;
    EmberDiagnosticSink diagnostics = printEmberDiagnostic;
    std::shared_ptr<EmberValueSlot> slot;
};

/// One TCP connection attempt to an Ember+ provider, with its own worker thread: connect,
/// subscribe by GetDirectory requests, answer keep-alives, decode the stream and deliver each
/// watched value to the slot; subscribe again every refresh interval.
///
/// Kind: thread owner, shared. The record is held by shared pointer by its client and by its
/// own worker; when close() gives up waiting (closeWait), the worker is detached and keeps the
/// record alive until it ends on its own. Every blocking call of the worker (connect, receive,
/// the pauses between requests) also waits on the record's wake pipe, which close() signals,
/// so in practice the worker ends within milliseconds of a close; only a worker held up
/// inside the codec, a diagnostic sink or the value callback outlives the wait.
/// Threads: the worker runs the diagnostics and the slot's callback. send() runs on the
///   caller's thread while the worker receives (sends are serialised by the record's lock).
/// Thread safety: every public member from any thread; close() from several threads at once
///   closes once (the others return at once).
/// Lifetime: the worker touches only this record, its copies of the configuration and the
///   shared slot; never the client.
class EmberConnection {
public:
    /// Creates the record (running, not connected) and starts its worker; null when the thread
    /// cannot be created.
    static std::shared_ptr<EmberConnection> start(EmberConnectionConfig config);
    ~EmberConnection();
    EmberConnection(const EmberConnection&) = delete;
    EmberConnection& operator=(const EmberConnection&) = delete;

    /// The worker has not ended and nobody closed the record.
    bool running() const { return running_.load(); }
    /// The TCP connection is established and being read.
    bool connected() const { return connected_.load(); }
    /// Waits until connected, or the worker ended, or `timeout` passed; true when connected.
    bool waitUntilConnected(std::chrono::milliseconds timeout) const;
    /// Waits until the worker ended or `timeout` passed; true when it ended.
    bool waitUntilEnded(std::chrono::milliseconds timeout) const;

    /// closeConnection: clears running and connected, shuts the socket down, wakes the worker
    /// and waits for it at most closeWait; on time-out prints the client kind's "stop timed
    /// out" line and leaves the worker running with the record.
    void close();

    /// Whether the socket is open (connected and not yet closed).
    bool socketValid() const;
    /// Sends one message on the socket without blocking. The count sent (possibly short when
    /// the peer does not read), or -1 when the socket is invalid or the send failed.
    long send(const std::uint8_t* data, std::size_t length);

    const std::string& host() const { return config_.host; }
    int port() const { return config_.port; }
    /// Prints one line through the connection's diagnostic sink.
    void diagnose(const std::string& line) const;

    /// Workers that have not ended, of every connection of the process (also detached ones).
    static std::size_t workersRunning();
    /// Waits until no worker of the process runs (or `timeout` passed): what the end of the
    /// program waits for, so no left-over worker runs while the process is torn down.
    static bool waitForAllWorkers(std::chrono::milliseconds timeout);

private:
    explicit EmberConnection(EmberConnectionConfig config);

    void work();
    void run();
    void receiveLoop(NativeHandle socket);
    void requestWatchedParameters();
    void finish();

    EmberConnectionConfig config_;
    const EmberDiagnosticTexts& texts_;
    ember::WorkerDiagnostics workerDiagnostics_;
    WakePipe wake_;

    std::atomic<bool> running_{false};
    std::atomic<bool> connected_{false};
    std::atomic<bool> closing_{false};

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    NativeHandle socket_ = NativeHandle::Invalid;  // Guarded by mutex_: the worker's socket
                                                   // while it is open.
    bool done_ = false;                            // Guarded by mutex_: the worker has ended.

    std::thread thread_;  // Touched by the creator, the closer and the destructor only.
};

}  // namespace pellan
