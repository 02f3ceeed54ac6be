#include "devices/device_manager.hpp"

#include "devices/device_model.hpp"
#include "log/logger.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace pellan {
namespace {

constexpr std::size_t kFirstPort = 1;
constexpr std::size_t kLastPort = 10;
constexpr std::int32_t kNotReported = -1;

/// The stock code and channel count that deriveStockCode gives a host name, computed on a
/// scratch record so that a merge need not copy the whole incoming record.
struct DerivedModel {
    std::string stockCode;
    std::int32_t commCount = 0;
};

DerivedModel deriveFromHostname(const std::string& hostname) {
    DeviceEntry scratch;
    scratch.hostname = hostname;
    deriveStockCode(scratch);
    return DerivedModel{std::move(scratch.stockCode), scratch.commCount};
}

/// Stores a non-empty incoming value that differs; an empty one never clears a stored one.
bool mergeNonEmpty(std::string& stored, const std::string& incoming) {
    if (incoming.empty() || incoming == stored) {
        return false;
    }
    stored = incoming;
    return true;
}

/// Turns a stored discovery flag on; a merge never turns one off.
bool mergeFlagOn(bool& stored, bool incoming) {
    if (!incoming || stored) {
        return false;
    }
    stored = true;
    return true;
}

/// Copies the reported positions 1..10 of an eleven-element array.
void copyReported(std::array<std::int32_t, 11>& stored,
                  const std::array<std::int32_t, 11>& incoming) {
    for (std::size_t n = kFirstPort; n <= kLastPort; ++n) {
        if (incoming[n] != kNotReported) {
            stored[n] = incoming[n];
        }
    }
}

/// mergeDeviceInfo: identity fields and discovery flags only; user settings,
/// online state and live state of the stored record stay as they are.
bool mergeDeviceInfo(DeviceEntry& d, const DeviceEntry& c, const DerivedModel& derived) {
    bool changed = false;
    changed |= mergeNonEmpty(d.hostname2, c.hostname2);
    changed |= mergeNonEmpty(d.danteName, c.danteName);
    changed |= mergeNonEmpty(d.friendlyName, c.friendlyName);
    changed |= mergeNonEmpty(d.ip, c.ip);
    changed |= mergeNonEmpty(d.ip2, c.ip2);
    changed |= mergeNonEmpty(d.stockCode, derived.stockCode);
    if (d.commCount != derived.commCount) {
        d.commCount = derived.commCount;
        changed = true;
    }
    // A manual add of a discovered device marks it manual; an add from discovery clears it.
    if (d.isManuallyAdded != c.isManuallyAdded) {
        d.isManuallyAdded = c.isManuallyAdded;
        changed = true;
    }
    changed |= mergeFlagOn(d.discoveredByHttp, c.discoveredByHttp);
    changed |= mergeFlagOn(d.discoveredByNetaudio, c.discoveredByNetaudio);
    return changed;
}

/// Stores a new non-empty host name and re-derives the model from it. The registry does not
/// check whether another record already has that name.
bool mergeHostname(DeviceEntry& d, const std::string& hostname) {
    if (!mergeNonEmpty(d.hostname, hostname)) {
        return false;
    }
    deriveStockCode(d);
    return true;
}

void resetLiveState(DeviceEntry& entry) {
    entry.isOnline = false;
    entry.talkActive = false;
    entry.onAirStates.fill(false);
    entry.lazyGang.fill(false);
    entry.muted.fill(false);
    entry.cough.fill(false);
    entry.gpiMuteStates.fill(false);
    entry.meterLevels.fill(0);
    entry.talkBackStates.fill(std::string());
    entry.micMuted = false;
}

}  // namespace

DeviceManager::DeviceManager(Logger& logger) : logger_(logger) {}

DeviceManager::Devices::iterator DeviceManager::findByHostnameLocked(const std::string& hostname) {
    return std::find_if(devices_.begin(), devices_.end(),
                        [&](const DeviceEntry& d) { return d.hostname == hostname; });
}

DeviceManager::Devices::iterator DeviceManager::findByIpLocked(const std::string& ip) {
    return std::find_if(devices_.begin(), devices_.end(),
                        [&](const DeviceEntry& d) { return d.ip == ip; });
}

DeviceManager::Devices::const_iterator
DeviceManager::findByHostnameLocked(const std::string& hostname) const {
    return std::find_if(devices_.begin(), devices_.end(),
                        [&](const DeviceEntry& d) { return d.hostname == hostname; });
}

DeviceManager::Devices::const_iterator DeviceManager::findByIpLocked(const std::string& ip) const {
    return std::find_if(devices_.begin(), devices_.end(),
                        [&](const DeviceEntry& d) { return d.ip == ip; });
}

// ---- Queries ----

DeviceEntry DeviceManager::findDeviceByHostname(const std::string& hostname) const {
    std::lock_guard lock(mutex_);
    const auto it = findByHostnameLocked(hostname);
    if (it == devices_.end()) {
        return DeviceEntry{};
    }
    return *it;
}

DeviceEntry DeviceManager::findDeviceByIp(const std::string& ip) const {
    std::lock_guard lock(mutex_);
    const auto it = findByIpLocked(ip);
    if (it == devices_.end()) {
        return DeviceEntry{};
    }
    return *it;
}

DeviceEntry DeviceManager::findDeviceByDanteName(const std::string& name) const {
    if (name.empty()) {
        return DeviceEntry{};  // Only non-empty Dante names take part.
    }
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(devices_.begin(), devices_.end(),
                                 [&](const DeviceEntry& d) { return d.danteName == name; });
    if (it == devices_.end()) {
        return DeviceEntry{};
    }
    return *it;
}

DeviceEntry DeviceManager::findDeviceByHostname2(const std::string& name) const {
    if (name.empty()) {
        return DeviceEntry{};
    }
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(devices_.begin(), devices_.end(),
                                 [&](const DeviceEntry& d) { return d.hostname2 == name; });
    if (it == devices_.end()) {
        return DeviceEntry{};
    }
    return *it;
}

std::vector<DeviceEntry> DeviceManager::listDevices() const {
    std::lock_guard lock(mutex_);
    return devices_;
}

DeviceManager::Snapshot DeviceManager::snapshot() const {
    std::lock_guard lock(mutex_);
    return {devices_, revision_.load()};
}

std::uint64_t DeviceManager::revision() const {
    return revision_.load();
}

std::unique_lock<std::recursive_mutex> DeviceManager::lockForChange() {
    std::unique_lock lock(mutex_);
    // Counted before the change is made: a reader that still sees the old number has asked
    // before the change began.
    ++revision_;
    return lock;
}

std::vector<DeviceEntry> DeviceManager::listMonitoredDevices() const {
    std::lock_guard lock(mutex_);
    std::vector<DeviceEntry> monitored;
    monitored.reserve(static_cast<std::size_t>(std::count_if(
        devices_.begin(), devices_.end(), [](const DeviceEntry& d) { return d.isMonitored; })));
    for (const DeviceEntry& d : devices_) {
        if (d.isMonitored) {
            monitored.push_back(d);
        }
    }
    return monitored;
}

bool DeviceManager::isGpioOutputLinked(const std::string& gpioHostname, std::int32_t physicalIndex,
                                       const std::string& exceptHostname) const {
    if (gpioHostname.empty() || physicalIndex < 1 || physicalIndex > 10) {
        return false;
    }
    std::lock_guard lock(mutex_);
    return std::any_of(devices_.begin(), devices_.end(), [&](const DeviceEntry& d) {
        if (!exceptHostname.empty() && d.hostname == exceptHostname) {
            return false;
        }
        return d.linkedGpioHostname == gpioHostname && d.linkedGpioPhysicalIndex == physicalIndex;
    });
}

// ---- Changes by discovery and start-up ----

bool DeviceManager::addOrUpdateDevice(const DeviceEntry& record) {
    if (record.hostname.empty()) {
        return false;
    }
    // Derived before the lock: the incoming stockCode and commCount never count.
    DerivedModel derived = deriveFromHostname(record.hostname);

    const auto lock = lockForChange();
    const auto it = findByHostnameLocked(record.hostname);
    if (it != devices_.end()) {
        if (!mergeDeviceInfo(*it, record, derived)) {
            return false;
        }
        logger_.log("Updated device: " + it->hostname + " " + it->ip, "discovery");
        return true;
    }

    DeviceEntry& added = devices_.emplace_back(record);
    added.stockCode = std::move(derived.stockCode);
    added.commCount = derived.commCount;
    if (added.isManuallyAdded) {
        logger_.log("Device manually added with hostname: " + added.hostname, "manual");
    } else {
        logger_.log("Device discovered: " + added.hostname, "discovery");
    }
    return true;
}

bool DeviceManager::updateDeviceByDanteName(const std::string& name, const DeviceEntry& record) {
    if (name.empty()) {
        return false;
    }
    const auto lock = lockForChange();
    const auto it = std::find_if(devices_.begin(), devices_.end(),
                                 [&](const DeviceEntry& d) { return d.danteName == name; });
    if (it == devices_.end()) {
        return false;
    }
    DeviceEntry& d = *it;
    bool changed = mergeHostname(d, record.hostname);
    changed |= mergeNonEmpty(d.ip, record.ip);
    changed |= mergeNonEmpty(d.ip2, record.ip2);
    changed |= mergeNonEmpty(d.friendlyName, record.friendlyName);
    changed |= mergeFlagOn(d.discoveredByHttp, record.discoveredByHttp);
    if (!changed) {
        return false;
    }
    logger_.log("Updated device info with Dante Name: " + d.danteName +
                    " , Host Name: " + d.hostname + " , IP: " + d.ip,
                "discovery");
    return true;
}

bool DeviceManager::updateDeviceByHostname2(const std::string& name, const DeviceEntry& record) {
    if (name.empty()) {
        return false;
    }
    const auto lock = lockForChange();
    const auto it = std::find_if(devices_.begin(), devices_.end(),
                                 [&](const DeviceEntry& d) { return d.hostname2 == name; });
    if (it == devices_.end()) {
        return false;
    }
    DeviceEntry& d = *it;
    bool changed = mergeHostname(d, record.hostname);
    changed |= mergeNonEmpty(d.danteName, record.danteName);
    changed |= mergeNonEmpty(d.friendlyName, record.friendlyName);
    changed |= mergeNonEmpty(d.ip, record.ip);
    changed |= mergeNonEmpty(d.ip2, record.ip2);
    const bool carriesDiscovery = record.discoveredByHttp || !record.hostname2.empty() ||
                                  !record.danteName.empty() || !record.ip.empty();
    if (d.isManuallyAdded && carriesDiscovery) {
        d.isManuallyAdded = false;
        changed = true;
    }
    if (!changed) {
        return false;
    }
    logger_.log("Updated device by HostName2:" + name + " HostName:" + d.hostname + " IP:" + d.ip,
                "discovery");
    return true;
}

bool DeviceManager::removeDevice(const std::string& hostname) {
    if (hostname.empty()) {
        return false;
    }
    const auto lock = lockForChange();
    return std::erase_if(devices_, [&](const DeviceEntry& d) { return d.hostname == hostname; }) >
           0;
}

bool DeviceManager::removeNetaudioDevicesByDanteName(const std::string& name) {
    if (name.empty()) {
        return false;  // Only non-empty Dante names take part.
    }
    const auto lock = lockForChange();
    return std::erase_if(devices_, [&](const DeviceEntry& d) {
               return d.discoveredByNetaudio && d.danteName == name;
           }) > 0;
}

void DeviceManager::restoreDevices(const std::vector<DeviceEntry>& records) {
    const auto lock = lockForChange();
    devices_.clear();
    devices_.reserve(records.size());
    for (const DeviceEntry& record : records) {
        if (record.hostname.empty()) {
            continue;
        }
        DeviceEntry& restored = devices_.emplace_back(record);
        deriveStockCode(restored);
        resetLiveState(restored);
    }
    logger_.log("Restored devices from devices_state.json (" + std::to_string(devices_.size()) +
                    ")",
                "settings");
}

// ---- User settings ----

void DeviceManager::setMonitored(const std::string& hostname, bool value) {
    const auto lock = lockForChange();
    const auto it = findByHostnameLocked(hostname);
    if (it != devices_.end()) {
        it->isMonitored = value;
    }
}

void DeviceManager::setTalkActive(const std::string& hostname, bool value) {
    const auto lock = lockForChange();
    const auto it = findByHostnameLocked(hostname);
    if (it == devices_.end() || it->talkActive == value) {
        return;
    }
    it->talkActive = value;
    logger_.log(
        std::string(value ? "Audio talk started for device: " : "Audio talk stopped for device: ") +
            hostname,
        "audio");
}

void DeviceManager::setDeviceAudioSettings(const std::string& hostname, std::int32_t paInput,
                                           std::int32_t paTalkOutput, std::int32_t vgpioHelp) {
    const auto lock = lockForChange();
    const auto it = findByHostnameLocked(hostname);
    if (it == devices_.end()) {
        return;
    }
    it->paInputDeviceIndex = paInput;
    it->paTalkOutputDeviceIndex = paTalkOutput;
    it->vgpioHelpIndex = vgpioHelp;
}

bool DeviceManager::setLinkedGpio(const std::string& hostname, const std::string& gpioHostname,
                                  std::int32_t physicalIndex) {
    const auto lock = lockForChange();
    const auto it = findByHostnameLocked(hostname);
    if (it == devices_.end()) {
        return false;
    }
    const bool changed =
        it->linkedGpioHostname != gpioHostname || it->linkedGpioPhysicalIndex != physicalIndex;
    it->linkedGpioHostname = gpioHostname;
    it->linkedGpioPhysicalIndex = physicalIndex;
    return changed;
}

// ---- Live state ----

void DeviceManager::setOnlineByIp(const std::string& ip, bool value) {
    const auto lock = lockForChange();
    const auto it = findByIpLocked(ip);
    if (it != devices_.end()) {
        it->isOnline = value;
    }
}

void DeviceManager::updateAudioStateByIp(const std::string& ip, const DeviceEntry& record) {
    const auto lock = lockForChange();
    const auto it = findByIpLocked(ip);
    if (it == devices_.end()) {
        return;
    }
    it->onAirStates = record.onAirStates;
    it->talkBackStates = record.talkBackStates;
    it->lazyGang = record.lazyGang;
    it->muted = record.muted;
    it->cough = record.cough;
}

void DeviceManager::updateMeterLevelsByIp(const std::string& ip, const DeviceEntry& record) {
    const auto lock = lockForChange();
    const auto it = findByIpLocked(ip);
    if (it != devices_.end()) {
        it->meterLevels = record.meterLevels;
    }
}

void DeviceManager::updateInputStateByIp(const std::string& ip, const std::array<bool, 8>& muted,
                                         const std::array<bool, 8>& gpiMute) {
    const auto lock = lockForChange();
    const auto it = findByIpLocked(ip);
    if (it == devices_.end()) {
        return;
    }
    it->muted = muted;
    it->gpiMuteStates = gpiMute;
}

bool DeviceManager::setMicMutedByIp(const std::string& ip, bool value) {
    const auto lock = lockForChange();
    const auto it = findByIpLocked(ip);
    if (it == devices_.end() || it->micMuted == value) {
        return false;
    }
    it->micMuted = value;
    return true;
}

void DeviceManager::updateVgpioByIp(const std::string& ip, const DeviceEntry& record) {
    const auto lock = lockForChange();
    const auto it = findByIpLocked(ip);
    if (it == devices_.end()) {
        return;
    }
    copyReported(it->vgpioTypes, record.vgpioTypes);
    copyReported(it->vgpioStates, record.vgpioStates);
}

void DeviceManager::updateGpioPhysicalByIp(const std::string& ip, const DeviceEntry& record) {
    const auto lock = lockForChange();
    const auto it = findByIpLocked(ip);
    if (it == devices_.end()) {
        return;
    }
    copyReported(it->gpioPhysicalTypes, record.gpioPhysicalTypes);
    copyReported(it->gpioPhysicalOverride, record.gpioPhysicalOverride);
    copyReported(it->gpioPhysicalStatus, record.gpioPhysicalStatus);
}

}  // namespace pellan
