// vantrel-diag ember: the application's Ember+ clients on their own, and a loopback provider.

#include "commands.hpp"

#include "devices/device_model.hpp"
#include "ember/ember_gpio_client.hpp"
#include "ember/ember_provider_sim.hpp"
#include "ember/ember_socket.hpp"
#include "ember/ember_vgpio_client.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pellan::diag {

namespace {

constexpr long long kMaxSeconds = 31LL * 24 * 3600;
constexpr std::chrono::milliseconds kSetConnectTimeout{5000};
constexpr std::chrono::milliseconds kSetReportWait{2000};

constexpr const char* kUsage =
    R"(Usage: vantrel-diag ember gpio ADDRESS [--port N] [--seconds S]
       vantrel-diag ember vgpio ADDRESS MODEL [--port N] [--seconds S]
       vantrel-diag ember set ADDRESS PORT override|status 0|1 [--port N]
       vantrel-diag ember sim ADDRESS gpio|MODEL [--port N] [--seconds S] [--style STYLE]
                              [--indefinite] [--packages 1|2|3] [--toggle MS]

gpio   watches a GPIO unit exactly as the application does (subscription, keep-alives,
       reconnection with back-off) and prints each report as one line, for example
         gpio physical 3/status 1
       between the client's own diagnostic lines ("[EMBER RX][GPIO] ...").
vgpio  the same for the virtual GPIOs of a device of MODEL (its stock code, such as TRQ-PN1),
       with the model's Ember+ settings; prints "vgpio 4/status 1" lines.
set    connects to a GPIO unit, writes the override or status flag of physical PORT (1..10)
       once, prints the result and the unit's answer, and exits.
sim    serves a simulated provider on a loopback ADDRESS (127.x.y.z): a GPIO unit's tree
       (gpio) or the virtual GPIOs of MODEL; prints each write it receives.

ADDRESS is an IPv4 address; the TCP port is 9000 unless --port is given.

Options:
  --port N         TCP port (default 9000)
  --seconds S      stop after S seconds (default: run until Ctrl-C / SIGTERM)
  --style STYLE    sim answers as qualified (default), empty-children or nested elements
  --indefinite     sim writes indefinite lengths
  --packages K     sim splits every answer into K packages (default 1)
  --toggle MS      sim flips the status of port or entry 1 every MS milliseconds
  -h, --help       this text

Exit status: 0 success; 1 the write failed or the connection could not be made; 2 usage error.
)";

struct EmberArguments {
    std::vector<std::string> positional;
    int port = kEmberPort;
    std::optional<long long> seconds;
    EmberAnswerStyle style = EmberAnswerStyle::QualifiedParameter;
    bool indefinite = false;
    int packages = 1;
    std::optional<long long> toggleMs;
    bool help = false;
};

std::optional<long long> parseWhole(const std::string& text, long long min, long long max) {
    if (text.empty() || text.size() > 12) {
        return std::nullopt;
    }
    long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    if (value < min || value > max) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> parseArguments(const std::vector<std::string>& args,
                                          EmberArguments& out) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg.size() < 2 || arg[0] != '-' || arg[1] != '-') {
            if (arg == "-h") {
                out.help = true;
            } else {
                out.positional.push_back(arg);
            }
            continue;
        }
        if (arg == "--help") {
            out.help = true;
            continue;
        }
        if (arg == "--indefinite") {
            out.indefinite = true;
            continue;
        }
        std::string value;
        const std::size_t equals = arg.find('=');
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
        } else if (arg == "--port" || arg == "--seconds" || arg == "--style" ||
                   arg == "--packages" || arg == "--toggle") {
            if (i + 1 >= args.size()) {
                return arg + " needs a value";
            }
            value = args[++i];
        }
        if (arg == "--port") {
            const auto port = parseWhole(value, 1, 65535);
            if (!port) {
                return "--port takes a TCP port from 1 to 65535, not '" + value + "'";
            }
            out.port = static_cast<int>(*port);
        } else if (arg == "--seconds") {
            out.seconds = parseWhole(value, 1, kMaxSeconds);
            if (!out.seconds) {
                return "--seconds takes a whole number from 1 to " + std::to_string(kMaxSeconds) +
                       ", not '" + value + "'";
            }
        } else if (arg == "--style") {
            if (value == "qualified") {
                out.style = EmberAnswerStyle::QualifiedParameter;
            } else if (value == "empty-children") {
                out.style = EmberAnswerStyle::QualifiedWithEmptyChildren;
            } else if (value == "nested") {
                out.style = EmberAnswerStyle::Nested;
            } else {
                return "--style takes qualified, empty-children or nested, not '" + value + "'";
            }
        } else if (arg == "--packages") {
            const auto packages = parseWhole(value, 1, 3);
            if (!packages) {
                return "--packages takes 1, 2 or 3, not '" + value + "'";
            }
            out.packages = static_cast<int>(*packages);
        } else if (arg == "--toggle") {
            out.toggleMs = parseWhole(value, 10, 3'600'000);
            if (!out.toggleMs) {
                return "--toggle takes milliseconds from 10 to 3600000, not '" + value + "'";
            }
        } else {
            return "unknown option '" + args[i] + "'";
        }
    }
    return std::nullopt;
}

/// Blocks SIGINT and SIGTERM in the calling thread (and every thread it starts afterwards),
/// so that waitForEnd() receives them.
class EndSignals {
public:
    EndSignals() {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    }
    /// Waits for a signal or until `seconds` passed; without a limit, until a signal.
    /// `tick`, when given, runs every `tickMs` while waiting (on this thread).
    void waitForEnd(std::optional<long long> seconds, std::optional<long long> tickMs = {},
                    const std::function<void()>& tick = {}) const {
        using Clock = std::chrono::steady_clock;
        const auto end =
            seconds ? Clock::now() + std::chrono::seconds(*seconds) : Clock::time_point::max();
        // Bounded by the end time or a signal; every round waits at most one slice.
        for (;;) {
            const auto now = Clock::now();
            if (now >= end) {
                return;
            }
            auto slice = std::chrono::milliseconds(tickMs ? *tickMs : 3'600'000);
            if (end != Clock::time_point::max()) {
                slice = std::min(slice,
                                 std::chrono::duration_cast<std::chrono::milliseconds>(end - now) +
                                     std::chrono::milliseconds(1));
            }
            timespec timeout{};
            timeout.tv_sec = static_cast<std::time_t>(slice.count() / 1000);
            timeout.tv_nsec = static_cast<long>((slice.count() % 1000) * 1'000'000);
            const int signal = sigtimedwait(&signals_, nullptr, &timeout);
            if (signal == SIGINT || signal == SIGTERM) {
                return;
            }
            if (signal < 0 && errno == EAGAIN && tick) {
                tick();
            }
        }
    }

private:
    sigset_t signals_{};
};

void printLine(const std::string& line) {
    printEmberDiagnostic(line);
}

EmberClientOptions toolOptions() {
    EmberClientOptions options;
    options.diagnostics = printLine;
    return options;
}

int usageError(const std::string& message) {
    std::cerr << "vantrel-diag ember: " << message << "\n\n" << kUsage;
    return kExitUsage;
}

int runWatchGpio(const EmberArguments& args) {
    if (args.positional.size() != 2) {
        return usageError("gpio takes one ADDRESS");
    }
    const std::string& address = args.positional[1];
    std::uint32_t ignored = 0;
    if (!ember::parseIpv4(address, ignored)) {
        return usageError("ADDRESS must be an IPv4 address, not '" + address + "'");
    }
    const EndSignals signals;
    EmberGpioClient client(address, args.port, toolOptions());
    client.setValueCallback([](const std::string& text, std::int32_t value) {
        printLine(text + " " + std::to_string(value));
    });
    client.start();
    signals.waitForEnd(args.seconds);
    client.stop();
    return kExitOk;
}

int runWatchVgpio(const EmberArguments& args) {
    if (args.positional.size() != 3) {
        return usageError("vgpio takes ADDRESS and MODEL");
    }
    const std::string& address = args.positional[1];
    const std::string& model = args.positional[2];
    std::uint32_t ignored = 0;
    if (!ember::parseIpv4(address, ignored)) {
        return usageError("ADDRESS must be an IPv4 address, not '" + address + "'");
    }
    const EmberVgpioSettings settings = EmberVgpioSettings::fromModel(lookupDeviceModel(model));
    if (!settings.usable()) {
        return usageError("model '" + model + "' has no Ember+ virtual GPIOs");
    }
    const EndSignals signals;
    EmberVgpioClient client(address, settings, args.port, toolOptions());
    client.setValueCallback([](const std::string& text, std::int32_t value) {
        printLine(text + " " + std::to_string(value));
    });
    client.start();
    signals.waitForEnd(args.seconds);
    client.stop();
    return kExitOk;
}

int runSet(const EmberArguments& args) {
    if (args.positional.size() != 5) {
        return usageError("set takes ADDRESS PORT override|status 0|1");
    }
    const std::string& address = args.positional[1];
    const std::string& field = args.positional[3];
    std::uint32_t ignored = 0;
    if (!ember::parseIpv4(address, ignored)) {
        return usageError("ADDRESS must be an IPv4 address, not '" + address + "'");
    }
    const auto physical = parseWhole(args.positional[2], 0, 1'000'000);
    if (!physical) {
        return usageError("PORT must be a whole number, not '" + args.positional[2] + "'");
    }
    if (field != "override" && field != "status") {
        return usageError("the field is override or status, not '" + field + "'");
    }
    const auto value = parseWhole(args.positional[4], 0, 1);
    if (!value) {
        return usageError("the value is 0 or 1, not '" + args.positional[4] + "'");
    }

    std::mutex mutex;
    std::condition_variable answered;
    bool answer = false;
    const std::string expected = "gpio physical " + std::to_string(*physical) + "/" + field;
    EmberGpioClient client(address, args.port, toolOptions());
    client.setValueCallback([&](const std::string& text, std::int32_t reported) {
        if (text != expected) {
            return;
        }
        printLine(text + " " + std::to_string(reported));
        std::lock_guard lock(mutex);
        answer = true;
        answered.notify_all();
    });
    client.start();
    if (!client.waitUntilConnected(kSetConnectTimeout)) {
        printLine("not connected to " + address + ":" + std::to_string(args.port));
        client.stop();
        return kExitFailure;
    }
    if (*physical >= 1 && *physical <= kGpioPhysicalCount) {
        // The subscription's first answer for the port tells its value before the write.
        std::unique_lock lock(mutex);
        answered.wait_for(lock, kSetReportWait, [&] { return answer; });
        answer = false;
    }
    const int result =
        client.writeGpio(static_cast<int>(*physical), field, static_cast<int>(*value));
    printLine("writeGpio(" + std::to_string(*physical) + ", \"" + field + "\", " +
              std::to_string(*value) + ") returned " + std::to_string(result));
    if (result == 0) {
        // The unit's announcement of the new value, when it comes in time.
        std::unique_lock lock(mutex);
        answered.wait_for(lock, kSetReportWait, [&] { return answer; });
    }
    client.stop();
    return result == 0 ? kExitOk : kExitFailure;
}

int runSim(const EmberArguments& args) {
    if (args.positional.size() != 3) {
        return usageError("sim takes ADDRESS and gpio or MODEL");
    }
    const std::string& address = args.positional[1];
    const std::string& kind = args.positional[2];
    if (!ember::isLoopbackIpv4(address)) {
        return usageError("the simulator serves loopback addresses (127.x.y.z) only, not '" +
                          address + "'");
    }
    std::vector<EmberSimParameter> tree;
    std::vector<std::int32_t> toggled;
    if (kind == "gpio") {
        tree = EmberProviderSim::gpioTree();
        toggled = {1, 4, 1, 1, 3};
    } else {
        const EmberVgpioSettings settings = EmberVgpioSettings::fromModel(lookupDeviceModel(kind));
        if (!settings.usable()) {
            return usageError("model '" + kind + "' has no Ember+ virtual GPIOs");
        }
        tree = EmberProviderSim::vgpioTree(settings);
        toggled = settings.vgpioBasePath;
        toggled.push_back(1);
        toggled.push_back(settings.vgpioStatusField);
    }
    const EndSignals signals;
    EmberProviderSimOptions options;
    options.address = address;
    options.port = args.port;
    options.style = args.style;
    options.indefiniteLengths = args.indefinite;
    options.packagesPerAnswer = args.packages;
    options.onWrite = [](const EmberSimWrite& write) {
        std::string path;
        for (std::size_t i = 0; i < write.path.size(); ++i) {
            path += (i == 0 ? "" : ".") + std::to_string(write.path[i]);
        }
        printLine("sim write " + path + " = " + std::to_string(write.value));
    };
    EmberProviderSim sim(std::move(tree), options);
    if (!sim.start()) {
        printLine("sim cannot listen on " + address + ":" + std::to_string(args.port) + ": " +
                  std::strerror(errno));
        return kExitFailure;
    }
    printLine("sim serving " + kind + " on " + address + ":" + std::to_string(sim.port()));
    bool state = false;
    signals.waitForEnd(args.seconds, args.toggleMs, [&] {
        if (args.toggleMs) {
            state = !state;
            sim.setValue(toggled, state);
        }
    });
    sim.stop();
    return kExitOk;
}

}  // namespace

int runEmber(const std::vector<std::string>& args) {
    EmberArguments parsed;
    if (const auto error = parseArguments(args, parsed)) {
        return usageError(*error);
    }
    if (parsed.help) {
        std::cout << kUsage;
        return kExitOk;
    }
    if (parsed.positional.empty()) {
        return usageError("no subcommand given (gpio, vgpio, set or sim)");
    }
    const std::string& subcommand = parsed.positional[0];
    int code = kExitUsage;
    if (subcommand == "gpio") {
        code = runWatchGpio(parsed);
    } else if (subcommand == "vgpio") {
        code = runWatchVgpio(parsed);
    } else if (subcommand == "set") {
        code = runSet(parsed);
    } else if (subcommand == "sim") {
        code = runSim(parsed);
    } else {
        return usageError("unknown subcommand '" + subcommand + "'");
    }
    // A connection worker left running after its close wait ends on its own soon; the
    // program waits for it rather than tearing down under it.
    EmberConnection::waitForAllWorkers(std::chrono::seconds(5));
    return code;
}

}  // namespace pellan::diag
