#pragma once
#include <mutex>

namespace pellan {

/// "DNS-SD service unavailable: discovery needs a running avahi-daemon": the line that tells
/// the user why nothing is found, logged once per start of discovery however many browsers
/// find the service missing and however often they retry.
inline constexpr const char* kDnsSdUnavailableMessage =
    "DNS-SD service unavailable: discovery needs a running avahi-daemon";

/// Decides which browser logs kDnsSdUnavailableMessage. A start of discovery is the moment a
/// browser starts while no browser of this notice runs (a browser that gave up after its
/// retries still runs until it is stopped); from then on the first browser to find the
/// service missing claims the notice, every later one is told it was reported. Restarting
/// the browsers one at a time (an interface change) is no new start.
///
/// Kind: locked manager; one mutex. Thread safety: every member may be called from any thread.
/// Lifetime: shared() lives for the whole process and is what every DnsSdBrowser uses unless
///   given another notice (tests).
class DnsSdUnavailableNotice {
public:
    static DnsSdUnavailableNotice& shared();

    DnsSdUnavailableNotice() = default;
    DnsSdUnavailableNotice(const DnsSdUnavailableNotice&) = delete;
    DnsSdUnavailableNotice& operator=(const DnsSdUnavailableNotice&) = delete;

    void browserStarted();
    void browserStopped();
    /// True for the first caller after a start of discovery, false for every later one.
    bool claim();

private:
    std::mutex mutex_;
    int running_ = 0;        // Guarded by mutex_: browsers started and not yet stopped.
    bool reported_ = false;  // Guarded by mutex_.
};

}  // namespace pellan
