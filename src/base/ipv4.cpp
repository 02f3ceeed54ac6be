#include "base/ipv4.hpp"

#include <cstddef>

namespace pellan {

std::optional<std::uint32_t> parseIpv4(std::string_view text) {
    std::uint32_t address = 0;
    std::size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= text.size() || text[i] != '.') {
                return std::nullopt;
            }
            ++i;
        }
        const std::size_t start = i;
        std::uint32_t value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
            value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
            ++i;
        }
        const std::size_t digits = i - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) {
            return std::nullopt;
        }
        address = (address << 8U) | value;
    }
    if (i != text.size()) {
        return std::nullopt;
    }
    return address;
}

bool isLoopbackIpv4(std::string_view text) {
    const auto address = parseIpv4(text);
    return address && (*address >> 24U) == 127;
}

}  // namespace pellan
