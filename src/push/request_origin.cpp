#include "push/request_origin.hpp"

#include "base/ipv4.hpp"
#include "platform/host_names.hpp"
#include "platform/socket_address.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <utility>

namespace pellan {

namespace {

constexpr std::string_view kLocalhost = "localhost";
constexpr std::string_view kLocalhostSuffix = ".localhost";
constexpr std::string_view kHttpScheme = "http://";
// A name of more than this is no DNS name; longer headers are refused outright.
constexpr std::size_t kMaxNameLength = 253;

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowerCopy(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), lowerAscii);
    return out;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && lowerCopy(text.substr(0, prefix.size())) == prefix;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

/// Lower case, one trailing dot dropped (the absolute form of the same name).
std::string canonicalName(std::string_view name) {
    if (!name.empty() && name.back() == '.') {
        name.remove_suffix(1);
    }
    return lowerCopy(name);
}

/// Letters, digits, '-' and '_' in non-empty labels separated by single dots.
bool isWellFormedName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength) {
        return false;
    }
    std::size_t labelLength = 0;
    for (const char c : name) {
        if (c == '.') {
            if (labelLength == 0) {
                return false;
            }
            labelLength = 0;
            continue;
        }
        const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!ok) {
            return false;
        }
        ++labelLength;
    }
    return labelLength > 0;
}

bool isDecimalPort(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return false;
    }
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value >= 1 && value <= 65535;
}

struct HostAndPort {
    std::string_view host;  // Without brackets.
    bool bracketed = false;
    std::optional<std::string_view> port;
};

/// "name", "name:port", "[v6]" or "[v6]:port"; nothing for anything else.
std::optional<HostAndPort> splitAuthority(std::string_view authority) {
    HostAndPort parts;
    std::string_view rest;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        parts.host = authority.substr(1, close - 1);
        parts.bracketed = true;
        rest = authority.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            return std::nullopt;
        }
    } else {
        const auto colon = authority.find(':');
        parts.host = authority.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view{} : authority.substr(colon);
    }
    if (!rest.empty()) {
        parts.port = rest.substr(1);
        if (!isDecimalPort(*parts.port)) {
            return std::nullopt;
        }
    }
    if (parts.host.empty()) {
        return std::nullopt;
    }
    return parts;
}

void addUnique(std::vector<std::string>& names, std::string name) {
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
        names.push_back(std::move(name));
    }
}

const RequestOriginPolicy& machinePolicy() {
    static const RequestOriginPolicy policy(thisMachineHostNames());
    return policy;
}

}  // namespace

RequestOriginPolicy::RequestOriginPolicy(std::vector<std::string> ownHostNames,
                                         std::uint16_t uiPort)
    : uiPort_(uiPort) {
    for (const auto& name : ownHostNames) {
        addUnique(ownHostNames_, canonicalName(name));
    }
}

bool RequestOriginPolicy::isAllowedName(std::string_view name) const {
    const std::string canonical = canonicalName(name);
    if (!isWellFormedName(canonical)) {
        return false;
    }
    if (isIpv4Literal(canonical) || canonical == kLocalhost ||
        endsWith(canonical, kLocalhostSuffix)) {
        return true;
    }
    return std::find(ownHostNames_.begin(), ownHostNames_.end(), canonical) != ownHostNames_.end();
}

bool RequestOriginPolicy::isAllowedHost(std::string_view hostHeader) const {
    const auto parts = splitAuthority(hostHeader);
    if (!parts) {
        return false;
    }
    if (parts->bracketed) {
        return isIpv6Literal(std::string(parts->host));
    }
    return isAllowedName(parts->host);
}

bool RequestOriginPolicy::isAllowedUiOrigin(std::string_view origin) const {
    if (!startsWithNoCase(origin, kHttpScheme)) {
        return false;
    }
    const std::string_view authority = origin.substr(kHttpScheme.size());
    const auto parts = splitAuthority(authority);
    // The port must be written out: a browser leaves out only the scheme's default (80).
    if (!parts || !parts->port || *parts->port != std::to_string(uiPort_)) {
        return false;
    }
    return isAllowedHost(authority);
}

bool isAllowedHost(std::string_view hostHeader) {
    return machinePolicy().isAllowedHost(hostHeader);
}

bool isAllowedUiOrigin(std::string_view origin) {
    return machinePolicy().isAllowedUiOrigin(origin);
}

}  // namespace pellan
