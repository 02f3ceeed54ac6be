#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

namespace pellan {

/// Dotted-quad IPv4 text: exactly four decimal numbers 0..255 separated by dots, no leading
/// zeros (which some readers take as octal), no sign, no spaces, nothing after. Returns the
/// address in host byte order (the first number in the top byte).
std::optional<std::uint32_t> parseIpv4(std::string_view text);

inline bool isIpv4Literal(std::string_view text) {
    return parseIpv4(text).has_value();
}

/// True for an address of 127.0.0.0/8.
bool isLoopbackIpv4(std::string_view text);

}  // namespace pellan
