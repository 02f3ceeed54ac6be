#pragma once
#include <chrono>
#include <cstdint>
#include <memory>

struct sockaddr;

namespace pellan {

/// Base of every implementation's operation record. A DnsSdRef names one live operation
/// (browse, resolve or address lookup) of the DnsSdApi that created it; only that API looks
/// inside.
struct DnsSdOperation {
    DnsSdOperation() = default;
    virtual ~DnsSdOperation() = default;
    DnsSdOperation(const DnsSdOperation&) = delete;
    DnsSdOperation& operator=(const DnsSdOperation&) = delete;
};
using DnsSdRef = DnsSdOperation*;

using DnsSdFlags = std::uint32_t;
using DnsSdError = std::int32_t;

// The DNS-SD C API's values, which callers compare against.
inline constexpr DnsSdFlags kDnsSdFlagsMoreComing = 0x1;  ///< More replies follow at once.
inline constexpr DnsSdFlags kDnsSdFlagsAdd = 0x2;         ///< Added (absent: went away).
inline constexpr std::uint32_t kDnsSdProtocolIPv4 = 0x1;
inline constexpr std::uint32_t kDnsSdInterfaceAny = 0;

inline constexpr DnsSdError kDnsSdErrNoError = 0;
inline constexpr DnsSdError kDnsSdErrUnknown = -65537;
inline constexpr DnsSdError kDnsSdErrBadParam = -65540;
inline constexpr DnsSdError kDnsSdErrUnsupported = -65544;
/// The DNS-SD service (the daemon) cannot be reached, or its connection was lost.
inline constexpr DnsSdError kDnsSdErrServiceNotRunning = -65563;
inline constexpr DnsSdError kDnsSdErrTimeout = -65568;

/// `regtype` and `replyDomain` as the DNS-SD service reports them (with a trailing dot).
using DnsSdBrowseReply = void (*)(DnsSdRef ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                                  DnsSdError error, const char* serviceName, const char* regtype,
                                  const char* replyDomain, void* context);
/// `port` in network byte order; `txtRecord` holds `txtLength` bytes of length-prefixed strings
/// in their order on the wire.
using DnsSdResolveReply = void (*)(DnsSdRef ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                                   DnsSdError error, const char* fullName, const char* hostTarget,
                                   std::uint16_t port, std::uint16_t txtLength,
                                   const unsigned char* txtRecord, void* context);
/// `address` is a sockaddr_in (family AF_INET) on success, null with an error.
using DnsSdAddressReply = void (*)(DnsSdRef ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                                   DnsSdError error, const char* hostname, const sockaddr* address,
                                   std::uint32_t ttl, void* context);

/// No answer for this long ends an address lookup with a kDnsSdErrTimeout reply.
inline constexpr std::chrono::milliseconds kDnsSdAddressLookupTimeout{5000};
/// No service record for this long ends a resolve with a kDnsSdErrTimeout reply.
inline constexpr std::chrono::milliseconds kDnsSdResolveTimeout{5000};

/// The six calls of the DNS-SD C API that discovery uses, with their documented semantics:
/// one socket per operation, replies delivered by processResult() on the calling thread.
///
/// - browse / resolve / getAddrInfo start an operation. They return kDnsSdErrNoError and set
///   `*ref`, or an error and leave `*ref` null; no callback runs inside them.
///   kDnsSdErrServiceNotRunning means the DNS-SD service cannot be reached.
/// - refSockFd: the operation's socket, readable when replies are pending; negative when none.
/// - processResult: reads the pending replies of a readable operation and runs its callback
///   (zero or more times) on the calling thread; call it only when the socket is readable.
///   A non-zero result means the operation is dead: kDnsSdErrServiceNotRunning when the
///   connection to the DNS-SD service was lost.
/// - refDeallocate: ends the operation; its callback never runs afterwards. Never call it for
///   an operation from inside that operation's own callback.
/// - resolve: a reply carries the host target and TXT record whether or not the host has an
///   address; no answer within the resolve's time-out ends it with one kDnsSdErrTimeout reply.
/// - getAddrInfo (IPv4 only): replies carry the host name as it was asked for; one reply with
///   kDnsSdFlagsAdd per address; no answer within the lookup's time-out ends it with one
///   kDnsSdErrTimeout reply, so a lookup never waits for ever.
///
/// Kind: an interface. Thread safety: distinct operations may be used from distinct threads
///   at once; one operation is used by one thread at a time.
class DnsSdApi {
public:
    DnsSdApi() = default;
    virtual ~DnsSdApi() = default;
    DnsSdApi(const DnsSdApi&) = delete;
    DnsSdApi& operator=(const DnsSdApi&) = delete;

    virtual DnsSdError browse(DnsSdRef* ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                              const char* regtype, const char* domain, DnsSdBrowseReply callback,
                              void* context) = 0;
    virtual DnsSdError resolve(DnsSdRef* ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                               const char* name, const char* regtype, const char* domain,
                               DnsSdResolveReply callback, void* context) = 0;
    virtual DnsSdError getAddrInfo(DnsSdRef* ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                                   std::uint32_t protocol, const char* hostname,
                                   DnsSdAddressReply callback, void* context) = 0;
    virtual int refSockFd(DnsSdRef ref) = 0;
    virtual DnsSdError processResult(DnsSdRef ref) = 0;
    virtual void refDeallocate(DnsSdRef ref) = 0;
};

/// The system's DNS-SD: Avahi's DNS-SD compatibility library, talking to avahi-daemon over
/// the system bus (DBUS_SYSTEM_BUS_ADDRESS when set). One instance for the process, created
/// on first use; it silences the library's compatibility warning before its first call.
DnsSdApi& systemDnsSd();

/// A separate instance of the system's DNS-SD with other time-outs.
std::unique_ptr<DnsSdApi>
makeAvahiDnsSd(std::chrono::milliseconds addressLookupTimeout = kDnsSdAddressLookupTimeout,
               std::chrono::milliseconds resolveTimeout = kDnsSdResolveTimeout);

}  // namespace pellan
