#pragma once
#include "devices/device_entry.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace pellan {
class Logger;

/// The single in-memory registry of every known device: one DeviceEntry per
/// device, keyed by its exact, case-sensitive `hostname`, in insertion order.
///
/// Kind: locked manager. One recursive mutex guards the list; every operation holds it for
///   its whole duration, so each operation is atomic (a sequence of them is not).
/// Look-ups: linear scans in registry order; a look-up that finds nothing returns a default
///   DeviceEntry (empty `hostname`). Live-state updates act on the first record whose `ip`
///   equals the argument and do nothing when there is none.
/// Callbacks: none; the registry notifies nobody and persists nothing.
/// Logging: the log call is made with the registry's lock held (order: registry, then logger).
/// Thread safety: every public member may be called from any thread.
/// Lifetime: `logger` must outlive this object.
class DeviceManager {
public:
    explicit DeviceManager(Logger& logger);
    DeviceManager(const DeviceManager&) = delete;
    DeviceManager& operator=(const DeviceManager&) = delete;

    // Queries: copies, never references into the registry.
    DeviceEntry findDeviceByHostname(const std::string& hostname) const;
    /// An empty address matches the first record whose `ip` is empty.
    DeviceEntry findDeviceByIp(const std::string& ip) const;
    /// Records with an empty `danteName` never match.
    DeviceEntry findDeviceByDanteName(const std::string& name) const;
    /// Records with an empty `hostname2` never match; an empty argument matches nothing.
    DeviceEntry findDeviceByHostname2(const std::string& name) const;
    std::vector<DeviceEntry> listDevices() const;

    /// The registry's records with the revision they are at.
    struct Snapshot {
        std::vector<DeviceEntry> devices;
        std::uint64_t revision = 0;
    };
    Snapshot snapshot() const;
    /// Grows with every call that may change the registry (also one that ends up changing
    /// nothing), so that a reader can tell without copying that what it built from an
    /// earlier snapshot still holds. Does not take the registry's lock.
    std::uint64_t revision() const;
    std::vector<DeviceEntry> listMonitoredDevices() const;
    /// True when a record other than the one named by a non-empty `exceptHostname` links
    /// physical output `physicalIndex` (1..10) of GPIO unit `gpioHostname`.
    bool isGpioOutputLinked(const std::string& gpioHostname, std::int32_t physicalIndex,
                            const std::string& exceptHostname) const;

    // Changes by discovery and start-up.
    /// Adds a new device or merges identity fields into the record with the same `hostname`;
    /// `stockCode` and `commCount` are always derived from the host name. True when a record
    /// was added or changed; false for an empty `hostname`.
    bool addOrUpdateDevice(const DeviceEntry& record);
    /// Merges identity fields into the first record with that non-empty `danteName`.
    bool updateDeviceByDanteName(const std::string& name, const DeviceEntry& record);
    /// Merges identity fields into the first record with that non-empty `hostname2`.
    bool updateDeviceByHostname2(const std::string& name, const DeviceEntry& record);
    /// Removes every record with that `hostname`; false for an empty argument.
    bool removeDevice(const std::string& hostname);
    /// Removes every NetAudio-discovered record whose non-empty `danteName` equals `name`.
    bool removeNetaudioDevicesByDanteName(const std::string& name);
    /// Replaces the whole registry by the persisted records with a non-empty `hostname`,
    /// live state reset.
    void restoreDevices(const std::vector<DeviceEntry>& records);

    // User settings: act on the first record with that `hostname`.
    void setMonitored(const std::string& hostname, bool value);
    void setTalkActive(const std::string& hostname, bool value);
    /// Stored unvalidated.
    void setDeviceAudioSettings(const std::string& hostname, std::int32_t paInput,
                                std::int32_t paTalkOutput, std::int32_t vgpioHelp);
    /// True when either value differed before; false when there is no such record.
    bool setLinkedGpio(const std::string& hostname, const std::string& gpioHostname,
                       std::int32_t physicalIndex);

    // Live state: act on the first record with that `ip`.
    void setOnlineByIp(const std::string& ip, bool value);
    /// Replaces onAirStates, talkBackStates, lazyGang, all 8 muted and cough.
    void updateAudioStateByIp(const std::string& ip, const DeviceEntry& record);
    void updateMeterLevelsByIp(const std::string& ip, const DeviceEntry& record);
    void updateInputStateByIp(const std::string& ip, const std::array<bool, 8>& muted,
                              const std::array<bool, 8>& gpiMute);
    /// True only when the stored value differed.
    bool setMicMutedByIp(const std::string& ip, bool value);
    /// Copies vgpioTypes[n] and vgpioStates[n], n = 1..10, except values of -1 (not reported).
    void updateVgpioByIp(const std::string& ip, const DeviceEntry& record);
    /// Copies the three physical GPIO arrays at n = 1..10, except values of -1 (not reported).
    void updateGpioPhysicalByIp(const std::string& ip, const DeviceEntry& record);

private:
    using Devices = std::vector<DeviceEntry>;

    // Each is called with mutex_ held; end() of devices_ when nothing matches.
    Devices::iterator findByHostnameLocked(const std::string& hostname);
    Devices::iterator findByIpLocked(const std::string& ip);
    Devices::const_iterator findByHostnameLocked(const std::string& hostname) const;
    Devices::const_iterator findByIpLocked(const std::string& ip) const;

    /// Locks the registry for a change and counts the revision.
    std::unique_lock<std::recursive_mutex> lockForChange();

    Logger& logger_;

    mutable std::recursive_mutex mutex_;
    Devices devices_;                         // Guarded by mutex_.
    std::atomic<std::uint64_t> revision_{0};  // Written with mutex_ held; read without.
};

}  // namespace pellan
