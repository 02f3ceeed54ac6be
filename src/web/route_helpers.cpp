#include "web/route_helpers.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace pellan {
namespace {

constexpr const char* kJsonContentType = "application/json";

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

std::string urlDecode(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size()) {
            const int high = hexValue(text[i + 1]);
            if (high >= 0) {
                // As a hexadecimal stream read of the two characters: the leading digits count.
                const int low = hexValue(text[i + 2]);
                const int value = low >= 0 ? high * 16 + low : high;
                decoded.push_back(static_cast<char>(static_cast<unsigned char>(value)));
                i += 2;
                continue;
            }
            decoded.push_back('%');
            continue;
        }
        decoded.push_back(c == '+' ? ' ' : c);
    }
    return decoded;
}

std::string wireJson(const nlohmann::json& value) {
    return value.dump(-1, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::replace);
}

HttpResponse jsonError(int status, const std::string& message) {
    return typedResponse(status, wireJson({{"error", message}}), kJsonContentType);
}

HttpResponse jsonBody(int status, const nlohmann::json& value) {
    return textResponse(status, wireJson(value));
}

HttpResponse typedJsonBody(int status, const nlohmann::json& value) {
    return typedResponse(status, wireJson(value), kJsonContentType);
}

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t codePoint = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            codePoint = lead & 0x1FU;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            codePoint = lead & 0x0FU;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            codePoint = lead & 0x07U;
        } else {
            return false;
        }
        if (text.size() - i < length) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0U) != 0x80U) {
                return false;
            }
            codePoint = (codePoint << 6U) | (next & 0x3FU);
        }
        const bool overlong =
            (length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000);
        const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
        if (overlong || surrogate || codePoint > 0x10FFFF) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string clippedErrorText(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return std::string(text);
    }
    return std::string(text.substr(0, limit)) + "...";
}

std::size_t jsonNestingDepth(std::string_view text) {
    std::size_t depth = 0;
    std::size_t deepest = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        switch (c) {
        case '"':
            inString = true;
            break;
        case '[':
        case '{':
            deepest = std::max(deepest, ++depth);
            break;
        case ']':
        case '}':
            depth = depth > 0 ? depth - 1 : 0;
            break;
        default:
            break;
        }
    }
    return deepest;
}

}  // namespace pellan
