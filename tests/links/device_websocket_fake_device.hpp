#pragma once
// A device's WebSocket state server on a loopback address, for the link tests: it records
// what the link asks for and can show the faults a real device shows.
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace pellan::test {

inline constexpr std::chrono::seconds kLinkTestDeadline{60};

class FakeDevice {
public:
    enum class Handshake {
        Echo,   ///< Answers with the subprotocol the link asked for.
        Other,  ///< Answers with a subprotocol the link did not ask for.
        None,   ///< Answers without a subprotocol.
        Never,  ///< Accepts the TCP connection and never answers.
    };
    struct Options {
        std::string address = "127.0.0.1";
        std::uint16_t port = 0;
        Handshake handshake = Handshake::Echo;
        /// False: bound but not listening, so connections are refused until startListening().
        bool listen = true;
        /// False: never reads, so the link's close frame and pongs go unanswered.
        bool read = true;
        /// Sent on each connection right after the handshake.
        std::string greeting;

        Options& at(std::string where, std::uint16_t on = 0) {
            address = std::move(where);
            port = on;
            return *this;
        }
        Options& answering(Handshake how) {
            handshake = how;
            return *this;
        }
        Options& refusing() {
            listen = false;
            return *this;
        }
        Options& deaf() {
            read = false;
            return *this;
        }
        Options& greeting_(std::string text) {
            greeting = std::move(text);
            return *this;
        }
    };
    struct Request {
        std::string target;
        std::string host;
        std::string protocol;
        std::string extensions;
    };

    explicit FakeDevice(Options options) : options_(std::move(options)), acceptor_(context_) {
        namespace asio = boost::asio;
        const asio::ip::tcp::endpoint endpoint(asio::ip::make_address_v4(options_.address),
                                               options_.port);
        acceptor_.open(endpoint.protocol());
        acceptor_.set_option(asio::socket_base::reuse_address(true));
        acceptor_.bind(endpoint);
        port_ = acceptor_.local_endpoint().port();
        if (options_.listen) {
            acceptor_.listen();
            accept();
        }
        thread_ = std::thread([this] { context_.run(); });
    }

    ~FakeDevice() {
        onLoop([this] {
            boost::system::error_code ignored;
            acceptor_.close(ignored);
            for (const auto& connection : connections_) {
                connection->socket().close(ignored);
            }
        });
        work_.reset();
        context_.stop();
        thread_.join();
    }

    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    std::uint16_t port() const { return port_; }

    void startListening() {
        onLoop([this] {
            acceptor_.listen();
            accept();
        });
    }

    /// TCP connections accepted so far.
    bool waitForConnections(std::size_t count) {
        return waitFor([&] { return accepted_ >= count; });
    }
    /// Handshakes completed so far.
    bool waitForOpen(std::size_t count) {
        return waitFor([&] { return requests_.size() >= count && opened_ >= count; });
    }
    /// The close code the link sent on connection `index` (0 first).
    std::optional<std::uint16_t> closeCode(std::size_t index) {
        std::optional<std::uint16_t> code;
        waitFor([&] {
            if (index < closeCodes_.size() && closeCodes_[index] >= 0) {
                code = static_cast<std::uint16_t>(closeCodes_[index]);
                return true;
            }
            return false;
        });
        return code;
    }
    bool waitForPongs(int count) {
        return waitFor([&] { return pongs_ >= count; });
    }
    std::vector<Request> requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    int pingsFromLink() {
        std::lock_guard lock(mutex_);
        return pings_;
    }

    /// Queued on the newest open connection; nothing when there is none.
    void send(std::string text, bool binary = false) {
        boost::asio::post(context_, [this, text = std::move(text), binary]() mutable {
            if (auto connection = newest()) {
                connection->queue.emplace_back(std::move(text), binary);
                connection->writeNext();
            }
        });
    }
    void ping() {
        onLoop([this] {
            if (auto connection = newest()) {
                connection->ws->async_ping({}, [](const boost::system::error_code&) {});
            }
        });
    }
    /// Writes the head and part of the payload of a text frame, then cuts the connection.
    void cutInsideAFrame() {
        onLoop([this] {
            auto connection = newest();
            if (!connection) {
                return;
            }
            std::string frame = {'\x81', '\x7e', '\x03', '\xe8'};  // Text, 1000 bytes.
            frame += "{\"ins\":[{\"id\":\"22\",";
            boost::system::error_code ignored;
            boost::asio::write(connection->socket(), boost::asio::buffer(frame), ignored);
            connection->socket().close(ignored);
        });
    }

private:
    using Socket = boost::asio::ip::tcp::socket;
    using Stream = boost::beast::websocket::stream<Socket>;

    struct Connection : std::enable_shared_from_this<Connection> {
        Connection(FakeDevice& owner, Socket socket, std::size_t index)
            : device(owner), raw(std::move(socket)), number(index) {}

        Socket& socket() { return ws ? ws->next_layer() : raw; }

        void writeNext() {
            if (writing || queue.empty() || !ws) {
                return;
            }
            writing = true;
            ws->binary(queue.front().second);
            ws->async_write(
                boost::asio::buffer(queue.front().first),
                [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
                    self->writing = false;
                    if (error) {
                        self->queue.clear();
                        return;
                    }
                    self->queue.pop_front();
                    self->writeNext();
                });
        }

        void readNext() {
            ws->async_read(buffer, [self = shared_from_this()](
                                       const boost::system::error_code& error, std::size_t) {
                if (error) {
                    std::lock_guard lock(self->device.mutex_);
                    // The link's close frame was read even when our answer to it could not
                    // be sent any more.
                    if (self->ws->reason().code != 0) {
                        self->device.closeCodes_[self->number] = self->ws->reason().code;
                    }
                    self->device.changed_.notify_all();
                    return;
                }
                self->buffer.clear();
                self->readNext();
            });
        }

        FakeDevice& device;
        Socket raw;
        std::size_t number;
        std::optional<Stream> ws;
        boost::beast::flat_buffer buffer;
        boost::beast::http::request<boost::beast::http::string_body> request;
        std::deque<std::pair<std::string, bool>> queue;
        bool writing = false;
    };

    void accept() {
        acceptor_.async_accept([this](const boost::system::error_code& error, Socket socket) {
            if (error) {
                return;
            }
            std::size_t index = 0;
            {
                std::lock_guard lock(mutex_);
                index = accepted_++;
                closeCodes_.push_back(-1);
            }
            changed_.notify_all();
            auto connection = std::make_shared<Connection>(*this, std::move(socket), index);
            connections_.push_back(connection);
            if (options_.handshake != Handshake::Never) {
                handshake(connection);
            }
            accept();
        });
    }

    void handshake(const std::shared_ptr<Connection>& connection) {
        namespace http = boost::beast::http;
        http::async_read(
            connection->raw, connection->buffer, connection->request,
            [this, connection](const boost::system::error_code& error, std::size_t) {
                if (error) {
                    return;
                }
                const auto& request = connection->request;
                const std::string asked(request[http::field::sec_websocket_protocol]);
                {
                    std::lock_guard lock(mutex_);
                    requests_.push_back(
                        {std::string(request.target()), std::string(request[http::field::host]),
                         asked, std::string(request[http::field::sec_websocket_extensions])});
                }
                changed_.notify_all();
                connection->ws.emplace(std::move(connection->raw));
                std::string answer;
                if (options_.handshake == Handshake::Echo) {
                    answer = asked;
                } else if (options_.handshake == Handshake::Other) {
                    answer = "something_else";
                }
                connection->ws->set_option(boost::beast::websocket::stream_base::decorator(
                    [answer](boost::beast::websocket::response_type& response) {
                        if (!answer.empty()) {
                            response.set(http::field::sec_websocket_protocol, answer);
                        }
                    }));
                connection->ws->control_callback(
                    [this](boost::beast::websocket::frame_type kind, boost::beast::string_view) {
                        std::lock_guard lock(mutex_);
                        if (kind == boost::beast::websocket::frame_type::pong) {
                            ++pongs_;
                        } else if (kind == boost::beast::websocket::frame_type::ping) {
                            ++pings_;
                        }
                        changed_.notify_all();
                    });
                connection->buffer.clear();
                connection->ws->async_accept(
                    request, [this, connection](const boost::system::error_code& acceptError) {
                        if (acceptError) {
                            return;
                        }
                        newest_ = connection;
                        {
                            std::lock_guard lock(mutex_);
                            ++opened_;
                        }
                        changed_.notify_all();
                        if (!options_.greeting.empty()) {
                            connection->queue.emplace_back(options_.greeting, false);
                            connection->writeNext();
                        }
                        if (options_.read) {
                            connection->readNext();
                        }
                    });
            });
    }

    std::shared_ptr<Connection> newest() { return newest_.lock(); }

    void onLoop(std::function<void()> work) {
        std::promise<void> done;
        auto future = done.get_future();
        boost::asio::post(context_, [&] {
            work();
            done.set_value();
        });
        if (future.wait_for(kLinkTestDeadline) != std::future_status::ready) {
            throw std::runtime_error("fake device loop did not answer");
        }
    }

    bool waitFor(const std::function<bool()>& predicate) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kLinkTestDeadline, predicate);
    }

    const Options options_;
    boost::asio::io_context context_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_{
        context_.get_executor()};
    boost::asio::ip::tcp::acceptor acceptor_;
    std::uint16_t port_ = 0;
    // Touched on the loop thread only.
    std::vector<std::shared_ptr<Connection>> connections_;
    std::weak_ptr<Connection> newest_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t accepted_ = 0;       // Guarded by mutex_.
    std::size_t opened_ = 0;         // Guarded by mutex_.
    std::vector<Request> requests_;  // Guarded by mutex_.
    std::vector<int> closeCodes_;    // Guarded by mutex_: -1 until a close frame came.
    int pongs_ = 0;                  // Guarded by mutex_.
    int pings_ = 0;                  // Guarded by mutex_.

    std::thread thread_;
};

}  // namespace pellan::test
