#include "push/ui_websocket_server.hpp"

#include "devices/device_entry.hpp"
#include "devices/device_model.hpp"
#include "server_fixture.hpp"
#include "support/page_client.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace pellan {
namespace {

using namespace std::chrono_literals;
using test::PageClient;
using test::RawConnection;
using test::RunningServer;

nlohmann::json parsed(const std::optional<std::string>& text) {
    return text ? nlohmann::json::parse(*text, nullptr, false) : nlohmann::json();
}

/// Reads until a message of that type (and, when given, "marker" value) arrives; the
/// messages before it are returned through `skipped`.
nlohmann::json readUntil(PageClient& page, const std::string& type, const std::string& marker = {},
                         std::vector<nlohmann::json>* skipped = nullptr) {
    for (int i = 0; i < 100'000; ++i) {
        const auto message = parsed(page.read(10s));
        if (message.is_null()) {
            return message;
        }
        if (message.value("type", "") == type &&
            (marker.empty() || message.value("marker", "") == marker)) {
            return message;
        }
        if (skipped) {
            skipped->push_back(message);
        }
    }
    return nullptr;
}

nlohmann::json markerMessage(const std::string& name) {
    return {{"type", "marker"}, {"marker", name}};
}

/// Connects a page and reads its greeting: the history and its own "connected" line.
void connectAndGreet(PageClient& page, std::uint16_t port) {
    ASSERT_EQ(page.connect(port), 101);
    const auto history = parsed(page.read());
    ASSERT_EQ(history.value("type", ""), "logs");
    const auto own = readUntil(page, "log");
    ASSERT_EQ(own["log"]["message"], "WebSocket client connected");
}

TEST(UiWebSocketServerTest, NewPageGetsTheLogHistoryThenItsOwnConnectedLine) {
    RunningServer fixture;
    ASSERT_NE(fixture.port, 0);
    fixture.logger.log("Restored devices from devices_state.json (0)", "settings");
    PageClient page;
    ASSERT_EQ(page.connect(fixture.port), 101);

    const auto history = parsed(page.read());
    ASSERT_EQ(history["type"], "logs");
    ASSERT_TRUE(history["logs"].is_array());
    std::vector<std::string> messages;
    for (const auto& record : history["logs"]) {
        EXPECT_EQ(record.size(), 3U);
        messages.push_back(record["message"]);
    }
    EXPECT_EQ(messages, (std::vector<std::string>{"WebSocket server listening on port " +
                                                      std::to_string(fixture.port),
                                                  "Restored devices from devices_state.json (0)"}));
    EXPECT_EQ(history["logs"][1]["type"], "settings");

    const auto live = parsed(page.read());
    EXPECT_EQ(live["type"], "log");
    EXPECT_EQ(live["log"]["message"], "WebSocket client connected");
    EXPECT_EQ(live["log"]["type"], "websocket");
    EXPECT_EQ(fixture.server.connectionCount(), 1U);
}

TEST(UiWebSocketServerTest, HistoryAndLiveRecordsLeaveNoGapWhileRecordsAreLogged) {
    RunningServer fixture;
    ASSERT_NE(fixture.port, 0);
    // Few enough records that a page reading nothing stays within its unsent-data limit:
    // this is about the seam between history and live records, not about slow pages.
    constexpr int kRecords = 250;
    for (int round = 0; round < 10; ++round) {
        const std::string prefix = "round " + std::to_string(round) + " record ";
        std::thread logging([&] {
            for (int i = 0; i < kRecords; ++i) {
                fixture.logger.log(prefix + std::to_string(i), "device");
            }
        });
        PageClient page;
        const int status = page.connect(fixture.port);
        std::set<int> seen;
        auto note = [&](const nlohmann::json& record) {
            const std::string text = record.value("message", "");
            if (text.rfind(prefix, 0) == 0) {
                seen.insert(std::stoi(text.substr(prefix.size())));
            }
        };
        if (status == 101) {
            const auto history = parsed(page.read());
            EXPECT_EQ(history.value("type", ""), "logs");
            for (const auto& record : history.value("logs", nlohmann::json::array())) {
                note(record);
            }
            while (!seen.contains(kRecords - 1)) {
                const auto message = parsed(page.read());
                if (message.is_null()) {
                    break;
                }
                note(message.value("log", nlohmann::json::object()));
            }
        }
        logging.join();
        ASSERT_EQ(status, 101);
        ASSERT_FALSE(seen.empty());
        // Every record from the oldest one the page saw up to the last one arrived.
        EXPECT_EQ(static_cast<int>(seen.size()), kRecords - *seen.begin()) << "round " << round;
        EXPECT_EQ(*seen.rbegin(), kRecords - 1) << "round " << round;
    }
}

TEST(UiWebSocketServerTest, PagesReceiveBroadcastsInOneOrderKeepingEachThreadsOrder) {
    RunningServer fixture;
    ASSERT_NE(fixture.port, 0);
    PageClient first;
    PageClient second;
    connectAndGreet(first, fixture.port);
    connectAndGreet(second, fixture.port);
    fixture.server.broadcast(markerMessage("start"));
    ASSERT_FALSE(readUntil(first, "marker", "start").is_null());
    ASSERT_FALSE(readUntil(second, "marker", "start").is_null());

    constexpr int kThreads = 4;
    constexpr int kPerThread = 200;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int n = 0; n < kPerThread; ++n) {
                fixture.server.broadcast({{"type", "seq"}, {"thread", t}, {"n", n}});
            }
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    auto receive = [&](PageClient& page) {
        std::vector<std::pair<int, int>> order;
        std::map<int, int> next;
        for (int i = 0; i < kThreads * kPerThread; ++i) {
            const auto message = parsed(page.read());
            if (message.value("type", "") != "seq") {
                ADD_FAILURE() << "message " << i << ": " << message.dump();
                break;
            }
            const int t = message["thread"];
            const int n = message["n"];
            EXPECT_EQ(n, next[t]++) << "thread " << t;
            order.emplace_back(t, n);
        }
        return order;
    };
    const auto firstOrder = receive(first);
    const auto secondOrder = receive(second);
    EXPECT_EQ(firstOrder.size(), static_cast<std::size_t>(kThreads * kPerThread));
    EXPECT_EQ(firstOrder, secondOrder);
}

TEST(UiWebSocketServerTest, CataloguePushesReachThePagesAndDefaultRecordsAreSkipped) {
    RunningServer fixture;
    ASSERT_NE(fixture.port, 0);
    PageClient page;
    connectAndGreet(page, fixture.port);

    fixture.server.pushDevice(DeviceEntry{});  // a failed look-up's record
    DeviceEntry gpio;
    gpio.hostname = "TRQ-GPIO";
    deriveStockCode(gpio);
    fixture.server.pushDevice(gpio);
    const auto device = parsed(page.read());
    EXPECT_EQ(device["type"], "device");
    EXPECT_EQ(device["hostname"], "TRQ-GPIO");
    EXPECT_EQ(device.size(), 32U);
    EXPECT_EQ(device["capabilities"],
              nlohmann::json::parse(R"({"contextPanel":false,"help":false,"talk":false})"));

    fixture.groups.createGroup("Studio B");
    fixture.groups.createGroup("Studio A");
    fixture.groups.addDeviceToGroup("Studio B", "TRQ-GPIO");
    fixture.server.pushGroups();
    const auto groups = readUntil(page, "groups");
    EXPECT_EQ(groups["order"], nlohmann::json::parse(R"(["Studio B","Studio A"])"));
    EXPECT_EQ(groups["groups"],
              nlohmann::json::parse(R"({"Studio A":[],"Studio B":["TRQ-GPIO"]})"));

    fixture.server.pushMeterLevels("TRQ-PN1-01", {});
    fixture.server.pushPanelAudioState("TRQ-PN1-01", {true, false, false, false},
                                       {"talk", "", "", ""}, {}, {}, {});
    fixture.server.pushApplicationStopping();
    EXPECT_EQ(*page.read(), R"({"hostname":"TRQ-PN1-01","meterLevels":[],"type":"meter"})");
    EXPECT_EQ(parsed(page.read())["onAirStates"],
              nlohmann::json::parse("[true,false,false,false]"));
    EXPECT_EQ(
        *page.read(),
        R"({"message":"Vantrel Pellan is shutting down. Please wait...","type":"application-stopping"})");
}

TEST(UiWebSocketServerTest, TextFromAPageIsIgnoredAndThePageStays) {
    RunningServer fixture;
    ASSERT_NE(fixture.port, 0);
    PageClient page;
    connectAndGreet(page, fixture.port);
    ASSERT_TRUE(page.write("hello"));
    ASSERT_TRUE(page.write(R"({"type":"device","hostname":"x"})"));
    ASSERT_TRUE(page.write(std::string(kUiMaxIncomingMessage, 'a')));
    fixture.server.broadcast(markerMessage("after"));
    const auto next = parsed(page.read());
    EXPECT_EQ(next.value("marker", ""), "after");
    EXPECT_EQ(fixture.server.connectionCount(), 1U);
}

TEST(UiWebSocketServerTest, MessageOverSixteenKibClosesOnlyThatPage) {
    RunningServer fixture;
    ASSERT_NE(fixture.port, 0);
    PageClient talker;
    PageClient other;
    connectAndGreet(talker, fixture.port);
    connectAndGreet(other, fixture.port);
    ASSERT_TRUE(talker.write(std::string(kUiMaxIncomingMessage + 1, 'a')));
    EXPECT_TRUE(readUntil(talker, "never").is_null());
    EXPECT_EQ(talker.closeCode(), 1009);  // message too big
    ASSERT_TRUE(fixture.watch.waitFor("WebSocket client disconnected"));
    fixture.server.broadcast(markerMessage("still here"));
    EXPECT_FALSE(readUntil(other, "marker", "still here").is_null());
    EXPECT_EQ(fixture.server.connectionCount(), 1U);
}

TEST(UiWebSocketServerTest, StopClosesEveryPageWithoutDisconnectLines) {
    RunningServer fixture;
    ASSERT_NE(fixture.port, 0);
    // A page that never reads and is far behind must not hold up the stop.
    RawConnection stuck(fixture.port, 4096);
    ASSERT_NE(stuck.upgrade().find(" 101 "), std::string::npos);
    ASSERT_TRUE(fixture.watch.waitFor("WebSocket client connected"));
    const std::string padding(4000, 'x');
    for (int i = 0; i < 2000; ++i) {
        fixture.server.broadcast({{"type", "bulk"}, {"pad", padding}});
    }
    // Connected after the bulk was handed out: these two have nothing unsent.
    PageClient first;
    PageClient second;
    connectAndGreet(first, fixture.port);
    connectAndGreet(second, fixture.port);
    fixture.server.stop();
    EXPECT_TRUE(readUntil(first, "never").is_null());
    EXPECT_EQ(first.closeCode(), 1001);  // going away
    EXPECT_TRUE(readUntil(second, "never").is_null());
    EXPECT_TRUE(stuck.readUntilClosed(10s));
    fixture.stopAndJoin();
    EXPECT_EQ(fixture.watch.count("WebSocket client disconnected"), 0U);
    EXPECT_EQ(fixture.server.connectionCount(), 0U);
}

TEST(UiWebSocketServerTest, StopBeforeRunOrTwiceIsHarmlessAndRunThenReturnsAtOnce) {
    Logger logger;
    DeviceManager devices(logger);
    GroupManager groups(logger);
    UiWebSocketServer server(devices, groups, logger, test::loopbackOptions());
    server.broadcast(markerMessage("before run"));
    server.pushLogEntry({"t", "m", "c"});
    server.stop();
    server.stop();
    auto finished = std::async(std::launch::async, [&] { server.run(); });
    EXPECT_EQ(finished.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(server.waitUntilListening(0ms), 0);
    server.stop();
}

TEST(UiWebSocketServerTest, StopEndsRunWheneverItComes) {
    // From before the loop exists to well after it listens.
    for (int round = 0; round < 20; ++round) {
        Logger logger;
        DeviceManager devices(logger);
        GroupManager groups(logger);
        UiWebSocketServer server(devices, groups, logger, test::loopbackOptions());
        auto finished = std::async(std::launch::async, [&] { server.run(); });
        for (int i = 0; i < round * round; ++i) {
            std::this_thread::yield();
        }
        if (round % 5 == 4) {
            server.waitUntilListening(10s);
        }
        server.stop();
        ASSERT_EQ(finished.wait_for(10s), std::future_status::ready) << "round " << round;
    }
}

TEST(UiWebSocketServerTest, PortInUseIsLoggedAndLaterPushesAreDropped) {
    const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
    auto options = test::loopbackOptions();
    options.port = ntohs(address.sin_port);

    {
        RunningServer fixture(options);
        EXPECT_EQ(fixture.port, 0);
        EXPECT_TRUE(fixture.watch.waitFor("Failed to start WebSocket server on port " +
                                          std::to_string(options.port)));
        for (const auto& entry : fixture.watch.entries()) {
            if (entry.message.rfind("Failed to start", 0) == 0) {
                EXPECT_EQ(entry.category, "error");
            }
        }
        fixture.server.broadcast(markerMessage("dropped"));
        fixture.server.pushApplicationStopping();
        EXPECT_EQ(fixture.server.connectionCount(), 0U);
    }
    ::close(holder);
}

TEST(UiWebSocketServerTest, PlainHttpIsAnswered404AndForeignHostsOrOrigins403) {
    RunningServer fixture;
    ASSERT_NE(fixture.port, 0);
    const std::string port = std::to_string(fixture.port);
    struct Case {
        const char* name;
        std::string request;
        const char* statusLine;
        const char* body;
    };
    const std::string upgrade = "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Sec-WebSocket-Version: 13\r\n";
    const Case cases[] = {
        {"plain GET", "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n\r\n", "HTTP/1.1 404", ""},
        {"plain POST with a body",
         "POST /api/x HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3\r\n\r\nabc", "HTTP/1.1 404",
         ""},
        {"no Host header", "GET /index.html HTTP/1.0\r\n\r\n", "HTTP/1.0 404", ""},
        {"foreign Host", "GET / HTTP/1.1\r\nHost: evil.example.com:" + port + "\r\n\r\n",
         "HTTP/1.1 403", "Host not allowed"},
        {"foreign Host on an upgrade",
         "GET / HTTP/1.1\r\nHost: evil.example.com\r\n" + upgrade + "\r\n", "HTTP/1.1 403",
         "Host not allowed"},
        {"foreign Origin on an upgrade",
         "GET / HTTP/1.1\r\nHost: localhost\r\nOrigin: http://evil.example.com:8000\r\n" + upgrade +
             "\r\n",
         "HTTP/1.1 403", "Origin not allowed"},
        {"two Host headers",
         "GET / HTTP/1.1\r\nHost: localhost\r\nHost: evil.example.com\r\n" + upgrade + "\r\n",
         "HTTP/1.1 403", "Host not allowed"},
        {"two Origin headers",
         "GET / HTTP/1.1\r\nHost: localhost\r\nOrigin: http://localhost:8000\r\n"
         "Origin: http://evil.example.com:8000\r\n" +
             upgrade + "\r\n",
         "HTTP/1.1 403", "Origin not allowed"},
        {"UI origin on another port",
         "GET / HTTP/1.1\r\nHost: localhost\r\nOrigin: http://localhost:9001\r\n" + upgrade +
             "\r\n",
         "HTTP/1.1 403", "Origin not allowed"},
    };
    for (const Case& c : cases) {
        RawConnection connection(fixture.port);
        ASSERT_TRUE(connection.sendAll(c.request)) << c.name;
        std::string answer;
        EXPECT_TRUE(connection.readUntilClosed(10s, &answer)) << c.name;
        EXPECT_EQ(answer.substr(0, 12), c.statusLine) << c.name << ": " << answer;
        const auto bodyStart = answer.find("\r\n\r\n");
        ASSERT_NE(bodyStart, std::string::npos) << c.name;
        EXPECT_EQ(answer.substr(bodyStart + 4), c.body) << c.name;
    }
    EXPECT_EQ(fixture.watch.count("WebSocket client connected"), 0U);
}

TEST(UiWebSocketServerTest, UpgradeOnAnyPathFromTheUiOrWithoutOriginIsAccepted) {
    RunningServer fixture;
    ASSERT_NE(fixture.port, 0);
    struct Case {
        test::UpgradeRequest request;
        int status;
    };
    const Case cases[] = {
        {{"/", "127.0.0.1", std::nullopt}, 101},
        {{"/any/path?x=1", "localhost", std::nullopt}, 101},
        {{"/", "localhost", "http://localhost:8000"}, 101},
        {{"/", "127.0.0.1", "http://127.0.0.1:8000"}, 101},
        {{"/", "localhost", "http://evil.example.com:8000"}, 403},
        {{"/", "localhost", "null"}, 403},
        {{"/", "rebound.example.com", std::nullopt}, 403},
    };
    for (const Case& c : cases) {
        PageClient page;
        EXPECT_EQ(page.connect(fixture.port, c.request), c.status)
            << c.request.path << " " << c.request.host << " " << c.request.origin.value_or("-");
    }
}

TEST(UiWebSocketServerTest, PingsKeepAnsweringPagesAndSilentOnesAreClosedAtIdleTimeout) {
    auto options = test::loopbackOptions();
    options.idleTimeout = 400ms;
    RunningServer fixture(options);
    ASSERT_NE(fixture.port, 0);
    RawConnection page(fixture.port);
    ASSERT_NE(page.upgrade().find(" 101 "), std::string::npos);

    // Three pings answered take longer than one idle timeout: the page stays.
    std::string buffer;
    int pongs = 0;
    for (int reads = 0; pongs < 3 && reads < 1000; ++reads) {
        const auto bytes = page.readSome(5s);
        ASSERT_TRUE(bytes.has_value()) << "closed after " << pongs << " pongs";
        ASSERT_FALSE(bytes->empty()) << "no ping within 5 s";
        buffer += *bytes;
        for (const auto& frame : test::takeServerFrames(buffer)) {
            if (frame.opcode == 0x9) {
                ASSERT_TRUE(page.sendAll(test::maskedFrame(0x8A, frame.payload)));
                ++pongs;
            }
        }
    }
    EXPECT_EQ(pongs, 3);
    EXPECT_EQ(fixture.watch.count("WebSocket client disconnected"), 0U);
    // Then silence: closed within about one idle timeout.
    EXPECT_TRUE(page.readUntilClosed(10s));
    EXPECT_TRUE(fixture.watch.waitFor("WebSocket client disconnected"));
}

}  // namespace
}  // namespace pellan
