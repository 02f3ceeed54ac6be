#pragma once
#include "platform/network_interfaces.hpp"
#include "storage/app_settings.hpp"

#include <functional>
#include <mutex>
#include <vector>

namespace pellan {
class Logger;

/// The live application settings for all threads, and the PC's network interfaces from
/// which the user picks the one that discovery uses. Persisting is the settings store's job.
///
/// Kind: locked manager (one mutex over every field; logs while holding it).
/// Thread safety: every member may be called from any thread.
/// Lifetime: `logger` must outlive this object.
class AppSettingsManager {
public:
    /// Label that stands for discovery on every interface (interface index 0).
    static constexpr const char* kAllNetworks = "All Networks";

    using InterfaceEnumerator = std::function<std::vector<NetworkInterfaceInfo>()>;

    explicit AppSettingsManager(Logger& logger,
                                InterfaceEnumerator enumerate = enumerateNetworkInterfaces);

    /// Replaces the settings (the interface labels included) and logs them.
    void apply(const AppSettings& record);
    /// Enumerates the adapters again and rebuilds the interface labels.
    void refreshInterfaces();
    /// The interface index of the selected label; 0 for "All Networks" or an unknown label.
    int selectedInterfaceIndex() const;
    AppSettings snapshot() const;

private:
    Logger& logger_;
    const InterfaceEnumerator enumerate_;

    mutable std::mutex mutex_;
    AppSettings settings_;                                 // Guarded by mutex_.
    std::vector<NetworkInterfaceInfo> networkInterfaces_;  // Guarded by mutex_.
};

}  // namespace pellan
