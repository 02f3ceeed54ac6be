#include "platform/network_interfaces.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace pellan {

std::vector<NetworkInterfaceInfo> enumerateNetworkInterfaces() {
    std::vector<NetworkInterfaceInfo> result;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return result;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            entry->ifa_name == nullptr) {
            continue;
        }
        const unsigned flags = entry->ifa_flags;
        if ((flags & IFF_UP) == 0 || (flags & IFF_RUNNING) == 0 || (flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        char text[INET_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof(text)) == nullptr) {
            continue;
        }
        NetworkInterfaceInfo info;
        info.index = static_cast<int>(if_nametoindex(entry->ifa_name));
        info.name = entry->ifa_name;
        info.ip = text;
        info.label = info.name + " - " + info.ip;
        result.push_back(std::move(info));
    }
    freeifaddrs(list);
    return result;
}

}  // namespace pellan
