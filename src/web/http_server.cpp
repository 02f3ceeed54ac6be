#include "web/http_server.hpp"

#include "base/ascii.hpp"
#include "base/host_port.hpp"
#include "platform/thread_name.hpp"
#include "web/handler_pool.hpp"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/rate_policy.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/span_body.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace pellan {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

/// Bytes asked for by the read that waits for the first byte of a request.
constexpr std::size_t kFirstReadBytes = 4096;
/// After an answer that ends a connection, what the client still sends is read and dropped for
/// at most this long and this much, so that the close does not reset the answer away.
constexpr std::chrono::milliseconds kLingerTime{1000};
constexpr std::size_t kLingerBytes = 1024U * 1024U;
/// Pause before accepting again after the listener failed (for example, no descriptors left).
constexpr std::chrono::milliseconds kAcceptRetryPause{100};

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

/// The port of an "http" origin or Host that names none.
constexpr std::uint16_t kHttpDefaultPort = 80;

std::size_t defaultThreadCount(std::size_t configured) {
    if (configured > 0) {
        return configured;
    }
    return std::max<std::size_t>(2, std::thread::hardware_concurrency());
}

void nameThisThread(const char* name) {
    setCurrentThreadName(name);
}

bool isSafeMethod(HttpMethod method) {
    return method == HttpMethod::Get || method == HttpMethod::Head || method == HttpMethod::Options;
}

/// At most this much of a request's path and of an error's text goes into a diagnostic line.
constexpr std::size_t kDiagnosticTextBytes = 200;

std::string clipped(std::string_view text) {
    return std::string(text.substr(0, kDiagnosticTextBytes)) +
           (text.size() > kDiagnosticTextBytes ? "..." : "");
}

HttpResponse invokeHandler(const Router::Handler& handler, const HttpRequest& request) {
    try {
        return handler(request);
    } catch (const std::exception& error) {
        // The server's own diagnostics go to the standard error stream, not the application log.
        std::cerr << "HTTP handler for " << clipped(request.path)
                  << " failed: " << clipped(error.what()) << '\n';
    } catch (...) {
        std::cerr << "HTTP handler for " << clipped(request.path) << " failed\n";
    }
    return textResponse(500, {});
}

/// Each network thread runs its own loop; a connection lives on one of them for its whole life,
/// so its operations never run at the same time and need neither a strand nor the type-erased
/// executor.
using LoopExecutor = net::io_context::executor_type;
using SessionStream = beast::basic_stream<tcp, LoopExecutor, beast::unlimited_rate_policy>;
using SessionSocket = tcp::socket::rebind_executor<LoopExecutor>::other;

/// What every connection shares: the routes, the limits, the handler threads.
struct ServerCore {
    const Router& router;
    const HttpServerOptions& options;
    HandlerPool& pool;
};

/// One client connection: reads requests one after another (pipelined ones in order), answers
/// each, keeps the connection alive or closes it.
///
/// Kind: loop-bound. Every member runs on the connection's network thread; a Blocking handler
///   runs on the pool and posts its response back to that thread's loop. Owned by the operations
///   under way (shared_ptr); it ends when none is left.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(SessionSocket socket, ServerCore& core) : stream_(std::move(socket)), core_(core) {}

    void start() {
        beast::error_code ignored;
        stream_.socket().set_option(tcp::no_delay(true), ignored);
        net::dispatch(stream_.get_executor(),
                      beast::bind_front_handler(&Session::awaitRequest, shared_from_this()));
    }

private:
    /// Between requests only the keep-alive time-out runs; once a byte has come the request
    /// time-out takes over.
    void awaitRequest() {
        if (buffer_.size() > 0) {
            beginRequest();
            return;
        }
        stream_.expires_after(core_.options.keepAliveTimeout);
        stream_.async_read_some(
            buffer_.prepare(kFirstReadBytes),
            beast::bind_front_handler(&Session::onFirstBytes, shared_from_this()));
    }

    void onFirstBytes(beast::error_code error, std::size_t bytes) {
        if (error) {
            close();  // Idle time-out, the client closed, or the server stops.
            return;
        }
        buffer_.commit(bytes);
        beginRequest();
    }

    void beginRequest() {
        parser_.emplace();
        parser_->header_limit(core_.options.maxHeaderBytes);
        parser_->body_limit(static_cast<std::uint64_t>(core_.options.maxBodyBytes));
        stream_.expires_after(core_.options.requestTimeout);
        http::async_read_header(stream_, buffer_, *parser_,
                                beast::bind_front_handler(&Session::onHeader, shared_from_this()));
    }

    void onHeader(beast::error_code error, std::size_t /*bytes*/) {
        if (error) {
            failRead(error);
            return;
        }
        const auto& request = parser_->get();
        const auto expect = request.find(http::field::expect);
        if (!parser_->is_done() && request.version() == 11 && expect != request.end() &&
            equalsIgnoringAsciiCase(expect->value(), "100-continue")) {
            net::async_write(
                stream_, net::buffer(kContinue.data(), kContinue.size()),
                [self = shared_from_this()](beast::error_code writeError, std::size_t /*written*/) {
                    if (writeError) {
                        self->close();
                        return;
                    }
                    self->readBody();
                });
            return;
        }
        readBody();
    }

    void readBody() {
        if (parser_->is_done()) {
            handleRequest();
            return;
        }
        http::async_read(stream_, buffer_, *parser_,
                         beast::bind_front_handler(&Session::onBody, shared_from_this()));
    }

    void onBody(beast::error_code error, std::size_t /*bytes*/) {
        if (error) {
            failRead(error);
            return;
        }
        handleRequest();
    }

    void failRead(beast::error_code error) {
        if (error == http::error::header_limit) {
            sendFinal(431);
        } else if (error == http::error::body_limit) {
            sendFinal(413);
        } else if (error.category() == beast::error_code(http::error::end_of_stream).category() &&
                   error != http::error::end_of_stream && error != http::error::partial_message) {
            sendFinal(400);  // The bytes are not HTTP.
        } else {
            close();  // Time-out, the client went away, or the server stops.
        }
    }

    void handleRequest() {
        auto& message = parser_->get();
        HttpRequest request;
        request.method = parseHttpMethod(message.method_string());
        const std::string_view target = message.target();
        request.path = std::string(target.substr(0, target.find('?')));
        version_ = message.version();
        keepAlive_ = message.keep_alive();
        head_ = request.method == HttpMethod::Head;

        if (message.count(http::field::host) > 1 || message.count(http::field::origin) > 1) {
            sendFinal(400);
            return;
        }
        const auto hostField = message.find(http::field::host);
        const std::string_view host =
            hostField == message.end() ? std::string_view{} : std::string_view(hostField->value());
        if (hostField != message.end() && core_.options.isAllowedHost &&
            !core_.options.isAllowedHost(host)) {
            respond(textResponse(403, "Host not allowed"));
            return;
        }
        const auto origin = message.find(http::field::origin);
        if (origin != message.end() && !isSafeMethod(request.method) &&
            !isSameOrigin(origin->value(), host)) {
            respond(textResponse(403, "Cross-origin request refused"));
            return;
        }

        Router::Resolution resolution = core_.router.resolve(request.method, request.path);
        if (resolution.handler == nullptr) {
            respond(std::move(resolution.response));
            return;
        }
        request.params = std::move(resolution.params);
        request.body = std::move(message.body());
        parser_.reset();

        if (resolution.execution == RouteExecution::Inline) {
            respond(invokeHandler(*resolution.handler, request));
            return;
        }
        const Router::Handler* handler = resolution.handler;
        const bool queued = core_.pool.submit(
            [self = shared_from_this(), handler, request = std::move(request)]() mutable {
                HttpResponse response = invokeHandler(*handler, request);
                net::post(self->stream_.get_executor(),
                          [self, response = std::move(response)]() mutable {
                              self->respond(std::move(response));
                          });
            });
        if (!queued) {
            close();  // The server stops.
        }
    }

    /// An error answer after which the connection is not reused: what is left of the request
    /// is not read.
    void sendFinal(unsigned status) {
        keepAlive_ = false;
        if (version_ == 0) {
            version_ = 11;
        }
        head_ = false;
        respond(textResponse(static_cast<int>(status), {}));
    }

    void respond(HttpResponse answer) {
        // The answer is kept until it is written; the message refers to its body, uncopied.
        answer_ = std::move(answer);
        response_ = {};
        response_.version(version_ == 0 ? 11 : version_);
        response_.result(static_cast<unsigned>(answer_.status));
        for (const auto& [name, value] : answer_.headers) {
            response_.insert(name, value);
        }
        const std::string_view body = answer_.bodyText();
        if (head_) {
            // The headers of the GET answer, its length included, without its body.
            response_.content_length(body.size());
        } else {
            response_.body() = {body.data(), body.size()};
            response_.prepare_payload();
        }
        response_.keep_alive(keepAlive_);
        stream_.expires_after(core_.options.requestTimeout);
        http::async_write(stream_, response_,
                          beast::bind_front_handler(&Session::onWritten, shared_from_this()));
    }

    void onWritten(beast::error_code error, std::size_t /*bytes*/) {
        if (error) {
            close();
            return;
        }
        if (!keepAlive_) {
            closeAfterAnswer();
            return;
        }
        response_ = {};
        answer_ = {};
        version_ = 0;
        awaitRequest();
    }

    /// Ends the sending side, then drops what the client still sends until it closes (bounded),
    /// so that the client reads the whole answer before the connection goes.
    void closeAfterAnswer() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.expires_after(kLingerTime);
        drain();
    }

    void drain() {
        stream_.async_read_some(
            net::buffer(discard_),
            [self = shared_from_this()](beast::error_code error, std::size_t bytes) {
                self->drained_ += bytes;
                if (error || self->drained_ > kLingerBytes) {
                    self->close();
                    return;
                }
                self->drain();
            });
    }

    void close() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.socket().close(ignored);
    }

    SessionStream stream_;
    ServerCore& core_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    HttpResponse answer_;  // The answer being written; response_ refers to its body.
    http::response<http::span_body<const char>> response_;
    unsigned version_ = 0;  // Of the request being answered; 0 before its header is read.
    bool keepAlive_ = false;
    bool head_ = false;
    std::array<char, 4096> discard_{};
    std::size_t drained_ = 0;
};

}  // namespace

bool isSameOrigin(std::string_view origin, std::string_view host) {
    constexpr std::string_view kScheme = "http://";
    if (host.empty() || origin.size() <= kScheme.size() ||
        !startsWithIgnoringAsciiCase(origin, kScheme)) {
        return false;
    }
    const std::string_view authority = origin.substr(kScheme.size());
    if (authority.find_first_of("/?#@") != std::string_view::npos) {
        return false;
    }
    const auto own = parseHostPort(host);
    const auto claimed = parseHostPort(authority);
    return own && claimed && own->bracketed == claimed->bracketed &&
           equalsIgnoringAsciiCase(own->host, claimed->host) &&
           own->port.value_or(kHttpDefaultPort) == claimed->port.value_or(kHttpDefaultPort);
}

/// The running server of one run(): a loop per network thread, the listener and the handler
/// pool. Lives on run()'s stack frame (shared with stop() through running_).
class HttpServer::Impl {
public:
    Impl(const Router& router, const HttpServerOptions& options)
        : options_(options),
          pool_("web-handler", defaultThreadCount(options.handlerThreads),
                std::max(options.maxHandlerThreads, defaultThreadCount(options.handlerThreads)),
                options.onError),
          core_{router, options, pool_}, loops_(makeLoops(defaultThreadCount(options.ioThreads))),
          acceptor_(*loops_.front()), retryTimer_(*loops_.front()) {}

    /// Binds and listens; the bound port, or nothing when that fails.
    std::optional<std::uint16_t> listen(std::uint16_t port) {
        beast::error_code error;
        const auto address = net::ip::make_address(options_.bindAddress, error);
        if (error) {
            return std::nullopt;
        }
        const tcp::endpoint endpoint(address, port);
        acceptor_.open(endpoint.protocol(), error);
        if (!error) {
            acceptor_.set_option(net::socket_base::reuse_address(true), error);
        }
        if (!error) {
            acceptor_.bind(endpoint, error);
        }
        if (!error) {
            acceptor_.listen(net::socket_base::max_listen_connections, error);
        }
        if (error) {
            return std::nullopt;
        }
        const tcp::endpoint bound = acceptor_.local_endpoint(error);
        if (error) {
            return std::nullopt;
        }
        return bound.port();
    }

    /// Serves with the first loop on this thread and each further one on a thread of its own
    /// until stop(); then joins them all.
    void serve() {
        pool_.start();
        accept();
        std::vector<std::thread> threads;
        threads.reserve(loops_.size() - 1);
        try {
            for (std::size_t i = 1; i < loops_.size(); ++i) {
                threads.emplace_back([this, i] {
                    nameThisThread("web-io");
                    runLoop(*loops_[i]);
                });
            }
        } catch (...) {
            // No thread is left joinable when one cannot be created.
            stop();
            joinAll(threads);
            throw;
        }
        runLoop(*loops_.front());
        joinAll(threads);
    }

    /// Safe from any thread, also before serve(): a stopped loop's run() returns at once.
    void stop() {
        for (const auto& loop : loops_) {
            loop->stop();
        }
    }

private:
    using Loop = net::io_context;

    static std::vector<std::unique_ptr<Loop>> makeLoops(std::size_t count) {
        std::vector<std::unique_ptr<Loop>> loops;
        loops.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            // One thread runs each loop; the handler pool only posts to it.
            loops.push_back(std::make_unique<Loop>(1));
        }
        return loops;
    }

    /// Joins the network threads, then lets the handlers under way end (their answers go
    /// nowhere) and joins the handler threads.
    void joinAll(std::vector<std::thread>& threads) {
        for (std::thread& thread : threads) {
            thread.join();
        }
        pool_.stop();
    }

    void runLoop(Loop& loop) {
        // A loop with no connection yet must not return before stop().
        const auto work = net::make_work_guard(loop);
        for (;;) {
            try {
                loop.run();
                return;
            } catch (const std::exception& error) {
                report(std::string("HTTP server thread: ") + error.what());
            } catch (...) {
                report("HTTP server thread: unknown exception");
            }
        }
    }

    /// New connections go to the loops in turn.
    void accept() {
        Loop& loop = *loops_[nextLoop_];
        nextLoop_ = (nextLoop_ + 1) % loops_.size();
        acceptor_.async_accept(loop.get_executor(),
                               [this](beast::error_code error, SessionSocket socket) {
                                   if (error == net::error::operation_aborted) {
                                       return;
                                   }
                                   if (error) {
                                       retryTimer_.expires_after(kAcceptRetryPause);
                                       retryTimer_.async_wait([this](beast::error_code waitError) {
                                           if (!waitError) {
                                               accept();
                                           }
                                       });
                                       return;
                                   }
                                   std::make_shared<Session>(std::move(socket), core_)->start();
                                   accept();
                               });
    }

    void report(const std::string& text) const {
        if (options_.onError) {
            options_.onError(text);
        }
    }

    const HttpServerOptions& options_;
    HandlerPool pool_;
    ServerCore core_;
    std::vector<std::unique_ptr<Loop>> loops_;  // The listener runs on the first.
    tcp::acceptor acceptor_;
    net::steady_timer retryTimer_;
    std::size_t nextLoop_ = 0;  // Only the first loop's thread touches it.
};

HttpServer::HttpServer(Router router, HttpServerOptions options)
    : router_(std::move(router)), options_(std::move(options)) {}

HttpServer::~HttpServer() {
    stop();
}

bool HttpServer::run(std::uint16_t port) {
    auto impl = std::make_shared<Impl>(router_, options_);
    const std::optional<std::uint16_t> bound = impl->listen(port);
    {
        std::lock_guard lock(mutex_);
        if (stopRequested_ || !bound) {
            state_ = State::Stopped;
            stateChanged_.notify_all();
            return false;
        }
        running_ = impl;
        port_ = *bound;
        state_ = State::Listening;
    }
    stateChanged_.notify_all();

    try {
        impl->serve();
    } catch (const std::exception& error) {
        if (options_.onError) {
            options_.onError(std::string("HTTP server: ") + error.what());
        }
    }

    {
        std::lock_guard lock(mutex_);
        running_.reset();
        port_ = 0;
        state_ = State::Stopped;
    }
    stateChanged_.notify_all();
    return true;
}

void HttpServer::stop() {
    std::shared_ptr<Impl> running;
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
        running = running_;
    }
    if (running) {
        running->stop();
    }
}

std::uint16_t HttpServer::waitUntilListening(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    stateChanged_.wait_for(lock, timeout, [this] { return state_ != State::Idle; });
    return state_ == State::Listening ? port_ : 0;
}

}  // namespace pellan
