#pragma once
#include "web/router.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace pellan {

/// Idle time after which a connection that has no request under way is closed, the first
/// request included.
inline constexpr std::chrono::milliseconds kKeepAliveTimeout{5000};
/// Time within which a request must arrive whole, from its first byte; and within which a
/// response must be taken by the client.
inline constexpr std::chrono::milliseconds kRequestTimeout{30000};
/// A declared or received body beyond this answers 413 and closes the connection.
inline constexpr std::size_t kMaxRequestBodyBytes = 1024U * 1024U;
/// A request line and header block beyond this answers 431 and closes the connection.
inline constexpr std::uint32_t kMaxRequestHeaderBytes = 16U * 1024U;
/// Most handler threads that can wait at the same time; a further waiting handler queues.
inline constexpr std::size_t kMaxHandlerThreads = 64;

/// How an HttpServer listens and defends itself; the defaults are the system's. Tests shorten
/// the times and bind to loopback.
struct HttpServerOptions {
    std::string bindAddress = "0.0.0.0";
    /// Threads doing the network I/O; 0: the hardware threads, at least 2.
    std::size_t ioThreads = 0;
    /// Handler threads started with the server; 0: the hardware threads, at least 2.
    std::size_t handlerThreads = 0;
    std::size_t maxHandlerThreads = kMaxHandlerThreads;
    std::chrono::milliseconds keepAliveTimeout = kKeepAliveTimeout;
    std::chrono::milliseconds requestTimeout = kRequestTimeout;
    std::size_t maxBodyBytes = kMaxRequestBodyBytes;
    std::uint32_t maxHeaderBytes = kMaxRequestHeaderBytes;
    /// The Host rule: a request whose Host header it refuses is answered 403 "Host not
    /// allowed". Empty: every Host is served. A request without Host is always served.
    std::function<bool(std::string_view host)> isAllowedHost;
    /// Failures that end a thread's work unexpectedly (never a request's own failure).
    std::function<void(const std::string&)> onError;
};

/// The HTTP/1.1 server under the REST API and the UI files: connections, parsing, keep-alive,
/// pipelining, time-outs and size limits, the Host and Origin checks, and the dispatch of each
/// request to its route.
///
/// Besides the routes it answers by itself: 404/405/OPTIONS/HEAD as the Router resolves them;
/// 500 with an empty body for an exception escaping a handler; 400 for a request that does not
/// parse (or has two Host headers); 413 and 431 for the size limits; 403 for the Host rule;
/// 403 "Cross-origin request refused" for a request of any method but GET, HEAD and OPTIONS
/// whose Origin header is present and is not the request's own origin ("http", the Host
/// header's host and port). Closes connections idle longer than the keep-alive time-out and
/// requests that do not arrive whole within the request time-out.
///
/// Kind: thread owner. run() serves on the calling thread plus ioThreads - 1 network threads
///   and on a HandlerPool; all are joined before run() returns. Each network thread runs an
///   event loop of its own; new connections are handed to the loops in turn and stay there.
/// Callbacks: Inline handlers run on a network thread, Blocking ones on a handler thread;
///   both with no lock of this class held, several at once.
/// Thread safety: stop() and waitUntilListening() may be called from any thread, also before
///   run() and from inside a handler; run() once per object.
/// Lifetime: the router is owned; whatever its handlers refer to must outlive run().
class HttpServer {
public:
    HttpServer(Router router, HttpServerOptions options = {});
    ~HttpServer();  ///< Calls stop(); run() must have returned.
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    /// Binds bindAddress:port (0: an ephemeral port) and serves until stop(). False at once,
    /// without serving, when stop() came first or the address cannot be bound.
    bool run(std::uint16_t port);
    /// Idempotent and final: a running server closes its listener and every connection and
    /// run() returns once the handlers under way have ended; a later run() serves nothing.
    void stop();
    /// The bound port once the server listens; 0 when it has not within `timeout`, failed to
    /// bind, or has stopped.
    std::uint16_t waitUntilListening(std::chrono::milliseconds timeout) const;

    class Impl;

private:
    enum class State { Idle, Listening, Stopped };

    Router router_;
    const HttpServerOptions options_;

    mutable std::mutex mutex_;
    mutable std::condition_variable stateChanged_;
    State state_ = State::Idle;      // Guarded by mutex_.
    bool stopRequested_ = false;     // Guarded by mutex_.
    std::uint16_t port_ = 0;         // Guarded by mutex_.
    std::shared_ptr<Impl> running_;  // Guarded by mutex_: set while run() serves.
};

/// True when `origin` (an Origin header) names the request's own origin: scheme "http", and
/// the host (ASCII case-insensitive) and port (80 when absent) of the Host header `host`.
/// "null", an empty Host and anything malformed are not.
bool isSameOrigin(std::string_view origin, std::string_view host);

}  // namespace pellan
