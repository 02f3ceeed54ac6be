#pragma once
#include <functional>
#include <string>

namespace pellan {

/// What a DNS-SD browser learned about one host: a plain value, copied to the callback.
struct DiscoveredDevice {
    /// The host target of the resolve reply, exactly as DNS-SD reports it (".local." at the end).
    std::string hostname;
    /// Dotted IPv4 text from the address lookup; empty until the lookup has answered.
    std::string ip;
    /// "_netaudio-cmc._udp": the service instance name; "_http._tcp": the latest "dnt_name".
    std::string danteName;
    /// "_http._tcp": the latest instance name of the host without the maker mark.
    std::string friendlyName;

    bool operator==(const DiscoveredDevice&) const = default;
};

/// Called with a copy of a changed record; the flag is always false.
using DeviceChangedCallback = std::function<void(const DiscoveredDevice& record, bool flag)>;

}  // namespace pellan
