#include "devices/group_manager.hpp"

#include "log/logger.hpp"

#include <algorithm>
#include <set>
#include <string_view>

namespace pellan {
namespace {

constexpr const char* kGroupCategory = "group";
constexpr const char* kRestoreCategory = "settings";

}  // namespace

GroupManager::GroupManager(Logger& logger) : logger_(logger) {}

void GroupManager::createGroup(const std::string& name) {
    std::lock_guard lock(mutex_);
    if (!groups_.try_emplace(name).second) {
        return;
    }
    if (std::find(order_.begin(), order_.end(), name) == order_.end()) {
        order_.push_back(name);
    }
    logger_.log("Group created: " + name, kGroupCategory);
}

void GroupManager::deleteGroup(const std::string& name) {
    std::lock_guard lock(mutex_);
    groups_.erase(name);
    std::erase(order_, name);
    logger_.log("Group deleted: " + name, kGroupCategory);
}

void GroupManager::addDeviceToGroup(const std::string& group, const std::string& hostname) {
    std::lock_guard lock(mutex_);
    const auto it = groups_.find(group);
    if (it == groups_.end()) {
        return;
    }
    std::vector<std::string>& members = it->second;
    if (std::find(members.begin(), members.end(), hostname) != members.end()) {
        return;
    }
    members.push_back(hostname);
    logger_.log("Device " + hostname + " added to group " + group, kGroupCategory);
}

void GroupManager::removeDeviceFromGroup(const std::string& group, const std::string& hostname) {
    std::lock_guard lock(mutex_);
    const auto it = groups_.find(group);
    if (it == groups_.end()) {
        return;
    }
    std::erase(it->second, hostname);
    logger_.log("Device " + hostname + " removed from group " + group, kGroupCategory);
}

void GroupManager::removeDeviceFromAllGroups(const std::string& hostname) {
    std::lock_guard lock(mutex_);
    for (auto& [name, members] : groups_) {
        std::erase(members, hostname);
    }
}

std::vector<std::string> GroupManager::groupMembers(const std::string& name) const {
    std::lock_guard lock(mutex_);
    const auto it = groups_.find(name);
    if (it == groups_.end()) {
        return {};
    }
    return it->second;
}

GroupManager::Groups GroupManager::listGroups() const {
    std::lock_guard lock(mutex_);
    return groups_;
}

std::vector<std::string> GroupManager::groupOrder() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> result;
    result.reserve(groups_.size());
    std::set<std::string_view> listed;
    for (const std::string& name : order_) {
        if (groups_.contains(name)) {
            result.push_back(name);
            listed.insert(name);
        }
    }
    for (const auto& [name, members] : groups_) {
        if (!listed.contains(name)) {
            result.push_back(name);
        }
    }
    return result;
}

std::vector<std::string>
GroupManager::normalisedOrderLocked(const std::vector<std::string>& names) const {
    std::vector<std::string> result;
    result.reserve(groups_.size());
    std::set<std::string_view> listed;  // Views into `names`, which outlives this call.
    for (const std::string& name : names) {
        if (groups_.contains(name) && listed.insert(name).second) {
            result.push_back(name);
        }
    }
    // The map is ordered by name, so the missing names come in ascending order.
    for (const auto& [name, members] : groups_) {
        if (!listed.contains(name)) {
            result.push_back(name);
        }
    }
    return result;
}

void GroupManager::setGroupOrder(const std::vector<std::string>& names) {
    std::lock_guard lock(mutex_);
    order_ = normalisedOrderLocked(names);
    logger_.log("Group order updated", kGroupCategory);
}

GroupsState GroupManager::groupsState() const {
    std::lock_guard lock(mutex_);
    return GroupsState{order_, groups_};
}

void GroupManager::restoreGroups(const GroupsState& state) {
    std::lock_guard lock(mutex_);
    groups_ = state.groups;
    order_ = normalisedOrderLocked(state.order);
    logger_.log("Restored groups from groups_state.json (" + std::to_string(groups_.size()) + ")",
                kRestoreCategory);
}

}  // namespace pellan
