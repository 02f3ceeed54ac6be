#pragma once
#include <filesystem>
#include <mutex>

#include <nlohmann/json.hpp>

#include "storage/app_settings.hpp"
#include "storage/json_state_file.hpp"

namespace pellan {

/// The application settings file "app_settings.json": "version" and the eight persisted fields
/// of AppSettings under "appSettings". Top-level keys it does not know are kept as loaded;
/// unknown keys inside "appSettings" are dropped at the next save.
///
/// Kind: locked manager. One plain mutex guards the document and the file, held for a whole
///   operation including its disk I/O.
/// Thread safety: every public member may be called from any thread; concurrent saves are
///   serialised and the last one wins on disk. Two instances on one file must not be used at
///   the same time.
/// Errors: nothing is thrown; failures are one line each on the standard error stream,
///   prefixed "AppSettingsStore".
/// Lifetime: the file is read once at construction.
class AppSettingsStore {
public:
    explicit AppSettingsStore(std::filesystem::path path);
    AppSettingsStore(const AppSettingsStore&) = delete;
    AppSettingsStore& operator=(const AppSettingsStore&) = delete;

    /// Reads the file again. Missing or wrong-typed keys take their defaults; `interfaces` is
    /// always empty.
    AppSettings loadAppSettings();
    /// Replaces "appSettings" by the record's eight persisted fields and saves. True when the
    /// file now holds them; on failure the document keeps them for the next save.
    bool saveAppSettings(const AppSettings& settings);

private:
    const JsonStateFile file_;

    std::mutex mutex_;
    nlohmann::json document_;  // Guarded by mutex_.
};

}  // namespace pellan
