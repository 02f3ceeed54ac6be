#include "push/ui_websocket_server.hpp"

#include "devices/device_entry.hpp"
#include "devices/group_manager.hpp"
#include "log/logger.hpp"
#include "platform/thread_name.hpp"
#include "push/push_messages.hpp"
#include "push/request_origin.hpp"
#include "storage/app_settings.hpp"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_set>
#include <utility>

namespace pellan {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

constexpr const char* kThreadName = "ui-push";
// A new connection has this long to send its request head; then it is dropped.
constexpr std::chrono::seconds kRequestTimeout{10};
// The upgrade answer, and the closing handshake, may take this long.
constexpr std::chrono::seconds kHandshakeTimeout{10};
// At stop, a page that does not complete the closing handshake is cut off after this.
constexpr std::chrono::milliseconds kCloseGrace{1000};
constexpr std::uint32_t kMaxRequestHead = 8 * 1024;
constexpr std::uint64_t kMaxRequestBody = 16 * 1024;
// Accepting fails when descriptors run out; pausing keeps the loop from spinning.
constexpr std::chrono::milliseconds kAcceptRetryPause{100};
// A handler that throws ends one pass of the loop; after this many the loop gives up.
constexpr int kMaxLoopFailures = 100;

using SharedText = std::shared_ptr<const std::string>;

class Session;

enum class ListenState { Waiting, Listening, Failed, Ended };

/// Everything the loop thread works with. Fields marked loop-only are touched by the loop
/// thread alone (and by run() before the loop starts and after it ended).
struct Core {
    Core(DeviceManager& devicesIn, GroupManager& groupsIn, Logger& loggerIn,
         UiWebSocketServerOptions optionsIn)
        : devices(devicesIn), groups(groupsIn), logger(loggerIn), options(std::move(optionsIn)) {}

    void run();
    void stop();
    void broadcastText(SharedText text);

    // Loop thread.
    bool listen();
    void runLoop();
    void acceptNext();
    void onAccepted(const beast::error_code& ec, tcp::socket socket);
    void closeAll();
    void sendToAll(const SharedText& text);
    void onClientConnected(const std::shared_ptr<Session>& session);
    void onClientDisconnected(const std::shared_ptr<Session>& session);
    void sendLogHistory(const std::shared_ptr<Session>& session);
    void forget(const std::shared_ptr<Session>& session);
    void setListenState(ListenState state, std::uint16_t port);

    DeviceManager& devices;
    GroupManager& groups;
    Logger& logger;
    const UiWebSocketServerOptions options;

    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    std::atomic<bool> runStarted{false};

    mutable std::mutex mutex;
    mutable std::condition_variable listenChanged;
    ListenState listenState = ListenState::Waiting;  // Guarded by mutex.
    std::uint16_t boundPort = 0;                     // Guarded by mutex.
    // The open pages, in the order they opened.
    std::vector<std::shared_ptr<Session>> clients;  // Guarded by mutex.

    // Declared before everything that owns sockets or timers, so it is destroyed after them.
    asio::io_context ioc{1};
    std::optional<tcp::acceptor> acceptor;                  // Loop-only.
    std::optional<asio::steady_timer> acceptRetry;          // Loop-only.
    std::unordered_set<std::shared_ptr<Session>> sessions;  // Loop-only: every connection.
    std::vector<std::shared_ptr<Session>> sendList;         // Loop-only: reused per broadcast.
};

/// One accepted connection: its HTTP request, then (upgraded) one page. Loop-bound: every
/// member runs on the loop thread; it lives as long as a pending operation or the server's
/// session set holds it.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(Core& core, tcp::socket socket)
        : core_(core), ws_(std::move(socket)), cutOff_(core.ioc) {}

    void start() {
        parser_.emplace();
        parser_->header_limit(kMaxRequestHead);
        parser_->body_limit(kMaxRequestBody);
        auto& stream = beast::get_lowest_layer(ws_);
        stream.expires_after(kRequestTimeout);
        http::async_read(stream, buffer_, *parser_,
                         [self = shared_from_this()](const beast::error_code& ec, std::size_t) {
                             self->onRequest(ec);
                         });
    }

    /// Queues the text unless this page is already kUiMaxBackpressure behind; a page with
    /// nothing unsent always takes the message, so a large log history still arrives.
    void send(const SharedText& text) {
        if (state_ != State::Open) {
            return;
        }
        if (!queue_.empty() && queuedBytes_ + text->size() > kUiMaxBackpressure) {
            return;
        }
        queue_.push_back(text);
        queuedBytes_ += text->size();
        if (!writing_) {
            writeNext();
        }
    }

    /// Stop: the closing handshake for a page, at once for a connection not yet upgraded.
    void shutdown() {
        switch (state_) {
        case State::Request:
        case State::Answering:
        case State::Upgrading:
            closeSocket();
            return;
        case State::Open:
            break;
        case State::Closing:
        case State::Done:
            return;
        }
        state_ = State::Closing;
        ws_.async_close(
            websocket::close_code::going_away,
            [self = shared_from_this()](const beast::error_code&) { self->closeSocket(); });
        cutOff_.expires_after(kCloseGrace);
        cutOff_.async_wait([self = shared_from_this()](const beast::error_code& ec) {
            if (!ec) {
                self->closeSocket();
            }
        });
    }

private:
    enum class State { Request, Answering, Upgrading, Open, Closing, Done };

    void onRequest(const beast::error_code& ec) {
        if (ec || state_ != State::Request || core_.stopping) {
            finish();
            return;
        }
        const auto& request = parser_->get();
        // No Host header at all (HTTP/1.0) names no other site; a present one must be ours,
        // and two of them could each be read as the one that counts.
        if (const auto host = request.find(http::field::host);
            host != request.end() &&
            (request.count(http::field::host) > 1 || !isAllowedHost(host->value()))) {
            answer(http::status::forbidden, "Host not allowed");
            return;
        }
        if (!websocket::is_upgrade(request)) {
            answer(http::status::not_found, "");
            return;
        }
        if (const auto origin = request.find(http::field::origin);
            origin != request.end() &&
            (request.count(http::field::origin) > 1 || !isAllowedUiOrigin(origin->value()))) {
            answer(http::status::forbidden, "Origin not allowed");
            return;
        }
        state_ = State::Upgrading;
        beast::get_lowest_layer(ws_).expires_never();
        ws_.set_option(websocket::stream_base::timeout{
            kHandshakeTimeout,
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                core_.options.idleTimeout),
            true});
        ws_.read_message_max(kUiMaxIncomingMessage);
        ws_.auto_fragment(false);
        ws_.async_accept(request, [self = shared_from_this()](const beast::error_code& acceptEc) {
            self->onUpgraded(acceptEc);
        });
    }

    /// Plain HTTP ends with one answer and the connection's close.
    void answer(http::status status, std::string body) {
        state_ = State::Answering;
        response_.emplace(status, parser_->get().version());
        response_->set(http::field::content_type, "text/plain");
        response_->keep_alive(false);
        response_->body() = std::move(body);
        response_->prepare_payload();
        auto& stream = beast::get_lowest_layer(ws_);
        stream.expires_after(kRequestTimeout);
        http::async_write(
            stream, *response_,
            [self = shared_from_this()](const beast::error_code&, std::size_t) { self->finish(); });
    }

    void onUpgraded(const beast::error_code& ec) {
        if (ec || state_ != State::Upgrading || core_.stopping) {
            finish();
            return;
        }
        parser_.reset();
        buffer_.clear();
        buffer_.shrink_to_fit();
        state_ = State::Open;
        core_.onClientConnected(shared_from_this());
        readNext();
    }

    // Pages have nothing to say: what they send is read (so pings, pongs and closes are
    // seen and the idle timer restarts) and dropped.
    void readNext() {
        ws_.async_read(buffer_, [self = shared_from_this()](const beast::error_code& ec,
                                                            std::size_t) { self->onRead(ec); });
    }

    void onRead(const beast::error_code& ec) {
        if (ec) {
            finish();
            return;
        }
        buffer_.clear();
        readNext();
    }

    void writeNext() {
        writing_ = true;
        ws_.text(true);
        ws_.async_write(asio::buffer(*queue_.front()),
                        [self = shared_from_this()](const beast::error_code& ec, std::size_t) {
                            self->onWritten(ec);
                        });
    }

    void onWritten(const beast::error_code& ec) {
        writing_ = false;
        if (state_ == State::Done) {
            return;
        }
        if (ec) {
            // The pending read ends too and finishes the session.
            closeSocket();
            return;
        }
        queuedBytes_ -= queue_.front()->size();
        queue_.pop_front();
        if (state_ == State::Open && !queue_.empty()) {
            writeNext();
        }
    }

    void closeSocket() {
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

    /// The one end of every session, whichever operation saw it first.
    void finish() {
        if (state_ == State::Done) {
            return;
        }
        const bool wasPage = state_ == State::Open || state_ == State::Closing;
        state_ = State::Done;
        cutOff_.cancel();
        closeSocket();
        auto self = shared_from_this();
        core_.forget(self);
        if (wasPage) {
            core_.onClientDisconnected(self);
        }
    }

    Core& core_;
    websocket::stream<beast::tcp_stream> ws_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<http::response<http::string_body>> response_;
    // Unsent messages; the front one is being written while writing_ is set.
    std::deque<SharedText> queue_;
    std::size_t queuedBytes_ = 0;
    bool writing_ = false;
    asio::steady_timer cutOff_;
    State state_ = State::Request;
};

void Core::run() {
    setCurrentThreadName(kThreadName);
    if (runStarted.exchange(true) || stopping.load()) {
        setListenState(ListenState::Ended, 0);
        return;
    }
    running = true;
    try {
        if (!listen()) {
            running = false;
            logger.log("Failed to start WebSocket server on port " + std::to_string(options.port),
                       "error");
            setListenState(ListenState::Failed, 0);
            return;
        }
        std::uint16_t port = 0;
        {
            beast::error_code ec;
            port = acceptor->local_endpoint(ec).port();
        }
        logger.log("WebSocket server listening on port " + std::to_string(port), "websocket");
        setListenState(ListenState::Listening, port);
        acceptNext();
        runLoop();
    } catch (const std::exception& error) {
        logger.log(std::string("WebSocket server failed: ") + error.what(), "error");
    } catch (...) {
        logger.log("WebSocket server failed with an unknown error", "error");
    }
    {
        std::lock_guard lock(mutex);
        clients.clear();
    }
    acceptor.reset();
    running = false;
    setListenState(ListenState::Ended, 0);
}

bool Core::listen() {
    beast::error_code ec;
    const auto address = asio::ip::make_address_v4(options.bindAddress, ec);
    if (ec) {
        return false;
    }
    acceptor.emplace(ioc);
    acceptor->open(tcp::v4(), ec);
    if (!ec) {
        // Lets a restarted application bind while the last run's connections linger in
        // TIME_WAIT; a port another program listens on still fails.
        acceptor->set_option(asio::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        acceptor->bind(tcp::endpoint(address, options.port), ec);
    }
    if (!ec) {
        acceptor->listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        acceptor.reset();
        return false;
    }
    acceptRetry.emplace(ioc);
    return true;
}

void Core::runLoop() {
    for (int failures = 0;;) {
        try {
            ioc.run();
            return;
        } catch (const std::exception& error) {
            logger.log(std::string("WebSocket server error: ") + error.what(), "error");
        } catch (...) {
            logger.log("WebSocket server error: unknown", "error");
        }
        if (++failures >= kMaxLoopFailures) {
            logger.log("WebSocket server gives up after repeated errors", "error");
            return;
        }
    }
}

void Core::acceptNext() {
    acceptor->async_accept([this](const beast::error_code& ec, tcp::socket socket) {
        onAccepted(ec, std::move(socket));
    });
}

void Core::onAccepted(const beast::error_code& ec, tcp::socket socket) {
    if (stopping || !acceptor || !acceptor->is_open()) {
        return;
    }
    if (ec) {
        acceptRetry->expires_after(kAcceptRetryPause);
        acceptRetry->async_wait([this](const beast::error_code& waitEc) {
            if (!waitEc && !stopping && acceptor && acceptor->is_open()) {
                acceptNext();
            }
        });
        return;
    }
    beast::error_code ignored;
    // Pushes are small and must not wait for more data to fill a segment.
    socket.set_option(tcp::no_delay(true), ignored);
    auto session = std::make_shared<Session>(*this, std::move(socket));
    sessions.insert(session);
    session->start();
    acceptNext();
}

void Core::closeAll() {
    if (acceptor) {
        beast::error_code ignored;
        acceptor->close(ignored);
    }
    if (acceptRetry) {
        acceptRetry->cancel();
    }
    {
        std::lock_guard lock(mutex);
        clients.clear();
    }
    const std::vector<std::shared_ptr<Session>> all(sessions.begin(), sessions.end());
    for (const auto& session : all) {
        session->shutdown();
    }
}

void Core::stop() {
    if (stopping.exchange(true)) {
        return;
    }
    running = false;
    // Queued even when the loop does not run yet: run() then finds it first thing, so a stop
    // that comes before the loop exists still ends it.
    asio::post(ioc, [this] { closeAll(); });
    setListenState(ListenState::Ended, 0);
}

void Core::broadcastText(SharedText text) {
    // On the loop thread itself (the server's own log lines) the text goes out at once:
    // Asio runs what that thread posts only after the current handler, behind tasks other
    // threads queued meanwhile, which would put "WebSocket client connected" behind pushes
    // that came later.
    asio::dispatch(ioc, [this, text = std::move(text)] {
        if (!running || stopping) {
            return;
        }
        sendToAll(text);
    });
}

void Core::sendToAll(const SharedText& text) {
    {
        std::lock_guard lock(mutex);
        sendList.assign(clients.begin(), clients.end());
    }
    for (const auto& session : sendList) {
        try {
            session->send(text);
        } catch (const std::exception& error) {
            std::cerr << "WebSocket send failed: " << error.what() << "\n";
        } catch (...) {
            std::cerr << "WebSocket send failed with unknown error\n";
        }
    }
    sendList.clear();
}

void Core::onClientConnected(const std::shared_ptr<Session>& session) {
    {
        std::lock_guard lock(mutex);
        clients.push_back(session);
    }
    sendLogHistory(session);
    // Through the log listener this line reaches every page, the new one included, after
    // the history.
    logger.log("WebSocket client connected", "websocket");
}

void Core::onClientDisconnected(const std::shared_ptr<Session>& session) {
    {
        std::lock_guard lock(mutex);
        std::erase(clients, session);
    }
    if (!stopping) {
        logger.log("WebSocket client disconnected", "websocket");
    }
}

void Core::sendLogHistory(const std::shared_ptr<Session>& session) {
    try {
        session->send(std::make_shared<const std::string>(
            serialiseMessage(makeLogHistoryMessage(logger.recentEntries()))));
    } catch (const std::exception& error) {
        std::cerr << "WebSocket send failed: " << error.what() << "\n";
    }
}

void Core::forget(const std::shared_ptr<Session>& session) {
    sessions.erase(session);
}

void Core::setListenState(ListenState state, std::uint16_t port) {
    {
        std::lock_guard lock(mutex);
        // A final state stays; Listening after a stop is only the bound port's report.
        if (listenState == ListenState::Ended || listenState == ListenState::Failed) {
            return;
        }
        listenState = state;
        boundPort = port;
    }
    listenChanged.notify_all();
}

}  // namespace

struct UiWebSocketServer::Impl : Core {
    using Core::Core;
};

UiWebSocketServer::UiWebSocketServer(DeviceManager& devices, GroupManager& groups, Logger& logger,
                                     UiWebSocketServerOptions options)
    : impl_(std::make_unique<Impl>(devices, groups, logger, std::move(options))) {}

UiWebSocketServer::~UiWebSocketServer() {
    stop();
}

void UiWebSocketServer::run() {
    impl_->run();
}

void UiWebSocketServer::stop() {
    impl_->stop();
}

std::uint16_t UiWebSocketServer::waitUntilListening(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    impl_->listenChanged.wait_for(lock, timeout,
                                  [&] { return impl_->listenState != ListenState::Waiting; });
    return impl_->listenState == ListenState::Listening ? impl_->boundPort : 0;
}

std::size_t UiWebSocketServer::connectionCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->clients.size();
}

bool UiWebSocketServer::accepting() const {
    return impl_->running && !impl_->stopping;
}

void UiWebSocketServer::broadcast(const nlohmann::json& message) {
    if (!accepting()) {
        return;
    }
    try {
        impl_->broadcastText(std::make_shared<const std::string>(serialiseMessage(message)));
    } catch (const std::exception& error) {
        // Out of memory while queuing: this message is lost, the caller goes on.
        std::cerr << "WebSocket send failed: " << error.what() << "\n";
    }
}

void UiWebSocketServer::pushApplicationStopping() {
    broadcast(makeApplicationStoppingMessage());
}

void UiWebSocketServer::pushLogEntry(const LogEntry& entry) {
    if (accepting()) {
        broadcast(makeLogMessage(entry));
    }
}

void UiWebSocketServer::pushDiscoveryStatus(bool active) {
    broadcast(makeDiscoveryStatusMessage(active));
}

void UiWebSocketServer::pushDiscoveryBusy(bool busy, const std::string& statusText) {
    broadcast(makeDiscoveryBusyMessage(busy, statusText));
}

void UiWebSocketServer::pushDevice(const DeviceEntry& record) {
    if (record.hostname.empty() || !accepting()) {
        return;
    }
    broadcast(makeDeviceMessage(record));
}

void UiWebSocketServer::pushDeviceRemoval(const std::string& hostname) {
    broadcast(makeDeviceRemovalMessage(hostname));
}

void UiWebSocketServer::pushVgpio(const std::string& hostname, int index, bool state) {
    broadcast(makeVgpioMessage(hostname, index, state));
}

void UiWebSocketServer::pushMeterLevels(const std::string& hostname,
                                        const std::vector<std::int32_t>& levels) {
    if (accepting()) {
        broadcast(makeMeterMessage(hostname, levels));
    }
}

void UiWebSocketServer::pushPanelAudioState(const std::string& hostname,
                                            const std::array<bool, 4>& onAir,
                                            const std::array<std::string, 4>& talkBack,
                                            const std::array<bool, 4>& lazyGang,
                                            const std::array<bool, 8>& muted,
                                            const std::array<bool, 4>& cough) {
    if (accepting()) {
        broadcast(makePanelAudioStateMessage(hostname, onAir, talkBack, lazyGang, muted, cough));
    }
}

void UiWebSocketServer::pushInputState(const std::string& hostname,
                                       const std::array<bool, 8>& muted,
                                       const std::array<bool, 8>& gpiMute) {
    if (accepting()) {
        broadcast(makeInputStateMessage(hostname, muted, gpiMute));
    }
}

void UiWebSocketServer::pushRackAudioState(const std::string& hostname, bool micMuted) {
    broadcast(makeRackAudioStateMessage(hostname, micMuted));
}

void UiWebSocketServer::pushGroup(const std::string& groupName,
                                  const std::vector<std::string>& hostnames) {
    broadcast(makeGroupMessage(groupName, hostnames));
}

void UiWebSocketServer::pushGroups() {
    if (!accepting()) {
        return;
    }
    const auto order = impl_->groups.groupOrder();
    std::map<std::string, std::vector<std::string>> members;
    for (const auto& name : order) {
        members[name] = impl_->groups.groupMembers(name);
    }
    broadcast(makeGroupsMessage(order, members));
}

void UiWebSocketServer::pushGroupDeleted(const std::string& groupName) {
    broadcast(makeGroupDeletedMessage(groupName));
}

void UiWebSocketServer::pushSettings(const AppSettings& settings) {
    broadcast(makeSettingsMessage(settings));
}

void UiWebSocketServer::pushTalkState(const std::string& hostname, bool active) {
    broadcast(makeTalkStateMessage(hostname, active));
}

void UiWebSocketServer::pushMonitoringDisplayFields(const nlohmann::json& fields) {
    broadcast(makeMonitoringDisplayFieldsMessage(fields));
}

}  // namespace pellan
