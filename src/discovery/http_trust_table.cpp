#include "discovery/http_trust_table.hpp"

namespace pellan {

HttpTrustTable& HttpTrustTable::shared() {
    static HttpTrustTable table;
    return table;
}

HttpTrustEntry HttpTrustTable::record(const std::string& host, bool trustedNow,
                                      const std::string& danteName,
                                      const std::string& friendlyName) {
    const std::lock_guard lock(mutex_);
    HttpTrustEntry& entry = entries_[host];
    if (trustedNow) {
        entry.trusted = true;
    }
    if (!danteName.empty()) {
        entry.danteName = danteName;
    }
    if (!friendlyName.empty()) {
        entry.friendlyName = friendlyName;
    }
    return entry;
}

std::optional<HttpTrustEntry> HttpTrustTable::find(const std::string& host) const {
    const std::lock_guard lock(mutex_);
    const auto it = entries_.find(host);
    if (it == entries_.end()) {
        return std::nullopt;
    }
    return it->second;
}

}  // namespace pellan
