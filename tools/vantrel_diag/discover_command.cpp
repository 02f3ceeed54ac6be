// vantrel-diag discover: both DNS-SD browsers as the application runs them, with a JSON line
// per report.

#include "commands.hpp"

#include "discovery/dns_sd_browser.hpp"
#include "log/logger.hpp"

#include <nlohmann/json.hpp>

#include <net/if.h>
#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <ctime>
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

std::optional<long long> parseNumber(const std::string& text, long long max) {
    if (text.empty() || text.size() > 10) {
        return std::nullopt;
    }
    long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    if (value > max) {
        return std::nullopt;
    }
    return value;
}

/// The options, or the text of the usage error.
std::optional<std::string> parseOptions(const std::vector<std::string>& args,
                                        DiscoverOptions& options) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            continue;
        }
        std::string value;
        const std::size_t equals = arg.find('=');
        if (arg.starts_with("--") && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
        } else if (arg == "--interface" || arg == "--seconds") {
            if (i + 1 >= args.size()) {
                return arg + " needs a value";
            }
            value = args[++i];
        }
        if (arg == "--seconds") {
            const auto seconds = parseNumber(value, kMaxSeconds);
            if (!seconds || *seconds < 1) {
                return "--seconds takes a whole number from 1 to " + std::to_string(kMaxSeconds) +
                       ", not '" + value + "'";
            }
            options.seconds = seconds;
        } else if (arg == "--interface") {
            if (const auto index = parseNumber(value, 0xFFFFFFFFLL)) {
                options.interfaceIndex = static_cast<std::uint32_t>(*index);
            } else {
                const unsigned named = value.empty() ? 0U : ::if_nametoindex(value.c_str());
                if (named == 0) {
                    return "no network interface '" + value + "'";
                }
                options.interfaceIndex = named;
            }
        } else {
            return "unknown argument '" + args[i] + "'";
        }
    }
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
            const std::string text =
                line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            const std::lock_guard lock(mutex_);
            std::cout << text << std::endl;
        };
    }

private:
    std::mutex mutex_;
};

/// Waits for SIGINT or SIGTERM (blocked beforehand), at most `seconds` when given.
void waitForEnd(const sigset_t& signals, std::optional<long long> seconds) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(seconds.value_or(kMaxSeconds));
    while (true) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return;
        }
        const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left);
        timespec timeout{};
        timeout.tv_sec = static_cast<time_t>(nanoseconds.count() / 1'000'000'000);
        timeout.tv_nsec = static_cast<long>(nanoseconds.count() % 1'000'000'000);
        if (::sigtimedwait(&signals, nullptr, &timeout) >= 0) {
            return;  // Interrupted by the user.
        }
        if (errno != EINTR && errno != EAGAIN) {
            return;
        }
    }
}

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

    // Blocked before the browsers' threads exist, so that only waitForEnd receives them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

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
    waitForEnd(signals, options.seconds);
    http.stopDiscovery();
    netaudio.stopDiscovery();
    logger.setListener({});
    return kExitOk;
}

}  // namespace pellan::diag
