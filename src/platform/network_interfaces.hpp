#pragma once
#include <string>
#include <vector>

namespace pellan {

/// One IPv4 address of a network adapter that is up.
struct NetworkInterfaceInfo {
    int index = 0;      ///< Interface index (what DNS-SD takes).
    std::string name;   ///< The adapter's name, shown to the user.
    std::string ip;     ///< Dotted IPv4 address.
    std::string label;  ///< name + " - " + ip.

    bool operator==(const NetworkInterfaceInfo&) const = default;
};

/// Every IPv4 address of the adapters that are up and running and not loopback, in the
/// system's order; empty when the enumeration fails.
std::vector<NetworkInterfaceInfo> enumerateNetworkInterfaces();

}  // namespace pellan
