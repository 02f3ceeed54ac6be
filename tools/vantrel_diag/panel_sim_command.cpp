// vantrel-diag panel-sim: a simulated device WebSocket state server, for tests and for
// showing `vantrel-diag link` (or the application) a device without the hardware.

#include "commands.hpp"
#include "options.hpp"

#include "base/ipv4.hpp"

#include "devices/device_model.hpp"
#include "links/device_websocket_client.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <exception>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pellan::diag {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;
using Json = nlohmann::json;

constexpr long long kMaxSeconds = 100LL * 365 * 24 * 3600;
constexpr long long kMaxRate = 10000;
constexpr long long kDefaultRate = 5;
constexpr std::size_t kMaxScriptLines = 100000;
constexpr std::size_t kMaxConnections = 64;

constexpr const char* kUsage =
    R"(Usage: vantrel-diag panel-sim --model MODEL [--address A] [--port P] [--rate N]
                             [--script FILE] [--subprotocol NAME|none] [--seconds N]

Serves a device's WebSocket state messages as a control panel, eight-input unit or rack
unit of MODEL would: it listens on A:P, answers each opening handshake with MODEL's
subprotocol and then sends, N times a second, either the lines of FILE in order (one message
per line; empty lines and lines that begin with '#' are skipped; the connection stays open
afterwards) or generated state changes of MODEL's family (buttons, on-air, talkback, mutes,
meters that keep changing). Pings are answered. Prints one JSON line per listening socket,
connection and close. Ends after N seconds or on Ctrl-C / SIGTERM, cutting every
connection as a device that is switched off does.

Options:
  --model MODEL        TRQ-PN1, TRQ-PN2, TRQ-PN4, TRQ-R8X or VK-Q-64 (required)
  --address A          the IPv4 address to listen on (default 127.0.0.1)
  --port P             the port (default 8081; 0 picks a free one, printed when listening)
  --rate N             messages per second, 1 to 10000 (default 5)
  --script FILE        send these messages instead of generated ones
  --subprotocol NAME   answer with NAME instead of MODEL's subprotocol; "none": with none
  --seconds N          end after N seconds (default: run until interrupted)
  -h, --help           this text

Exit status: 0 ended as asked; 1 the address could not be listened on or FILE read;
2 usage error.
)";

struct SimOptions {
    std::string model;
    std::string address = "127.0.0.1";
    std::uint16_t port = 8081;
    long long rate = kDefaultRate;
    std::optional<std::string> script;
    std::optional<std::string> subprotocol;
    std::optional<long long> seconds;
    bool help = false;
};

std::optional<std::string> parseOptions(const std::vector<std::string>& args, SimOptions& options) {
    OptionParser parser;
    parser.option("--model", [&](const std::string& value) -> std::optional<std::string> {
        options.model = value;
        return std::nullopt;
    });
    parser.option("--address", [&](const std::string& value) -> std::optional<std::string> {
        if (!isIpv4Literal(value)) {
            return "--address takes an IPv4 address, not '" + value + "'";
        }
        options.address = value;
        return std::nullopt;
    });
    parser.number("--port", 0, 65535, "--port takes a port number from 0 to 65535",
                  [&](long long n) { options.port = static_cast<std::uint16_t>(n); });
    parser.number("--rate", 1, kMaxRate, "--rate takes a whole number from 1 to 10000",
                  [&](long long n) { options.rate = n; });
    parser.number("--seconds", 1, kMaxSeconds, "--seconds takes a whole number of 1 or more",
                  [&](long long n) { options.seconds = n; });
    parser.option("--script", [&](const std::string& value) -> std::optional<std::string> {
        options.script = value;
        return std::nullopt;
    });
    parser.option("--subprotocol", [&](const std::string& value) -> std::optional<std::string> {
        options.subprotocol = value == "none" ? std::string() : value;
        return std::nullopt;
    });
    if (auto error = parser.parse(args)) {
        return error;
    }
    if (!parser.positional().empty()) {
        return "unexpected argument '" + parser.positional().front() + "'";
    }
    options.help = parser.help();
    if (options.help) {
        return std::nullopt;
    }
    if (options.model.empty()) {
        return "no --model given";
    }
    if (lookupDeviceModel(options.model).stateParser == StateMessageFamily::None) {
        return "the model '" + options.model +
               "' sends no state messages (TRQ-PN1, TRQ-PN2, TRQ-PN4, TRQ-R8X, VK-Q-64 do)";
    }
    return std::nullopt;
}

void printLine(const Json& line) {
    std::cout << line.dump() << std::endl;
}

/// The `step`-th generated message of a family: every one changes something, most of them
/// the meters, now and then the buttons or mutes.
std::string generatedMessage(StateMessageFamily family, long long step) {
    const auto level = [step](int channel) {
        return static_cast<int>((step * 7 + channel * 13) % 60);
    };
    switch (family) {
    case StateMessageFamily::OneChannelPanel:
        return Json{{"buttons",
                     {{"btns",
                       {{{"name", "onair"}, {"active", step / 10 % 2 == 0}},
                        {{"name", "tb1"}, {"active", step / 20 % 2 == 1}},
                        {{"name", "tb2"}, {"active", false}},
                        {{"name", "tb3"}, {"active", step / 30 % 2 == 1}}}},
                      {"lazygang", step / 40 % 2 == 1}}},
                    {"meter", {{"segments", level(0) / 4}}}}
            .dump();
    case StateMessageFamily::MultiChannelPanel: {
        Json channels = Json::array();
        for (int ch = 0; ch < 4; ++ch) {
            channels.push_back({{"id", std::to_string(22 + ch)},
                                {"on_air", (step / 10 + ch) % 2 == 0},
                                {"tbs", (step / 20 + ch) % 3 == 0 ? "A" : ""},
                                {"lzg", false},
                                {"m", (step / 30 + ch) % 4 == 0},
                                {"cgh", false},
                                {"oat", ch == 3}});
        }
        Json meters = Json::array();
        for (int ch = 0; ch < 4; ++ch) {
            meters.push_back({{"l", std::to_string(22 + ch) + "_lvl"}, {"v", level(ch)}});
        }
        // The panel opens with its whole state wrapped in "init", then sends changes.
        if (step == 0) {
            return Json{{"init", {{"ins", channels}, {"iM", meters}}}}.dump();
        }
        Json message{{"iM", meters}};
        if (step % 10 == 0) {
            message["ins"] = channels;
        }
        return message.dump();
    }
    case StateMessageFamily::EightInputUnit: {
        Json inputs = Json::array();
        Json meters = Json::array();
        for (int i = 0; i < 8; ++i) {
            inputs.push_back({{"idx", i},
                              {"mute", (step / 10 + i) % 5 == 0},
                              {"gpi_m", (step / 25 + i) % 7 == 0}});
            meters.push_back({{"segments", level(i) / 4}});
        }
        return Json{{"inputs", inputs}, {"meter", meters}}.dump();
    }
    case StateMessageFamily::RackUnit:
    case StateMessageFamily::None:  // Never here: the options refuse a model without one.
        break;
    }
    return Json{{"mic_mute", step / 5 % 2 == 1}}.dump();
}

struct Shared {
    SimOptions options;
    StateMessageFamily family = StateMessageFamily::None;
    std::string answer;               // The subprotocol answered; "" for none.
    std::vector<std::string> script;  // Empty: generated messages.
    long long sent = 0;
};

/// One connected link: the handshake, then one message per tick, reading meanwhile so that
/// pings and the close frame are answered.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, Shared& shared)
        : shared_(shared), socket_(std::move(socket)), timer_(socket_.get_executor()) {
        ErrorCode ignored;
        const auto remote = socket_.remote_endpoint(ignored);
        peer_ = remote.address().to_string() + ":" + std::to_string(remote.port());
    }

    void start() {
        http::async_read(socket_, buffer_, request_,
                         [self = shared_from_this()](const ErrorCode& error, std::size_t) {
                             self->onRequest(error);
                         });
    }

    void cut() {
        ErrorCode ignored;
        timer_.cancel();
        if (ws_) {
            ws_->next_layer().close(ignored);
        } else {
            socket_.close(ignored);
        }
    }

private:
    void onRequest(const ErrorCode& error) {
        if (error) {
            return;
        }
        printLine({{"type", "connection"},
                   {"peer", peer_},
                   {"requested", std::string(request_[http::field::sec_websocket_protocol])},
                   {"answered", shared_.answer}});
        ws_.emplace(std::move(socket_));
        ws_->set_option(websocket::stream_base::decorator(
            [answer = shared_.answer](websocket::response_type& response) {
                if (!answer.empty()) {
                    response.set(http::field::sec_websocket_protocol, answer);
                }
            }));
        ws_->async_accept(request_, [self = shared_from_this()](const ErrorCode& acceptError) {
            if (acceptError) {
                return;
            }
            self->buffer_.clear();
            self->readNext();
            self->tick();
        });
    }

    void readNext() {
        ws_->async_read(buffer_, [self = shared_from_this()](const ErrorCode& error, std::size_t) {
            if (error) {
                self->timer_.cancel();
                printLine({{"type", "closed"},
                           {"peer", self->peer_},
                           {"code", self->ws_->reason().code},
                           {"reason", error.message()}});
                return;
            }
            self->buffer_.consume(self->buffer_.size());
            self->readNext();
        });
    }

    void tick() {
        const auto& script = shared_.script;
        if (!script.empty() && step_ >= static_cast<long long>(script.size())) {
            return;  // The script is done; the connection stays open.
        }
        if (!writing_) {
            message_ = script.empty() ? generatedMessage(shared_.family, step_)
                                      : script[static_cast<std::size_t>(step_)];
            ++step_;
            writing_ = true;
            ws_->async_write(asio::buffer(message_),
                             [self = shared_from_this()](const ErrorCode& error, std::size_t) {
                                 self->writing_ = false;
                                 if (!error) {
                                     ++self->shared_.sent;
                                 }
                             });
        }
        timer_.expires_after(std::chrono::microseconds(1'000'000 / shared_.options.rate));
        timer_.async_wait([self = shared_from_this()](const ErrorCode& error) {
            if (!error) {
                self->tick();
            }
        });
    }

    Shared& shared_;
    tcp::socket socket_;
    std::optional<websocket::stream<tcp::socket>> ws_;
    asio::steady_timer timer_;
    beast::flat_buffer buffer_;
    http::request<http::string_body> request_;
    std::string peer_;
    std::string message_;  // The one being written.
    bool writing_ = false;
    long long step_ = 0;
};

}  // namespace

int runPanelSim(const std::vector<std::string>& args) {
    SimOptions options;
    if (const auto error = parseOptions(args, options)) {
        std::cerr << "vantrel-diag panel-sim: " << *error << "\n\n" << kUsage;
        return kExitUsage;
    }
    if (options.help) {
        std::cout << kUsage;
        return kExitOk;
    }
    Shared shared;
    shared.options = options;
    shared.family = lookupDeviceModel(options.model).stateParser;
    shared.answer =
        options.subprotocol.value_or(std::string(deviceWebSocketSubprotocol(options.model)));
    if (options.script) {
        std::ifstream file(*options.script);
        if (!file) {
            std::cerr << "vantrel-diag panel-sim: cannot read the script '" << *options.script
                      << "'\n";
            return kExitFailure;
        }
        std::string line;
        while (shared.script.size() < kMaxScriptLines && std::getline(file, line)) {
            if (!line.empty() && line[0] != '#') {
                shared.script.push_back(line);
            }
        }
        if (shared.script.empty()) {
            std::cerr << "vantrel-diag panel-sim: the script '" << *options.script
                      << "' holds no message\n";
            return kExitFailure;
        }
    }

    asio::io_context context(1);
    tcp::acceptor acceptor(context);
    try {
        const tcp::endpoint endpoint(asio::ip::make_address_v4(options.address), options.port);
        acceptor.open(endpoint.protocol());
        acceptor.set_option(asio::socket_base::reuse_address(true));
        acceptor.bind(endpoint);
        acceptor.listen();
    } catch (const std::exception& error) {
        std::cerr << "vantrel-diag panel-sim: cannot listen on " << options.address << ":"
                  << options.port << ": " << error.what() << "\n";
        return kExitFailure;
    }
    printLine({{"type", "listening"},
               {"address", options.address},
               {"port", acceptor.local_endpoint().port()},
               {"model", options.model},
               {"subprotocol", shared.answer}});

    std::vector<std::weak_ptr<Connection>> connections;
    std::function<void()> acceptNext = [&] {
        acceptor.async_accept([&](const ErrorCode& error, tcp::socket socket) {
            if (error) {
                return;
            }
            std::erase_if(connections, [](const auto& weak) { return weak.expired(); });
            if (connections.size() < kMaxConnections) {
                auto connection = std::make_shared<Connection>(std::move(socket), shared);
                connections.push_back(connection);
                connection->start();
            }
            acceptNext();
        });
    };
    acceptNext();

    std::string reason = "seconds";
    const auto end = [&](const std::string& why) {
        reason = why;
        ErrorCode ignored;
        acceptor.close(ignored);
        for (const auto& weak : connections) {
            if (auto connection = weak.lock()) {
                connection->cut();
            }
        }
        context.stop();
    };
    asio::signal_set signals(context, SIGINT, SIGTERM);
    signals.async_wait([&](const ErrorCode& error, int) {
        if (!error) {
            end("signal");
        }
    });
    asio::steady_timer deadline(context);
    deadline.expires_after(std::chrono::seconds(options.seconds.value_or(kMaxSeconds)));
    deadline.async_wait([&](const ErrorCode& error) {
        if (!error) {
            end("seconds");
        }
    });
    context.run();
    printLine({{"type", "stop"}, {"reason", reason}, {"sent", shared.sent}});
    return kExitOk;
}

}  // namespace pellan::diag
