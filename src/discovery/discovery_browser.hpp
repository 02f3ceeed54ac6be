#pragma once
#include <cstdint>
#include <string>

namespace pellan {

/// What DiscoveryManager needs of a DNS-SD browser: start, stop and re-target it, and read
/// whether it runs. DnsSdBrowser is the one implementation; tests give their own.
///
/// Kind: an interface. Thread safety: as the implementation documents.
class DiscoveryBrowser {
public:
    DiscoveryBrowser() = default;
    virtual ~DiscoveryBrowser() = default;
    DiscoveryBrowser(const DiscoveryBrowser&) = delete;
    DiscoveryBrowser& operator=(const DiscoveryBrowser&) = delete;

    /// For operations started later; restarts nothing.
    virtual void setInterfaceIndex(std::uint32_t index) = 0;
    /// Nothing when running already. Throws std::system_error when no thread can be made.
    virtual void startDiscovery(const std::string& serviceType) = 0;
    /// Idempotent; blocks until the browser's thread has ended.
    virtual void stopDiscovery() = 0;
    virtual bool isRunning() const = 0;
    /// The service type given to the last startDiscovery (empty before the first).
    virtual std::string serviceType() const = 0;
};

}  // namespace pellan
