// vantrel-diag ping: the health monitor's ICMP probe, once a second, with a line per probe.

#include "commands.hpp"
#include "exit_signals.hpp"
#include "options.hpp"

#include "platform/icmp_prober.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <system_error>
#include <vector>

namespace pellan::diag {

namespace {

constexpr std::chrono::milliseconds kRoundInterval{1000};
constexpr long long kMaxCount = 1'000'000'000;
constexpr long long kMaxTimeoutMs = 60'000;

constexpr const char* kUsage =
    R"(Usage: vantrel-diag ping [--count N] [--timeout MS] [--socket auto|datagram|raw] ADDRESS...

Sends an ICMP echo request to every ADDRESS once a second, all addresses at once, with the
health monitor's prober (data "health" and a zero byte), and prints one line per probe:
  ADDRESS reachable time=0.081 ms round=1 socket=raw
  ADDRESS unreachable (timed out) round=1 socket=raw
At the end (after N rounds, or Ctrl-C / SIGTERM) one summary line per address.

Options:
  --count N        stop after N rounds (default: run until interrupted)
  --timeout MS     wait for each answer at most MS milliseconds (default: 1000, as the monitor)
  --socket KIND    auto (default: a datagram socket where net.ipv4.ping_group_range allows it,
                   else a raw one), datagram or raw (raw needs root or CAP_NET_RAW)
  -h, --help       this text

Exit status: 0 every address answered at least once; 1 some address never answered (or no
ICMP socket could be opened); 2 usage error.
)";

struct PingOptions {
    std::optional<long long> count;
    long long timeoutMs = kEchoTimeout.count();
    IcmpSocketMode mode = IcmpSocketMode::Automatic;
    std::vector<std::string> addresses;
    bool help = false;
};

/// The options, or the text of the usage error.
std::optional<std::string> parseOptions(const std::vector<std::string>& args,
                                        PingOptions& options) {
    OptionParser parser;
    parser.number("--count", 1, kMaxCount,
                  "--count takes a whole number from 1 to " + std::to_string(kMaxCount),
                  [&](long long n) { options.count = n; });
    parser.number("--timeout", 1, kMaxTimeoutMs,
                  "--timeout takes milliseconds from 1 to " + std::to_string(kMaxTimeoutMs),
                  [&](long long n) { options.timeoutMs = n; });
    parser.option("--socket", [&](const std::string& value) -> std::optional<std::string> {
        if (value == "auto") {
            options.mode = IcmpSocketMode::Automatic;
        } else if (value == "datagram") {
            options.mode = IcmpSocketMode::DatagramOnly;
        } else if (value == "raw") {
            options.mode = IcmpSocketMode::RawOnly;
        } else {
            return "--socket takes auto, datagram or raw, not '" + value + "'";
        }
        return std::nullopt;
    });
    if (auto error = parser.parse(args)) {
        return error;
    }
    options.help = parser.help();
    options.addresses = parser.positional();
    if (!options.help && options.addresses.empty()) {
        return "no address given";
    }
    return std::nullopt;
}

const char* socketName(IcmpSocketKind kind) {
    switch (kind) {
    case IcmpSocketKind::Datagram:
        return "datagram";
    case IcmpSocketKind::Raw:
        return "raw";
    case IcmpSocketKind::None:
        break;
    }
    return "none";
}

std::string describe(const std::string& address, const EchoOutcome& outcome, long long round) {
    std::string line = address;
    if (outcome.reachable) {
        char time[32];
        std::snprintf(time, sizeof(time), "%.3f",
                      static_cast<double>(outcome.roundTrip.count()) / 1000.0);
        line += std::string(" reachable time=") + time + " ms";
    } else {
        line += std::string(" unreachable (") + echoFailureText(outcome.failure);
        if (outcome.systemError != 0) {
            line += ": " + std::error_code(outcome.systemError, std::generic_category()).message();
        }
        if (outcome.failure == EchoFailure::NoSocket) {
            line += "; needs root, CAP_NET_RAW or a net.ipv4.ping_group_range with this group";
        }
        line += ")";
    }
    line += " round=" + std::to_string(round) + " socket=" + socketName(outcome.socket);
    return line;
}

/// Waits until `until` or a stop request, whichever comes first.
void pauseUntil(std::chrono::steady_clock::time_point until, const std::stop_token& stop) {
    std::mutex mutex;
    std::condition_variable wake;
    std::stop_callback onStop(stop, [&] {
        std::lock_guard lock(mutex);
        wake.notify_all();
    });
    std::unique_lock lock(mutex);
    wake.wait_until(lock, until, [&] { return stop.stop_requested(); });
}

}  // namespace

int runPing(const std::vector<std::string>& args) {
    PingOptions options;
    if (const auto error = parseOptions(args, options)) {
        std::cerr << "vantrel-diag ping: " << *error << "\n\n" << kUsage;
        return kExitUsage;
    }
    if (options.help) {
        std::cout << kUsage;
        return kExitOk;
    }

    const ExitSignals signals;
    std::stop_source stopSource;
    const StopOnExitSignal watcher(signals, stopSource);
    const std::stop_token stop = stopSource.get_token();
    SystemIcmpProber prober(options.mode);
    std::vector<long long> sent(options.addresses.size(), 0);
    std::vector<long long> answered(options.addresses.size(), 0);
    const auto start = std::chrono::steady_clock::now();
    for (long long round = 1; !options.count || round <= *options.count; ++round) {
        const std::vector<EchoOutcome> outcomes =
            prober.probe(options.addresses, std::chrono::milliseconds(options.timeoutMs), stop);
        if (stop.stop_requested()) {
            break;  // An interrupted round says nothing about the devices.
        }
        for (std::size_t i = 0; i < options.addresses.size(); ++i) {
            ++sent[i];
            answered[i] += outcomes[i].reachable ? 1 : 0;
            std::cout << describe(options.addresses[i], outcomes[i], round) << "\n";
        }
        std::cout.flush();
        if (options.count && round == *options.count) {
            break;
        }
        pauseUntil(start + round * kRoundInterval, stop);
    }

    bool everyAddressAnswered = true;
    for (std::size_t i = 0; i < options.addresses.size(); ++i) {
        std::cout << options.addresses[i] << ": sent " << sent[i] << ", answered " << answered[i]
                  << "\n";
        everyAddressAnswered = everyAddressAnswered && answered[i] > 0;
    }
    std::cout.flush();
    return everyAddressAnswered ? kExitOk : kExitFailure;
}

}  // namespace pellan::diag
