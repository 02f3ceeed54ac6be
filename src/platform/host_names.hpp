#pragma once
#include <filesystem>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace pellan {

/// This machine's names: its host name, the same with ".local" (its mDNS name) or without it,
/// and its fully qualified name when the hosts table gives one. Lower case, without a
/// trailing dot, the host name first. Read from local sources only: no name-service query
/// leaves the machine. Empty when the host name is unknown.
std::vector<std::string> thisMachineHostNames();

/// The names above for `hostName`, with the hosts table read from `hostsTable` (at most
/// kMaxHostsTableBytes of it).
std::vector<std::string> machineHostNames(std::string_view hostName, std::istream& hostsTable);

/// The hosts table is read only this far: it is a small local file, and an odd one must not
/// stall.
inline constexpr std::size_t kMaxHostsTableBytes = 256 * 1024;

/// The machine's host name as the system reports it; empty when it cannot be read.
std::string localHostName();

/// Where the system keeps its static hosts table.
std::filesystem::path hostsTablePath();

}  // namespace pellan
