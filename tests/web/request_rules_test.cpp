// The rules of who may talk to the application, run alike against the REST port and the push
// port: both servers must read a Host header and an Origin the same way.
#include "web_test_fixture.hpp"

#include "push/request_origin.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace pellan {
namespace {

/// Stands for this machine's host name in a row of the table.
constexpr std::string_view kThisMachine = "{this-machine}";

std::string expand(std::string_view text) {
    std::string out(text);
    if (const auto at = out.find(kThisMachine); at != std::string::npos) {
        out.replace(at, kThisMachine.size(), thisMachineHostNames().front());
    }
    return out;
}

/// The header lines for a Host and an Origin; nullptr leaves the header out.
std::string headerLines(const char* host, const char* origin) {
    std::string lines;
    if (host != nullptr) {
        lines += "Host: " + expand(host) + "\r\n";
    }
    if (origin != nullptr) {
        lines += "Origin: " + expand(origin) + "\r\n";
    }
    return lines;
}

/// The status of one request; 0 when no answer came.
int statusOf(std::uint16_t port, const std::string& request, bool headersOnly) {
    test::RawHttpConnection connection(port);
    if (!connection.send(request)) {
        return 0;
    }
    const auto response = connection.readResponse(std::chrono::seconds(10), headersOnly);
    return response ? response->status : 0;
}

class RequestRulesTest : public test::WebServerFixture {};

TEST_F(RequestRulesTest, BothPortsApplyTheSameHostAndOriginRules) {
    struct Case {
        const char* host;    // nullptr: no Host header.
        const char* origin;  // nullptr: no Origin header.
        const char* method;  // Of the REST request; the push port is always asked to upgrade.
        int restStatus;
        int pushStatus;
    };
    const std::vector<Case> cases{
        // Hosts: addresses, localhost and this machine's names are ours, on both ports.
        {"localhost:8000", nullptr, "GET", 200, 101},
        {"LOCALHOST:9001", nullptr, "GET", 200, 101},
        {"127.0.0.1:8000", nullptr, "GET", 200, 101},
        {"198.18.0.7", nullptr, "GET", 200, 101},
        {"[::1]:8000", nullptr, "GET", 200, 101},
        {"ui.localhost", nullptr, "GET", 200, 101},
        {"{this-machine}", nullptr, "GET", 200, 101},
        {"{this-machine}.local:8000", nullptr, "GET", 200, 101},
        // An empty port is the scheme's default, as a URI reads it.
        {"localhost:", nullptr, "GET", 200, 101},
        {"[::1]:", nullptr, "GET", 200, 101},
        // No Host at all names no other site; a WebSocket upgrade needs one all the same.
        {nullptr, nullptr, "GET", 200, 400},
        // Another machine's name (a rebound DNS name) and malformed Hosts.
        {"evil.example.com", nullptr, "GET", 403, 403},
        {"evil.example.com:8000", nullptr, "POST", 403, 403},
        {"localhost.evil.example.com", nullptr, "GET", 403, 403},
        {"", nullptr, "GET", 403, 403},
        {"localhost:0", nullptr, "GET", 403, 403},
        {"localhost:65536", nullptr, "GET", 403, 403},
        {"localhost:80x", nullptr, "GET", 403, 403},
        {":8000", nullptr, "GET", 403, 403},
        {"[::1", nullptr, "GET", 403, 403},
        {"[::1]x", nullptr, "GET", 403, 403},
        {"[fe80::1%25eth0]", nullptr, "GET", 403, 403},
        // The UI page's own origin: a change on the REST port, a connection on the push port.
        {"localhost:8000", "http://localhost:8000", "POST", 200, 101},
        {"localhost:8000", "http://LOCALHOST:8000", "DELETE", 200, 101},
        {"127.0.0.1:8000", "http://127.0.0.1:8000", "POST", 200, 101},
        // Another origin may read from the REST port, but neither change anything nor listen.
        {"localhost:8000", "http://evil.example.com", "GET", 200, 403},
        {"localhost:8000", "http://evil.example.com", "POST", 403, 403},
        {"localhost:8000", "http://evil.example.com:8000", "DELETE", 403, 403},
        {"localhost:8000", "http://127.0.0.1:8000", "POST", 403, 101},
        {"localhost:8000", "https://localhost:8000", "POST", 403, 403},
        {"localhost:8000", "http://localhost:9001", "POST", 403, 403},
        {"localhost:8000", "null", "POST", 403, 403},
        // A page that names no port is on port 80: the same origin as a Host of port 80 (or
        // none, or an empty one), and never the UI page of the push port.
        {"localhost", "http://localhost", "POST", 200, 403},
        {"localhost:", "http://localhost:80", "POST", 200, 403},
        {"localhost:80", "http://localhost:", "POST", 200, 403},
    };
    ASSERT_FALSE(thisMachineHostNames().empty());
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("Host ") + (c.host != nullptr ? expand(c.host) : "(none)") +
                     ", Origin " + (c.origin != nullptr ? c.origin : "(none)") + ", " + c.method);
        const std::string_view method = c.method;
        const std::string path = method == "GET"    ? "/api/version"
                                 : method == "POST" ? "/api/monitoring-display-fields"
                                                    : "/api/groups/none";
        const std::string body = method == "POST" ? R"({"fields": {}})" : "";
        const std::string rest =
            std::string(method) + " " + path + " HTTP/1.1\r\n" + headerLines(c.host, c.origin) +
            "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        EXPECT_EQ(statusOf(port, rest, false), c.restStatus) << "REST port";

        const std::string upgrade = "GET / HTTP/1.1\r\n" + headerLines(c.host, c.origin) +
                                    "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                    "Sec-WebSocket-Version: 13\r\n\r\n";
        EXPECT_EQ(statusOf(pushPort, upgrade, true), c.pushStatus) << "push port";
    }
}

}  // namespace
}  // namespace pellan
