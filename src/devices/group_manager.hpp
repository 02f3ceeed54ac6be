#pragma once
#include "devices/groups_state.hpp"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace pellan {
class Logger;

/// The user's named, ordered groups of devices: group name -> member host names,
/// and the display order of the group names. Members are host names only; the device
/// registry is not consulted.
///
/// Kind: locked manager. One plain mutex guards groups and order for each whole operation,
///   logging included (order: group manager, then logger). Combined operations (the rename
///   route) are not atomic as a whole.
/// Invariant: every name in the order is a group, and every group is in it exactly once.
/// Names are exact, case-sensitive byte strings; any name is accepted, the empty one too.
/// Thread safety: every public member may be called from any thread.
/// Lifetime: `logger` must outlive this object.
class GroupManager {
public:
    using Groups = std::map<std::string, std::vector<std::string>>;

    explicit GroupManager(Logger& logger);
    GroupManager(const GroupManager&) = delete;
    GroupManager& operator=(const GroupManager&) = delete;

    /// An existing name changes nothing and logs nothing.
    void createGroup(const std::string& name);
    /// Logs the deletion also when there was no such group.
    void deleteGroup(const std::string& name);
    /// Nothing when the group is unknown or the host is already a member.
    void addDeviceToGroup(const std::string& group, const std::string& hostname);
    /// Logs the removal also when the host was not a member; unknown group: nothing.
    void removeDeviceFromGroup(const std::string& group, const std::string& hostname);
    /// Leaves groups that become empty in place; logs nothing.
    void removeDeviceFromAllGroups(const std::string& hostname);

    /// Empty when there is no such group.
    std::vector<std::string> groupMembers(const std::string& name) const;
    Groups listGroups() const;
    /// The stored order's names that are groups, then the missing group names in ascending
    /// order; the stored order is not changed.
    std::vector<std::string> groupOrder() const;
    /// Replaces the order by the normalised list: unknown and repeated names dropped, missing
    /// group names appended in ascending order.
    void setGroupOrder(const std::vector<std::string>& names);
    /// Copies of the order as stored and of the groups, for GroupsStateStore::saveGroups.
    GroupsState groupsState() const;
    /// Replaces the groups, and the order by the normalised state.order.
    void restoreGroups(const GroupsState& state);

private:
    std::vector<std::string> normalisedOrderLocked(const std::vector<std::string>& names) const;

    Logger& logger_;

    mutable std::mutex mutex_;
    Groups groups_;                   // Guarded by mutex_.
    std::vector<std::string> order_;  // Guarded by mutex_.
};

}  // namespace pellan
