#include "ember_codec/glow_types.hpp"

namespace pellan {

std::optional<std::int32_t> glowValueAsInt32(const GlowValue& value) {
    if (const auto* flag = std::get_if<bool>(&value)) {
        return *flag ? 1 : 0;
    }
    if (const auto* integer = std::get_if<std::int64_t>(&value)) {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(*integer & 0xFFFFFFFF));
    }
    return std::nullopt;
}

}  // namespace pellan
