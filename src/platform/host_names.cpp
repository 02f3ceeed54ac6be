#include "platform/host_names.hpp"

#include "base/ascii.hpp"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace pellan {
namespace {

constexpr std::string_view kMdnsSuffix = ".local";

/// Lower case, one trailing dot dropped (the absolute form of the same name).
std::string canonicalName(std::string_view name) {
    if (!name.empty() && name.back() == '.') {
        name.remove_suffix(1);
    }
    return toLowerAscii(name);
}

void addUnique(std::vector<std::string>& names, std::string name) {
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
        names.push_back(std::move(name));
    }
}

}  // namespace

std::vector<std::string> machineHostNames(std::string_view rawHostName, std::istream& hostsTable) {
    std::vector<std::string> names;
    const std::string hostName = canonicalName(rawHostName);
    if (hostName.empty()) {
        return names;
    }
    std::string shortName = hostName.substr(0, hostName.find('.'));
    if (hostName.ends_with(kMdnsSuffix)) {
        shortName = hostName.substr(0, hostName.size() - kMdnsSuffix.size());
    }
    addUnique(names, hostName);
    addUnique(names, shortName);
    addUnique(names, shortName + std::string(kMdnsSuffix));

    // The fully qualified name is what the hosts table lists beside the host name; asking the
    // resolver instead could send a query to a name server on the studio network.
    std::string line;
    std::size_t bytesRead = 0;
    while (bytesRead < kMaxHostsTableBytes && std::getline(hostsTable, line)) {
        bytesRead += line.size() + 1;
        line = line.substr(0, line.find('#'));
        std::istringstream fields(line);
        std::string address;
        fields >> address;
        std::vector<std::string> lineNames;
        for (std::string name; fields >> name;) {
            lineNames.push_back(canonicalName(name));
        }
        const bool mentionsThisHost =
            std::any_of(lineNames.begin(), lineNames.end(), [&](const std::string& name) {
                return name == hostName || name == shortName;
            });
        if (!mentionsThisHost) {
            continue;
        }
        for (const auto& name : lineNames) {
            if (name.size() > shortName.size() + 1 &&
                name.compare(0, shortName.size() + 1, shortName + ".") == 0) {
                addUnique(names, name);
            }
        }
    }
    return names;
}

std::vector<std::string> thisMachineHostNames() {
    const std::string hostName = localHostName();
    if (hostName.empty()) {
        return {};
    }
    std::ifstream hostsTable(hostsTablePath());
    return machineHostNames(hostName, hostsTable);
}

}  // namespace pellan
