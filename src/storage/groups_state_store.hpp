#pragma once
#include <filesystem>
#include <mutex>

#include <nlohmann/json.hpp>

#include "devices/groups_state.hpp"
#include "storage/json_state_file.hpp"

namespace pellan {

/// The groups file "groups_state.json": "version", "order" (group names in display order) and
/// "groups" (group name -> member host names). Top-level keys it does not know are kept as
/// loaded; "order" and "groups" are rewritten whole by every save. Loading cannot fail on the
/// content of "order" and "groups": elements of the wrong type are skipped one by one.
///
/// Kind: locked manager. One plain mutex guards the document and the file, held for a whole
///   operation including its disk I/O.
/// Thread safety: every public member may be called from any thread; concurrent saves are
///   serialised and the last one wins on disk. Two instances on one file must not be used at
///   the same time.
/// Errors: nothing is thrown; failures are one line each on the standard error stream,
///   prefixed "GroupsStateStore".
/// Lifetime: the file is read once at construction.
class GroupsStateStore {
public:
    explicit GroupsStateStore(std::filesystem::path path);
    GroupsStateStore(const GroupsStateStore&) = delete;
    GroupsStateStore& operator=(const GroupsStateStore&) = delete;

    /// Reads the file again. Names are neither checked for duplicates nor for emptiness, and
    /// order and groups are not reconciled: that is the group manager's part.
    GroupsState loadGroups();
    /// Replaces "order" and "groups" by the state's and saves. True when the file now holds it.
    bool saveGroups(const GroupsState& state);

private:
    const JsonStateFile file_;

    std::mutex mutex_;
    nlohmann::json document_;  // Guarded by mutex_.
};

}  // namespace pellan
