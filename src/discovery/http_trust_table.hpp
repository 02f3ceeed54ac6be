#pragma once
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace pellan {

/// What the "_http._tcp" services of one host (the resolve reply's host target) have shown.
struct HttpTrustEntry {
    /// Set once any instance of the host carried the maker mark (or "vendor_id=true"); never
    /// reset.
    bool trusted = false;
    /// The latest non-empty "dnt_name" of any instance of the host.
    std::string danteName;
    /// The latest non-empty instance name of the host that carried no maker mark.
    std::string friendlyName;

    bool operator==(const HttpTrustEntry&) const = default;
};

/// Per host, whether its web services belong to the maker's devices, and the names they gave.
/// A host whose first instance lacks the mark is remembered, so that a later marked instance
/// of the same host is reported with the first one's name as friendly name.
///
/// Kind: locked manager; one mutex; hands out copies; entries are never removed.
/// Thread safety: every member may be called from any thread.
/// Lifetime: shared() lives for the whole process and is what every DnsSdBrowser uses unless
///   given another table (tests).
class HttpTrustTable {
public:
    static HttpTrustTable& shared();

    HttpTrustTable() = default;
    HttpTrustTable(const HttpTrustTable&) = delete;
    HttpTrustTable& operator=(const HttpTrustTable&) = delete;

    /// Records one resolved instance of `host` and returns the entry afterwards: `trustedNow`
    /// sets trusted, a non-empty `danteName` replaces the Dante name, a non-empty
    /// `friendlyName` replaces the friendly name.
    HttpTrustEntry record(const std::string& host, bool trustedNow, const std::string& danteName,
                          const std::string& friendlyName);
    std::optional<HttpTrustEntry> find(const std::string& host) const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, HttpTrustEntry> entries_;  // Guarded by mutex_.
};

}  // namespace pellan
