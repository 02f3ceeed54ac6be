#pragma once
#include "platform/descriptor_linux.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace pellan {

struct EmberVgpioSettings;

/// How the simulated provider shapes its answers: each a form a standards-following provider
/// may use.
enum class EmberAnswerStyle {
    QualifiedParameter,          ///< One QualifiedParameter per parameter, with full contents.
    QualifiedWithEmptyChildren,  ///< The same, each with an empty children collection.
    Nested,  ///< Node and Parameter elements from the root down, one subtree per answer.
};

/// A parameter value of the simulated tree.
using EmberSimValue = std::variant<std::int64_t, bool, std::string>;

/// One parameter of the simulated tree.
struct EmberSimParameter {
    std::vector<std::int32_t> path;
    std::string identifier;
    EmberSimValue value;
    bool writable = false;
};

/// A write the provider received: the parameter's path and the value (as 0 or 1 for a
/// Boolean, else the integer).
struct EmberSimWrite {
    std::vector<std::int32_t> path;
    std::int64_t value = 0;
};

struct EmberProviderSimOptions {
    std::string address = "127.0.0.1";  ///< Loopback only (127.0.0.0/8).
    int port = 0;                       ///< 0: an ephemeral port.
    EmberAnswerStyle style = EmberAnswerStyle::QualifiedParameter;
    bool indefiniteLengths = false;
    /// Each answer goes out in this many packages of one message (1 to 3).
    int packagesPerAnswer = 1;
    /// Called on the provider's thread just before a changed value is handed to the sockets
    /// (benchmarks take the send time here).
    std::function<void(const std::vector<std::int32_t>& path)> onAnnounce;
    /// Called on the provider's thread for every write received.
    std::function<void(const EmberSimWrite& write)> onWrite;
};

/// A small Ember+ provider on a loopback address, for tests, benchmarks and the field tool:
/// serves a tree of parameters, answers GetDirectory requests for a parameter or a node (the
/// whole subtree) in the chosen style, takes parameter writes, announces every changed value
/// to every connection, and answers keep-alive requests.
///
/// Kind: thread owner: start() binds and starts the provider thread, which does every socket
///   operation; stop() joins it. The other members queue work for it or read copies.
/// Thread safety: every public member from any thread.
/// Bounds: at most 32 connections; a connection whose unsent data passes 1 MiB is dropped;
///   the lists of requests and writes keep the newest 100 000 entries.
class EmberProviderSim {
public:
    /// 1.4.1.P.F for P = 1..10: F = 1 type (integer 1), 2 override and 3 status (Booleans,
    /// writable).
    static std::vector<EmberSimParameter> gpioTree();
    /// base.I.F for I = 1..count: the type field (integer 1), the status field (Boolean) and a
    /// label (string) under field 2 when no other field uses 2.
    static std::vector<EmberSimParameter> vgpioTree(const EmberVgpioSettings& settings);

    EmberProviderSim(std::vector<EmberSimParameter> tree, EmberProviderSimOptions options = {});
    ~EmberProviderSim();  ///< Calls stop().
    EmberProviderSim(const EmberProviderSim&) = delete;
    EmberProviderSim& operator=(const EmberProviderSim&) = delete;

    /// Binds and starts the thread; false (with errno) when the address is not loopback or
    /// the port cannot be bound.
    bool start();
    /// Idempotent; closes every connection and joins.
    void stop();

    int port() const { return port_; }
    const std::string& address() const { return options_.address; }

    /// Changes a parameter's value and announces it; false for an unknown path.
    bool setValue(const std::vector<std::int32_t>& path, EmberSimValue value);
    std::optional<EmberSimValue> value(const std::vector<std::int32_t>& path) const;
    /// Sends a keep-alive request from `slot` to every connection.
    void sendKeepAlive(std::uint8_t slot);
    /// Sends raw bytes to every connection.
    void sendRaw(std::vector<std::uint8_t> bytes);
    /// Closes every open connection (the listener stays).
    void closeConnections();

    std::vector<std::vector<std::int32_t>> getDirectoryRequests() const;
    std::vector<EmberSimWrite> writes() const;
    std::size_t keepAliveResponses() const;
    std::size_t connectionsAccepted() const;
    std::size_t connectionsOpen() const;

    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    bool waitForWrites(std::size_t count, std::chrono::milliseconds timeout) const;
    bool waitForKeepAliveResponses(std::size_t count, std::chrono::milliseconds timeout) const;
    bool waitForConnections(std::size_t accepted, std::chrono::milliseconds timeout) const;
    /// Waits until exactly `open` connections are open.
    bool waitForOpen(std::size_t open, std::chrono::milliseconds timeout) const;

private:
    struct Connection;
    struct Command;
    void run();
    void loop();

    const std::vector<EmberSimParameter> initialTree_;
    const EmberProviderSimOptions options_;
    int port_ = 0;
    posix::FileDescriptor listener_;
    posix::FileDescriptor wakeRead_;
    posix::FileDescriptor wakeWrite_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;                            // Guarded by mutex_.
    std::vector<EmberSimParameter> tree_;              // Guarded by mutex_.
    std::vector<Command> commands_;                    // Guarded by mutex_.
    std::vector<std::vector<std::int32_t>> requests_;  // Guarded by mutex_.
    std::vector<EmberSimWrite> writes_;                // Guarded by mutex_.
    std::size_t keepAliveResponses_ = 0;               // Guarded by mutex_.
    std::size_t accepted_ = 0;                         // Guarded by mutex_.
    std::size_t open_ = 0;                             // Guarded by mutex_.

    std::thread thread_;
};

}  // namespace pellan
