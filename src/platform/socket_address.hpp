#pragma once
#include <string>

struct sockaddr;

namespace pellan {

/// The dotted text of an IPv4 socket address; empty for a null or non-IPv4 address.
std::string ipv4AddressText(const sockaddr* address);

}  // namespace pellan
