#include "push/request_origin.hpp"

#include "base/ascii.hpp"
#include "base/host_port.hpp"
#include "base/ipv4.hpp"
#include "platform/host_names.hpp"

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

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

/// Lower case, one trailing dot dropped (the absolute form of the same name).
std::string canonicalName(std::string_view name) {
    if (!name.empty() && name.back() == '.') {
        name.remove_suffix(1);
    }
    return toLowerAscii(name);
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

/// The 16-bit groups of colon-separated IPv6 text without "::": one to four hexadecimal digits
/// each, the last two optionally written as an IPv4 address when `ipv4Tail`. Nothing when it
/// is not such text; 0 for the empty text.
std::optional<std::size_t> ipv6Groups(std::string_view text, bool ipv4Tail) {
    if (text.empty()) {
        return 0;
    }
    std::size_t groups = 0;
    for (;;) {
        const std::size_t colon = text.find(':');
        const std::string_view group = text.substr(0, colon);
        if (colon == std::string_view::npos && ipv4Tail &&
            group.find('.') != std::string_view::npos) {
            return isIpv4Literal(group) ? std::optional(groups + 2) : std::nullopt;
        }
        if (group.empty() || group.size() > 4 ||
            !std::all_of(group.begin(), group.end(), isHexDigit)) {
            return std::nullopt;
        }
        ++groups;
        if (colon == std::string_view::npos) {
            return groups;
        }
        text.remove_prefix(colon + 1);
    }
}

/// IPv6 text as a Host header holds it between brackets: eight groups, or fewer with one "::"
/// standing for the zero groups left out. No zone index: a page names no interface.
bool isIpv6Literal(std::string_view text) {
    constexpr std::size_t kGroups = 8;
    const std::size_t gap = text.find("::");
    if (gap == std::string_view::npos) {
        return ipv6Groups(text, true) == kGroups;
    }
    if (text.find("::", gap + 1) != std::string_view::npos) {
        return false;
    }
    const auto head = ipv6Groups(text.substr(0, gap), false);
    const auto tail = ipv6Groups(text.substr(gap + 2), true);
    return head && tail && *head + *tail < kGroups;
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
    const auto parts = parseHostPort(hostHeader);
    if (!parts) {
        return false;
    }
    if (parts->bracketed) {
        return isIpv6Literal(parts->host);
    }
    return isAllowedName(parts->host);
}

bool RequestOriginPolicy::isAllowedUiOrigin(std::string_view origin) const {
    if (!startsWithIgnoringAsciiCase(origin, kHttpScheme)) {
        return false;
    }
    const std::string_view authority = origin.substr(kHttpScheme.size());
    const auto parts = parseHostPort(authority);
    // The port must be written out, as a browser writes it (no leading zero): it leaves out
    // only the scheme's default (80).
    if (!parts || parts->port != uiPort_ || !authority.ends_with(":" + std::to_string(uiPort_))) {
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
