// vantrel-diag link: one device WebSocket link, opened and handled as the application does,
// against a private registry that holds just that device; one JSON line per happening.

#include "commands.hpp"
#include "exit_signals.hpp"
#include "options.hpp"

#include "base/ascii.hpp"
#include "base/ipv4.hpp"
#include "base/wire_json.hpp"

#include "devices/device_entry.hpp"
#include "devices/device_manager.hpp"
#include "devices/device_model.hpp"
#include "links/device_websocket_client.hpp"
#include "links/device_websocket_manager.hpp"
#include "log/logger.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pellan::diag {

namespace {

using Json = nlohmann::json;

constexpr long long kMaxSeconds = 100LL * 365 * 24 * 3600;

constexpr const char* kUsage =
    R"(Usage: vantrel-diag link [--seconds N] [--port P] ADDRESS MODEL

Opens the device WebSocket link to ADDRESS exactly as the application does: the URL
"ws://ADDRESS:8081", the subprotocol of MODEL, reconnection by itself with waits that grow
to 10 s, and every message handled by MODEL's state-message family against a private
registry that holds one device with that address and model. Prints one JSON line per
happening, each with "t" (seconds since the start) and "type":
  link         the connection opened ("subprotocol"), closed ("reason") or waits to
               retry ("waitMs"); the application itself never reports these
  registry     the registry fields that a message changed ("changed")
  deviceState  the device-state callback ("hostname", "record")
  meterLevels  the meter callback ("hostname", "levels")
  log          a log record ("category", "message")
The first line ("start") names the URL, the subprotocol and the private device; the last
("stop") says why the link ended: after N seconds, or on Ctrl-C / SIGTERM.

Arguments:
  ADDRESS        the device's IPv4 address, e.g. 198.18.1.40
  MODEL          its stock code: TRQ-PN1, TRQ-PN2, TRQ-PN4, TRQ-R8X or VK-Q-64 (any code
                 that begins with one of them); other models speak no state messages
Options:
  --seconds N    end after N seconds (default: run until interrupted)
  --port P       connect to port P instead of 8081 (a simulated device, a test)
  -h, --help     this text

Exit status: 0 the link ran and was stopped; 2 usage error.
)";

struct LinkOptions {
    std::string address;
    std::string model;
    std::optional<long long> seconds;
    std::optional<std::uint16_t> port;
    bool help = false;
};

/// The options, or the text of the usage error.
std::optional<std::string> parseOptions(const std::vector<std::string>& args,
                                        LinkOptions& options) {
    OptionParser parser;
    parser.number("--seconds", 1, kMaxSeconds, "--seconds takes a whole number of 1 or more",
                  [&](long long n) { options.seconds = n; });
    parser.number("--port", 1, 65535, "--port takes a port number from 1 to 65535",
                  [&](long long n) { options.port = static_cast<std::uint16_t>(n); });
    if (auto error = parser.parse(args)) {
        return error;
    }
    options.help = parser.help();
    if (options.help) {
        return std::nullopt;
    }
    const std::vector<std::string>& positional = parser.positional();
    if (positional.size() != 2) {
        return positional.empty()       ? "no ADDRESS and MODEL given"
               : positional.size() == 1 ? "no MODEL given"
                                        : "unexpected argument '" + positional[2] + "'";
    }
    if (!isIpv4Literal(positional[0])) {
        return "ADDRESS must be an IPv4 address, not '" + positional[0] + "'";
    }
    options.address = positional[0];
    options.model = toUpperAscii(positional[1]);
    if (lookupDeviceModel(options.model).stateParser == StateMessageFamily::None) {
        return "the model '" + positional[1] +
               "' speaks no state messages (TRQ-PN1, TRQ-PN2, TRQ-PN4, TRQ-R8X, VK-Q-64 do)";
    }
    return std::nullopt;
}

/// The live-state fields that the links write.
Json stateFields(const DeviceEntry& entry) {
    return Json{{"onAirStates", entry.onAirStates},
                {"meterLevels", entry.meterLevels},
                {"talkBackStates", entry.talkBackStates},
                {"lazyGang", entry.lazyGang},
                {"muted", entry.muted},
                {"cough", entry.cough},
                {"gpiMuteStates", entry.gpiMuteStates},
                {"micMuted", entry.micMuted}};
}

/// Writes the lines; the loop thread (callbacks, link events, most log records) and the
/// main thread (start, stop) write through one lock, which also guards the last registry
/// state seen.
class LinePrinter {
public:
    LinePrinter(DeviceManager& devices, std::string address)
        : devices_(devices), address_(std::move(address)), start_(std::chrono::steady_clock::now()),
          lastState_(stateFields(devices_.findDeviceByIp(address_))) {}

    void print(Json line) {
        std::lock_guard lock(mutex_);
        printLocked(std::move(line));
    }

    /// A registry line for the fields that differ from the last ones seen, then `line`.
    void printAfterRegistry(Json line) {
        const DeviceEntry device = devices_.findDeviceByIp(address_);
        std::lock_guard lock(mutex_);
        const Json state = stateFields(device);
        Json changed = Json::object();
        for (const auto& [key, value] : state.items()) {
            if (lastState_[key] != value) {
                changed[key] = value;
            }
        }
        lastState_ = state;
        if (!changed.empty()) {
            printLocked(
                {{"type", "registry"}, {"hostname", device.hostname}, {"changed", changed}});
        }
        printLocked(std::move(line));
    }

private:
    void printLocked(Json line) {
        const auto elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_);
        line["t"] = static_cast<double>(static_cast<long long>(elapsed.count() * 1000.0)) / 1000.0;
        // Text from the device may be no UTF-8: replaced, never fatal.
        std::cout << wireJson(line) << std::endl;
    }

    DeviceManager& devices_;
    const std::string address_;
    const std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
    Json lastState_;  // Guarded by mutex_.
};

const char* eventName(DeviceLinkEvent::Kind kind) {
    switch (kind) {
    case DeviceLinkEvent::Kind::Open:
        return "open";
    case DeviceLinkEvent::Kind::Closed:
        return "closed";
    case DeviceLinkEvent::Kind::Retry:
        return "retry";
    }
    return "unknown";
}

}  // namespace

int runLink(const std::vector<std::string>& args) {
    LinkOptions options;
    if (const auto error = parseOptions(args, options)) {
        std::cerr << "vantrel-diag link: " << *error << "\n\n" << kUsage;
        return kExitUsage;
    }
    if (options.help) {
        std::cout << kUsage;
        return kExitOk;
    }

    // Before the link loop's thread exists, so that only the wait below receives the signals.
    const ExitSignals signals;

    Logger logger;
    DeviceManager devices(logger);
    DeviceEntry device;
    device.hostname = options.model + "-DIAG";
    device.ip = options.address;
    devices.addOrUpdateDevice(device);
    const std::string hostname = devices.findDeviceByIp(options.address).hostname;

    LinePrinter printer(devices, options.address);
    logger.setListener([&printer](const LogEntry& entry) {
        printer.print({{"type", "log"},
                       {"timestamp", entry.timestamp},
                       {"category", entry.category},
                       {"message", entry.message}});
    });

    const DeviceModelInfo& model = lookupDeviceModel(options.model);
    const auto port = options.port.value_or(static_cast<std::uint16_t>(model.wsPort));
    printer.print({{"type", "start"},
                   {"url", "ws://" + options.address + ":" + std::to_string(port)},
                   {"subprotocol", std::string(deviceWebSocketSubprotocol(options.model))},
                   {"family", static_cast<std::int32_t>(model.stateParser)},
                   {"hostname", hostname},
                   {"model", options.model}});

    DeviceWebSocketOptions linkOptions;
    linkOptions.port = options.port;
    linkOptions.onLinkEvent = [&printer](const std::string&, const DeviceLinkEvent& event) {
        Json line{{"type", "link"}, {"event", eventName(event.kind)}};
        if (event.kind == DeviceLinkEvent::Kind::Open) {
            line["subprotocol"] = event.detail;
        } else if (event.kind == DeviceLinkEvent::Kind::Closed) {
            line["reason"] = event.detail;
        } else {
            line["waitMs"] = event.wait.count();
        }
        printer.print(std::move(line));
    };
    DeviceWebSocketManager links(
        devices, logger,
        [&printer](const std::string& host, const std::vector<std::int32_t>& levels) {
            printer.printAfterRegistry(
                {{"type", "meterLevels"}, {"hostname", host}, {"levels", levels}});
        },
        [&printer](const std::string& host, const DeviceEntry& record) {
            printer.printAfterRegistry(
                {{"type", "deviceState"}, {"hostname", host}, {"record", stateFields(record)}});
        },
        std::move(linkOptions));
    links.startWebSocketForDevice(options.address, options.model);

    const bool interrupted =
        signals.wait(std::chrono::seconds(options.seconds.value_or(kMaxSeconds)));
    // As at the application's shut-down: every link closes with 1000, nothing is logged.
    links.stopAll();
    printer.print({{"type", "stop"}, {"reason", interrupted ? "signal" : "seconds"}});
    logger.setListener({});
    return kExitOk;
}

}  // namespace pellan::diag
