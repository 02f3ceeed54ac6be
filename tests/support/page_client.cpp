#include "support/page_client.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace pellan::test {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

struct PageClient::Impl {
    asio::io_context ioc;
    websocket::stream<beast::tcp_stream> ws{ioc};
    beast::flat_buffer buffer;
    std::size_t pings = 0;
    int closeCode = 0;
    bool open = false;
    std::atomic<int> fd{-1};  ///< The connected socket, for interrupt() from another thread.

    /// Runs the queued operation to its end; the stream's deadline bounds it.
    void runToEnd() {
        ioc.restart();
        ioc.run();
    }
};

PageClient::PageClient() : impl_(std::make_unique<Impl>()) {
    impl_->ws.control_callback([this](websocket::frame_type kind, beast::string_view) {
        if (kind == websocket::frame_type::ping) {
            ++impl_->pings;
        }
    });
}

PageClient::~PageClient() {
    drop();
}

int PageClient::connect(std::uint16_t port, const UpgradeRequest& request,
                        std::chrono::milliseconds timeout) {
    auto& stream = beast::get_lowest_layer(impl_->ws);
    stream.expires_after(timeout);
    beast::error_code result = asio::error::would_block;
    stream.async_connect(tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), port),
                         [&](const beast::error_code& ec) { result = ec; });
    impl_->runToEnd();
    if (result) {
        return 0;
    }
    if (request.origin) {
        impl_->ws.set_option(websocket::stream_base::decorator(
            [origin = *request.origin](websocket::request_type& upgrade) {
                upgrade.set(http::field::origin, origin);
            }));
    }
    websocket::response_type response;
    result = asio::error::would_block;
    impl_->ws.async_handshake(response, request.host + ":" + std::to_string(port), request.path,
                              [&](const beast::error_code& ec) { result = ec; });
    impl_->runToEnd();
    if (result) {
        return result == websocket::error::upgrade_declined
                   ? static_cast<int>(response.result_int())
                   : 0;
    }
    impl_->open = true;
    impl_->fd = beast::get_lowest_layer(impl_->ws).socket().native_handle();
    return 101;
}

std::optional<std::string> PageClient::read(std::chrono::milliseconds timeout) {
    if (!impl_->open) {
        return std::nullopt;
    }
    beast::get_lowest_layer(impl_->ws).expires_after(timeout);
    impl_->buffer.clear();
    beast::error_code result = asio::error::would_block;
    impl_->ws.async_read(impl_->buffer,
                         [&](const beast::error_code& ec, std::size_t) { result = ec; });
    impl_->runToEnd();
    if (result) {
        impl_->open = false;
        if (result == websocket::error::closed) {
            impl_->closeCode = impl_->ws.reason().code;
        }
        return std::nullopt;
    }
    return beast::buffers_to_string(impl_->buffer.data());
}

bool PageClient::write(const std::string& text, std::chrono::milliseconds timeout) {
    if (!impl_->open) {
        return false;
    }
    beast::get_lowest_layer(impl_->ws).expires_after(timeout);
    impl_->ws.text(true);
    beast::error_code result = asio::error::would_block;
    impl_->ws.async_write(asio::buffer(text),
                          [&](const beast::error_code& ec, std::size_t) { result = ec; });
    impl_->runToEnd();
    return !result;
}

void PageClient::close(std::chrono::milliseconds timeout) {
    if (!impl_->open) {
        return;
    }
    impl_->open = false;
    beast::get_lowest_layer(impl_->ws).expires_after(timeout);
    impl_->ws.async_close(websocket::close_code::normal, [](const beast::error_code&) {});
    impl_->runToEnd();
}

void PageClient::interrupt() {
    if (const int fd = impl_->fd.load(); fd >= 0) {
        ::shutdown(fd, SHUT_RDWR);
    }
}

void PageClient::drop() {
    impl_->open = false;
    beast::error_code ignored;
    beast::get_lowest_layer(impl_->ws).socket().close(ignored);
}

int PageClient::closeCode() const {
    return impl_->closeCode;
}

std::size_t PageClient::pingsReceived() const {
    return impl_->pings;
}

RawConnection::RawConnection(std::uint16_t port, int receiveBuffer) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        return;
    }
    if (receiveBuffer > 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

RawConnection::~RawConnection() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool RawConnection::sendAll(const std::string& bytes) {
    std::size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        const auto n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return fd_ >= 0;
}

std::optional<std::string> RawConnection::readSome(std::chrono::milliseconds timeout) {
    if (fd_ < 0) {
        return std::nullopt;
    }
    pollfd wait{fd_, POLLIN, 0};
    if (::poll(&wait, 1, static_cast<int>(timeout.count())) <= 0) {
        return std::string();
    }
    char chunk[16384];
    const auto n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
        return std::nullopt;
    }
    return std::string(chunk, static_cast<std::size_t>(n));
}

std::string RawConnection::readUntil(const std::string& marker, std::chrono::milliseconds timeout) {
    std::string received;
    const auto deadline = Clock::now() + timeout;
    char chunk[16384];
    while (fd_ >= 0 && received.find(marker) == std::string::npos) {
        pollfd wait{fd_, POLLIN, 0};
        if (::poll(&wait, 1, remainingMs(deadline)) <= 0) {
            break;
        }
        const auto n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            break;
        }
        received.append(chunk, static_cast<std::size_t>(n));
    }
    return received;
}

bool RawConnection::readUntilClosed(std::chrono::milliseconds timeout, std::string* received) {
    const auto deadline = Clock::now() + timeout;
    char chunk[16384];
    while (fd_ >= 0) {
        pollfd wait{fd_, POLLIN, 0};
        if (::poll(&wait, 1, remainingMs(deadline)) <= 0) {
            return false;
        }
        const auto n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) {
            return true;
        }
        if (n < 0) {
            return false;
        }
        if (received) {
            received->append(chunk, static_cast<std::size_t>(n));
        }
    }
    return false;
}

std::string RawConnection::upgrade(const std::string& extraHeaders) {
    sendAll("GET / HTTP/1.1\r\n" + extraHeaders +
            "Upgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    return readUntil("\r\n\r\n", std::chrono::seconds(10));
}

std::string maskedFrame(unsigned char firstByte, const std::string& payload) {
    std::string frame(1, static_cast<char>(firstByte));
    const unsigned char mask[4] = {0x11, 0x22, 0x33, 0x44};
    if (payload.size() < 126) {
        frame += static_cast<char>(0x80 | payload.size());
    } else {
        frame += static_cast<char>(0x80 | 126);
        frame += static_cast<char>((payload.size() >> 8) & 0xff);
        frame += static_cast<char>(payload.size() & 0xff);
    }
    frame.append(reinterpret_cast<const char*>(mask), 4);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        frame += static_cast<char>(static_cast<unsigned char>(payload[i]) ^ mask[i % 4]);
    }
    return frame;
}

std::vector<ServerFrame> takeServerFrames(std::string& buffer) {
    std::vector<ServerFrame> frames;
    std::size_t pos = 0;
    for (;;) {
        if (buffer.size() - pos < 2) {
            break;
        }
        const auto first = static_cast<unsigned char>(buffer[pos]);
        const auto second = static_cast<unsigned char>(buffer[pos + 1]);
        std::size_t header = 2;
        std::uint64_t length = second & 0x7f;
        if (length == 126) {
            if (buffer.size() - pos < 4) {
                break;
            }
            length =
                (static_cast<std::uint64_t>(static_cast<unsigned char>(buffer[pos + 2])) << 8) |
                static_cast<unsigned char>(buffer[pos + 3]);
            header = 4;
        } else if (length == 127) {
            if (buffer.size() - pos < 10) {
                break;
            }
            length = 0;
            for (std::size_t i = 0; i < 8; ++i) {
                length = (length << 8) | static_cast<unsigned char>(buffer[pos + 2 + i]);
            }
            header = 10;
        }
        if (buffer.size() - pos - header < length) {
            break;
        }
        frames.push_back(
            {first & 0x0fU, buffer.substr(pos + header, static_cast<std::size_t>(length))});
        pos += header + static_cast<std::size_t>(length);
    }
    buffer.erase(0, pos);
    return frames;
}

}  // namespace pellan::test
