// What peers of the push server may do wrong: crowds, a page that stops reading, oversized and
// invalid frames, garbage requests. Each case: the offender gets what the server defines, and
// everybody else keeps being served.
#include "push/ui_websocket_server.hpp"

#include "server_fixture.hpp"
#include "support/page_client.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
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

/// A page that reads on a thread of its own and counts what it got.
class ReadingPage {
public:
    explicit ReadingPage(std::uint16_t port) {
        status_ = page_.connect(port);
        if (status_ == 101) {
            thread_ = std::thread([this] { readAll(); });
        }
    }
    ~ReadingPage() {
        page_.interrupt();  // ends the reader's read in progress
        if (thread_.joinable()) {
            thread_.join();
        }
        page_.drop();
    }

    int status() const { return status_; }

    /// Waits until `predicate(messages)` holds; false at the deadline or the page's end.
    template <typename Predicate>
    bool waitUntil(Predicate predicate, std::chrono::milliseconds timeout = 60s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return ended_ || predicate(messages_); }) &&
               predicate(messages_);
    }

    std::vector<nlohmann::json> messages() {
        std::lock_guard lock(mutex_);
        return messages_;
    }

private:
    void readAll() {
        for (;;) {
            auto message = parsed(page_.read(60s));
            const bool ended = message.is_null();
            {
                std::lock_guard lock(mutex_);
                if (ended) {
                    ended_ = true;
                } else {
                    messages_.push_back(std::move(message));
                }
            }
            changed_.notify_all();
            if (ended) {
                return;
            }
        }
    }

    PageClient page_;
    int status_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<nlohmann::json> messages_;  // Guarded by mutex_.
    bool ended_ = false;                    // Guarded by mutex_.
    std::thread thread_;
};

bool hasMarker(const std::vector<nlohmann::json>& messages, const std::string& marker) {
    for (const auto& message : messages) {
        if (message.value("marker", "") == marker) {
            return true;
        }
    }
    return false;
}

std::size_t countLogLines(const std::vector<nlohmann::json>& messages, const std::string& text) {
    std::size_t count = 0;
    for (const auto& message : messages) {
        if (message.value("type", "") == "log" && message["log"].value("message", "") == text) {
            ++count;
        }
    }
    return count;
}

TEST(UiWebSocketBadInputTest, ThousandPagesConnectingAndLeavingLoseNoState) {
    RunningServer fixture;
    ASSERT_NE(fixture.port, 0);
    ReadingPage watcher(fixture.port);
    ASSERT_EQ(watcher.status(), 101);

    constexpr int kThreads = 4;
    constexpr int kPagesPerThread = 250;
    std::atomic<int> greeted{0};
    std::vector<std::thread> crowd;
    for (int t = 0; t < kThreads; ++t) {
        crowd.emplace_back([&, t] {
            for (int i = 0; i < kPagesPerThread; ++i) {
                PageClient page;
                if (page.connect(fixture.port) != 101) {
                    continue;
                }
                if (parsed(page.read()).value("type", "") == "logs") {
                    ++greeted;
                }
                // Half leave with the closing handshake, half just vanish.
                if ((t + i) % 2 == 0) {
                    page.close();
                } else {
                    page.drop();
                }
            }
        });
    }
    for (auto& thread : crowd) {
        thread.join();
    }
    constexpr std::size_t kPages = kThreads * kPagesPerThread;
    EXPECT_EQ(greeted, static_cast<int>(kPages));
    ASSERT_TRUE(fixture.watch.waitFor("WebSocket client disconnected", kPages, 60s));
    EXPECT_EQ(fixture.watch.count("WebSocket client connected"), kPages + 1);
    EXPECT_EQ(fixture.server.connectionCount(), 1U);

    fixture.server.broadcast({{"type", "marker"}, {"marker", "end"}});
    ASSERT_TRUE(watcher.waitUntil([&](const std::vector<nlohmann::json>& messages) {
        return hasMarker(messages, "end") &&
               countLogLines(messages, "WebSocket client disconnected") == kPages;
    }));
    const auto messages = watcher.messages();
    EXPECT_EQ(countLogLines(messages, "WebSocket client connected"), kPages + 1);

    // And a newcomer is served as the first one was.
    PageClient late;
    ASSERT_EQ(late.connect(fixture.port), 101);
    EXPECT_EQ(parsed(late.read()).value("type", ""), "logs");
}

TEST(UiWebSocketBadInputTest, PageThatNeverReadsLosesMessagesAloneAndStaysConnected) {
    RunningServer fixture;
    ASSERT_NE(fixture.port, 0);
    // A tiny receive buffer: the slow page's backlog reaches the server's queue quickly.
    RawConnection slow(fixture.port, 4096);
    ASSERT_NE(slow.upgrade().find(" 101 "), std::string::npos);
    ASSERT_TRUE(fixture.watch.waitFor("WebSocket client connected"));

    std::mutex mutex;
    std::condition_variable progressed;
    int fastReceived = 0;  // Guarded by mutex.
    bool fastInOrder = true;
    PageClient fast;
    ASSERT_EQ(fast.connect(fixture.port), 101);
    // The 101 can arrive before the server counts the page among its pages; a broadcast in
    // between would never reach it.
    ASSERT_TRUE(fixture.watch.waitFor("WebSocket client connected", 2));
    constexpr int kMessages = 10'000;
    std::thread fastReader([&] {
        for (int received = 0; received < kMessages;) {
            const auto message = parsed(fast.read(60s));
            if (!message.is_object()) {
                break;
            }
            if (message.value("type", "") != "seq") {
                continue;
            }
            if (message["n"] != received) {
                fastInOrder = false;
            }
            ++received;
            {
                std::lock_guard lock(mutex);
                fastReceived = received;
            }
            progressed.notify_all();
        }
        std::lock_guard lock(mutex);
        fastReceived = kMessages + 1;  // the reader's end, whatever the reason
        progressed.notify_all();
    });

    const std::string padding(4000, 'x');
    // The fast page keeps up (the window stays far below its 64 KiB), the slow one cannot.
    constexpr int kWindow = 8;
    for (int n = 0; n < kMessages; ++n) {
        {
            std::unique_lock lock(mutex);
            if (!progressed.wait_for(lock, 60s, [&] { return fastReceived >= n - kWindow; })) {
                break;
            }
        }
        fixture.server.broadcast({{"type", "seq"}, {"n", n}, {"pad", padding}});
    }
    fastReader.join();
    EXPECT_TRUE(fastInOrder);
    EXPECT_EQ(fastReceived, kMessages + 1);
    EXPECT_EQ(fixture.server.connectionCount(), 2U);

    // The slow page now reads: what it got is in order, with a gap where its backlog was
    // full, and later messages reach it again.
    fixture.server.broadcast({{"type", "marker"}, {"marker", "end"}});
    std::string buffer;
    std::vector<int> slowSeq;
    bool sawMarker = false;
    for (int reads = 0; !sawMarker && reads < 1'000'000; ++reads) {
        const auto bytes = slow.readSome(30s);
        ASSERT_TRUE(bytes && !bytes->empty()) << "slow page ended after " << slowSeq.size();
        buffer += *bytes;
        for (const auto& frame : test::takeServerFrames(buffer)) {
            ASSERT_NE(frame.opcode, 0x8U) << "slow page closed after " << slowSeq.size();
            if (frame.opcode != 0x1U) {
                continue;  // pings
            }
            const auto message = nlohmann::json::parse(frame.payload, nullptr, false);
            ASSERT_TRUE(message.is_object()) << frame.payload.substr(0, 80);
            if (message.value("type", "") == "seq") {
                slowSeq.push_back(message["n"]);
            }
            sawMarker = sawMarker || message.value("marker", "") == "end";
        }
    }
    EXPECT_TRUE(sawMarker);
    EXPECT_LT(slowSeq.size(), static_cast<std::size_t>(kMessages));
    EXPECT_TRUE(std::is_sorted(slowSeq.begin(), slowSeq.end()));
    EXPECT_EQ(std::adjacent_find(slowSeq.begin(), slowSeq.end()), slowSeq.end());
}

TEST(UiWebSocketBadInputTest, OversizedMessageClosesOnlyItsPage) {
    RunningServer fixture;
    ASSERT_NE(fixture.port, 0);
    ReadingPage bystander(fixture.port);
    ASSERT_EQ(bystander.status(), 101);
    struct Case {
        std::size_t size;
        bool closes;
    };
    int disconnects = 0;
    std::size_t connects = 1;
    for (const Case& c : {Case{kUiMaxIncomingMessage, false}, Case{kUiMaxIncomingMessage + 1, true},
                          Case{1024 * 1024, true}}) {
        const std::string marker = "after " + std::to_string(c.size);
        {
            RawConnection page(fixture.port);
            ASSERT_NE(page.upgrade().find(" 101 "), std::string::npos);
            // The 101 can arrive before the server counts the page among its pages.
            ASSERT_TRUE(fixture.watch.waitFor("WebSocket client connected", ++connects));
            // One frame, with a 64-bit length field where needed.
            std::string frame = test::maskedFrame(0x81, std::string(c.size, 'a'));
            if (c.size > 0xffff) {
                std::string header("\x81\xff", 2);
                for (int shift = 56; shift >= 0; shift -= 8) {
                    header += static_cast<char>((c.size >> shift) & 0xff);
                }
                header += std::string(4, '\0');  // zero mask
                frame = header + std::string(c.size, 'a');
            }
            page.sendAll(frame);
            if (c.closes) {
                EXPECT_TRUE(page.readUntilClosed(10s)) << c.size;
            } else {
                fixture.server.broadcast({{"type", "marker"}, {"marker", marker}});
                EXPECT_NE(page.readUntil(marker, 10s).find(marker), std::string::npos) << c.size;
            }
        }
        if (c.closes) {
            EXPECT_TRUE(fixture.watch.waitFor("WebSocket client disconnected",
                                              static_cast<std::size_t>(++disconnects)))
                << c.size;
        }
        fixture.server.broadcast({{"type", "marker"}, {"marker", marker + " bystander"}});
        EXPECT_TRUE(bystander.waitUntil([&](const std::vector<nlohmann::json>& messages) {
            return hasMarker(messages, marker + " bystander");
        })) << c.size;
    }
}

TEST(UiWebSocketBadInputTest, InvalidFramesCloseOnlyTheirPage) {
    RunningServer fixture;
    ASSERT_NE(fixture.port, 0);
    ReadingPage bystander(fixture.port);
    ASSERT_EQ(bystander.status(), 101);
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"unmasked frame", std::string("\x81\x05hello", 7)},
        {"reserved opcode", test::maskedFrame(0x83, "x")},
        {"reserved bit without extension", test::maskedFrame(0xC1, "x")},
        {"fragmented control frame", test::maskedFrame(0x09, "")},
        {"control frame over 125 bytes", test::maskedFrame(0x89, std::string(126, 'p'))},
        {"text that is not UTF-8", test::maskedFrame(0x81, "\xff\xfe")},
        {"continuation without a start", test::maskedFrame(0x80, "x")},
        {"close with an invalid code", test::maskedFrame(0x88, std::string("\x03\xe7", 2))},
        {"64-bit length with the top bit", std::string("\x81\xff\x80\0\0\0\0\0\0\0\0\0\0\0", 14)},
        {"an HTTP request instead of a frame", "GET / HTTP/1.1\r\nHost: x\r\n\r\n"},
    };
    std::size_t disconnects = 0;
    for (const Case& c : cases) {
        {
            RawConnection page(fixture.port);
            ASSERT_NE(page.upgrade().find(" 101 "), std::string::npos) << c.name;
            page.sendAll(c.bytes);
            EXPECT_TRUE(page.readUntilClosed(10s)) << c.name;
        }
        // The server ends its side once the page has closed its own.
        EXPECT_TRUE(fixture.watch.waitFor("WebSocket client disconnected", ++disconnects))
            << c.name;
    }
    fixture.server.broadcast({{"type", "marker"}, {"marker", "end"}});
    EXPECT_TRUE(bystander.waitUntil(
        [](const std::vector<nlohmann::json>& messages) { return hasMarker(messages, "end"); }));
    EXPECT_EQ(fixture.server.connectionCount(), 1U);
}

TEST(UiWebSocketBadInputTest, GarbageRequestsAreDroppedAndServingGoesOn) {
    RunningServer fixture;
    ASSERT_NE(fixture.port, 0);
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"binary noise", std::string("\x00\x01\x02\xff garbage\r\n\r\n", 15)},
        {"header over 8 KiB",
         "GET / HTTP/1.1\r\nHost: localhost\r\nX: " + std::string(9000, 'a') + "\r\n\r\n"},
        {"body over 16 KiB",
         "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 100000\r\n\r\n" +
             std::string(100000, 'b')},
        {"upgrade without a key",
         "GET / HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Version: 13\r\n\r\n"},
        {"peer closes mid-request", "GET / HTTP/1.1\r\nHost: loc"},
    };
    for (const Case& c : cases) {
        RawConnection connection(fixture.port);
        connection.sendAll(c.bytes);
        if (std::string(c.name) == "peer closes mid-request") {
            continue;  // the destructor closes
        }
        EXPECT_TRUE(connection.readUntilClosed(10s)) << c.name;
    }
    PageClient page;
    ASSERT_EQ(page.connect(fixture.port), 101);
    EXPECT_EQ(parsed(page.read()).value("type", ""), "logs");
    EXPECT_EQ(fixture.server.connectionCount(), 1U);
}

}  // namespace
}  // namespace pellan
