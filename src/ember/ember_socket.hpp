#pragma once
// The names the Ember+ provider simulator and vantrel-diag's Ember+ command know the socket
// helpers by. The clients use platform/tcp_socket.hpp, platform/wake_pipe.hpp and
// platform/poll.hpp directly; the simulator runs its own poll loop over descriptors.
#include "base/ipv4.hpp"
#include "platform/descriptor_linux.hpp"
#include "platform/thread_name.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

namespace pellan::ember {

using posix::FileDescriptor;
using posix::listenTcp;
using posix::receiveNow;
using posix::sendNow;

/// Dotted IPv4 text (base/ipv4.hpp's rules), in network byte order as a socket address
/// holds it.
inline bool parseIpv4(const std::string& text, std::uint32_t& addressNetworkOrder) {
    const std::optional<std::uint32_t> address = pellan::parseIpv4(text);
    if (!address) {
        return false;
    }
    // Network order is the first number in the first byte, whatever the host's order.
    const std::array<std::uint8_t, 4> bytes{
        static_cast<std::uint8_t>(*address >> 24), static_cast<std::uint8_t>(*address >> 16),
        static_cast<std::uint8_t>(*address >> 8), static_cast<std::uint8_t>(*address)};
    std::memcpy(&addressNetworkOrder, bytes.data(), bytes.size());
    return true;
}

inline bool isLoopbackIpv4(const std::string& text) {
    return pellan::isLoopbackIpv4(text);
}

inline void nameThisThread(const char* name) {
    setCurrentThreadName(name);
}

}  // namespace pellan::ember
