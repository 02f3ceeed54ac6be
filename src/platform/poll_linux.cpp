#include "platform/poll.hpp"

#include "platform/posix_handle_linux.hpp"
#include "platform/wake_pipe.hpp"

#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace pellan {
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

WaitResult waitForSocket(NativeHandle socket, WaitFor what, const WakePipe& wake,
                         std::chrono::milliseconds timeout, int* error) {
    const auto deadline = Clock::now() + timeout;
    const auto events = static_cast<short>(what == WaitFor::Writing ? POLLOUT : POLLIN);
    std::array<pollfd, 2> entries{
        {{posix::fd(socket), events, 0}, {posix::fd(wake.waitHandle()), POLLIN, 0}}};
    const nfds_t count = wake.valid() ? 2 : 1;
    for (;;) {
        entries[0].revents = 0;
        entries[1].revents = 0;
        const int ready = ::poll(entries.data(), count, pollMs(remaining(deadline)));
        if (ready < 0) {
            const int pollError = errno;
            if (pollError == EINTR && Clock::now() < deadline) {
                continue;
            }
            if (pollError == EINTR) {
                return WaitResult::TimedOut;
            }
            if (error != nullptr) {
                *error = pollError;
            }
            return WaitResult::Failed;
        }
        if (ready == 0) {
            return WaitResult::TimedOut;
        }
        if (count == 2 && entries[1].revents != 0) {
            return WaitResult::Woken;
        }
        return WaitResult::Ready;
    }
}

bool sleepUnlessWoken(const WakePipe& wake, std::chrono::milliseconds duration) {
    if (!wake.valid()) {
        return false;
    }
    const auto deadline = Clock::now() + duration;
    pollfd entry{posix::fd(wake.waitHandle()), POLLIN, 0};
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

void ReadinessSet::add(NativeHandle handle) {
    if (handle == NativeHandle::Invalid || entries_.size() >= maxHandles_ ||
        std::any_of(entries_.begin(), entries_.end(),
                    [handle](const Entry& entry) { return entry.handle == handle; })) {
        return;
    }
    entries_.push_back({handle, false});
}

int ReadinessSet::wait(std::chrono::milliseconds timeout) {
    std::vector<pollfd> polled;
    polled.reserve(entries_.size());
    for (Entry& entry : entries_) {
        entry.ready = false;
        polled.push_back(pollfd{posix::fd(entry.handle), POLLIN, 0});
    }
    const int ready = ::poll(polled.data(), static_cast<nfds_t>(polled.size()), pollMs(timeout));
    if (ready <= 0) {
        return ready;
    }
    for (std::size_t i = 0; i < polled.size(); ++i) {
        entries_[i].ready = (polled[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    }
    return ready;
}

bool ReadinessSet::ready(NativeHandle handle) const {
    return std::any_of(entries_.begin(), entries_.end(), [handle](const Entry& entry) {
        return entry.handle == handle && entry.ready;
    });
}

}  // namespace pellan
