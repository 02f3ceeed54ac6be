#include "storage/device_tile_settings_manager.hpp"

#include <utility>

namespace pellan {
namespace {

constexpr const char* kByHostKey = "byHost";
constexpr const char* kByModelKey = "byModel";
constexpr const char* kDisplayFieldsKey = "monitoringDisplayFields";

}  // namespace

nlohmann::json DeviceTileSettingsManager::defaultMonitoringDisplayFields() {
    return {{"danteName", true}, {"friendlyName", false}, {"hostname", true}, {"ip", true}};
}

DeviceTileSettingsManager::DeviceTileSettingsManager(std::filesystem::path path)
    : file_("DeviceTileSettingsManager", std::move(path),
            {{kByHostKey, nlohmann::json::object()},
             {kByModelKey, nlohmann::json::object()},
             {kDisplayFieldsKey, defaultMonitoringDisplayFields()}},
            /*versioned=*/false, JsonStateFile::Wording::TileSettings),
      document_({{kByHostKey, nlohmann::json::object()},
                 {kByModelKey, nlohmann::json::object()},
                 {kDisplayFieldsKey, defaultMonitoringDisplayFields()}}) {
    load();
}

void DeviceTileSettingsManager::load() {
    std::lock_guard lock(mutex_);
    auto loaded = file_.readFile();
    if (loaded && loaded->is_object()) {
        file_.reportWrongTypedKeys(*loaded);
        for (const char* key : {kByHostKey, kByModelKey}) {
            const auto found = loaded->find(key);
            if (found != loaded->end() && found->is_object()) {
                document_[key] = std::move(*found);
            }
        }
        const auto fields = loaded->find(kDisplayFieldsKey);
        document_[kDisplayFieldsKey] = fields != loaded->end() && fields->is_object()
                                           ? std::move(*fields)
                                           : defaultMonitoringDisplayFields();
    }
    file_.ensureStructure(document_);
}

nlohmann::json DeviceTileSettingsManager::snapshotDocument() {
    std::lock_guard lock(mutex_);
    file_.ensureStructure(document_);
    return document_;
}

nlohmann::json DeviceTileSettingsManager::monitoringDisplayFields() {
    std::lock_guard lock(mutex_);
    file_.ensureStructure(document_);
    const nlohmann::json& fields = document_[kDisplayFieldsKey];
    return fields.is_object() ? fields : defaultMonitoringDisplayFields();
}

bool DeviceTileSettingsManager::setMonitoringDisplayFields(const nlohmann::json& fields) {
    std::lock_guard lock(mutex_);
    file_.ensureStructure(document_);
    document_[kDisplayFieldsKey] = fields.is_object() ? fields : defaultMonitoringDisplayFields();
    return file_.save(document_);
}

bool DeviceTileSettingsManager::replaceDocument(nlohmann::json document) {
    std::lock_guard lock(mutex_);
    document_ = std::move(document);
    file_.ensureStructure(document_);
    return file_.save(document_);
}

}  // namespace pellan
