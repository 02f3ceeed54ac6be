#pragma once
#include <string>
#include <string_view>

struct sockaddr;

namespace pellan {

/// The dotted text of an IPv4 socket address; empty for a null or non-IPv4 address.
std::string ipv4AddressText(const sockaddr* address);

/// Whether `text` is an IPv6 address literal as the system reads one (without brackets).
bool isIpv6Literal(std::string_view text);

}  // namespace pellan
