#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pellan {

/// One "host[:port]" authority, as a Host header or the part of an origin after the scheme.
struct HostPort {
    std::string host;        ///< As written (case kept), without the brackets of an IPv6 literal.
    bool bracketed = false;  ///< The host was "[...]": an IPv6 literal.
    std::optional<std::uint16_t> port;  ///< Absent when not written, or written empty ("host:").

    bool operator==(const HostPort&) const = default;
};

/// "name", "name:port", "name:", "[v6]", "[v6]:port" or "[v6]:". The port is 1 to 65535 in at
/// most five decimal digits; an empty port means the scheme's default, as a URI reads it.
/// Nothing for anything else: an empty host, text after "]", a port that is not a number.
/// The host itself is not checked here; each caller has its own rule for which hosts it takes.
std::optional<HostPort> parseHostPort(std::string_view authority);

}  // namespace pellan
