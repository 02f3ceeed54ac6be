#pragma once
#include <string>
#include <string_view>

namespace pellan {

/// ASCII-only case folding. Protocol names (HTTP header names, schemes, host names, stock codes)
/// compare case-insensitively in ASCII alone; locale-dependent folding would make the same
/// request mean different things on different machines.
constexpr char toLowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr char toUpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string toLowerAscii(std::string_view text);
std::string toUpperAscii(std::string_view text);

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b);
bool startsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix);

}  // namespace pellan
