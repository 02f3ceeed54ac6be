#pragma once
#include <map>
#include <string>
#include <vector>

namespace pellan {

/// The groups as stored: display order of the names and name -> member host names.
struct GroupsState {
    std::vector<std::string> order;
    std::map<std::string, std::vector<std::string>> groups;

    bool operator==(const GroupsState&) const = default;
};

}  // namespace pellan
