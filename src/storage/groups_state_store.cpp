#include "storage/groups_state_store.hpp"

#include <string>
#include <utility>
#include <vector>

namespace pellan {
namespace {

constexpr const char* kOrderKey = "order";
constexpr const char* kGroupsKey = "groups";

std::vector<std::string> stringElements(const nlohmann::json& array) {
    std::vector<std::string> strings;
    for (const auto& element : array) {
        if (element.is_string()) {
            strings.push_back(element.get<std::string>());
        }
    }
    return strings;
}

}  // namespace

GroupsStateStore::GroupsStateStore(std::filesystem::path path)
    : file_("GroupsStateStore", std::move(path),
            {{kGroupsKey, nlohmann::json::object()}, {kOrderKey, nlohmann::json::array()}},
            /*versioned=*/true),
      document_(nlohmann::json::object()) {
    file_.ensureStructure(document_);
    file_.load(document_);
}

GroupsState GroupsStateStore::loadGroups() {
    std::lock_guard lock(mutex_);
    file_.load(document_);
    file_.ensureStructure(document_);
    GroupsState state;
    state.order = stringElements(document_[kOrderKey]);
    for (const auto& [name, members] : document_[kGroupsKey].items()) {
        if (members.is_array()) {
            state.groups.emplace(name, stringElements(members));
        }
    }
    return state;
}

bool GroupsStateStore::saveGroups(const GroupsState& state) {
    std::lock_guard lock(mutex_);
    file_.ensureStructure(document_);
    document_[kOrderKey] = state.order;
    nlohmann::json groups = nlohmann::json::object();
    for (const auto& [name, members] : state.groups) {
        groups[name] = members;
    }
    document_[kGroupsKey] = std::move(groups);
    return file_.save(document_);
}

}  // namespace pellan
