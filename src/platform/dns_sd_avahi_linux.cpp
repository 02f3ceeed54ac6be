// The DNS-SD calls on Avahi's DNS-SD compatibility library.
//
// What the library does differently from the DNS-SD C API, and what this file does about it:
// - It has no address lookup: getAddrInfo is a record query for the host's A record, with a
//   time-out of its own, since a host without an A record gets no reply at all.
// - It reports TXT strings in the reverse of their wire order: resolve replies are reversed
//   back here.
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

#include "platform/dns_sd_txt.hpp"

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

class AvahiResolve final : public AvahiOperation {
public:
    AvahiResolve(DnsSdResolveReply callback, void* context)
        : callback_(callback), context_(context) {}
    ~AvahiResolve() override {
        if (ref_ != nullptr) {
            DNSServiceRefDeallocate(ref_);
        }
    }

    DnsSdError start(std::uint32_t interfaceIndex, const char* name, const char* regtype,
                     const char* domain) {
        return startError(DNSServiceResolve(&ref_, 0, interfaceIndex, name, regtype, domain,
                                            &AvahiResolve::reply, this));
    }
    int socket() const override { return DNSServiceRefSockFD(ref_); }
    DnsSdError process() override { return startError(DNSServiceProcessResult(ref_)); }

private:
    static void DNSSD_API reply(DNSServiceRef, DNSServiceFlags flags, std::uint32_t interfaceIndex,
                                DNSServiceErrorType error, const char* fullName,
                                const char* hostTarget, std::uint16_t port, std::uint16_t txtLength,
                                const unsigned char* txtRecord, void* context) {
        auto* self = static_cast<AvahiResolve*>(context);
        try {
            if (error != kDNSServiceErr_NoError) {
                self->callback_(self, flags, interfaceIndex, error, fullName, hostTarget, port, 0,
                                nullptr, self->context_);
                return;
            }
            const std::vector<unsigned char> txt = reverseTxtStrings(txtRecord, txtLength);
            self->callback_(self, flags, interfaceIndex, kDnsSdErrNoError, fullName, hostTarget,
                            port, static_cast<std::uint16_t>(txt.size()), txt.data(),
                            self->context_);
        } catch (...) {
            // Nothing may unwind through the C library; a reply that cannot be copied is lost.
        }
    }

    const DnsSdResolveReply callback_;
    void* const context_;
    DNSServiceRef ref_ = nullptr;
};

/// An IPv4 address lookup: a query for the host's A record plus a one-shot timer, both
/// watched through one epoll descriptor, which is the socket the caller selects on.
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
        if (epoll_ >= 0) {
            ::close(epoll_);
        }
        if (timer_ >= 0) {
            ::close(timer_);
        }
    }

    DnsSdError start(std::chrono::milliseconds timeout) {
        timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (timer_ < 0 || epoll_ < 0) {
            return kDnsSdErrUnknown;
        }
        const DNSServiceErrorType error =
            DNSServiceQueryRecord(&query_, 0, interfaceIndex_, host_.c_str(), kDNSServiceType_A,
                                  kDNSServiceClass_IN, &AvahiAddressLookup::reply, this);
        if (error != kDNSServiceErr_NoError) {
            return startError(error);
        }
        if (!watch(DNSServiceRefSockFD(query_)) || !watch(timer_)) {
            return kDnsSdErrUnknown;
        }
        // A zero it_value would disarm the timer instead of firing it at once.
        const auto nanoseconds = std::max<long long>(1, std::chrono::nanoseconds(timeout).count());
        itimerspec due{};
        due.it_value.tv_sec = static_cast<time_t>(nanoseconds / 1'000'000'000);
        due.it_value.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
        if (::timerfd_settime(timer_, 0, &due, nullptr) != 0) {
            return kDnsSdErrUnknown;
        }
        return kDnsSdErrNoError;
    }

    int socket() const override { return epoll_; }

    DnsSdError process() override {
        if (readable(DNSServiceRefSockFD(query_))) {
            const DNSServiceErrorType result = DNSServiceProcessResult(query_);
            if (result != kDNSServiceErr_NoError) {
                return startError(result);
            }
        }
        if (!finished_ && timerFired()) {
            finished_ = true;
            callback_(this, 0, interfaceIndex_, kDnsSdErrTimeout, host_.c_str(), nullptr, 0,
                      context_);
        }
        return kDnsSdErrNoError;
    }

private:
    bool watch(int fd) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        return fd >= 0 && ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) == 0;
    }

    bool timerFired() {
        std::uint64_t expirations = 0;
        return ::read(timer_, &expirations, sizeof(expirations)) ==
                   static_cast<ssize_t>(sizeof(expirations)) &&
               expirations > 0;
    }

    void disarmTimer() {
        const itimerspec never{};
        ::timerfd_settime(timer_, 0, &never, nullptr);
        timerFired();  // Drain an expiry that raced with the answer.
    }

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
            self->disarmTimer();
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
            self->disarmTimer();
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
    DNSServiceRef query_ = nullptr;
    int timer_ = -1;
    int epoll_ = -1;
    bool answered_ = false;  // An address came: the time-out no longer applies.
    bool finished_ = false;  // The error or time-out reply was delivered: nothing follows.
};

class AvahiDnsSd final : public DnsSdApi {
public:
    explicit AvahiDnsSd(std::chrono::milliseconds addressLookupTimeout)
        : addressLookupTimeout_(addressLookupTimeout) {
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
        const DnsSdError error = operation->start(interfaceIndex, name, regtype, domain);
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
};

}  // namespace

DnsSdApi& systemDnsSd() {
    static AvahiDnsSd instance(kDnsSdAddressLookupTimeout);
    return instance;
}

std::unique_ptr<DnsSdApi> makeAvahiDnsSd(std::chrono::milliseconds addressLookupTimeout) {
    return std::make_unique<AvahiDnsSd>(addressLookupTimeout);
}

}  // namespace pellan
