// vantrel-diag discover: both DNS-SD browsers as the application runs them, with a JSON line
// per report.

#include "commands.hpp"
#include "exit_signals.hpp"
#include "options.hpp"

#include "base/wire_json.hpp"
#include "discovery/dns_sd_browser.hpp"
#include "log/logger.hpp"

#include <nlohmann/json.hpp>

#include <net/if.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pellan::diag {

namespace {

constexpr long long kMaxSeconds = 7 * 24 * 3600;

constexpr const char* kUsage =
    R"(Usage: vantrel-diag discover [--interface NAME|INDEX] [--seconds N]

Browses "_http._tcp" and "_netaudio-cmc._udp" by DNS-SD as the application does (same
filters: the maker's mark, "vendor_id=true", "mf", no "RECOVERY") and prints every report of
either browser as one JSON line:
  {"browser":"http","danteName":"...","friendlyName":"...","hostname":"...","ip":"..."}
A host is reported again when what is known about it changes (its address comes last).
Log records (such as a missing avahi-daemon) and browse failures go to stderr.

Options:
  --interface NAME|INDEX  browse on this network interface only (default: all)
  --seconds N             stop after N seconds (default: run until Ctrl-C / SIGTERM)
  -h, --help              this text

Needs a running avahi-daemon (reached over the system bus, DBUS_SYSTEM_BUS_ADDRESS when set).
Exit status: 0 done; 1 discovery could not be started; 2 usage error.
)";

struct DiscoverOptions {
    std::uint32_t interfaceIndex = kDnsSdInterfaceAny;
    std::optional<long long> seconds;
    bool help = false;
};

/// The options, or the text of the usage error.
std::optional<std::string> parseOptions(const std::vector<std::string>& args,
                                        DiscoverOptions& options) {
    OptionParser parser("argument");
    parser.number("--seconds", 1, kMaxSeconds,
                  "--seconds takes a whole number from 1 to " + std::to_string(kMaxSeconds),
                  [&](long long n) { options.seconds = n; });
    parser.option("--interface", [&](const std::string& value) -> std::optional<std::string> {
        if (const auto index = parseWholeNumber(value, 0, 0xFFFFFFFFLL)) {
            options.interfaceIndex = static_cast<std::uint32_t>(*index);
            return std::nullopt;
        }
        const unsigned named = value.empty() ? 0U : ::if_nametoindex(value.c_str());
        if (named == 0) {
            return "no network interface '" + value + "'";
        }
        options.interfaceIndex = named;
        return std::nullopt;
    });
    if (auto error = parser.parse(args)) {
        return error;
    }
    if (!parser.positional().empty()) {
        return "unknown argument '" + parser.positional().front() + "'";
    }
    options.help = parser.help();
    return std::nullopt;
}

/// One JSON line per report; the two browsers' threads write through one lock.
class ReportPrinter {
public:
    DeviceChangedCallback forBrowser(std::string browser) {
        return [this, browser = std::move(browser)](const DiscoveredDevice& record, bool) {
            const nlohmann::json line{{"browser", browser},
                                      {"hostname", record.hostname},
                                      {"ip", record.ip},
                                      {"danteName", record.danteName},
                                      {"friendlyName", record.friendlyName}};
            // Names come from the network: bytes that are no UTF-8 are replaced, not fatal.
            const std::string text = wireJson(line);
            const std::lock_guard lock(mutex_);
            std::cout << text << std::endl;
        };
    }

private:
    std::mutex mutex_;
};

}  // namespace

int runDiscover(const std::vector<std::string>& args) {
    DiscoverOptions options;
    if (const auto error = parseOptions(args, options)) {
        std::cerr << "vantrel-diag discover: " << *error << "\n\n" << kUsage;
        return kExitUsage;
    }
    if (options.help) {
        std::cout << kUsage;
        return kExitOk;
    }

    // Before the browsers' threads exist, so that only the wait below receives the signals.
    const ExitSignals signals;

    Logger logger;
    logger.setListener([](const LogEntry& entry) {
        std::cerr << "(" << entry.timestamp << ") [" << entry.category << "] " << entry.message
                  << std::endl;
    });
    ReportPrinter printer;
    DnsSdBrowser http(printer.forBrowser("http"), logger);
    DnsSdBrowser netaudio(printer.forBrowser("netaudio"), logger);
    http.setInterfaceIndex(options.interfaceIndex);
    netaudio.setInterfaceIndex(options.interfaceIndex);
    try {
        http.startDiscovery(kHttpServiceType);
        netaudio.startDiscovery(kNetaudioServiceType);
    } catch (const std::exception& error) {
        std::cerr << "vantrel-diag discover: cannot start discovery: " << error.what() << "\n";
        return kExitFailure;
    }
    signals.wait(std::chrono::seconds(options.seconds.value_or(kMaxSeconds)));
    http.stopDiscovery();
    netaudio.stopDiscovery();
    logger.setListener({});
    return kExitOk;
}

}  // namespace pellan::diag
