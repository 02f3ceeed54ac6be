#include "platform/wake_pipe.hpp"

#include "platform/posix_handle_linux.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>

namespace pellan {

WakePipe::WakePipe() {
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        read_ = posix::handle(fds[0]);
        write_ = posix::handle(fds[1]);
    }
}

WakePipe::~WakePipe() {
    posix::closeHandle(read_);
    posix::closeHandle(write_);
}

void WakePipe::signal() const {
    if (write_ == NativeHandle::Invalid) {
        return;
    }
    const std::uint8_t byte = 1;
    // A full pipe is as good as one more byte: the read end stays readable either way.
    [[maybe_unused]] const auto written = ::write(posix::fd(write_), &byte, 1);
}

bool WakePipe::signalled() const {
    if (read_ == NativeHandle::Invalid) {
        return false;
    }
    pollfd entry{posix::fd(read_), POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN) != 0;
}

}  // namespace pellan
