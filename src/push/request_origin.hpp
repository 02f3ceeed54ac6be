#pragma once
#include "platform/host_names.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pellan {

/// The UI's own HTTP port: the only port a page's origin may name.
inline constexpr std::uint16_t kUiHttpPort = 8000;

/// Which Host headers and page origins the local servers (the UI on 8000, the push server on
/// 9001) accept. A web page elsewhere can make the browser reach this machine's ports; a Host
/// that is not an address or a name of this machine marks a rebound DNS name, and an Origin
/// other than the UI's own marks another site's page.
///
/// Kind: value (immutable after construction). Thread safety: every member may be called
/// from any thread at once.
class RequestOriginPolicy {
public:
    /// `ownHostNames` are this machine's names (any case; a trailing dot is ignored);
    /// "localhost", the names ending in ".localhost" and IP literals are always allowed.
    explicit RequestOriginPolicy(std::vector<std::string> ownHostNames,
                                 std::uint16_t uiPort = kUiHttpPort);

    /// The value of a Host header: an allowed name or IP literal, optionally with ":port" (an
    /// empty port is the scheme's default, as a URI reads it). An empty value names nothing and
    /// is refused (a request without the header at all is the caller's case).
    bool isAllowedHost(std::string_view hostHeader) const;
    /// The value of an Origin header: exactly "http://" + allowed host + ":" + the UI port.
    bool isAllowedUiOrigin(std::string_view origin) const;

    const std::vector<std::string>& ownHostNames() const { return ownHostNames_; }

private:
    bool isAllowedName(std::string_view name) const;

    std::vector<std::string> ownHostNames_;  // Lower case, without a trailing dot.
    std::uint16_t uiPort_;
};

/// The rules above for this machine's names (read once, on first use).
bool isAllowedHost(std::string_view hostHeader);
bool isAllowedUiOrigin(std::string_view origin);

}  // namespace pellan
