#pragma once
#include <cstdint>
#include <span>
#include <string_view>

namespace pellan {

/// True when the bytes are well-formed UTF-8: no overlong forms, no surrogates, nothing above
/// U+10FFFF, no sequence cut short. What the JSON files and the Ember+ UTF8String can hold.
bool isValidUtf8(std::string_view text);
bool isValidUtf8(std::span<const std::uint8_t> bytes);

}  // namespace pellan
