#pragma once
#include "platform/dns_sd.hpp"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

namespace pellan::test {

/// Passes every call to another DnsSdApi (the real one) and records which operations live,
/// so tests can see what the engine asked of Avahi: lookups per host (and how many at once),
/// resolves that ended.
///
/// Kind: locked manager; one mutex, never held while calling the real API.
class RecordingDnsSd final : public DnsSdApi {
public:
    explicit RecordingDnsSd(DnsSdApi& inner) : inner_(inner) {}

    int lookupsStarted(const std::string& host) const;
    int mostLookupsAtOnce(const std::string& host) const;
    /// Until a resolve of `instance` was started and has been deallocated again.
    bool waitForResolveEnded(const std::string& instance, std::chrono::milliseconds timeout);
    /// Until `count` lookups of `host` were started and none of them is live any more.
    bool waitForLookupsEnded(const std::string& host, int count, std::chrono::milliseconds timeout);

    DnsSdError browse(DnsSdRef* ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                      const char* regtype, const char* domain, DnsSdBrowseReply callback,
                      void* context) override {
        return inner_.browse(ref, flags, interfaceIndex, regtype, domain, callback, context);
    }
    DnsSdError resolve(DnsSdRef* ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                       const char* name, const char* regtype, const char* domain,
                       DnsSdResolveReply callback, void* context) override;
    DnsSdError getAddrInfo(DnsSdRef* ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                           std::uint32_t protocol, const char* hostname, DnsSdAddressReply callback,
                           void* context) override;
    int refSockFd(DnsSdRef ref) override { return inner_.refSockFd(ref); }
    DnsSdError processResult(DnsSdRef ref) override { return inner_.processResult(ref); }
    void refDeallocate(DnsSdRef ref) override;

private:
    DnsSdApi& inner_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<DnsSdRef, std::string> liveLookups_;   // Guarded by mutex_: ref -> host.
    std::map<DnsSdRef, std::string> liveResolves_;  // Guarded by mutex_: ref -> instance.
    std::map<std::string, int> lookupsStarted_;     // Guarded by mutex_.
    std::map<std::string, int> lookupsNow_;         // Guarded by mutex_.
    std::map<std::string, int> mostLookupsAtOnce_;  // Guarded by mutex_.
    std::map<std::string, int> resolvesEnded_;      // Guarded by mutex_.
};

}  // namespace pellan::test
