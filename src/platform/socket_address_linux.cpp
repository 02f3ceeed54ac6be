#include "platform/socket_address.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace pellan {

std::string ipv4AddressText(const sockaddr* address) {
    if (address == nullptr || address->sa_family != AF_INET) {
        return {};
    }
    char buffer[INET_ADDRSTRLEN] = {};
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(address);
    if (::inet_ntop(AF_INET, &ipv4->sin_addr, buffer, sizeof(buffer)) == nullptr) {
        return {};
    }
    return buffer;
}

bool isIpv6Literal(std::string_view text) {
    // inet_pton reads a C string: an embedded zero byte would cut the text short.
    if (text.size() >= INET6_ADDRSTRLEN || text.find('\0') != std::string_view::npos) {
        return false;
    }
    const std::string copy(text);
    in6_addr address{};
    return ::inet_pton(AF_INET6, copy.c_str(), &address) == 1;
}

}  // namespace pellan
