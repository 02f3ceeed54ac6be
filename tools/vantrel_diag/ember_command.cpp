// vantrel-diag ember: the application's Ember+ clients on their own, and a loopback provider.

#include "commands.hpp"
#include "exit_signals.hpp"
#include "options.hpp"

#include "base/ipv4.hpp"

#include "devices/device_model.hpp"
#include "ember/ember_connection.hpp"
#include "ember/ember_gpio_client.hpp"
#include "ember/ember_vgpio_client.hpp"
#include "simulators/ember_provider_sim.hpp"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
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

std::optional<std::string> parseArguments(const std::vector<std::string>& args,
                                          EmberArguments& out) {
    OptionParser parser;
    parser.flag("--indefinite", out.indefinite);
    parser.number("--port", 1, 65535, "--port takes a TCP port from 1 to 65535",
                  [&](long long n) { out.port = static_cast<int>(n); });
    parser.number("--seconds", 1, kMaxSeconds,
                  "--seconds takes a whole number from 1 to " + std::to_string(kMaxSeconds),
                  [&](long long n) { out.seconds = n; });
    parser.option("--style", [&](const std::string& value) -> std::optional<std::string> {
        if (value == "qualified") {
            out.style = EmberAnswerStyle::QualifiedParameter;
        } else if (value == "empty-children") {
            out.style = EmberAnswerStyle::QualifiedWithEmptyChildren;
        } else if (value == "nested") {
            out.style = EmberAnswerStyle::Nested;
        } else {
            return "--style takes qualified, empty-children or nested, not '" + value + "'";
        }
        return std::nullopt;
    });
    parser.number("--packages", 1, 3, "--packages takes 1, 2 or 3",
                  [&](long long n) { out.packages = static_cast<int>(n); });
    parser.number("--toggle", 10, 3'600'000, "--toggle takes milliseconds from 10 to 3600000",
                  [&](long long n) { out.toggleMs = n; });
    if (auto error = parser.parse(args)) {
        return error;
    }
    out.help = parser.help();
    out.positional = parser.positional();
    return std::nullopt;
}

/// How long a watch or the simulator runs: --seconds, else until a signal.
std::optional<std::chrono::milliseconds> limitOf(const EmberArguments& args) {
    if (!args.seconds) {
        return std::nullopt;
    }
    return std::chrono::seconds(*args.seconds);
}

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
    if (!isIpv4Literal(address)) {
        return usageError("ADDRESS must be an IPv4 address, not '" + address + "'");
    }
    const ExitSignals signals;
    EmberGpioClient client(address, args.port, toolOptions());
    client.setValueCallback([](const std::string& text, std::int32_t value) {
        printLine(text + " " + std::to_string(value));
    });
    client.start();
    signals.wait(limitOf(args));
    client.stop();
    return kExitOk;
}

int runWatchVgpio(const EmberArguments& args) {
    if (args.positional.size() != 3) {
        return usageError("vgpio takes ADDRESS and MODEL");
    }
    const std::string& address = args.positional[1];
    const std::string& model = args.positional[2];
    if (!isIpv4Literal(address)) {
        return usageError("ADDRESS must be an IPv4 address, not '" + address + "'");
    }
    const EmberVgpioSettings settings = EmberVgpioSettings::fromModel(lookupDeviceModel(model));
    if (!settings.usable()) {
        return usageError("model '" + model + "' has no Ember+ virtual GPIOs");
    }
    const ExitSignals signals;
    EmberVgpioClient client(address, settings, args.port, toolOptions());
    client.setValueCallback([](const std::string& text, std::int32_t value) {
        printLine(text + " " + std::to_string(value));
    });
    client.start();
    signals.wait(limitOf(args));
    client.stop();
    return kExitOk;
}

int runSet(const EmberArguments& args) {
    if (args.positional.size() != 5) {
        return usageError("set takes ADDRESS PORT override|status 0|1");
    }
    const std::string& address = args.positional[1];
    const std::string& field = args.positional[3];
    if (!isIpv4Literal(address)) {
        return usageError("ADDRESS must be an IPv4 address, not '" + address + "'");
    }
    const auto physical = parseWholeNumber(args.positional[2], 0, 1'000'000);
    if (!physical) {
        return usageError("PORT must be a whole number, not '" + args.positional[2] + "'");
    }
    if (field != "override" && field != "status") {
        return usageError("the field is override or status, not '" + field + "'");
    }
    const auto value = parseWholeNumber(args.positional[4], 0, 1);
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
    if (!isLoopbackIpv4(address)) {
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
    const ExitSignals signals;
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
    const auto toggleEvery =
        args.toggleMs ? std::optional(std::chrono::milliseconds(*args.toggleMs)) : std::nullopt;
    signals.wait(limitOf(args), toggleEvery, [&] {
        state = !state;
        sim.setValue(toggled, state);
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
