// vantrel-diag push: connects to the UI push server as a page does and prints every message
// it receives, one line each.

#include "commands.hpp"
#include "options.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <iostream>
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

constexpr std::uint16_t kDefaultPort = 9001;
constexpr std::chrono::seconds kConnectTimeout{10};
constexpr std::chrono::seconds kCloseTimeout{3};
constexpr long long kMaxCount = 1'000'000'000;
// The server never sends more; anything larger is printed as cut off.
constexpr std::size_t kMaxMessage = 64 * 1024 * 1024;

constexpr const char* kUsage =
    R"(Usage: vantrel-diag push [--host H] [--port P] [--origin URL] [--count N]

Opens a WebSocket to the application's UI push server (path "/") the way a UI page does,
and prints every message it receives as one line on standard output, as received (the first
is the "logs" history, then "WebSocket client connected" as a "log" message). Line breaks
inside a message are printed as \n and \r, so one message is always one line. Ends when the
server closes the connection, after N messages, or on Ctrl-C / SIGTERM.

Options:
  --host H       host name or address of the server (default: 127.0.0.1)
  --port P       port of the server (default: 9001)
  --origin URL   send this Origin header (a UI page sends http://localhost:8000; without it,
                 none is sent)
  --count N      stop after N messages
  -h, --help     this text

Exit status: 0 the server closed, N messages arrived, or interrupted; 1 no connection, or
the server refused the upgrade (its HTTP status on standard error); 2 usage error.
)";

struct PushOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = kDefaultPort;
    std::optional<std::string> origin;
    std::optional<long long> count;
    bool help = false;
};

/// The options, or the text of the usage error.
std::optional<std::string> parseOptions(const std::vector<std::string>& args,
                                        PushOptions& options) {
    OptionParser parser("argument");
    parser.option("--host", [&](const std::string& value) -> std::optional<std::string> {
        if (value.empty()) {
            return "--host needs a name or address";
        }
        options.host = value;
        return std::nullopt;
    });
    parser.number("--port", 1, 65535, "--port takes a number from 1 to 65535",
                  [&](long long n) { options.port = static_cast<std::uint16_t>(n); });
    parser.option("--origin", [&](const std::string& value) -> std::optional<std::string> {
        options.origin = value;
        return std::nullopt;
    });
    parser.number("--count", 1, kMaxCount,
                  "--count takes a whole number from 1 to " + std::to_string(kMaxCount),
                  [&](long long n) { options.count = n; });
    if (auto error = parser.parse(args)) {
        return error;
    }
    if (!parser.positional().empty()) {
        return "unknown argument '" + parser.positional().front() + "'";
    }
    options.help = parser.help();
    return std::nullopt;
}

/// One message, one line: line breaks and other control bytes are escaped.
std::string oneLine(const std::string& text) {
    std::string line;
    line.reserve(text.size());
    for (const char c : text) {
        if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else {
            line += c;
        }
    }
    return line;
}

/// The page: connect, upgrade, then read until the end. All on the calling thread.
class PushListener {
public:
    explicit PushListener(PushOptions options)
        : options_(std::move(options)), ws_(ioc_), signals_(ioc_, SIGINT, SIGTERM) {}

    int run() {
        signals_.async_wait([this](const beast::error_code& ec, int) {
            if (!ec) {
                interrupted_ = true;
                closeNow();
            }
        });
        tcp::resolver resolver(ioc_);
        resolver.async_resolve(
            options_.host, std::to_string(options_.port),
            [this](const beast::error_code& ec, const tcp::resolver::results_type& results) {
                onResolved(ec, results);
            });
        ioc_.run();
        return exitCode_;
    }

private:
    void fail(const std::string& what) {
        std::cerr << "vantrel-diag push: " << what << "\n";
        exitCode_ = kExitFailure;
        signals_.cancel();
    }

    void onResolved(const beast::error_code& ec, const tcp::resolver::results_type& results) {
        if (interrupted_) {
            return;
        }
        if (ec) {
            fail("cannot resolve " + options_.host + ": " + ec.message());
            return;
        }
        auto& stream = beast::get_lowest_layer(ws_);
        stream.expires_after(kConnectTimeout);
        stream.async_connect(results, [this](const beast::error_code& connectEc,
                                             const tcp::endpoint&) { onConnected(connectEc); });
    }

    void onConnected(const beast::error_code& ec) {
        if (interrupted_) {
            return;
        }
        if (ec) {
            fail("cannot connect to " + options_.host + ":" + std::to_string(options_.port) + ": " +
                 ec.message());
            return;
        }
        if (options_.origin) {
            ws_.set_option(websocket::stream_base::decorator(
                [origin = *options_.origin](websocket::request_type& request) {
                    request.set(http::field::origin, origin);
                }));
        }
        ws_.read_message_max(kMaxMessage);
        ws_.async_handshake(
            response_, options_.host + ":" + std::to_string(options_.port), "/",
            [this](const beast::error_code& handshakeEc) { onUpgraded(handshakeEc); });
    }

    void onUpgraded(const beast::error_code& ec) {
        if (interrupted_) {
            return;
        }
        if (ec == websocket::error::upgrade_declined) {
            fail("the server refused the upgrade: HTTP " + std::to_string(response_.result_int()) +
                 " " + std::string(response_.reason()));
            return;
        }
        if (ec) {
            fail("upgrade failed: " + ec.message());
            return;
        }
        // The server pings an idle page; answering needs no deadline of ours.
        beast::get_lowest_layer(ws_).expires_never();
        readNext();
    }

    void readNext() {
        buffer_.clear();
        ws_.async_read(buffer_, [this](const beast::error_code& ec, std::size_t) { onRead(ec); });
    }

    void onRead(const beast::error_code& ec) {
        if (interrupted_) {
            return;
        }
        if (ec == websocket::error::closed) {
            std::cerr << "vantrel-diag push: the server closed the connection (code "
                      << ws_.reason().code << ")\n";
            signals_.cancel();
            return;
        }
        if (ec) {
            std::cerr << "vantrel-diag push: connection ended: " << ec.message() << "\n";
            signals_.cancel();
            return;
        }
        if (ws_.got_text()) {
            std::cout << oneLine(beast::buffers_to_string(buffer_.data())) << std::endl;
        } else {
            std::cout << "<binary message of " << buffer_.size() << " bytes>" << std::endl;
        }
        ++received_;
        if (options_.count && received_ >= *options_.count) {
            closeGracefully();
            return;
        }
        readNext();
    }

    void closeGracefully() {
        signals_.cancel();
        beast::get_lowest_layer(ws_).expires_after(kCloseTimeout);
        ws_.async_close(websocket::close_code::normal, [](const beast::error_code&) {});
    }

    void closeNow() {
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

    const PushOptions options_;
    asio::io_context ioc_;
    websocket::stream<beast::tcp_stream> ws_;
    asio::signal_set signals_;
    beast::flat_buffer buffer_;
    websocket::response_type response_;
    long long received_ = 0;
    bool interrupted_ = false;
    int exitCode_ = kExitOk;
};

}  // namespace

int runPush(const std::vector<std::string>& args) {
    PushOptions options;
    if (const auto error = parseOptions(args, options)) {
        std::cerr << "vantrel-diag push: " << *error << "\n\n" << kUsage;
        return kExitUsage;
    }
    if (options.help) {
        std::cout << kUsage;
        return kExitOk;
    }
    PushListener listener(std::move(options));
    return listener.run();
}

}  // namespace pellan::diag
