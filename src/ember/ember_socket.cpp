#include "ember/ember_socket.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

namespace pellan::ember {

namespace {

using Clock = std::chrono::steady_clock;

int pollMs(std::chrono::milliseconds left) {
    if (left.count() <= 0) {
        return 0;
    }
    constexpr long long kMaxPollMs = 24LL * 3600 * 1000;
    return static_cast<int>(left.count() < kMaxPollMs ? left.count() : kMaxPollMs);
}

std::chrono::milliseconds remaining(Clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()) +
           std::chrono::milliseconds(1);
}

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        reset(other.release());
    }
    return *this;
}

int FileDescriptor::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void FileDescriptor::reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

WakePipe::WakePipe() {
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        read_.reset(fds[0]);
        write_.reset(fds[1]);
    }
}

void WakePipe::signal() const {
    if (!write_.valid()) {
        return;
    }
    const std::uint8_t byte = 1;
    // A full pipe is as good as one more byte: the read end stays readable either way.
    [[maybe_unused]] const auto written = ::write(write_.get(), &byte, 1);
}

bool WakePipe::signalled() const {
    if (!read_.valid()) {
        return false;
    }
    pollfd entry{read_.get(), POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN) != 0;
}

WaitResult waitForSocket(int fd, bool forWrite, const WakePipe& wake,
                         std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::array<pollfd, 2> entries{
        {{fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0}, {wake.readFd(), POLLIN, 0}}};
    const nfds_t count = wake.valid() ? 2 : 1;
    for (;;) {
        entries[0].revents = 0;
        entries[1].revents = 0;
        const int ready = ::poll(entries.data(), count, pollMs(remaining(deadline)));
        if (ready < 0) {
            if (errno == EINTR && Clock::now() < deadline) {
                continue;
            }
            return errno == EINTR ? WaitResult::TimedOut : WaitResult::Failed;
        }
        if (ready == 0) {
            return WaitResult::TimedOut;
        }
        if (count == 2 && entries[1].revents != 0) {
            return WaitResult::Woken;
        }
        // An error or hang-up is reported as ready: the next call on the socket tells which.
        return WaitResult::Ready;
    }
}

bool sleepUnlessWoken(const WakePipe& wake, std::chrono::milliseconds duration) {
    if (!wake.valid()) {
        return false;
    }
    const auto deadline = Clock::now() + duration;
    pollfd entry{wake.readFd(), POLLIN, 0};
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        entry.revents = 0;
        const int ready = ::poll(&entry, 1, pollMs(left));
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR || Clock::now() >= deadline) {
            return false;
        }
    }
}

bool parseIpv4(const std::string& text, std::uint32_t& addressNetworkOrder) {
    // inet_pton accepts exactly four dotted decimal numbers of 0..255 and nothing else.
    in_addr address{};
    if (text.size() > 15 || ::inet_pton(AF_INET, text.c_str(), &address) != 1) {
        return false;
    }
    addressNetworkOrder = address.s_addr;
    return true;
}

bool isLoopbackIpv4(const std::string& text) {
    std::uint32_t address = 0;
    return parseIpv4(text, address) && (ntohl(address) >> 24) == 127;
}

FileDescriptor openTcpSocket() {
    return FileDescriptor(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
}

int connectTcp(int fd, const std::string& host, int port, const WakePipe& wake,
               std::chrono::milliseconds timeout) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (port < 1 || port > 65535 || !parseIpv4(host, address.sin_addr.s_addr)) {
        return EINVAL;
    }
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return 0;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        return errno;
    }
    switch (waitForSocket(fd, true, wake, timeout)) {
    case WaitResult::Ready:
        break;
    case WaitResult::Woken:
        return EINTR;
    case WaitResult::TimedOut:
        return ETIMEDOUT;
    case WaitResult::Failed:
        return errno;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        return errno;
    }
    return error;
}

long sendNow(int fd, const std::uint8_t* data, std::size_t length) {
    std::size_t sent = 0;
    while (sent < length) {
        const auto n = ::send(fd, data + sent, length - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
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

long receiveNow(int fd, std::uint8_t* data, std::size_t capacity) {
    for (;;) {
        const auto n = ::recv(fd, data, capacity, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return static_cast<long>(n);
    }
}

FileDescriptor listenTcp(const std::string& address, int port, int backlog, int& boundPort) {
    boundPort = 0;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (port < 0 || port > 65535 || !parseIpv4(address, local.sin_addr.s_addr)) {
        errno = EINVAL;
        return {};
    }
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return {};
    }
    const int yes = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(fd.get(), backlog) != 0) {
        return {};
    }
    socklen_t size = sizeof local;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &size) != 0) {
        return {};
    }
    boundPort = ntohs(local.sin_port);
    return fd;
}

void nameThisThread(const char* name) {
    char shortName[16] = {};
    std::strncpy(shortName, name, sizeof shortName - 1);
    pthread_setname_np(pthread_self(), shortName);
}

}  // namespace pellan::ember
