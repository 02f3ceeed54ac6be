#include "server_fixture.hpp"

#include "support/page_client.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <optional>

namespace pellan::test {

void LogWatch::add(const LogEntry& entry) {
    {
        std::lock_guard lock(mutex_);
        entries_.push_back(entry);
    }
    changed_.notify_all();
}

bool LogWatch::waitFor(const std::string& message, std::size_t wanted,
                       std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return static_cast<std::size_t>(
                   std::count_if(entries_.begin(), entries_.end(), [&](const LogEntry& entry) {
                       return entry.message == message;
                   })) >= wanted;
    });
}

std::size_t LogWatch::count(const std::string& message) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(entries_.begin(), entries_.end(),
                      [&](const LogEntry& entry) { return entry.message == message; }));
}

std::vector<LogEntry> LogWatch::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

UiWebSocketServerOptions loopbackOptions() {
    UiWebSocketServerOptions options;
    options.port = 0;
    options.bindAddress = "127.0.0.1";
    return options;
}

RunningServer::RunningServer(UiWebSocketServerOptions options)
    : server(devices, groups, logger, std::move(options)) {
    // Pushed before it is noted, so that a test that saw a line in the watch knows its "log"
    // message is already queued ahead of anything the test pushes next.
    logger.setListener([this](const LogEntry& entry) {
        server.pushLogEntry(entry);
        watch.add(entry);
    });
    thread_ = std::thread([this] { server.run(); });
    port = server.waitUntilListening(std::chrono::seconds(10));
}

RunningServer::~RunningServer() {
    stopAndJoin();
}

void RunningServer::stopAndJoin() {
    server.stop();
    if (thread_.joinable()) {
        thread_.join();
    }
    logger.setListener({});
}

void connectCountedPage(PageClient& page, std::uint16_t port) {
    ASSERT_EQ(page.connect(port), 101);
    for (int i = 0; i < 1000; ++i) {
        const std::optional<std::string> text = page.read(std::chrono::seconds(10));
        ASSERT_TRUE(text) << "no \"connected\" line for the page";
        const auto message = nlohmann::json::parse(*text, nullptr, false);
        if (message.value("type", "") == "log" &&
            message["log"].value("message", "") == "WebSocket client connected") {
            return;
        }
    }
    FAIL() << "no \"connected\" line for the page";
}

}  // namespace pellan::test
