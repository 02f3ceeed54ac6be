#pragma once
// A minimal WebSocket page on a plain POSIX socket: the upgrade, then the server's text
// messages one by one, each read with a deadline. Enough to see what the push server sends.
#include "raw_http_client.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace pellan::test {

class RawWebSocketClient {
public:
    explicit RawWebSocketClient(std::uint16_t port) : connection_(port) {
        const std::string upgrade = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                    "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                    "Sec-WebSocket-Version: 13\r\n\r\n";
        if (!connection_.send(upgrade)) {
            throw std::runtime_error("upgrade not sent");
        }
        const auto answer = connection_.readResponse(5s, /*noBody=*/true);
        if (!answer || answer->status != 101) {
            throw std::runtime_error("upgrade refused");
        }
    }

    /// The next text message; nothing when none arrives within `timeout` or the server closes.
    std::optional<std::string> nextText(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::string message;
        for (;;) {
            const auto header = take(2, deadline);
            if (!header) {
                return std::nullopt;
            }
            const auto first = static_cast<unsigned char>((*header)[0]);
            const auto second = static_cast<unsigned char>((*header)[1]);
            const bool fin = (first & 0x80U) != 0;
            const unsigned opcode = first & 0x0FU;
            std::uint64_t length = second & 0x7FU;
            if (length >= 126) {
                const auto extended = take(length == 126 ? 2 : 8, deadline);
                if (!extended) {
                    return std::nullopt;
                }
                length = 0;
                for (const char byte : *extended) {
                    length = (length << 8U) | static_cast<unsigned char>(byte);
                }
            }
            const auto payload = take(static_cast<std::size_t>(length), deadline);
            if (!payload || opcode == 0x8) {
                return std::nullopt;
            }
            if (opcode == 0x9 || opcode == 0xA) {
                continue;  // Pings and pongs carry no message.
            }
            message += *payload;
            if (fin) {
                return message;
            }
        }
    }

    /// The next message whose "type" is `type`, skipping the others.
    std::optional<nlohmann::json> nextOfType(const std::string& type,
                                             std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            const auto text = nextText(left);
            if (!text) {
                return std::nullopt;
            }
            auto message = nlohmann::json::parse(*text);
            if (message.value("type", "") == type) {
                return message;
            }
        }
    }

    /// Every message up to the next one of type `marker` (which the test pushes itself after
    /// the request under test), log records left out. Nothing when the marker does not come.
    std::optional<std::vector<nlohmann::json>>
    messagesUntil(const std::string& marker, std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::vector<nlohmann::json> messages;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            const auto text = nextText(left);
            if (!text) {
                return std::nullopt;
            }
            auto message = nlohmann::json::parse(*text);
            const std::string type = message.value("type", "");
            if (type == marker) {
                return messages;
            }
            if (type != "log" && type != "logs") {
                messages.push_back(std::move(message));
            }
        }
    }

private:
    std::optional<std::string> take(std::size_t count,
                                    std::chrono::steady_clock::time_point deadline) {
        while (pending_.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            const auto chunk = connection_.readRaw(left);
            if (!chunk) {
                return std::nullopt;
            }
            pending_ += *chunk;
        }
        std::string bytes = pending_.substr(0, count);
        pending_.erase(0, count);
        return bytes;
    }

    RawHttpConnection connection_;
    std::string pending_;
};

}  // namespace pellan::test
