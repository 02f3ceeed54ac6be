#pragma once
#include "discovery/discovered_device.hpp"
#include "discovery/discovery_browser.hpp"
#include "platform/dns_sd.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace pellan {
class DnsSdUnavailableNotice;
class HttpTrustTable;
class Logger;

inline constexpr const char* kHttpServiceType = "_http._tcp";
inline constexpr const char* kNetaudioServiceType = "_netaudio-cmc._udp";
/// The maker's mark in a web service's instance name (compared case-insensitively), and the
/// "mf" value of its Dante control service (compared exactly).
inline constexpr const char* kMakerMark = "Vantrel";

/// Browse attempts per start of discovery before the browser gives up.
inline constexpr int kBrowseAttempts = 5;
/// Pause after each failed browse attempt.
inline constexpr std::chrono::milliseconds kBrowseRetryPause{5000};
/// The event loop wakes at least this often, so a stop takes effect within it.
inline constexpr std::chrono::milliseconds kDiscoveryWakeInterval{1000};
/// Sockets watched in one cycle of the event loop (the browse socket included).
inline constexpr std::size_t kMaxWatchedSockets = 64;

/// What DnsSdBrowser is built on and how it paces itself; the defaults are the system's.
struct DnsSdBrowserOptions {
    DnsSdApi* dnsSd = nullptr;                 ///< null: systemDnsSd().
    HttpTrustTable* trustTable = nullptr;      ///< null: HttpTrustTable::shared().
    DnsSdUnavailableNotice* notice = nullptr;  ///< null: DnsSdUnavailableNotice::shared().
    std::chrono::milliseconds retryPause = kBrowseRetryPause;
    std::chrono::milliseconds wakeInterval = kDiscoveryWakeInterval;
    /// Runs each pause between browse attempts, given `retryPause`; empty: sleeps that long.
    std::function<void(std::chrono::milliseconds)> pause;
    /// Where "Failed to browse (...)" lines go; null: std::cerr.
    std::ostream* errorStream = nullptr;
};

/// Finds the maker's devices that announce one DNS-SD service type and reports each host as
/// a DiscoveredDevice. One discovery thread per started browser owns a browse operation,
/// resolves every announced instance, looks up the IPv4 address of every accepted host (at
/// most one lookup per host at a time) and waits on all their sockets. "_http._tcp" services
/// count when their instance name carries the maker mark or their TXT record says
/// "vendor_id=true" (for the whole host, through the HttpTrustTable); "_netaudio-cmc._udp"
/// services when their TXT "mf" is exactly the maker mark. Instances named with "RECOVERY"
/// are ignored. Records are kept per host, never removed, and survive restarts.
///
/// A browse that cannot be started, or whose processing fails, is retried 5 s later, at most
/// 5 attempts per start; each failed start writes "Failed to browse (TYPE): CODE" to the
/// error stream. The first time in a start of discovery that the DNS-SD service turns out to
/// be missing, kDnsSdUnavailableMessage is logged, category "error" (see
/// DnsSdUnavailableNotice). Otherwise the browser logs only failures of its own thread and of
/// the callback, category "error".
///
/// Kind: thread owner. One discovery thread, started by startDiscovery() and joined by
///   stopDiscovery().
/// Callbacks: every DNS-SD reply and every onDeviceChanged call run on the discovery thread,
///   with no lock of this class (or of the trust table) held, so the callback may call any
///   member except stopDiscovery(). An exception from it is logged and discovery goes on.
/// Thread safety: every member may be called from any thread; startDiscovery() and
///   stopDiscovery() not concurrently with each other. stopDiscovery() from the discovery
///   thread (inside the callback) throws std::system_error (resource deadlock).
/// Lifetime: `logger`, and the DNS-SD API, trust table and notice of the options, must
///   outlive this object.
class DnsSdBrowser final : public DiscoveryBrowser {
public:
    DnsSdBrowser(DeviceChangedCallback onDeviceChanged, Logger& logger,
                 DnsSdBrowserOptions options = {});
    ~DnsSdBrowser() override;  ///< Calls stopDiscovery().
    DnsSdBrowser(const DnsSdBrowser&) = delete;
    DnsSdBrowser& operator=(const DnsSdBrowser&) = delete;

    /// The interface index of later browse operations (0: all interfaces).
    void setInterfaceIndex(std::uint32_t index) override;
    /// Nothing when running. Otherwise marks the browser running and starts the discovery
    /// thread; throws std::system_error (and is not running) when the thread cannot be made.
    void startDiscovery(const std::string& serviceType) override;
    /// Idempotent. Clears running, joins the thread (which can take up to one retry pause
    /// when it is pausing between attempts, else at most one wake interval), then ends every
    /// DNS-SD operation. The records and the trust table keep their contents.
    void stopDiscovery() override;
    /// True from startDiscovery() to stopDiscovery(), also after the browser gave up.
    bool isRunning() const override;
    std::string serviceType() const override;
    std::uint32_t interfaceIndex() const;
    /// Copies of the records, ordered by host name.
    std::vector<DiscoveredDevice> devices() const;

private:
    void discoveryLoop();
    /// Returns when running is cleared or processing the browse operation failed.
    void runEventLoop();
    void waitBeforeRetry();
    void releaseAll();
    void noteFailure(DnsSdError error);
    void retire(DnsSdRef ref);
    void report(const DiscoveredDevice& record);

    static void onBrowseReply(DnsSdRef ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                              DnsSdError error, const char* serviceName, const char* regtype,
                              const char* replyDomain, void* context);
    static void onResolveReply(DnsSdRef ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                               DnsSdError error, const char* fullName, const char* hostTarget,
                               std::uint16_t port, std::uint16_t txtLength,
                               const unsigned char* txtRecord, void* context);
    static void onAddressReply(DnsSdRef ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                               DnsSdError error, const char* hostname, const sockaddr* address,
                               std::uint32_t ttl, void* context);

    void handleBrowseReply(DnsSdFlags flags, std::uint32_t interfaceIndex, const char* serviceName,
                           const char* regtype, const char* replyDomain);
    void handleResolveReply(DnsSdRef ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                            DnsSdError error, const char* fullName, const char* hostTarget,
                            std::uint16_t txtLength, const unsigned char* txtRecord);
    void handleAddressReply(DnsSdRef ref, DnsSdFlags flags, DnsSdError error, const char* hostname,
                            const sockaddr* address);
    /// nullopt leaves a name alone; an empty friendly name clears it (NetAudio).
    void updateRecord(const std::string& host, const std::optional<std::string>& danteName,
                      const std::optional<std::string>& friendlyName);
    void startAddressLookup(const std::string& host, std::uint32_t interfaceIndex);
    /// Forgets `host`'s lookup in flight if `ref` is that lookup. Called with mutex_ held.
    void endLookupLocked(DnsSdRef ref);

    DnsSdApi& dnsSd_;
    HttpTrustTable& trust_;
    DnsSdUnavailableNotice& notice_;
    Logger& logger_;
    const DeviceChangedCallback onDeviceChanged_;
    const std::chrono::milliseconds retryPause_;
    const std::chrono::milliseconds wakeInterval_;
    const std::function<void(std::chrono::milliseconds)> pause_;  // Empty: waitBeforeRetry.
    // The default pause between browse attempts ends at once when the browser is stopped.
    std::mutex pauseMutex_;
    std::condition_variable pauseWake_;
    std::ostream& errorStream_;

    std::atomic<bool> running_{false};

    mutable std::mutex mutex_;
    std::string serviceType_;                            // Guarded by mutex_.
    std::uint32_t interfaceIndex_ = kDnsSdInterfaceAny;  // Guarded by mutex_.
    std::map<std::string, DiscoveredDevice> devices_;    // Guarded by mutex_: key = hostname.
    std::vector<DnsSdRef> activeRefs_;                   // Guarded by mutex_: sockets watched.
    std::vector<DnsSdRef> retiredRefs_;                  // Guarded by mutex_: freed next cycle.
    /// Guarded by mutex_: hosts with an address lookup in flight, and that lookup (null while
    /// it is being started).
    std::unordered_map<std::string, DnsSdRef> pendingAddressHosts_;
    std::unordered_map<DnsSdRef, std::string> lookupHosts_;  // Guarded by mutex_.

    // Touched by the discovery thread only, or by releaseAll() once it was joined.
    DnsSdRef browseRef_ = nullptr;
    std::string loopServiceType_;
    bool netaudio_ = false;

    std::thread thread_;  // Last: declared after everything discoveryLoop() uses.
};

}  // namespace pellan
