#include "base/host_port.hpp"

namespace pellan {
namespace {

std::optional<std::uint16_t> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value < 1 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

}  // namespace

std::optional<HostPort> parseHostPort(std::string_view authority) {
    HostPort parts;
    std::string_view rest;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        parts.host = std::string(authority.substr(1, close - 1));
        parts.bracketed = true;
        rest = authority.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            return std::nullopt;
        }
    } else {
        const auto colon = authority.find(':');
        parts.host = std::string(authority.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view{} : authority.substr(colon);
    }
    if (parts.host.empty()) {
        return std::nullopt;
    }
    if (rest.size() > 1) {
        parts.port = parsePort(rest.substr(1));
        if (!parts.port) {
            return std::nullopt;
        }
    }
    return parts;
}

}  // namespace pellan
