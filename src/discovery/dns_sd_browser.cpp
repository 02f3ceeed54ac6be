#include "discovery/dns_sd_browser.hpp"

#include "base/ascii.hpp"
#include "discovery/dns_sd_unavailable_notice.hpp"
#include "discovery/http_trust_table.hpp"
#include "discovery/txt_record.hpp"
#include "log/logger.hpp"
#include "platform/poll.hpp"
#include "platform/socket_address.hpp"
#include "platform/thread_name.hpp"

#include <algorithm>
#include <exception>
#include <iostream>
#include <string_view>
#include <system_error>
#include <utility>

namespace pellan {

namespace {

bool containsIgnoringCase(std::string_view text, std::string_view part) {
    return toUpperAscii(text).find(toUpperAscii(part)) != std::string::npos;
}

/// The instance part of a full DNS-SD name: everything before the first "._"; escape
/// sequences stay as they are.
std::string instanceName(std::string_view fullName) {
    const std::size_t end = fullName.find("._");
    return std::string(end == std::string_view::npos ? fullName : fullName.substr(0, end));
}

/// "dnssd-http", "dnssd-netaudio": the thread's name after the first label of the type.
std::string threadName(std::string_view serviceType) {
    std::string_view label = serviceType;
    while (!label.empty() && label.front() == '_') {
        label.remove_prefix(1);
    }
    label = label.substr(0, std::min(label.find_first_of("-."), label.size()));
    return "dnssd-" + std::string(label);
}

}  // namespace

DnsSdBrowser::DnsSdBrowser(DeviceChangedCallback onDeviceChanged, Logger& logger,
                           DnsSdBrowserOptions options)
    : dnsSd_(options.dnsSd != nullptr ? *options.dnsSd : systemDnsSd()),
      trust_(options.trustTable != nullptr ? *options.trustTable : HttpTrustTable::shared()),
      notice_(options.notice != nullptr ? *options.notice : DnsSdUnavailableNotice::shared()),
      logger_(logger), onDeviceChanged_(std::move(onDeviceChanged)),
      retryPause_(options.retryPause), wakeInterval_(options.wakeInterval),
      pause_(std::move(options.pause)),
      errorStream_(options.errorStream != nullptr ? *options.errorStream : std::cerr) {}

DnsSdBrowser::~DnsSdBrowser() {
    try {
        stopDiscovery();
    } catch (const std::exception& error) {
        logger_.log(std::string("Stopping DNS-SD discovery failed: ") + error.what(), "error");
    }
}

void DnsSdBrowser::setInterfaceIndex(std::uint32_t index) {
    const std::lock_guard lock(mutex_);
    interfaceIndex_ = index;
}

std::uint32_t DnsSdBrowser::interfaceIndex() const {
    const std::lock_guard lock(mutex_);
    return interfaceIndex_;
}

void DnsSdBrowser::startDiscovery(const std::string& serviceType) {
    if (running_.load()) {
        return;
    }
    if (thread_.joinable()) {
        thread_.join();  // Only after a stop that could not join; the thread has ended.
    }
    {
        const std::lock_guard lock(mutex_);
        serviceType_ = serviceType;
    }
    running_.store(true);
    notice_.browserStarted();
    try {
        thread_ = std::thread(&DnsSdBrowser::discoveryLoop, this);
    } catch (...) {
        running_.store(false);
        notice_.browserStopped();
        throw;
    }
}

void DnsSdBrowser::stopDiscovery() {
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) {
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                                "stopDiscovery on the discovery thread");
    }
    bool wasRunning = false;
    {
        // Under the pause lock, so a pause that is about to begin sees the change.
        const std::lock_guard lock(pauseMutex_);
        wasRunning = running_.exchange(false);
    }
    pauseWake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    releaseAll();
    if (wasRunning) {
        notice_.browserStopped();
    }
}

bool DnsSdBrowser::isRunning() const {
    return running_.load();
}

std::string DnsSdBrowser::serviceType() const {
    const std::lock_guard lock(mutex_);
    return serviceType_;
}

std::vector<DiscoveredDevice> DnsSdBrowser::devices() const {
    const std::lock_guard lock(mutex_);
    std::vector<DiscoveredDevice> copies;
    copies.reserve(devices_.size());
    for (const auto& [host, record] : devices_) {
        copies.push_back(record);
    }
    return copies;
}

void DnsSdBrowser::discoveryLoop() {
    try {
        {
            const std::lock_guard lock(mutex_);
            loopServiceType_ = serviceType_;
        }
        netaudio_ = loopServiceType_ == kNetaudioServiceType;
        setCurrentThreadName(threadName(loopServiceType_));

        // Attempts are never reset within one start: after the last one the browser stays
        // marked running, idle, until it is stopped.
        for (int attempts = 0; running_.load() && attempts < kBrowseAttempts; ++attempts) {
            DnsSdRef ref = nullptr;
            const DnsSdError error =
                dnsSd_.browse(&ref, 0, interfaceIndex(), loopServiceType_.c_str(), nullptr,
                              &DnsSdBrowser::onBrowseReply, this);
            if (error != kDnsSdErrNoError) {
                if (ref != nullptr) {
                    dnsSd_.refDeallocate(ref);
                }
                // One write per line: the two browsers share the stream.
                errorStream_ << ("Failed to browse (" + loopServiceType_ +
                                 "): " + std::to_string(error) + "\n")
                             << std::flush;
                noteFailure(error);
                if (!running_.load()) {
                    break;
                }
                waitBeforeRetry();
                continue;
            }
            browseRef_ = ref;
            runEventLoop();
            releaseAll();
            if (!running_.load()) {
                break;
            }
            waitBeforeRetry();
        }
    } catch (const std::exception& error) {
        logger_.log(std::string("DNS-SD discovery failed: ") + error.what(), "error");
    } catch (...) {
        logger_.log("DNS-SD discovery failed with an unknown error", "error");
    }
}

void DnsSdBrowser::waitBeforeRetry() {
    if (pause_) {
        pause_(retryPause_);
        return;
    }
    std::unique_lock lock(pauseMutex_);
    pauseWake_.wait_for(lock, retryPause_, [this] { return !running_.load(); });
}

void DnsSdBrowser::runEventLoop() {
    while (running_.load()) {
        // The operations' sockets of one cycle's wait, each once.
        ReadinessSet watched(kMaxWatchedSockets);
        const NativeHandle browseSocket = nativeHandleOf(dnsSd_.refSockFd(browseRef_));
        watched.add(browseSocket);

        std::vector<DnsSdRef> freed;
        std::vector<DnsSdRef> active;
        {
            const std::lock_guard lock(mutex_);
            for (DnsSdRef ref : retiredRefs_) {
                std::erase(activeRefs_, ref);
                endLookupLocked(ref);
                freed.push_back(ref);
            }
            retiredRefs_.clear();
            active = activeRefs_;
        }
        // Retired in a callback of the last cycle; freed here, outside every callback.
        for (DnsSdRef ref : freed) {
            dnsSd_.refDeallocate(ref);
        }
        for (DnsSdRef ref : active) {
            watched.add(nativeHandleOf(dnsSd_.refSockFd(ref)));
        }

        // An error (EINTR) counts like a time-out.
        const int ready = watched.wait(wakeInterval_);
        if (!running_.load()) {
            return;
        }
        if (ready <= 0) {
            continue;
        }
        if (watched.ready(browseSocket)) {
            const DnsSdError error = dnsSd_.processResult(browseRef_);
            if (error != kDnsSdErrNoError) {
                noteFailure(error);
                return;
            }
        }
        {
            const std::lock_guard lock(mutex_);
            active = activeRefs_;
        }
        for (DnsSdRef ref : active) {
            if (!watched.ready(nativeHandleOf(dnsSd_.refSockFd(ref)))) {
                continue;
            }
            if (dnsSd_.processResult(ref) != kDnsSdErrNoError) {
                retire(ref);
                const std::lock_guard lock(mutex_);
                endLookupLocked(ref);
            }
        }
    }
}

void DnsSdBrowser::releaseAll() {
    if (browseRef_ != nullptr) {
        dnsSd_.refDeallocate(browseRef_);
        browseRef_ = nullptr;
    }
    std::vector<DnsSdRef> all;
    {
        const std::lock_guard lock(mutex_);
        all = activeRefs_;
        for (DnsSdRef ref : retiredRefs_) {
            if (std::find(all.begin(), all.end(), ref) == all.end()) {
                all.push_back(ref);
            }
        }
        activeRefs_.clear();
        retiredRefs_.clear();
        pendingAddressHosts_.clear();
        lookupHosts_.clear();
    }
    for (DnsSdRef ref : all) {
        dnsSd_.refDeallocate(ref);
    }
}

void DnsSdBrowser::noteFailure(DnsSdError error) {
    if (error == kDnsSdErrServiceNotRunning && notice_.claim()) {
        logger_.log(kDnsSdUnavailableMessage, "error");
    }
}

void DnsSdBrowser::retire(DnsSdRef ref) {
    const std::lock_guard lock(mutex_);
    if (std::find(retiredRefs_.begin(), retiredRefs_.end(), ref) == retiredRefs_.end()) {
        retiredRefs_.push_back(ref);
    }
}

void DnsSdBrowser::endLookupLocked(DnsSdRef ref) {
    const auto it = lookupHosts_.find(ref);
    if (it == lookupHosts_.end()) {
        return;
    }
    const auto pending = pendingAddressHosts_.find(it->second);
    if (pending != pendingAddressHosts_.end() && pending->second == ref) {
        pendingAddressHosts_.erase(pending);
    }
    lookupHosts_.erase(it);
}

void DnsSdBrowser::report(const DiscoveredDevice& record) {
    if (!onDeviceChanged_) {
        return;
    }
    try {
        onDeviceChanged_(record, false);
    } catch (const std::exception& error) {
        logger_.log(std::string("Discovery callback failed: ") + error.what(), "error");
    } catch (...) {
        logger_.log("Discovery callback failed with an unknown error", "error");
    }
}

// The static replies run inside DnsSdApi::processResult, below C code in the system's
// implementation: nothing may unwind out of them.

void DnsSdBrowser::onBrowseReply(DnsSdRef, DnsSdFlags flags, std::uint32_t interfaceIndex,
                                 DnsSdError error, const char* serviceName, const char* regtype,
                                 const char* replyDomain, void* context) {
    if (context == nullptr || error != kDnsSdErrNoError) {
        return;
    }
    auto* self = static_cast<DnsSdBrowser*>(context);
    try {
        self->handleBrowseReply(flags, interfaceIndex, serviceName, regtype, replyDomain);
    } catch (const std::exception& failure) {
        self->logger_.log(std::string("DNS-SD browse reply failed: ") + failure.what(), "error");
    } catch (...) {
        self->logger_.log("DNS-SD browse reply failed with an unknown error", "error");
    }
}

void DnsSdBrowser::onResolveReply(DnsSdRef ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                                  DnsSdError error, const char* fullName, const char* hostTarget,
                                  std::uint16_t, std::uint16_t txtLength,
                                  const unsigned char* txtRecord, void* context) {
    if (context == nullptr) {
        return;
    }
    auto* self = static_cast<DnsSdBrowser*>(context);
    try {
        self->handleResolveReply(ref, flags, interfaceIndex, error, fullName, hostTarget, txtLength,
                                 txtRecord);
    } catch (const std::exception& failure) {
        self->logger_.log(std::string("DNS-SD resolve reply failed: ") + failure.what(), "error");
    } catch (...) {
        self->logger_.log("DNS-SD resolve reply failed with an unknown error", "error");
    }
}

void DnsSdBrowser::onAddressReply(DnsSdRef ref, DnsSdFlags flags, std::uint32_t, DnsSdError error,
                                  const char* hostname, const sockaddr* address, std::uint32_t,
                                  void* context) {
    if (context == nullptr) {
        return;
    }
    auto* self = static_cast<DnsSdBrowser*>(context);
    try {
        self->handleAddressReply(ref, flags, error, hostname, address);
    } catch (const std::exception& failure) {
        self->logger_.log(std::string("DNS-SD address reply failed: ") + failure.what(), "error");
    } catch (...) {
        self->logger_.log("DNS-SD address reply failed with an unknown error", "error");
    }
}

void DnsSdBrowser::handleBrowseReply(DnsSdFlags flags, std::uint32_t interfaceIndex,
                                     const char* serviceName, const char* regtype,
                                     const char* replyDomain) {
    // An instance that went away is not acted upon: its host keeps its last record.
    if ((flags & kDnsSdFlagsAdd) == 0 || serviceName == nullptr || regtype == nullptr ||
        replyDomain == nullptr) {
        return;
    }
    DnsSdRef ref = nullptr;
    const DnsSdError error = dnsSd_.resolve(&ref, 0, interfaceIndex, serviceName, regtype,
                                            replyDomain, &DnsSdBrowser::onResolveReply, this);
    if (ref == nullptr) {
        return;
    }
    const std::lock_guard lock(mutex_);
    (error == kDnsSdErrNoError ? activeRefs_ : retiredRefs_).push_back(ref);
}

void DnsSdBrowser::handleResolveReply(DnsSdRef ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                                      DnsSdError error, const char* fullName,
                                      const char* hostTarget, std::uint16_t txtLength,
                                      const unsigned char* txtRecord) {
    const bool moreComing = (flags & kDnsSdFlagsMoreComing) != 0;
    const auto finish = [&] {
        if (!moreComing) {
            retire(ref);
        }
    };
    if (error != kDnsSdErrNoError) {
        finish();
        return;
    }
    const std::string host = hostTarget != nullptr ? hostTarget : "";
    const std::string instance = instanceName(fullName != nullptr ? fullName : "");
    // A device in recovery mode is no device to monitor, under either service type. A reply
    // without a host target names nothing that could be looked up or registered.
    if (host.empty() || containsIgnoringCase(instance, "RECOVERY")) {
        finish();
        return;
    }
    const std::vector<std::string> txt = parseTxtStrings(txtRecord, txtLength);

    if (netaudio_) {
        const auto values = txtKeyValues(txt);
        const auto maker = values.find("mf");
        if (maker == values.end() || maker->second != kMakerMark) {
            finish();
            return;
        }
        updateRecord(host, instance, std::string());
        startAddressLookup(host, interfaceIndex);
        finish();
        return;
    }

    constexpr std::string_view kDntNamePrefix = "dnt_name=";
    bool vendorId = false;
    std::string dntName;
    for (const std::string& text : txt) {
        if (text.find("vendor_id=true") != std::string::npos) {
            vendorId = true;
        }
        if (dntName.empty() && text.starts_with(kDntNamePrefix)) {
            dntName = text.substr(kDntNamePrefix.size());
        }
    }
    const bool nameMark = containsIgnoringCase(instance, kMakerMark);
    const bool trustedNow = nameMark || vendorId;
    const std::string friendlyCandidate =
        (!vendorId && !nameMark && !instance.empty()) ? instance : std::string();
    const HttpTrustEntry entry = trust_.record(host, trustedNow, dntName, friendlyCandidate);
    if (!entry.trusted) {
        finish();  // Pending trust: a marked instance of the same host may still come.
        return;
    }
    updateRecord(
        host, entry.danteName.empty() ? std::nullopt : std::optional<std::string>(entry.danteName),
        entry.friendlyName.empty() ? std::nullopt : std::optional<std::string>(entry.friendlyName));
    startAddressLookup(host, interfaceIndex);
    finish();
}

void DnsSdBrowser::updateRecord(const std::string& host,
                                const std::optional<std::string>& danteName,
                                const std::optional<std::string>& friendlyName) {
    std::optional<DiscoveredDevice> changedRecord;
    {
        const std::lock_guard lock(mutex_);
        DiscoveredDevice& record = devices_[host];
        bool changed = false;
        if (record.hostname != host) {
            record.hostname = host;
            changed = true;
        }
        if (danteName && record.danteName != *danteName) {
            record.danteName = *danteName;
            changed = true;
        }
        if (friendlyName && record.friendlyName != *friendlyName) {
            record.friendlyName = *friendlyName;
            changed = true;
        }
        // A host still without address is reported again on every accepted reply.
        if (changed || record.ip.empty()) {
            changedRecord = record;
        }
    }
    if (changedRecord) {
        report(*changedRecord);
    }
}

void DnsSdBrowser::startAddressLookup(const std::string& host, std::uint32_t interfaceIndex) {
    {
        const std::lock_guard lock(mutex_);
        if (!pendingAddressHosts_.emplace(host, nullptr).second) {
            return;  // At most one lookup per host in flight.
        }
    }
    DnsSdRef ref = nullptr;
    const DnsSdError error = dnsSd_.getAddrInfo(&ref, 0, interfaceIndex, kDnsSdProtocolIPv4,
                                                host.c_str(), &DnsSdBrowser::onAddressReply, this);
    const std::lock_guard lock(mutex_);
    if (error == kDnsSdErrNoError && ref != nullptr) {
        activeRefs_.push_back(ref);
        pendingAddressHosts_[host] = ref;
        lookupHosts_[ref] = host;
        return;
    }
    if (ref != nullptr) {
        retiredRefs_.push_back(ref);
    }
    pendingAddressHosts_.erase(host);
}

void DnsSdBrowser::handleAddressReply(DnsSdRef ref, DnsSdFlags flags, DnsSdError error,
                                      const char* hostname, const sockaddr* address) {
    const bool moreComing = (flags & kDnsSdFlagsMoreComing) != 0;
    const std::string host = hostname != nullptr ? hostname : "";
    const auto endLookup = [&] {
        retire(ref);
        const std::lock_guard lock(mutex_);
        pendingAddressHosts_.erase(host);
        endLookupLocked(ref);
    };
    if (error != kDnsSdErrNoError) {
        if (moreComing) {
            retire(ref);
        } else {
            endLookup();
        }
        return;
    }
    const std::string text = ipv4AddressText(address);
    std::optional<DiscoveredDevice> changedRecord;
    {
        const std::lock_guard lock(mutex_);
        const auto it = devices_.find(host);
        if (it != devices_.end() && it->second.ip != text) {
            it->second.ip = text;
            changedRecord = it->second;
        }
    }
    if (changedRecord) {
        report(*changedRecord);
    }
    // While more replies are coming the lookup stays, and later addresses overwrite ip.
    if (!moreComing) {
        endLookup();
    }
}

}  // namespace pellan
