#include "discovery/root/recording_dns_sd.hpp"

#include <algorithm>

namespace pellan::test {

DnsSdError RecordingDnsSd::resolve(DnsSdRef* ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                                   const char* name, const char* regtype, const char* domain,
                                   DnsSdResolveReply callback, void* context) {
    const DnsSdError error =
        inner_.resolve(ref, flags, interfaceIndex, name, regtype, domain, callback, context);
    if (*ref != nullptr) {
        const std::lock_guard lock(mutex_);
        liveResolves_[*ref] = name != nullptr ? name : "";
    }
    return error;
}

DnsSdError RecordingDnsSd::getAddrInfo(DnsSdRef* ref, DnsSdFlags flags,
                                       std::uint32_t interfaceIndex, std::uint32_t protocol,
                                       const char* hostname, DnsSdAddressReply callback,
                                       void* context) {
    const DnsSdError error =
        inner_.getAddrInfo(ref, flags, interfaceIndex, protocol, hostname, callback, context);
    if (*ref != nullptr) {
        const std::lock_guard lock(mutex_);
        const std::string host = hostname != nullptr ? hostname : "";
        liveLookups_[*ref] = host;
        ++lookupsStarted_[host];
        const int now = ++lookupsNow_[host];
        mostLookupsAtOnce_[host] = std::max(mostLookupsAtOnce_[host], now);
    }
    return error;
}

void RecordingDnsSd::refDeallocate(DnsSdRef ref) {
    inner_.refDeallocate(ref);
    const std::lock_guard lock(mutex_);
    if (const auto it = liveLookups_.find(ref); it != liveLookups_.end()) {
        --lookupsNow_[it->second];
        liveLookups_.erase(it);
    }
    if (const auto it = liveResolves_.find(ref); it != liveResolves_.end()) {
        ++resolvesEnded_[it->second];
        liveResolves_.erase(it);
    }
    changed_.notify_all();
}

int RecordingDnsSd::lookupsStarted(const std::string& host) const {
    const std::lock_guard lock(mutex_);
    const auto it = lookupsStarted_.find(host);
    return it == lookupsStarted_.end() ? 0 : it->second;
}

int RecordingDnsSd::mostLookupsAtOnce(const std::string& host) const {
    const std::lock_guard lock(mutex_);
    const auto it = mostLookupsAtOnce_.find(host);
    return it == mostLookupsAtOnce_.end() ? 0 : it->second;
}

bool RecordingDnsSd::waitForResolveEnded(const std::string& instance,
                                         std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return resolvesEnded_[instance] > 0; });
}

bool RecordingDnsSd::waitForLookupsEnded(const std::string& host, int count,
                                         std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(
        lock, timeout, [&] { return lookupsStarted_[host] >= count && lookupsNow_[host] == 0; });
}

}  // namespace pellan::test
