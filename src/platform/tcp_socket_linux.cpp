#include "platform/tcp_socket.hpp"

#include "base/ipv4.hpp"
#include "platform/poll.hpp"
#include "platform/posix_handle_linux.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <utility>

namespace pellan {
namespace {

std::optional<sockaddr_in> ipv4SocketAddress(const std::string& host, int port) {
    const std::optional<std::uint32_t> address = parseIpv4(host);
    if (!address || port < 0 || port > 65535) {
        return std::nullopt;
    }
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = htonl(*address);
    result.sin_port = htons(static_cast<std::uint16_t>(port));
    return result;
}

NativeHandle openStreamSocket() {
    return posix::handle(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
}

}  // namespace

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.release();
    }
    return *this;
}

TcpSocket TcpSocket::open() {
    return TcpSocket(openStreamSocket());
}

NativeHandle TcpSocket::release() {
    return std::exchange(handle_, NativeHandle::Invalid);
}

void TcpSocket::close() {
    posix::closeHandle(release());
}

int connectTcp(NativeHandle socket, const std::string& host, int port, const WakePipe& wake,
               std::chrono::milliseconds timeout) {
    const std::optional<sockaddr_in> address = ipv4SocketAddress(host, port);
    if (!address || port < 1) {
        return EINVAL;
    }
    const int fd = posix::fd(socket);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) == 0) {
        return 0;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        return errno;
    }
    int waitError = 0;
    switch (waitForSocket(socket, WaitFor::Writing, wake, timeout, &waitError)) {
    case WaitResult::Ready:
        break;
    case WaitResult::Woken:
        return EINTR;
    case WaitResult::TimedOut:
        return ETIMEDOUT;
    case WaitResult::Failed:
        return waitError;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        return errno;
    }
    return error;
}

long sendNow(NativeHandle socket, const std::uint8_t* data, std::size_t length) {
    std::size_t sent = 0;
    while (sent < length) {
        const auto n =
            ::send(posix::fd(socket), data + sent, length - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return sent > 0 ? static_cast<long>(sent) : -1;
        }
        sent += static_cast<std::size_t>(n);
    }
    return static_cast<long>(sent);
}

ReceiveResult receiveNow(NativeHandle socket, std::uint8_t* data, std::size_t capacity) {
    for (;;) {
        const auto n = ::recv(posix::fd(socket), data, capacity, MSG_DONTWAIT);
        if (n > 0) {
            return {ReceiveStatus::Received, static_cast<std::size_t>(n), 0};
        }
        if (n == 0) {
            return {ReceiveStatus::Closed, 0, 0};
        }
        const int error = errno;
        if (error == EINTR) {
            continue;
        }
        if (error == EAGAIN || error == EWOULDBLOCK) {
            return {ReceiveStatus::WouldBlock, 0, 0};
        }
        return {ReceiveStatus::Failed, 0, error};
    }
}

void shutdownSocket(NativeHandle socket) {
    if (socket != NativeHandle::Invalid) {
        ::shutdown(posix::fd(socket), SHUT_RDWR);
    }
}

TcpListener TcpListener::open(const std::string& address, int port, int backlog) {
    TcpListener listener;
    std::optional<sockaddr_in> local = ipv4SocketAddress(address, port);
    if (!local) {
        return listener;
    }
    TcpSocket socket(openStreamSocket());
    if (!socket.valid()) {
        return listener;
    }
    const int fd = posix::fd(socket.handle());
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    socklen_t size = sizeof *local;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&*local), sizeof *local) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&*local), &size) != 0) {
        return listener;
    }
    listener.socket_ = std::move(socket);
    listener.port_ = ntohs(local->sin_port);
    return listener;
}

TcpSocket TcpListener::accept() const {
    if (!socket_.valid()) {
        return {};
    }
    for (;;) {
        const int fd =
            ::accept4(posix::fd(socket_.handle()), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && errno == EINTR) {
            continue;
        }
        return TcpSocket(posix::handle(fd));
    }
}

NativeHandle TcpListener::release() {
    port_ = 0;
    return socket_.release();
}

void TcpListener::close() {
    socket_.close();
    port_ = 0;
}

}  // namespace pellan
