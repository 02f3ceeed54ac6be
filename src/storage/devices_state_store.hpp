#pragma once
#include <filesystem>
#include <mutex>
#include <vector>

#include <nlohmann/json.hpp>

#include "devices/device_entry.hpp"
#include "storage/json_state_file.hpp"

namespace pellan {

/// The device list file "devices_state.json": "version" and "devices", an array with one
/// object of sixteen persisted DeviceEntry fields per device, in the registry's order.
/// Top-level keys it does not know are kept as loaded; "devices" is rewritten whole by every
/// save, so unknown keys inside it are dropped then.
///
/// Kind: locked manager. One plain mutex guards the document and the file, held for a whole
///   operation including its disk I/O.
/// Thread safety: every public member may be called from any thread; concurrent saves are
///   serialised and the last one wins on disk. Two instances on one file must not be used at
///   the same time.
/// Errors: nothing is thrown; failures are one line each on the standard error stream,
///   prefixed "DevicesStateStore".
/// Lifetime: the file is read once at construction.
class DevicesStateStore {
public:
    explicit DevicesStateStore(std::filesystem::path path);
    DevicesStateStore(const DevicesStateStore&) = delete;
    DevicesStateStore& operator=(const DevicesStateStore&) = delete;

    /// Reads the file again and returns its devices in file order, skipping elements that are
    /// not objects or have no non-empty "hostname". Keys that are missing or of the wrong type
    /// take the field's default; every field that is not persisted is at its default. The
    /// stored "stockCode" is returned as stored: deriving it is the registry's part.
    std::vector<DeviceEntry> loadDevices();
    /// Replaces "devices" by the records with a non-empty hostname, in order, and saves. True
    /// when the file now holds them.
    bool saveDevices(const std::vector<DeviceEntry>& records);

private:
    const JsonStateFile file_;

    std::mutex mutex_;
    nlohmann::json document_;  // Guarded by mutex_.
};

}  // namespace pellan
