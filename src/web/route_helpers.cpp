#include "web/route_helpers.hpp"

#include <cstddef>

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

HttpResponse jsonError(int status, const std::string& message) {
    return typedResponse(status, wireJson({{"error", message}}), kJsonContentType);
}

HttpResponse jsonBody(int status, const nlohmann::json& value) {
    return textResponse(status, wireJson(value));
}

HttpResponse typedJsonBody(int status, const nlohmann::json& value) {
    return typedResponse(status, wireJson(value), kJsonContentType);
}

std::string clippedErrorText(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return std::string(text);
    }
    return std::string(text.substr(0, limit)) + "...";
}

}  // namespace pellan
