// The DNS-SD calls on Avahi's DNS-SD compatibility library.
//
// What the library does differently from the DNS-SD C API, and what this file does about it:
// - It has no address lookup: getAddrInfo is a record query for the host's A record, with a
//   time-out of its own, since a host without an A record gets no reply at all.
// - Its resolve also waits for the host's address and fails without one, so a service on a
//   host without an A record would never be resolved: resolve is a query for the service's
//   SRV record and one for its TXT record instead, with a time-out of its own. The record
//   data keeps the TXT strings in wire order (the library's resolve reverses them).
// - It reports an unreachable daemon as kDNSServiceErr_Unknown, from every start call and in
//   one error reply per open operation when the daemon goes away; a browse is dead after that
//   reply. Start calls report kDnsSdErrServiceNotRunning instead, and a dead browse makes
//   processResult fail, as the DNS-SD C API does when its daemon connection breaks, so that
//   the caller browses again.
// - It prints a three-line compatibility warning on stderr at its first call unless
//   AVAHI_COMPAT_NOWARN is set: set in-process before that call.
// - Each operation runs a thread of its own and blocks in DNSServiceProcessResult until that
//   thread has news; processResult is therefore only ever called on a readable socket.

#include "platform/dns_sd.hpp"

#include <dns_sd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pellan {

namespace {

DnsSdError startError(DNSServiceErrorType error) {
    return error == kDNSServiceErr_Unknown ? kDnsSdErrServiceNotRunning : error;
}

bool readable(int fd) {
    if (fd < 0) {
        return false;
    }
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

/// What every operation of this file offers processResult and refSockFd.
class AvahiOperation : public DnsSdOperation {
public:
    virtual int socket() const = 0;
    virtual DnsSdError process() = 0;
};

class AvahiBrowse final : public AvahiOperation {
public:
    AvahiBrowse(DnsSdBrowseReply callback, void* context)
        : callback_(callback), context_(context) {}
    ~AvahiBrowse() override {
        if (ref_ != nullptr) {
            DNSServiceRefDeallocate(ref_);
        }
    }

    DnsSdError start(std::uint32_t interfaceIndex, const char* regtype, const char* domain) {
        return startError(
            DNSServiceBrowse(&ref_, 0, interfaceIndex, regtype, domain, &AvahiBrowse::reply, this));
    }
    int socket() const override { return DNSServiceRefSockFD(ref_); }
    DnsSdError process() override {
        if (failure_ != kDnsSdErrNoError) {
            return failure_;
        }
        const DNSServiceErrorType result = DNSServiceProcessResult(ref_);
        if (result != kDNSServiceErr_NoError) {
            return startError(result);
        }
        return failure_;
    }

private:
    static void DNSSD_API reply(DNSServiceRef, DNSServiceFlags flags, std::uint32_t interfaceIndex,
                                DNSServiceErrorType error, const char* name, const char* regtype,
                                const char* domain, void* context) {
        auto* self = static_cast<AvahiBrowse*>(context);
        if (error != kDNSServiceErr_NoError) {
            // Avahi's service browser is dead after a failure: report it through
            // processResult, not as a reply the caller would only ignore.
            self->failure_ = startError(error);
            return;
        }
        self->callback_(self, flags, interfaceIndex, kDnsSdErrNoError, name, regtype, domain,
                        self->context_);
    }

    const DnsSdBrowseReply callback_;
    void* const context_;
    DNSServiceRef ref_ = nullptr;
    DnsSdError failure_ = kDnsSdErrNoError;
};

/// A one-shot timer and the sockets of record queries, watched through one epoll descriptor,
/// which is the socket the caller selects on.
class QueryWatch {
public:
    QueryWatch() = default;
    ~QueryWatch() {
        if (epoll_ >= 0) {
            ::close(epoll_);
        }
        if (timer_ >= 0) {
            ::close(timer_);
        }
    }
    QueryWatch(const QueryWatch&) = delete;
    QueryWatch& operator=(const QueryWatch&) = delete;

    bool open() {
        timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        return timer_ >= 0 && epoll_ >= 0 && watch(timer_);
    }
    bool watch(int fd) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        return fd >= 0 && ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) == 0;
    }
    bool arm(std::chrono::milliseconds timeout) {
        // A zero it_value would disarm the timer instead of firing it at once.
        const auto nanoseconds = std::max<long long>(1, std::chrono::nanoseconds(timeout).count());
        itimerspec due{};
        due.it_value.tv_sec = static_cast<time_t>(nanoseconds / 1'000'000'000);
        due.it_value.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
        return ::timerfd_settime(timer_, 0, &due, nullptr) == 0;
    }
    void disarm() {
        const itimerspec never{};
        ::timerfd_settime(timer_, 0, &never, nullptr);
        fired();  // Drain an expiry that raced with the answer.
    }
    bool fired() {
        std::uint64_t expirations = 0;
        return ::read(timer_, &expirations, sizeof(expirations)) ==
                   static_cast<ssize_t>(sizeof(expirations)) &&
               expirations > 0;
    }
    int socket() const { return epoll_; }

private:
    int timer_ = -1;
    int epoll_ = -1;
};

/// The text of a domain name in DNS wire format (labels without compression, as the record
/// data of a query arrives), with the final dot, escaped the way the DNS-SD service writes
/// names: "." and "\" behind a backslash, every byte but letters, digits, "-" and "_" as
/// "\DDD". Nothing when the data is not such a name.
std::optional<std::string> wireNameText(const unsigned char* data, std::size_t size) {
    std::string text;
    std::size_t at = 0;
    while (at < size) {
        const std::size_t length = data[at++];
        if (length == 0) {
            return text.empty() ? std::nullopt : std::optional<std::string>(text);
        }
        if (length > 63 || length > size - at) {
            return std::nullopt;  // A compression pointer or a label past the end.
        }
        for (std::size_t end = at + length; at < end; ++at) {
            const auto c = static_cast<char>(data[at]);
            if (c == '.' || c == '\\') {
                text += '\\';
                text += c;
            } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_') {
                text += c;
            } else {
                const unsigned value = data[at];
                text += '\\';
                text += static_cast<char>('0' + value / 100);
                text += static_cast<char>('0' + value / 10 % 10);
                text += static_cast<char>('0' + value % 10);
            }
        }
        text += '.';
    }
    return std::nullopt;
}

/// A service resolve: queries for the service's SRV and TXT records, both watched through one
/// QueryWatch. One reply once both are in, flags 0 (nothing follows); no SRV record within
/// the time-out ends it with one kDnsSdErrTimeout reply, and an SRV record without a TXT
/// record by then is answered with an empty TXT record.
class AvahiResolve final : public AvahiOperation {
public:
    AvahiResolve(DnsSdResolveReply callback, void* context)
        : callback_(callback), context_(context) {}
    ~AvahiResolve() override {
        for (DNSServiceRef query : {srvQuery_, txtQuery_}) {
            if (query != nullptr) {
                DNSServiceRefDeallocate(query);
            }
        }
    }

    DnsSdError start(std::uint32_t interfaceIndex, const char* name, const char* regtype,
                     const char* domain, std::chrono::milliseconds timeout) {
        interfaceIndex_ = interfaceIndex;
        char full[kDNSServiceMaxDomainName] = {};
        if (DNSServiceConstructFullName(full, name, regtype, domain) != 0) {
            return kDnsSdErrBadParam;
        }
        fullName_ = full;
        if (fullName_.empty() || fullName_.back() != '.') {
            fullName_ += '.';
        }
        if (!watch_.open()) {
            return kDnsSdErrUnknown;
        }
        for (auto [query, type] : {std::pair{&srvQuery_, kDNSServiceType_SRV},
                                   std::pair{&txtQuery_, kDNSServiceType_TXT}}) {
            const DNSServiceErrorType error =
                DNSServiceQueryRecord(query, 0, interfaceIndex, fullName_.c_str(), type,
                                      kDNSServiceClass_IN, &AvahiResolve::reply, this);
            if (error != kDNSServiceErr_NoError) {
                return startError(error);
            }
            if (!watch_.watch(DNSServiceRefSockFD(*query))) {
                return kDnsSdErrUnknown;
            }
        }
        return watch_.arm(timeout) ? kDnsSdErrNoError : kDnsSdErrUnknown;
    }

    int socket() const override { return watch_.socket(); }

    DnsSdError process() override {
        for (DNSServiceRef query : {srvQuery_, txtQuery_}) {
            if (readable(DNSServiceRefSockFD(query))) {
                const DNSServiceErrorType result = DNSServiceProcessResult(query);
                if (result != kDNSServiceErr_NoError) {
                    return startError(result);
                }
            }
        }
        // Once both records are in, or at the time-out with what came.
        if (finished_ || (!(target_ && txt_) && !watch_.fired())) {
            return kDnsSdErrNoError;
        }
        if (target_) {
            finish();
            return kDnsSdErrNoError;
        }
        finished_ = true;
        callback_(this, 0, interfaceIndex_, kDnsSdErrTimeout, fullName_.c_str(), nullptr, 0, 0,
                  nullptr, context_);
        return kDnsSdErrNoError;
    }

private:
    void finish() {
        finished_ = true;
        watch_.disarm();
        const std::vector<unsigned char> txt = txt_.value_or(std::vector<unsigned char>{0});
        callback_(this, 0, interfaceIndex_, kDnsSdErrNoError, fullName_.c_str(), target_->c_str(),
                  port_, static_cast<std::uint16_t>(txt.size()), txt.data(), context_);
    }

    static void DNSSD_API reply(DNSServiceRef, DNSServiceFlags flags, std::uint32_t interfaceIndex,
                                DNSServiceErrorType error, const char*, std::uint16_t rrtype,
                                std::uint16_t rrclass, std::uint16_t rdlength, const void* rdata,
                                std::uint32_t, void* context) {
        auto* self = static_cast<AvahiResolve*>(context);
        try {
            if (self->finished_) {
                return;
            }
            if (error != kDNSServiceErr_NoError) {
                self->finished_ = true;
                self->watch_.disarm();
                self->callback_(self, 0, interfaceIndex, error, self->fullName_.c_str(), nullptr, 0,
                                0, nullptr, self->context_);
                return;
            }
            // A record that went away, or anything but a well-formed record, keeps waiting.
            if ((flags & kDNSServiceFlagsAdd) == 0 || rrclass != kDNSServiceClass_IN ||
                rdata == nullptr) {
                return;
            }
            const auto* data = static_cast<const unsigned char*>(rdata);
            if (rrtype == kDNSServiceType_SRV && !self->target_ && rdlength > 6) {
                // Priority, weight, port (network byte order), target.
                auto target = wireNameText(data + 6, rdlength - 6U);
                if (target) {
                    std::memcpy(&self->port_, data + 4, sizeof(self->port_));
                    self->target_ = std::move(target);
                    self->interfaceIndex_ = interfaceIndex;
                }
            } else if (rrtype == kDNSServiceType_TXT && !self->txt_) {
                self->txt_.emplace(data, data + rdlength);
            }
        } catch (...) {
            // Nothing may unwind through the C library; a record that cannot be copied is lost.
        }
    }

    const DnsSdResolveReply callback_;
    void* const context_;
    QueryWatch watch_;
    DNSServiceRef srvQuery_ = nullptr;
    DNSServiceRef txtQuery_ = nullptr;
    std::uint32_t interfaceIndex_ = 0;
    std::string fullName_;
    std::optional<std::string> target_;              // From the SRV record.
    std::uint16_t port_ = 0;                         // From the SRV record, network byte order.
    std::optional<std::vector<unsigned char>> txt_;  // The TXT record's data, in wire order.
    bool finished_ = false;  // The reply (or the error) was delivered: nothing follows.
};

/// An IPv4 address lookup: a query for the host's A record, watched with the time-out through
/// one QueryWatch.
class AvahiAddressLookup final : public AvahiOperation {
public:
    AvahiAddressLookup(std::string host, std::uint32_t interfaceIndex, DnsSdAddressReply callback,
                       void* context)
        : host_(std::move(host)), interfaceIndex_(interfaceIndex), callback_(callback),
          context_(context) {}
    ~AvahiAddressLookup() override {
        if (query_ != nullptr) {
            DNSServiceRefDeallocate(query_);
        }
    }

    DnsSdError start(std::chrono::milliseconds timeout) {
        if (!watch_.open()) {
            return kDnsSdErrUnknown;
        }
        const DNSServiceErrorType error =
            DNSServiceQueryRecord(&query_, 0, interfaceIndex_, host_.c_str(), kDNSServiceType_A,
                                  kDNSServiceClass_IN, &AvahiAddressLookup::reply, this);
        if (error != kDNSServiceErr_NoError) {
            return startError(error);
        }
        if (!watch_.watch(DNSServiceRefSockFD(query_)) || !watch_.arm(timeout)) {
            return kDnsSdErrUnknown;
        }
        return kDnsSdErrNoError;
    }

    int socket() const override { return watch_.socket(); }

    DnsSdError process() override {
        if (readable(DNSServiceRefSockFD(query_))) {
            const DNSServiceErrorType result = DNSServiceProcessResult(query_);
            if (result != kDNSServiceErr_NoError) {
                return startError(result);
            }
        }
        if (!finished_ && watch_.fired()) {
            finished_ = true;
            callback_(this, 0, interfaceIndex_, kDnsSdErrTimeout, host_.c_str(), nullptr, 0,
                      context_);
        }
        return kDnsSdErrNoError;
    }

private:
    static void DNSSD_API reply(DNSServiceRef, DNSServiceFlags flags, std::uint32_t interfaceIndex,
                                DNSServiceErrorType error, const char*, std::uint16_t rrtype,
                                std::uint16_t rrclass, std::uint16_t rdlength, const void* rdata,
                                std::uint32_t ttl, void* context) {
        auto* self = static_cast<AvahiAddressLookup*>(context);
        if (self->finished_) {
            return;
        }
        if (error != kDNSServiceErr_NoError) {
            self->finished_ = true;
            self->watch_.disarm();
            self->callback_(self, 0, interfaceIndex, error, self->host_.c_str(), nullptr, 0,
                            self->context_);
            return;
        }
        // Only a well-formed IPv4 address is an answer; anything else keeps the lookup waiting.
        if (rrtype != kDNSServiceType_A || rrclass != kDNSServiceClass_IN || rdlength != 4 ||
            rdata == nullptr) {
            return;
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        std::memcpy(&address.sin_addr, rdata, 4);
        if ((flags & kDNSServiceFlagsAdd) != 0 && !self->answered_) {
            self->answered_ = true;
            self->watch_.disarm();
        }
        // The host name as asked for: Avahi reports the record's name without its final dot.
        self->callback_(self, flags & (kDnsSdFlagsAdd | kDnsSdFlagsMoreComing), interfaceIndex,
                        kDnsSdErrNoError, self->host_.c_str(),
                        reinterpret_cast<const sockaddr*>(&address), ttl, self->context_);
    }

    const std::string host_;
    const std::uint32_t interfaceIndex_;
    const DnsSdAddressReply callback_;
    void* const context_;
    QueryWatch watch_;
    DNSServiceRef query_ = nullptr;
    bool answered_ = false;  // An address came: the time-out no longer applies.
    bool finished_ = false;  // The error or time-out reply was delivered: nothing follows.
};

class AvahiDnsSd final : public DnsSdApi {
public:
    AvahiDnsSd(std::chrono::milliseconds addressLookupTimeout,
               std::chrono::milliseconds resolveTimeout)
        : addressLookupTimeout_(addressLookupTimeout), resolveTimeout_(resolveTimeout) {
        // Before the library's first call, which prints the warning otherwise. Done on the
        // thread that creates the first browser, before any discovery thread exists.
        ::setenv("AVAHI_COMPAT_NOWARN", "1", 1);  // NOLINT(concurrency-mt-unsafe)
    }

    DnsSdError browse(DnsSdRef* ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                      const char* regtype, const char* domain, DnsSdBrowseReply callback,
                      void* context) override {
        if (ref == nullptr || regtype == nullptr || callback == nullptr || flags != 0) {
            return kDnsSdErrBadParam;
        }
        *ref = nullptr;
        auto operation = std::make_unique<AvahiBrowse>(callback, context);
        const DnsSdError error = operation->start(interfaceIndex, regtype, domain);
        if (error == kDnsSdErrNoError) {
            *ref = operation.release();
        }
        return error;
    }

    DnsSdError resolve(DnsSdRef* ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                       const char* name, const char* regtype, const char* domain,
                       DnsSdResolveReply callback, void* context) override {
        if (ref == nullptr || name == nullptr || regtype == nullptr || domain == nullptr ||
            callback == nullptr || flags != 0) {
            return kDnsSdErrBadParam;
        }
        *ref = nullptr;
        auto operation = std::make_unique<AvahiResolve>(callback, context);
        const DnsSdError error =
            operation->start(interfaceIndex, name, regtype, domain, resolveTimeout_);
        if (error == kDnsSdErrNoError) {
            *ref = operation.release();
        }
        return error;
    }

    DnsSdError getAddrInfo(DnsSdRef* ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                           std::uint32_t protocol, const char* hostname, DnsSdAddressReply callback,
                           void* context) override {
        if (ref == nullptr || hostname == nullptr || callback == nullptr || flags != 0) {
            return kDnsSdErrBadParam;
        }
        *ref = nullptr;
        if (protocol != kDnsSdProtocolIPv4) {
            return kDnsSdErrUnsupported;
        }
        auto operation =
            std::make_unique<AvahiAddressLookup>(hostname, interfaceIndex, callback, context);
        const DnsSdError error = operation->start(addressLookupTimeout_);
        if (error == kDnsSdErrNoError) {
            *ref = operation.release();
        }
        return error;
    }

    int refSockFd(DnsSdRef ref) override {
        return ref == nullptr ? -1 : static_cast<AvahiOperation*>(ref)->socket();
    }

    DnsSdError processResult(DnsSdRef ref) override {
        return ref == nullptr ? kDnsSdErrBadParam : static_cast<AvahiOperation*>(ref)->process();
    }

    void refDeallocate(DnsSdRef ref) override { delete static_cast<AvahiOperation*>(ref); }

private:
    const std::chrono::milliseconds addressLookupTimeout_;
    const std::chrono::milliseconds resolveTimeout_;
};

}  // namespace

DnsSdApi& systemDnsSd() {
    static AvahiDnsSd instance(kDnsSdAddressLookupTimeout, kDnsSdResolveTimeout);
    return instance;
}

std::unique_ptr<DnsSdApi> makeAvahiDnsSd(std::chrono::milliseconds addressLookupTimeout,
                                         std::chrono::milliseconds resolveTimeout) {
    return std::make_unique<AvahiDnsSd>(addressLookupTimeout, resolveTimeout);
}

}  // namespace pellan
