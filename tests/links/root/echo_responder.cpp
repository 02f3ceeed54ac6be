#include "links/root/echo_responder.hpp"

#include "links/root/netns_environment.hpp"
#include "platform/icmp_prober.hpp"

#include <arpa/inet.h>
#include <array>
#include <deque>
#include <future>
#include <linux/icmp.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace pellan::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMinIpHeader = 20;
constexpr auto kStartDeadline = std::chrono::seconds(10);

struct PendingAnswer {
    Clock::time_point at;
    sockaddr_in to{};
    std::vector<std::uint8_t> packet;
};

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

/// A raw ICMP socket that queues only the given message types.
int openRawIcmp(std::uint32_t allowedTypes) {
    const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) {
        return -1;
    }
    icmp_filter filter{};
    filter.data = ~allowedTypes;
    if (::setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof(filter)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::uint16_t read16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

void write16(std::uint8_t* bytes, std::uint16_t value) {
    bytes[0] = static_cast<std::uint8_t>(value >> 8);
    bytes[1] = static_cast<std::uint8_t>(value & 0xFFU);
}

}  // namespace

EchoResponder::EchoResponder(const std::string& deviceNamespace, Forgery forgery,
                             std::chrono::milliseconds delay, const std::string& sourceAddress,
                             int answerLimit)
    : forgery_(forgery), delay_(delay), answerLimit_(answerLimit),
      wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    auto started = std::make_shared<std::promise<bool>>();
    auto startedFuture = started->get_future();
    thread_ = std::thread([this, deviceNamespace, sourceAddress, started] {
        pthread_setname_np(pthread_self(), "echo-responder");
        if (!enterNamespace(deviceNamespace)) {
            started->set_value(false);
            return;
        }
        Socket receive(openRawIcmp(1U << ICMP_ECHO));
        Socket send(openRawIcmp(0));
        bool ok = receive.get() >= 0 && send.get() >= 0 && wakeFd_ >= 0;
        if (ok && !sourceAddress.empty()) {
            // Bound, the sending socket's answers leave from that address.
            sockaddr_in local{};
            local.sin_family = AF_INET;
            ok = inet_pton(AF_INET, sourceAddress.c_str(), &local.sin_addr) == 1 &&
                 ::bind(send.get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0;
        }
        started->set_value(ok);
        if (ok) {
            serve(receive.get(), send.get());
        }
    });
    ready_ =
        startedFuture.wait_for(kStartDeadline) == std::future_status::ready && startedFuture.get();
}

EchoResponder::~EchoResponder() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof(one));
    if (thread_.joinable()) {
        thread_.join();
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

void EchoResponder::serve(int receiveFd, int sendFd) {
    std::deque<PendingAnswer> pending;  // In time order: one delay for all.
    while (true) {
        int timeoutMs = -1;
        const auto now = Clock::now();
        while (!pending.empty() && pending.front().at <= now) {
            const PendingAnswer& answer = pending.front();
            if (::sendto(sendFd, answer.packet.data(), answer.packet.size(), 0,
                         reinterpret_cast<const sockaddr*>(&answer.to), sizeof(answer.to)) > 0) {
                ++answers_;
            }
            pending.pop_front();
        }
        if (!pending.empty()) {
            timeoutMs = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(pending.front().at - now).count());
        }
        std::array<pollfd, 2> fds{};
        fds[0] = {receiveFd, POLLIN, 0};
        fds[1] = {wakeFd_, POLLIN, 0};
        if (::poll(fds.data(), fds.size(), timeoutMs) < 0) {
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        std::array<std::uint8_t, 256> buffer{};
        sockaddr_in from{};
        socklen_t fromLength = sizeof(from);
        const ssize_t received = ::recvfrom(receiveFd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                            reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (received < static_cast<ssize_t>(kMinIpHeader + icmp::kHeaderSize)) {
            continue;
        }
        const std::size_t headerSize = static_cast<std::size_t>(buffer[0] & 0x0FU) * 4;
        const auto size = static_cast<std::size_t>(received);
        if (headerSize < kMinIpHeader || size < headerSize + icmp::kHeaderSize ||
            buffer[headerSize] != icmp::kTypeEchoRequest) {
            continue;
        }
        const int request = ++requests_;
        if (forgery_ == Forgery::None || (answerLimit_ >= 0 && request > answerLimit_)) {
            continue;
        }
        std::vector<std::uint8_t> packet(buffer.begin() + static_cast<std::ptrdiff_t>(headerSize),
                                         buffer.begin() + static_cast<std::ptrdiff_t>(size));
        packet[0] = icmp::kTypeEchoReply;
        if (forgery_ == Forgery::WrongIdentifier) {
            write16(&packet[4], static_cast<std::uint16_t>(read16(&packet[4]) + 1));
        }
        if (forgery_ == Forgery::WrongSequence) {
            write16(&packet[6], static_cast<std::uint16_t>(read16(&packet[6]) + 1));
        }
        if (forgery_ == Forgery::WrongData && packet.size() > icmp::kHeaderSize) {
            packet[icmp::kHeaderSize] = 'H';
        }
        write16(&packet[2], 0);
        write16(&packet[2], icmp::checksum(packet));
        pending.push_back({Clock::now() + delay_, from, std::move(packet)});
    }
}

}  // namespace pellan::test
