#include "platform/icmp_prober.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <random>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>

namespace pellan {

bool echoNotPermitted(const EchoOutcome& outcome) {
    return outcome.failure == EchoFailure::NoSocket &&
           (outcome.systemError == EPERM || outcome.systemError == EACCES);
}

const char* echoNotPermittedAdvice() {
    return "ICMP echo is not permitted, so every device stays offline: no raw ICMP socket "
           "(needs root or CAP_NET_RAW) and no ICMP datagram socket (this user's group is "
           "outside net.ipv4.ping_group_range). Allow it with "
           "sysctl net.ipv4.ping_group_range=\"0 2147483647\" or run with CAP_NET_RAW.";
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSocketBufferBytes = 1 << 20;
// Bounds one read burst so that time-outs and stop requests are still seen under a flood of
// other ICMP traffic on a raw socket.
constexpr int kMaxReadsPerWake = 1024;
constexpr std::size_t kReceiveBufferSize = 256;
// Sequence numbers of one call must not repeat among the requests in flight.
constexpr std::size_t kInFlightCeiling = 32768;

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0) {
                ::close(fd_);
            }
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

struct IcmpSocket {
    FileDescriptor fd;
    IcmpSocketKind kind = IcmpSocketKind::None;
    std::uint16_t identifier = 0;
    int error = 0;
};

std::uint32_t randomSeed() {
    std::random_device device;
    return device();
}

// Process-wide, so that concurrent and consecutive calls use different identifiers and
// sequence numbers, and a late answer to one call never matches a request of another.
std::atomic<std::uint32_t>& identifierCounter() {
    static std::atomic<std::uint32_t> counter{randomSeed()};
    return counter;
}

std::atomic<std::uint32_t>& sequenceCounter() {
    static std::atomic<std::uint32_t> counter{randomSeed()};
    return counter;
}

void configureSocket(int fd) {
    // Hundreds of answers can arrive within a millisecond; the forced sizes need privilege,
    // the plain ones are capped by the system's maximum.
    const int size = kSocketBufferBytes;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof(size)) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    }
    // The kernel's arrival time decides whether an answer came within its time-out, however
    // late this thread gets to read it.
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
}

IcmpSocket openDatagramSocket() {
    IcmpSocket result;
    FileDescriptor fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP));
    if (!fd.valid()) {
        result.error = errno;
        return result;
    }
    // The kernel uses the socket's port as the echo identifier; binding fixes it now so
    // answers can be checked against it.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof(local);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        result.error = errno;
        return result;
    }
    configureSocket(fd.get());
    result.identifier = ntohs(local.sin_port);
    result.kind = IcmpSocketKind::Datagram;
    result.fd = std::move(fd);
    return result;
}

IcmpSocket openRawSocket() {
    IcmpSocket result;
    FileDescriptor fd(::socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP));
    if (!fd.valid()) {
        result.error = errno;
        return result;
    }
    // A raw socket receives all ICMP traffic of the namespace; let only echo replies in.
    icmp_filter filter{};
    filter.data = ~(1U << ICMP_ECHOREPLY);
    if (setsockopt(fd.get(), SOL_RAW, ICMP_FILTER, &filter, sizeof(filter)) != 0) {
        result.error = errno;
        return result;
    }
    configureSocket(fd.get());
    result.identifier =
        static_cast<std::uint16_t>(identifierCounter().fetch_add(1, std::memory_order_relaxed));
    result.kind = IcmpSocketKind::Raw;
    result.fd = std::move(fd);
    return result;
}

IcmpSocket openIcmpSocket(IcmpSocketMode mode) {
    IcmpSocket socket;
    if (mode != IcmpSocketMode::RawOnly) {
        socket = openDatagramSocket();
        if (socket.fd.valid() || mode == IcmpSocketMode::DatagramOnly) {
            return socket;
        }
    }
    return openRawSocket();
}

/// When the kernel received the packet, on the steady clock. The kernel stamps it on the
/// real-time clock; its age is carried over to the steady clock. Without a stamp: now.
Clock::time_point arrivalTime(msghdr& message) {
    const Clock::time_point now = Clock::now();
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_TIMESTAMPNS ||
            header->cmsg_len < CMSG_LEN(sizeof(timespec))) {
            continue;
        }
        timespec stamp{};
        std::memcpy(&stamp, CMSG_DATA(header), sizeof(stamp));
        timespec realNow{};
        if (clock_gettime(CLOCK_REALTIME, &realNow) != 0) {
            return now;
        }
        const auto age = std::chrono::seconds(realNow.tv_sec - stamp.tv_sec) +
                         std::chrono::nanoseconds(realNow.tv_nsec - stamp.tv_nsec);
        // A real-time clock step in between could make the age negative or huge; then the
        // read time is the better guess.
        if (age < Clock::duration::zero() || age > std::chrono::seconds(60)) {
            return now;
        }
        return now - std::chrono::duration_cast<Clock::duration>(age);
    }
    return now;
}

enum class SendResult { Sent, WouldBlock, Failed };

// One probe() call after its socket is open: the requests in flight, their deadlines in the
// order they were sent (all share one time-out, so that order is also the deadline order),
// and the outcomes.
class EchoRound {
public:
    EchoRound(IcmpSocket& socket, std::vector<EchoOutcome>& outcomes,
              const std::vector<std::uint32_t>& targets, std::vector<std::size_t> queue,
              std::chrono::milliseconds timeout, std::size_t maxInFlight, int cancelFd)
        : socket_(socket), outcomes_(outcomes), targets_(targets), queue_(std::move(queue)),
          timeout_(timeout), maxInFlight_(maxInFlight), cancelFd_(cancelFd),
          sentAt_(outcomes.size()), done_(outcomes.size(), false),
          firstSequence_(sequenceCounter().fetch_add(static_cast<std::uint32_t>(queue_.size()),
                                                     std::memory_order_relaxed)) {}

    void run(const std::stop_token& stop) {
        while (true) {
            if (stop.stop_requested()) {
                cancelRemaining();
                return;
            }
            sendWhileRoom();
            expire(Clock::now());
            if (inFlight_ == 0 && next_ == queue_.size()) {
                return;
            }
            if (inFlight_ < maxInFlight_ && next_ < queue_.size() && !blockedSince_) {
                continue;  // Time-outs freed room in the window.
            }
            waitAndReceive();
        }
    }

private:
    SendResult sendOne(std::size_t index, std::uint16_t sequence, int& error) {
        const std::vector<std::uint8_t> packet =
            icmp::buildEchoRequest(socket_.identifier, sequence);
        sockaddr_in destination{};
        destination.sin_family = AF_INET;
        destination.sin_addr.s_addr = targets_[index];
        while (true) {
            const ssize_t sent =
                ::sendto(socket_.fd.get(), packet.data(), packet.size(), MSG_DONTWAIT,
                         reinterpret_cast<const sockaddr*>(&destination), sizeof(destination));
            if (sent == static_cast<ssize_t>(packet.size())) {
                return SendResult::Sent;
            }
            if (sent < 0 && errno == EINTR) {
                continue;
            }
            error = sent < 0 ? errno : EMSGSIZE;
            if (error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS) {
                return SendResult::WouldBlock;
            }
            return SendResult::Failed;
        }
    }

    void finish(std::size_t index, EchoFailure failure, int error) {
        outcomes_[index].failure = failure;
        outcomes_[index].systemError = error;
        done_[index] = true;
    }

    void sendWhileRoom() {
        while (inFlight_ < maxInFlight_ && next_ < queue_.size()) {
            const std::size_t index = queue_[next_];
            const auto sequence = static_cast<std::uint16_t>(firstSequence_ + next_);
            int error = 0;
            // Taken before the send: on loopback the answer can arrive within sendto itself.
            const Clock::time_point now = Clock::now();
            const SendResult result = sendOne(index, sequence, error);
            if (result == SendResult::WouldBlock) {
                // A full send buffer drains as the link transmits; an address that cannot be
                // sent for a whole time-out has failed like any other.
                if (!blockedSince_) {
                    blockedSince_ = now;
                }
                if (now - *blockedSince_ < timeout_) {
                    return;
                }
                finish(index, EchoFailure::SendFailed, error);
                blockedSince_.reset();
                ++next_;
                continue;
            }
            blockedSince_.reset();
            ++next_;
            if (result == SendResult::Failed) {
                finish(index, EchoFailure::SendFailed, error);
                continue;
            }
            sentAt_[index] = now;
            pending_.emplace(sequence, index);
            sequenceOf_.emplace(index, sequence);
            deadlines_.emplace_back(index, now + timeout_);
            ++inFlight_;
        }
    }

    void expire(Clock::time_point now) {
        while (!deadlines_.empty()) {
            const auto [index, deadline] = deadlines_.front();
            if (!done_[index]) {
                if (deadline > now) {
                    return;
                }
                finish(index, EchoFailure::TimedOut, 0);
                forget(index);
            }
            deadlines_.pop_front();
        }
    }

    void forget(std::size_t index) {
        const auto sequence = sequenceOf_.find(index);
        if (sequence != sequenceOf_.end()) {
            pending_.erase(sequence->second);
            sequenceOf_.erase(sequence);
        }
        --inFlight_;
    }

    void waitAndReceive() {
        Clock::time_point wakeAt = Clock::time_point::max();
        if (!deadlines_.empty()) {
            wakeAt = deadlines_.front().second;
        }
        if (blockedSince_) {
            wakeAt = std::min(wakeAt, *blockedSince_ + timeout_);
        }
        const auto remaining = std::max(Clock::duration::zero(), wakeAt - Clock::now());
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(remaining);
        const timespec wait{
            static_cast<time_t>(seconds.count()),
            static_cast<long>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(remaining - seconds).count())};
        std::array<pollfd, 2> fds{};
        fds[0].fd = socket_.fd.get();
        fds[0].events = static_cast<short>(POLLIN | (blockedSince_ ? POLLOUT : 0));
        fds[1].fd = cancelFd_;
        fds[1].events = POLLIN;
        const nfds_t count = cancelFd_ >= 0 ? 2 : 1;
        const int ready = ::ppoll(fds.data(), count, &wait, nullptr);
        if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
            receiveAll();
        }
        // A stop request is seen at the top of the loop through the stop token itself.
    }

    void receiveAll() {
        const icmp::Framing framing = socket_.kind == IcmpSocketKind::Raw
                                          ? icmp::Framing::WithIpHeader
                                          : icmp::Framing::IcmpOnly;
        std::array<std::uint8_t, kReceiveBufferSize> buffer{};
        alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(timespec))> control{};
        for (int read = 0; read < kMaxReadsPerWake; ++read) {
            sockaddr_in from{};
            iovec data{buffer.data(), buffer.size()};
            msghdr message{};
            message.msg_name = &from;
            message.msg_namelen = sizeof(from);
            message.msg_iov = &data;
            message.msg_iovlen = 1;
            message.msg_control = control.data();
            message.msg_controllen = control.size();
            const ssize_t received =
                ::recvmsg(socket_.fd.get(), &message, MSG_DONTWAIT | MSG_TRUNC);
            if (received < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;  // Drained (or an error that the time-outs will settle).
            }
            const Clock::time_point at = arrivalTime(message);
            const auto size = static_cast<std::size_t>(received);
            if (size > buffer.size() || message.msg_namelen < sizeof(from) ||
                from.sin_family != AF_INET) {
                continue;  // Larger than any answer of ours.
            }
            const auto reply =
                icmp::parseEchoReply(std::span<const std::uint8_t>(buffer.data(), size), framing);
            if (!reply || reply->identifier != socket_.identifier) {
                continue;
            }
            const auto match = pending_.find(reply->sequence);
            if (match == pending_.end()) {
                continue;  // Late (its time-out passed) or never ours.
            }
            const std::size_t index = match->second;
            if (from.sin_addr.s_addr != targets_[index]) {
                continue;  // Another host answering with our numbers is not this device.
            }
            if (at - sentAt_[index] > timeout_) {
                continue;  // It came after its time-out, only read late: unanswered in time.
            }
            outcomes_[index].reachable = true;
            outcomes_[index].roundTrip = std::chrono::duration_cast<std::chrono::microseconds>(
                std::max(Clock::duration::zero(), at - sentAt_[index]));
            finish(index, EchoFailure::None, 0);
            forget(index);
        }
    }

    void cancelRemaining() {
        for (const std::size_t index : queue_) {
            if (!done_[index]) {
                finish(index, EchoFailure::Cancelled, 0);
            }
        }
    }

    IcmpSocket& socket_;
    std::vector<EchoOutcome>& outcomes_;
    const std::vector<std::uint32_t>& targets_;
    const std::vector<std::size_t> queue_;  // Indexes of the parsed addresses, in order.
    const std::chrono::milliseconds timeout_;
    const std::size_t maxInFlight_;
    const int cancelFd_;

    std::vector<Clock::time_point> sentAt_;
    std::vector<bool> done_;
    std::unordered_map<std::uint16_t, std::size_t> pending_;     // sequence -> index
    std::unordered_map<std::size_t, std::uint16_t> sequenceOf_;  // index -> sequence
    std::deque<std::pair<std::size_t, Clock::time_point>> deadlines_;
    std::optional<Clock::time_point> blockedSince_;
    std::size_t next_ = 0;  // Next position in queue_ to send.
    std::size_t inFlight_ = 0;
    const std::uint32_t firstSequence_;
};

}  // namespace

SystemIcmpProber::SystemIcmpProber(IcmpSocketMode mode, std::size_t maxInFlight)
    : mode_(mode), maxInFlight_(std::clamp<std::size_t>(maxInFlight, 1, kInFlightCeiling)) {}

std::vector<EchoOutcome> SystemIcmpProber::probe(const std::vector<std::string>& addresses,
                                                 std::chrono::milliseconds timeout,
                                                 std::stop_token stop) {
    std::vector<EchoOutcome> outcomes(addresses.size());
    std::vector<std::uint32_t> targets(addresses.size(), 0);
    std::vector<std::size_t> queue;
    queue.reserve(addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        const auto address = icmp::parseAddress(addresses[i]);
        if (!address) {
            outcomes[i].failure = EchoFailure::InvalidAddress;
            continue;
        }
        targets[i] = *address;
        queue.push_back(i);
    }
    if (queue.empty()) {
        return outcomes;
    }
    const auto markAll = [&](EchoFailure failure, int error) {
        for (const std::size_t index : queue) {
            outcomes[index].failure = failure;
            outcomes[index].systemError = error;
        }
    };
    if (stop.stop_requested()) {
        markAll(EchoFailure::Cancelled, 0);
        return outcomes;
    }
    IcmpSocket socket = openIcmpSocket(mode_);
    if (!socket.fd.valid()) {
        markAll(EchoFailure::NoSocket, socket.error);
        return outcomes;
    }
    for (const std::size_t index : queue) {
        outcomes[index].socket = socket.kind;
    }

    // The stop request may come from any thread; the event descriptor wakes the wait at once.
    FileDescriptor cancel;
    std::optional<std::stop_callback<std::function<void()>>> onStop;
    if (stop.stop_possible()) {
        cancel = FileDescriptor(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        if (cancel.valid()) {
            const int fd = cancel.get();
            onStop.emplace(stop, std::function<void()>([fd] {
                               const std::uint64_t one = 1;
                               [[maybe_unused]] const ssize_t written =
                                   ::write(fd, &one, sizeof(one));
                           }));
        }
    }
    EchoRound round(socket, outcomes, targets, std::move(queue),
                    std::max(timeout, std::chrono::milliseconds::zero()), maxInFlight_,
                    cancel.get());
    round.run(stop);
    onStop.reset();  // Before the descriptor it writes to is closed.
    return outcomes;
}

}  // namespace pellan
