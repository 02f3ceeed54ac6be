#pragma once
#include <filesystem>
#include <mutex>

#include <nlohmann/json.hpp>

#include "storage/json_state_file.hpp"

namespace pellan {

/// The UI's tile display settings in "device-tile-settings.json": "byHost" (host name ->
/// settings object), "byModel" (stock code -> settings object) and "monitoringDisplayFields"
/// (field name -> shown). Settings objects are stored and returned as the UI sent them. The
/// file has no "version"; a load takes over only these three keys, so any other top-level key
/// disappears at the next save.
///
/// Kind: locked manager. One plain mutex guards the document and the file, held by every
///   operation for its whole duration including its disk I/O.
/// Thread safety: every public member may be called from any thread. A snapshot, a change
///   outside the lock and replaceDocument() are not one step: the later replacement wins whole.
/// Errors: nothing is thrown; failures are one line each on the standard error stream,
///   prefixed "DeviceTileSettingsManager".
/// Lifetime: the file is read once, at construction.
class DeviceTileSettingsManager {
public:
    /// {"danteName": true, "friendlyName": false, "hostname": true, "ip": true}.
    static nlohmann::json defaultMonitoringDisplayFields();

    explicit DeviceTileSettingsManager(std::filesystem::path path);
    DeviceTileSettingsManager(const DeviceTileSettingsManager&) = delete;
    DeviceTileSettingsManager& operator=(const DeviceTileSettingsManager&) = delete;

    /// The tile settings file.
    const std::filesystem::path& path() const { return file_.path(); }

    /// A copy of the whole document.
    nlohmann::json snapshotDocument();
    /// A copy of "monitoringDisplayFields".
    nlohmann::json monitoringDisplayFields();
    /// An object replaces "monitoringDisplayFields" as it is; anything else stores the default.
    /// Then saves; true when the file now holds the change, which the document keeps anyway.
    bool setMonitoringDisplayFields(const nlohmann::json& fields);
    /// The given document replaces the stored one (brought into shape), then saves; true when
    /// the file now holds it, which the document keeps anyway.
    bool replaceDocument(nlohmann::json document);

private:
    void load();

    const JsonStateFile file_;

    std::mutex mutex_;
    nlohmann::json document_;  // Guarded by mutex_.
};

}  // namespace pellan
