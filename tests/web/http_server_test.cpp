#include "web/http_server.hpp"

#include "raw_http_client.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace pellan {
namespace {

using namespace std::chrono_literals;
using test::buildRequest;
using test::httpRequest;
using test::RawHttpConnection;
using test::RawResponse;

/// A gate that Blocking test handlers wait at until the test opens it (bounded).
struct Gate {
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    std::atomic<int> waiting{0};
    std::promise<void> allArrived;
    int expected = 0;
};

std::string sharedBodyText() {
    std::string text;
    for (int i = 0; text.size() < 512U * 1024U; ++i) {
        text += std::to_string(i) + ',';
    }
    return text;
}

/// The routes a server under test carries.
Router testRouter(Gate& gate) {
    Router router;
    router.add(
        HttpMethod::Get, "/ok", [](const HttpRequest&) { return textResponse(200, "ok"); },
        RouteExecution::Inline);
    router.add(HttpMethod::Post, "/echo",
               [](const HttpRequest& request) { return textResponse(200, request.body); });
    router.add(HttpMethod::Delete, "/echo",
               [](const HttpRequest& request) { return textResponse(200, request.body); });
    router.add(
        HttpMethod::Get, "/inline-echo",
        [](const HttpRequest& request) { return textResponse(200, request.path); },
        RouteExecution::Inline);
    router.add(
        HttpMethod::Get, "/shared",
        [](const HttpRequest&) {
            // Larger than a socket send, so that one answer takes several writes.
            static const auto body = std::make_shared<const std::string>(sharedBodyText());
            return sharedTextResponse(200, body);
        },
        RouteExecution::Inline);
    router.add(HttpMethod::Get, "/typed",
               [](const HttpRequest&) { return typedResponse(201, "{}", "application/json"); });
    router.add(HttpMethod::Get, "/throw",
               [](const HttpRequest&) -> HttpResponse { throw std::runtime_error("handler"); });
    router.add(
        HttpMethod::Get, "/throw-inline", [](const HttpRequest&) -> HttpResponse { throw 42; },
        RouteExecution::Inline);
    router.add(HttpMethod::Get, "/p/<string>/<path>", [](const HttpRequest& request) {
        return textResponse(200, request.params.at(0) + "|" + request.params.at(1));
    });
    router.add(HttpMethod::Get, "/slow", [&gate](const HttpRequest&) {
        if (++gate.waiting == gate.expected) {
            gate.allArrived.set_value();
        }
        gate.opened.wait_for(20s);
        return textResponse(200, "slow");
    });
    return router;
}

/// One server on 127.0.0.1 and an ephemeral port, served on a thread of the test.
class ServerHarness {
public:
    explicit ServerHarness(HttpServerOptions options = {}, int slowRequests = 0) {
        gate_.expected = slowRequests;
        options.bindAddress = "127.0.0.1";
        server_ = std::make_unique<HttpServer>(testRouter(gate_), std::move(options));
        thread_ = std::thread([this] { ran_.set_value(server_->run(0)); });
        port_ = server_->waitUntilListening(5s);
    }
    ~ServerHarness() {
        openGate();
        server_->stop();
        thread_.join();
    }

    std::uint16_t port() const { return port_; }
    HttpServer& server() { return *server_; }
    std::future<bool>& ran() { return ranFuture_; }
    bool allSlowArrived() {
        return gate_.allArrived.get_future().wait_for(5s) == std::future_status::ready;
    }
    void openGate() {
        if (!gateOpen_) {
            gateOpen_ = true;
            gate_.open.set_value();
        }
    }

private:
    Gate gate_;
    bool gateOpen_ = false;
    std::promise<bool> ran_;
    std::future<bool> ranFuture_ = ran_.get_future();
    std::unique_ptr<HttpServer> server_;
    std::thread thread_;
    std::uint16_t port_ = 0;
};

struct FrameworkCase {
    std::string method;
    std::string path;
    std::string body;
    int status;
    std::string answer;
    std::string allow;  // Expected "Allow" header; empty: none.
};

TEST(HttpServerTest, AnswersAsTheRoutesAndTheFrameworkRulesSay) {
    ServerHarness harness;
    ASSERT_NE(harness.port(), 0);
    const std::vector<FrameworkCase> cases{
        {"GET", "/ok", "", 200, "ok", ""},
        {"GET", "/ok?x=1&y=%zz", "", 200, "ok", ""},
        {"GET", "/inline-echo?q", "", 200, "/inline-echo", ""},
        {"POST", "/echo", R"({"a":1})", 200, R"({"a":1})", ""},
        {"DELETE", "/echo", "", 200, "", ""},
        {"GET", "/p/a%2Fb/c/d/../e", "", 200, "a%2Fb|c/d/../e", ""},
        {"GET", "/nothing", "", 404, "", ""},
        {"GET", "/ok/", "", 404, "", ""},
        {"POST", "/ok", "", 405, "", "OPTIONS, HEAD, GET"},
        {"PUT", "/echo", "x", 405, "", "OPTIONS, POST, DELETE"},
        {"BREW", "/ok", "", 405, "", "OPTIONS, HEAD, GET"},
        {"OPTIONS", "/echo", "", 204, "", "OPTIONS, POST, DELETE"},
        {"OPTIONS", "/nothing", "", 404, "", ""},
        {"GET", "/throw", "", 500, "", ""},
        {"GET", "/throw-inline", "", 500, "", ""},
        {"GET", "*", "", 404, "", ""},
    };
    for (const FrameworkCase& c : cases) {
        const RawResponse response = httpRequest(harness.port(), c.method, c.path, c.body);
        EXPECT_EQ(response.status, c.status) << c.method << " " << c.path;
        EXPECT_EQ(response.body, c.answer) << c.method << " " << c.path;
        const std::string* allow = response.header("Allow");
        EXPECT_EQ(allow == nullptr ? "" : *allow, c.allow) << c.method << " " << c.path;
        EXPECT_EQ(response.header("Content-Type"), nullptr) << c.method << " " << c.path;
    }
    const RawResponse typed = httpRequest(harness.port(), "GET", "/typed");
    EXPECT_EQ(typed.status, 201);
    ASSERT_NE(typed.header("Content-Type"), nullptr);
    EXPECT_EQ(*typed.header("Content-Type"), "application/json");
}

TEST(HttpServerTest, HeadSendsTheHeadersOfGetWithoutTheBody) {
    ServerHarness harness;
    RawHttpConnection connection(harness.port());
    ASSERT_TRUE(connection.send(buildRequest("HEAD", "/typed", harness.port()) +
                                buildRequest("GET", "/ok", harness.port())));
    const auto head = connection.readResponse(5s, /*noBody=*/true);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 201);
    ASSERT_NE(head->header("Content-Length"), nullptr);
    EXPECT_EQ(*head->header("Content-Length"), "2");
    ASSERT_NE(head->header("Content-Type"), nullptr);
    // Had the body been sent, it would be read as the start of the next answer.
    const auto next = connection.readResponse();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->status, 200);
    EXPECT_EQ(next->body, "ok");
}

TEST(HttpServerTest, AnswersPipelinedRequestsInOrderOnOneConnection) {
    ServerHarness harness;
    RawHttpConnection connection(harness.port());
    const std::uint16_t port = harness.port();
    // Inline and Blocking handlers mixed: the answers still come in request order.
    std::string batch;
    for (int i = 0; i < 10; ++i) {
        batch += buildRequest("POST", "/echo", port, "body-" + std::to_string(i));
        batch += buildRequest("GET", "/inline-echo?" + std::to_string(i), port);
        batch += buildRequest("GET", "/nothing", port);
    }
    ASSERT_TRUE(connection.send(batch));
    for (int i = 0; i < 10; ++i) {
        const auto echo = connection.readResponse();
        ASSERT_TRUE(echo);
        EXPECT_EQ(echo->body, "body-" + std::to_string(i));
        const auto inlineEcho = connection.readResponse();
        ASSERT_TRUE(inlineEcho);
        EXPECT_EQ(inlineEcho->body, "/inline-echo");
        const auto missing = connection.readResponse();
        ASSERT_TRUE(missing);
        EXPECT_EQ(missing->status, 404);
    }
    // Still open for more.
    ASSERT_TRUE(connection.send(buildRequest("GET", "/ok", port)));
    const auto last = connection.readResponse();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->body, "ok");
}

TEST(HttpServerTest, ConnectionsOnEveryNetworkThreadGetWholeAnswersInOrder) {
    // Connections are handed to the network threads' loops in turn; each must get its own
    // answers whole and in order, also a shared body and one a handler thread posts back.
    HttpServerOptions options;
    options.ioThreads = 3;
    ServerHarness harness(std::move(options));
    const std::uint16_t port = harness.port();
    const std::string shared = sharedBodyText();
    std::vector<std::unique_ptr<RawHttpConnection>> connections;
    for (int i = 0; i < 6; ++i) {
        connections.push_back(std::make_unique<RawHttpConnection>(port));
        ASSERT_TRUE(connections.back()->send(
            buildRequest("GET", "/shared", port) + buildRequest("HEAD", "/shared", port) +
            buildRequest("POST", "/echo", port, "from-" + std::to_string(i)) +
            buildRequest("GET", "/ok", port)));
    }
    for (int i = 0; i < 6; ++i) {
        RawHttpConnection& connection = *connections[static_cast<std::size_t>(i)];
        const auto get = connection.readResponse();
        ASSERT_TRUE(get) << i;
        EXPECT_EQ(get->body, shared) << i;
        const auto head = connection.readResponse(5s, /*noBody=*/true);
        ASSERT_TRUE(head) << i;
        ASSERT_NE(head->header("Content-Length"), nullptr);
        EXPECT_EQ(*head->header("Content-Length"), std::to_string(shared.size()));
        const auto echo = connection.readResponse();
        ASSERT_TRUE(echo) << i;
        EXPECT_EQ(echo->body, "from-" + std::to_string(i));
        const auto ok = connection.readResponse();
        ASSERT_TRUE(ok) << i;
        EXPECT_EQ(ok->body, "ok");
    }
}

TEST(HttpServerTest, ServesHttp10WithoutHostAndClosesUnlessAskedToKeepAlive) {
    ServerHarness harness;
    {
        RawHttpConnection connection(harness.port());
        ASSERT_TRUE(connection.send("GET /ok HTTP/1.0\r\n\r\n"));
        const auto response = connection.readResponse();
        ASSERT_TRUE(response);
        EXPECT_EQ(response->version, "HTTP/1.0");
        EXPECT_EQ(response->status, 200);
        EXPECT_EQ(response->body, "ok");
        EXPECT_TRUE(connection.waitForClose(5s));
    }
    {
        RawHttpConnection connection(harness.port());
        ASSERT_TRUE(connection.send("GET /ok HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"
                                    "GET /inline-echo HTTP/1.0\r\n\r\n"));
        const auto first = connection.readResponse();
        ASSERT_TRUE(first);
        EXPECT_EQ(first->body, "ok");
        const auto second = connection.readResponse();
        ASSERT_TRUE(second);
        EXPECT_EQ(second->body, "/inline-echo");
        EXPECT_TRUE(connection.waitForClose(5s));
    }
    {
        RawHttpConnection connection(harness.port());
        ASSERT_TRUE(connection.send(
            buildRequest("GET", "/ok", harness.port(), "", "Connection: close\r\n")));
        const auto response = connection.readResponse();
        ASSERT_TRUE(response);
        ASSERT_NE(response->header("Connection"), nullptr);
        EXPECT_EQ(*response->header("Connection"), "close");
        EXPECT_TRUE(connection.waitForClose(5s));
    }
}

TEST(HttpServerTest, BoundsBodiesAndHeadersWithoutReadingFurther) {
    HttpServerOptions options;
    options.maxBodyBytes = 1000;
    options.maxHeaderBytes = 2000;
    ServerHarness harness(options);
    const std::uint16_t port = harness.port();

    // The largest body passes.
    const RawResponse full = httpRequest(port, "POST", "/echo", std::string(1000, 'b'));
    EXPECT_EQ(full.status, 200);
    EXPECT_EQ(full.body.size(), 1000U);

    struct Case {
        std::string name;
        std::string request;
        int status;
    };
    const std::string host = "Host: 127.0.0.1\r\n";
    const std::vector<Case> cases{
        // Declared too large: answered at once, the body never sent.
        {"declared", "POST /echo HTTP/1.1\r\n" + host + "Content-Length: 1001\r\n\r\n", 413},
        {"huge declared",
         "POST /echo HTTP/1.1\r\n" + host + "Content-Length: 99999999999999\r\n\r\n", 413},
        {"chunked",
         "POST /echo HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n3e8\r\n" +
             std::string(1000, 'c') + "\r\n10\r\n" + std::string(16, 'c') + "\r\n0\r\n\r\n",
         413},
        {"header block",
         "GET /ok HTTP/1.1\r\n" + host + "X-Big: " + std::string(2000, 'h') + "\r\n\r\n", 431},
        {"long target", "GET /" + std::string(3000, 'p') + " HTTP/1.1\r\n" + host + "\r\n", 431},
        {"not http", "HELLO\r\n\r\n", 400},
        {"nul in target", std::string("GET /o\0k HTTP/1.1\r\n", 20) + host + "\r\n", 400},
        {"bad version", "GET /ok HTTP/1.x\r\n" + host + "\r\n", 400},
        {"bad length", "POST /echo HTTP/1.1\r\n" + host + "Content-Length: -1\r\n\r\n", 400},
        {"two lengths",
         "POST /echo HTTP/1.1\r\n" + host + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab",
         400},
        {"two hosts", "GET /ok HTTP/1.1\r\n" + host + host + "\r\n", 400},
    };
    for (const Case& c : cases) {
        RawHttpConnection connection(port);
        ASSERT_TRUE(connection.send(c.request)) << c.name;
        const auto response = connection.readResponse();
        ASSERT_TRUE(response) << c.name;
        EXPECT_EQ(response->status, c.status) << c.name;
        EXPECT_EQ(response->body, "") << c.name;
        EXPECT_TRUE(connection.waitForClose(5s)) << c.name;
    }
    // Everybody else is still served.
    EXPECT_EQ(httpRequest(port, "GET", "/ok").status, 200);
}

TEST(HttpServerTest, ClosesIdleConnectionsAndRequestsThatDoNotArriveInTime) {
    HttpServerOptions options;
    options.keepAliveTimeout = 200ms;
    options.requestTimeout = 400ms;
    ServerHarness harness(options);
    const std::uint16_t port = harness.port();

    RawHttpConnection silent(port);  // Connects and sends nothing.
    RawHttpConnection partial(port);
    ASSERT_TRUE(partial.send("GET /ok HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: "));
    RawHttpConnection afterOne(port);
    ASSERT_TRUE(afterOne.send(buildRequest("GET", "/ok", port)));
    ASSERT_TRUE(afterOne.readResponse());

    // Meanwhile others are served at once.
    EXPECT_EQ(httpRequest(port, "GET", "/ok").status, 200);

    EXPECT_TRUE(silent.waitForClose(5s));
    EXPECT_TRUE(partial.waitForClose(5s));
    EXPECT_TRUE(afterOne.waitForClose(5s));
}

TEST(HttpServerTest, ADribblingRequestIsCutOffAtTheRequestTimeout) {
    HttpServerOptions options;
    options.keepAliveTimeout = 10s;
    options.requestTimeout = 300ms;
    ServerHarness harness(options);
    RawHttpConnection connection(harness.port());
    const auto start = std::chrono::steady_clock::now();
    // A byte at a time, each well within the keep-alive time-out: the request time-out ends it.
    bool closed = false;
    for (int i = 0; i < 100 && !closed; ++i) {
        if (!connection.send("X")) {
            closed = true;
            break;
        }
        closed = connection.waitForClose(50ms);
    }
    EXPECT_TRUE(closed || connection.waitForClose(5s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(HttpServerTest, AWaitingHandlerDelaysNoOtherRequest) {
    HttpServerOptions options;
    options.handlerThreads = 2;
    constexpr int kSlow = 3;  // More than the handler threads started with the server.
    ServerHarness harness(options, kSlow);
    const std::uint16_t port = harness.port();

    std::vector<std::unique_ptr<RawHttpConnection>> slow;
    for (int i = 0; i < kSlow; ++i) {
        slow.push_back(std::make_unique<RawHttpConnection>(port));
        ASSERT_TRUE(slow.back()->send(buildRequest("GET", "/slow", port)));
    }
    ASSERT_TRUE(harness.allSlowArrived());

    // Inline and Blocking routes both answer while all three wait.
    EXPECT_EQ(httpRequest(port, "GET", "/ok").body, "ok");
    EXPECT_EQ(httpRequest(port, "POST", "/echo", "x").body, "x");
    EXPECT_EQ(httpRequest(port, "GET", "/nothing").status, 404);

    harness.openGate();
    for (auto& connection : slow) {
        const auto response = connection->readResponse();
        ASSERT_TRUE(response);
        EXPECT_EQ(response->body, "slow");
    }
}

TEST(HttpServerTest, RefusesHostsTheRuleRefusesButServesRequestsWithoutHost) {
    HttpServerOptions options;
    options.isAllowedHost = [](std::string_view host) { return host.starts_with("127.0.0.1"); };
    ServerHarness harness(options);
    const std::uint16_t port = harness.port();

    RawHttpConnection connection(port);
    ASSERT_TRUE(connection.send("GET /ok HTTP/1.1\r\nHost: rebound.example\r\n\r\n"
                                "GET /ok HTTP/1.1\r\nHost: \r\n\r\n"
                                "GET /ok HTTP/1.1\r\nHost: 127.0.0.1:1\r\n\r\n"));
    for (int i = 0; i < 2; ++i) {
        const auto refused = connection.readResponse();
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, 403);
        EXPECT_EQ(refused->body, "Host not allowed");
    }
    const auto allowed = connection.readResponse();
    ASSERT_TRUE(allowed);  // The connection stays usable after a refusal.
    EXPECT_EQ(allowed->body, "ok");

    RawHttpConnection noHost(port);
    ASSERT_TRUE(noHost.send("GET /ok HTTP/1.1\r\n\r\n"));
    const auto served = noHost.readResponse();
    ASSERT_TRUE(served);
    EXPECT_EQ(served->body, "ok");
}

TEST(HttpServerTest, RefusesStateChangesFromAnotherOrigin) {
    ServerHarness harness;
    const std::uint16_t port = harness.port();
    const std::string own = "Origin: http://127.0.0.1:" + std::to_string(port) + "\r\n";
    struct Case {
        std::string method;
        std::string path;
        std::string headers;
        int status;
        std::string body;
    };
    const std::vector<Case> cases{
        {"POST", "/echo", "Origin: http://evil.example\r\n", 403, "Cross-origin request refused"},
        {"DELETE", "/echo", "Origin: http://127.0.0.1:1\r\n", 403, "Cross-origin request refused"},
        {"POST", "/echo", "Origin: null\r\n", 403, "Cross-origin request refused"},
        {"POST", "/echo", "Origin: https://127.0.0.1:" + std::to_string(port) + "\r\n", 403,
         "Cross-origin request refused"},
        {"PUT", "/echo", "Origin: http://evil.example\r\n", 403, "Cross-origin request refused"},
        {"POST", "/echo", own, 200, "data"},
        {"POST", "/echo", "", 200, "data"},
        {"GET", "/ok", "Origin: http://evil.example\r\n", 200, "ok"},
        {"OPTIONS", "/echo", "Origin: http://evil.example\r\n", 204, ""},
        {"POST", "/echo", own + own, 400, ""},
    };
    for (const Case& c : cases) {
        const RawResponse response = httpRequest(port, c.method, c.path, "data", c.headers);
        EXPECT_EQ(response.status, c.status) << c.method << " " << c.headers;
        EXPECT_EQ(response.body, c.body) << c.method << " " << c.headers;
    }
    // Without Host there is no own origin to compare with.
    RawHttpConnection connection(port);
    ASSERT_TRUE(connection.send("POST /echo HTTP/1.0\r\nOrigin: http://127.0.0.1\r\n"
                                "Content-Length: 1\r\n\r\nx"));
    const auto response = connection.readResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 403);
}

TEST(HttpServerTest, AnswersExpectContinueBeforeTheBody) {
    ServerHarness harness;
    RawHttpConnection connection(harness.port());
    ASSERT_TRUE(connection.send("POST /echo HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 4\r\n"
                                "Expect: 100-continue\r\n\r\n"));
    const auto interim = connection.readResponse();
    ASSERT_TRUE(interim);
    EXPECT_EQ(interim->status, 100);
    ASSERT_TRUE(connection.send("body"));
    const auto final = connection.readResponse();
    ASSERT_TRUE(final);
    EXPECT_EQ(final->status, 200);
    EXPECT_EQ(final->body, "body");
}

TEST(HttpServerTest, StopEndsRunWithConnectionsOpenAndIsFinalAndIdempotent) {
    ServerHarness harness;
    RawHttpConnection idle(harness.port());
    RawHttpConnection partial(harness.port());
    ASSERT_TRUE(partial.send("GET /ok HTTP/1.1\r\n"));
    EXPECT_EQ(httpRequest(harness.port(), "GET", "/ok").status, 200);

    harness.server().stop();
    ASSERT_EQ(harness.ran().wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(harness.ran().get());
    EXPECT_TRUE(idle.waitForClose(5s));
    EXPECT_TRUE(partial.waitForClose(5s));
    harness.server().stop();
    EXPECT_EQ(harness.server().waitUntilListening(10ms), 0);
    EXPECT_FALSE(harness.server().run(0));  // Final: a stopped server does not serve again.
}

TEST(HttpServerTest, StopBeforeRunMakesRunReturnAtOnce) {
    Gate gate;
    HttpServerOptions options;
    options.bindAddress = "127.0.0.1";
    HttpServer server(testRouter(gate), options);
    server.stop();
    server.stop();
    auto ran = std::async(std::launch::async, [&server] { return server.run(0); });
    ASSERT_EQ(ran.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(ran.get());
    EXPECT_EQ(server.waitUntilListening(10ms), 0);
}

TEST(HttpServerTest, RunReturnsFalseWhenThePortIsTaken) {
    ServerHarness first;
    ASSERT_NE(first.port(), 0);
    Gate gate;
    HttpServerOptions options;
    options.bindAddress = "127.0.0.1";
    HttpServer second(testRouter(gate), options);
    auto ran = std::async(std::launch::async, [&] { return second.run(first.port()); });
    ASSERT_EQ(ran.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(ran.get());
    EXPECT_EQ(second.waitUntilListening(10ms), 0);
    EXPECT_EQ(httpRequest(first.port(), "GET", "/ok").status, 200);

    HttpServerOptions badAddress;
    badAddress.bindAddress = "not an address";
    HttpServer third(testRouter(gate), badAddress);
    EXPECT_FALSE(third.run(0));
}

}  // namespace
}  // namespace pellan
