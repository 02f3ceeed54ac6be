#include "platform/descriptor_linux.hpp"

#include "platform/posix_handle_linux.hpp"
#include "platform/tcp_socket.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace pellan::posix {

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

FileDescriptor listenTcp(const std::string& address, int port, int backlog, int& boundPort) {
    TcpListener listener = TcpListener::open(address, port, backlog);
    boundPort = listener.port();
    if (!listener.valid()) {
        return {};
    }
    return FileDescriptor(posix::fd(listener.release()));
}

long sendNow(int fd, const std::uint8_t* data, std::size_t length) {
    return pellan::sendNow(handle(fd), data, length);
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

}  // namespace pellan::posix
