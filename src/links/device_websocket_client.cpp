#include "links/device_websocket_client.hpp"

#include "devices/device_model.hpp"
#include "links/device_websocket_loop.hpp"
#include "log/logger.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

namespace pellan {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;

namespace {

// Consecutive failures beyond this no longer change the wait; keeps the counter bounded.
constexpr int kMaxCountedFailures = 64;
// After a large message the read buffer gives its memory back.
constexpr std::size_t kKeptBufferCapacity = std::size_t{64} * 1024;
// Beyond the close time-out, how long stop() waits for the loop to finish the link before it
// reports that a handler is holding the loop.
constexpr std::chrono::seconds kStopGrace{5};

}  // namespace

std::chrono::milliseconds deviceReconnectWait(int failures, const DeviceWebSocketOptions& options) {
    auto wait = std::max(options.firstReconnectWait, std::chrono::milliseconds(0));
    const int doublings = std::clamp(failures, 0, kMaxCountedFailures);
    for (int i = 0; i < doublings && wait < options.maxReconnectWait; ++i) {
        wait *= 2;
    }
    return std::min(wait, options.maxReconnectWait);
}

std::string_view deviceWebSocketSubprotocol(std::string_view model) {
    return subprotocolName(lookupDeviceModel(model).wsSubprotocol);
}

/// Released when the link's session is gone: from then on no handler of the link can run.
struct DeviceWebSocketClient::StopLatch {
    void release() {
        {
            std::lock_guard lock(mutex);
            ended = true;
        }
        done.notify_all();
    }
    bool waitFor(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return done.wait_for(lock, timeout, [this] { return ended; });
    }
    void wait() {
        std::unique_lock lock(mutex);
        done.wait(lock, [this] { return ended; });
    }

    std::mutex mutex;
    std::condition_variable done;
    bool ended = false;  // Guarded by mutex.
};

/// The connection of one link: attempts, the open connection, the waits between attempts.
/// Loop-bound: every member runs on the loop thread. Each pending operation holds a
/// shared_ptr to it, so it is destroyed (and releases the latch) once its last handler ran.
class DeviceWebSocketClient::Session : public std::enable_shared_from_this<Session> {
public:
    using Deliver = std::function<void(std::string_view)>;

    Session(asio::io_context& context, Logger& logger, const std::string& address,
            std::uint16_t port, std::string subprotocol, const DeviceWebSocketOptions& options,
            Deliver deliver, std::shared_ptr<StopLatch> latch)
        : context_(context), logger_(logger), address_(address),
          host_(address + ":" + std::to_string(port)), port_(port),
          subprotocol_(std::move(subprotocol)), options_(options), deliver_(std::move(deliver)),
          latch_(std::move(latch)), attemptTimer_(context), retryTimer_(context) {}

    ~Session() { latch_->release(); }

    void begin() {
        if (stopped_) {
            return;
        }
        attempt();
    }

    /// Ends the link: an open connection is closed with code 1000 (cut after the close
    /// time-out), an attempt or a wait is abandoned.
    void shutdown() {
        if (stopped_) {
            return;
        }
        stopped_ = true;
        retryTimer_.cancel();
        attemptTimer_.cancel();
        if (phase_ != Phase::Open || !ws_) {
            cutSocket();
            return;
        }
        attemptTimer_.expires_after(options_.closeTimeout);
        attemptTimer_.async_wait([self = shared_from_this()](const ErrorCode& error) {
            if (!error) {
                self->cutSocket();
            }
        });
        ws_->async_close(websocket::close_code::normal,
                         [self = shared_from_this()](const ErrorCode&) {
                             self->attemptTimer_.cancel();
                             self->cutSocket();
                         });
    }

private:
    enum class Phase { Idle, Connecting, Open, Waiting };

    void attempt() {
        phase_ = Phase::Connecting;
        ++attemptId_;
        ErrorCode error;
        const auto address = asio::ip::make_address_v4(address_, error);
        if (error) {
            fail("not an IPv4 address");
            return;
        }
        ws_.emplace(context_);
        buffer_.clear();
        response_ = {};
        // Our own deadline covers the TCP connect and the opening handshake together.
        ws_->set_option(websocket::stream_base::timeout{websocket::stream_base::none(),
                                                        websocket::stream_base::none(), false});
        websocket::permessage_deflate deflate;
        deflate.client_enable = false;
        deflate.server_enable = false;
        ws_->set_option(deflate);
        ws_->read_message_max(options_.messageLimit);
        if (!subprotocol_.empty()) {
            ws_->set_option(websocket::stream_base::decorator(
                [protocol = subprotocol_](websocket::request_type& request) {
                    request.set(beast::http::field::sec_websocket_protocol, protocol);
                }));
        }
        attemptTimer_.expires_after(options_.handshakeTimeout);
        attemptTimer_.async_wait(
            [self = shared_from_this(), id = attemptId_](const ErrorCode& timerError) {
                if (timerError || id != self->attemptId_ || self->phase_ != Phase::Connecting) {
                    return;
                }
                self->cutSocket();
            });
        ws_->next_layer().async_connect(tcp::endpoint(address, port_),
                                        [self = shared_from_this()](const ErrorCode& connectError) {
                                            self->onConnected(connectError);
                                        });
    }

    void onConnected(const ErrorCode& error) {
        if (stopped_) {
            return;
        }
        if (error) {
            fail("connect: " + error.message());
            return;
        }
        ErrorCode ignored;
        ws_->next_layer().set_option(tcp::no_delay(true), ignored);
        ws_->async_handshake(response_, host_, "/",
                             [self = shared_from_this()](const ErrorCode& handshakeError) {
                                 self->onHandshake(handshakeError);
                             });
    }

    void onHandshake(const ErrorCode& error) {
        if (stopped_) {
            return;
        }
        if (error) {
            fail("handshake: " + error.message());
            return;
        }
        // A device may leave the subprotocol out, but it must not pick one we did not ask
        // for: its messages would be of another family.
        const auto chosen = response_[beast::http::field::sec_websocket_protocol];
        if (!chosen.empty() && chosen != subprotocol_) {
            logOnce(loggedSubprotocol_, "Websocket link to device " + address_ +
                                            ": the device answered with the subprotocol \"" +
                                            std::string(chosen) + "\" instead of \"" +
                                            subprotocol_ +
                                            "\"; the link refuses it and keeps reconnecting");
            fail("handshake: the device chose the subprotocol \"" + std::string(chosen) + "\"");
            return;
        }
        attemptTimer_.cancel();
        phase_ = Phase::Open;
        failures_ = 0;
        // From now on the close handshake, ours or one after a failed read, is bounded.
        ws_->set_option(websocket::stream_base::timeout{options_.closeTimeout,
                                                        websocket::stream_base::none(), false});
        report({DeviceLinkEvent::Kind::Open, std::string(chosen), {}});
        readNext();
    }

    // Each read is started from the completion of the one before: a continuation on the
    // loop, not a recursion.
    // NOLINTBEGIN(misc-no-recursion)
    void readNext() {
        ws_->async_read(buffer_, [self = shared_from_this()](const ErrorCode& error, std::size_t) {
            self->onRead(error);
        });
    }

    void onRead(const ErrorCode& error) {
        if (stopped_) {
            return;
        }
        if (error == websocket::error::message_too_big) {
            logOnce(loggedOversize_, "Websocket link to device " + address_ +
                                         ": the device sent a message larger than the limit of " +
                                         std::to_string(options_.messageLimit) +
                                         " bytes; the link dropped it and reconnects");
        }
        if (error) {
            fail(error == websocket::error::closed ? "closed by the device"
                                                   : "read: " + error.message());
            return;
        }
        const auto data = buffer_.cdata();
        deliver_(std::string_view(static_cast<const char*>(data.data()), data.size()));
        buffer_.consume(buffer_.size());
        if (buffer_.capacity() > kKeptBufferCapacity) {
            buffer_.shrink_to_fit();
        }
        if (stopped_) {
            return;
        }
        readNext();
    }

    // NOLINTEND(misc-no-recursion)

    /// The attempt or the connection is over: wait, then try again.
    void fail(const std::string& reason) {
        attemptTimer_.cancel();
        cutSocket();
        if (stopped_) {
            return;
        }
        phase_ = Phase::Waiting;
        report({DeviceLinkEvent::Kind::Closed, reason, {}});
        const auto wait = deviceReconnectWait(failures_, options_);
        failures_ = std::min(failures_ + 1, kMaxCountedFailures);
        report({DeviceLinkEvent::Kind::Retry, {}, wait});
        retryTimer_.expires_after(wait);
        retryTimer_.async_wait([self = shared_from_this()](const ErrorCode& error) {
            if (error || self->stopped_) {
                return;
            }
            self->attempt();
        });
    }

    /// For faults a device repeats on every attempt: one record per start of the link says why
    /// the device's state never arrives, without one on every reconnect.
    void logOnce(bool& logged, const std::string& message) {
        if (logged) {
            return;
        }
        logged = true;
        logger_.log(message, "error");
    }

    void cutSocket() {
        if (!ws_) {
            return;
        }
        ErrorCode ignored;
        ws_->next_layer().close(ignored);
    }

    void report(const DeviceLinkEvent& event) {
        if (!options_.onLinkEvent || stopped_) {
            return;
        }
        try {
            options_.onLinkEvent(address_, event);
        } catch (...) {
            // A diagnostics observer must not change what the link does.
        }
    }

    asio::io_context& context_;
    Logger& logger_;
    const std::string address_;
    const std::string host_;
    const std::uint16_t port_;
    const std::string subprotocol_;
    const DeviceWebSocketOptions options_;  // A copy: the session may outlive its client.
    const Deliver deliver_;                 // Never called once stopped_ is set.
    const std::shared_ptr<StopLatch> latch_;

    std::optional<websocket::stream<tcp::socket>> ws_;
    asio::steady_timer attemptTimer_;  // The handshake deadline; later the close deadline.
    asio::steady_timer retryTimer_;
    beast::flat_buffer buffer_;
    websocket::response_type response_;
    Phase phase_ = Phase::Idle;
    bool stopped_ = false;
    int failures_ = 0;
    unsigned attemptId_ = 0;
    bool loggedSubprotocol_ = false;
    bool loggedOversize_ = false;
};

DeviceWebSocketClient::DeviceWebSocketClient(Logger& logger, DeviceManager& devices,
                                             std::string address, std::string model,
                                             MeterCallback meterForward,
                                             DeviceStateCallback stateForward, DeviceLinkLoop& loop,
                                             DeviceWebSocketOptions options)
    : logger_(logger), loop_(loop), options_(std::move(options)),
      handler_(logger, devices, std::move(address), std::move(model), std::move(meterForward),
               std::move(stateForward)) {}

DeviceWebSocketClient::~DeviceWebSocketClient() {
    try {
        stop();
    } catch (...) {
        // Only a failed allocation or lock can throw here; a destructor must not.
    }
}

void DeviceWebSocketClient::start() {
    if (session_ || stopping_) {
        return;
    }
    const DeviceModelInfo& info = lookupDeviceModel(model());
    if (info.stateParser == StateMessageFamily::None) {
        return;
    }
    const auto port = options_.port.value_or(static_cast<std::uint16_t>(info.wsPort));
    stopping_ = std::make_shared<StopLatch>();
    session_ = std::make_shared<Session>(
        loop_.context(), logger_, address(), port, std::string(deviceWebSocketSubprotocol(model())),
        options_, [this](std::string_view text) { handleMessage(text); }, stopping_);
    asio::post(loop_.context(), [session = session_] { session->begin(); });
}

void DeviceWebSocketClient::requestStop() {
    if (!session_) {
        return;
    }
    auto session = std::move(session_);
    session_.reset();
    if (loop_.isLoopThread()) {
        session->shutdown();
        return;
    }
    asio::post(loop_.context(), [session = std::move(session)] { session->shutdown(); });
}

void DeviceWebSocketClient::stop() {
    requestStop();
    if (!stopping_ || loop_.isLoopThread()) {
        return;
    }
    if (!stopping_->waitFor(options_.closeTimeout + kStopGrace)) {
        // Only a handler that does not return can hold the loop this long; destroying the
        // link before it ends would leave that handler with a dangling link.
        logger_.log("Websocket link to device " + address() +
                        " waits for a message handler that does not return",
                    "error");
        stopping_->wait();
    }
    stopping_.reset();
}

}  // namespace pellan
