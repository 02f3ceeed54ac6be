#pragma once
#include "discovery/discovered_device.hpp"
#include "platform/dns_sd.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace pellan {

inline void PrintTo(const DiscoveredDevice& record, std::ostream* out) {
    *out << "{hostname \"" << record.hostname << "\", ip \"" << record.ip << "\", danteName \""
         << record.danteName << "\", friendlyName \"" << record.friendlyName << "\"}";
}

}  // namespace pellan

namespace pellan::test {

inline constexpr std::chrono::milliseconds kFakeDeadline{5000};

/// Length-prefixed TXT strings, in this order.
std::vector<unsigned char> txtRecord(const std::vector<std::string>& strings);

/// A scripted DNS-SD behind the DnsSdApi interface, for unit tests of the engine. Every
/// operation gets a socket pair; a reply the test queues makes its socket readable, and the
/// engine's processResult delivers it (one reply per call) on the engine's thread, outside
/// the fake's lock. Nothing answers unless the test says so.
///
/// The fake also checks the engine's use of the API and lists every misuse: an operation
/// deallocated twice, used after deallocation, deallocated inside its own callback, or
/// processed with no reply pending (which blocks in a real implementation).
///
/// Kind: locked manager; one mutex. Thread safety: the test thread scripts and waits while
///   the engine's thread calls the API.
class FakeDnsSd final : public DnsSdApi {
public:
    enum class Kind { Browse, Resolve, AddressLookup };

    /// One operation as the test sees it (a copy).
    struct Operation {
        DnsSdRef ref = nullptr;
        Kind kind = Kind::Browse;
        std::uint32_t interfaceIndex = 0;
        DnsSdFlags flags = 0;
        std::string name;  ///< browse: the type; resolve: the instance; lookup: the host.
        std::string regtype;
        std::string domain;
        std::uint32_t protocol = 0;
        bool deallocated = false;
        std::size_t delivered = 0;  ///< Replies the engine has had.
        std::size_t queued = 0;     ///< Replies not yet delivered.
    };

    FakeDnsSd() = default;
    ~FakeDnsSd() override;

    // Scripted start results: the next `count` calls (of that name, when given) fail with
    // `error`; `returnRef` also hands out a reference, which the engine must free.
    void failBrowses(int count, DnsSdError error, bool returnRef = false);
    void failResolves(const std::string& instance, DnsSdError error, bool returnRef = false);
    void failLookups(const std::string& host, DnsSdError error, bool returnRef = false);
    /// Operations started from now on have no socket (refSockFd answers -1).
    void setWithoutSocket(bool withoutSocket);

    /// The `occurrence`-th operation (0 = first) of `kind` whose name is `name` (empty: any),
    /// once the engine has started it; nothing when that takes longer than `timeout`.
    std::optional<Operation> waitForOperation(Kind kind, const std::string& name = "",
                                              std::size_t occurrence = 0,
                                              std::chrono::milliseconds timeout = kFakeDeadline);
    std::vector<Operation> operations(Kind kind, const std::string& name = "") const;
    std::optional<Operation> operation(DnsSdRef ref) const;
    std::size_t liveOperations() const;
    std::vector<std::string> misuse() const;

    // Replies, queued on `ref` and delivered in order by processResult.
    void browseReply(DnsSdRef ref, DnsSdFlags flags, const std::string& instance,
                     const std::string& regtype = "_http._tcp.",
                     const std::string& domain = "local.", std::uint32_t interfaceIndex = 7,
                     DnsSdError error = kDnsSdErrNoError);
    void resolveReply(DnsSdRef ref, const std::string& fullName, const std::string& host,
                      const std::vector<unsigned char>& txt, DnsSdFlags flags = 0,
                      std::uint32_t interfaceIndex = 7, DnsSdError error = kDnsSdErrNoError);
    /// `ipv4` empty: an address of another family.
    void addressReply(DnsSdRef ref, const std::string& host, const std::string& ipv4,
                      DnsSdFlags flags = kDnsSdFlagsAdd, DnsSdError error = kDnsSdErrNoError);
    /// The next processResult of `ref` (in reply order) returns `error` and delivers nothing.
    void failProcessing(DnsSdRef ref, DnsSdError error);
    /// A reply whose callback runs `action` on the engine's thread instead of a DNS-SD reply.
    void queueAction(DnsSdRef ref, std::function<void()> action);

    /// Until every reply queued on `ref` so far has been delivered.
    bool waitUntilDelivered(DnsSdRef ref, std::chrono::milliseconds timeout = kFakeDeadline);
    bool waitUntilDeallocated(DnsSdRef ref, std::chrono::milliseconds timeout = kFakeDeadline);
    /// Until refSockFd(ref) was asked `count` more times than now: the engine's event loop asks
    /// for the browse socket once per cycle, so this waits for that many cycles.
    bool waitForCycles(DnsSdRef ref, std::size_t count,
                       std::chrono::milliseconds timeout = kFakeDeadline);

    DnsSdError browse(DnsSdRef* ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                      const char* regtype, const char* domain, DnsSdBrowseReply callback,
                      void* context) override;
    DnsSdError resolve(DnsSdRef* ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                       const char* name, const char* regtype, const char* domain,
                       DnsSdResolveReply callback, void* context) override;
    DnsSdError getAddrInfo(DnsSdRef* ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                           std::uint32_t protocol, const char* hostname, DnsSdAddressReply callback,
                           void* context) override;
    int refSockFd(DnsSdRef ref) override;
    DnsSdError processResult(DnsSdRef ref) override;
    void refDeallocate(DnsSdRef ref) override;

private:
    struct Reply {
        std::function<void(DnsSdRef)> deliver;  // Empty with a failure.
        DnsSdError failure = kDnsSdErrNoError;
    };
    struct Op : DnsSdOperation {
        Operation info;
        int readFd = -1;
        int writeFd = -1;
        std::deque<Reply> replies;
        std::size_t socketQueries = 0;
        DnsSdBrowseReply browseCallback = nullptr;
        DnsSdResolveReply resolveCallback = nullptr;
        DnsSdAddressReply addressCallback = nullptr;
        void* context = nullptr;
    };
    struct Failure {
        int count = 0;
        DnsSdError error = kDnsSdErrNoError;
        bool returnRef = false;
    };

    Op* create(Kind kind, std::uint32_t interfaceIndex, DnsSdFlags flags, std::string name,
               void* context);                // mutex_ held.
    Op* find(DnsSdRef ref, const char* use);  // mutex_ held; records misuse.
    void queue(DnsSdRef ref, Reply reply);
    std::optional<Failure> takeFailure(std::map<std::string, Failure>& failures,
                                       const std::string& name);  // mutex_ held.

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<Op>> ops_;            // Guarded by mutex_; kept to the end.
    std::map<std::string, Failure> browseFailures_;   // Guarded by mutex_ (key "").
    std::map<std::string, Failure> resolveFailures_;  // Guarded by mutex_.
    std::map<std::string, Failure> lookupFailures_;   // Guarded by mutex_.
    bool withoutSocket_ = false;                      // Guarded by mutex_.
    std::vector<std::string> misuse_;                 // Guarded by mutex_.
    DnsSdRef inCallback_ = nullptr;                   // Guarded by mutex_.
    std::thread::id callbackThread_;                  // Guarded by mutex_.
};

/// Counts the retry pauses and, when gated, holds each one until the test opens the gate.
class PauseControl {
public:
    std::function<void(std::chrono::milliseconds)> hook() {
        return [this](std::chrono::milliseconds duration) {
            std::unique_lock lock(mutex_);
            ++entered_;
            lastDuration_ = duration;
            changed_.notify_all();
            changed_.wait_for(lock, std::chrono::seconds(10), [&] { return !gated_; });
        };
    }
    void gate(bool closed) {
        const std::lock_guard lock(mutex_);
        gated_ = closed;
        changed_.notify_all();
    }
    bool waitForPauses(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kFakeDeadline, [&] { return entered_ >= count; });
    }
    int pauses() const {
        const std::lock_guard lock(mutex_);
        return entered_;
    }
    std::chrono::milliseconds lastDuration() const {
        const std::lock_guard lock(mutex_);
        return lastDuration_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int entered_ = 0;
    bool gated_ = false;
    std::chrono::milliseconds lastDuration_{0};
};

/// Collects the browser's reports for the test thread.
class ReportRecorder {
public:
    DeviceChangedCallback callback();
    /// Until at least `count` reports came in total.
    bool waitForCount(std::size_t count, std::chrono::milliseconds timeout = kFakeDeadline);
    /// Until a report for which `predicate` holds came (also before the call); that report.
    std::optional<DiscoveredDevice>
    waitFor(const std::function<bool(const DiscoveredDevice&)>& predicate,
            std::chrono::milliseconds timeout = kFakeDeadline);
    std::vector<DiscoveredDevice> reports() const;
    std::vector<bool> flags() const;
    /// Runs on the engine's thread inside each report, before it is recorded.
    void setHook(std::function<void(const DiscoveredDevice&)> hook);

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<DiscoveredDevice> reports_;              // Guarded by mutex_.
    std::vector<bool> flags_;                            // Guarded by mutex_.
    std::function<void(const DiscoveredDevice&)> hook_;  // Guarded by mutex_.
};

}  // namespace pellan::test
