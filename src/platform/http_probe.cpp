#include "platform/http_probe.hpp"

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

namespace pellan {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

struct HttpProbe::Impl {
    asio::io_context ioc;
    std::atomic<bool> cancelled{false};
};

HttpProbe::HttpProbe() : impl_(std::make_unique<Impl>()) {}
HttpProbe::~HttpProbe() = default;

void HttpProbe::cancel() {
    impl_->cancelled = true;
    impl_->ioc.stop();
}

int HttpProbe::get(const std::string& ipv4, std::uint16_t port, const std::string& target,
                   std::chrono::milliseconds stepTimeout) {
    asio::io_context& ioc = impl_->ioc;
    ioc.restart();
    // Checked after restart(): a cancel() from now on stops the run() below.
    if (impl_->cancelled) {
        return 0;
    }
    boost::system::error_code error;
    const auto address = asio::ip::make_address_v4(ipv4, error);
    if (error) {
        return 0;
    }
    beast::tcp_stream stream(ioc);
    http::request<http::empty_body> request{http::verb::get, target, 11};
    request.set(http::field::host, ipv4 + ":" + std::to_string(port));
    request.set(http::field::user_agent, "VantrelPellan/1.0");
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(64 * 1024);
    int status = 0;

    stream.expires_after(stepTimeout);
    stream.async_connect(asio::ip::tcp::endpoint(address, port), [&](beast::error_code ec) {
        if (ec) {
            return;
        }
        stream.expires_after(stepTimeout);
        http::async_write(stream, request, [&](beast::error_code writeError, std::size_t) {
            if (writeError) {
                return;
            }
            stream.expires_after(stepTimeout);
            http::async_read_header(stream, buffer, parser,
                                    [&](beast::error_code readError, std::size_t) {
                                        if (!readError) {
                                            status = static_cast<int>(parser.get().result_int());
                                        }
                                    });
        });
    });
    ioc.run();
    stream.socket().close(error);
    if (impl_->cancelled) {
        return 0;
    }
    return status;
}

}  // namespace pellan
