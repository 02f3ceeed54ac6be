#pragma once
// A byte-level HTTP client on a plain POSIX socket, for tests that must send what no library
// would: malformed requests, pipelined ones, HTTP/1.0, nothing at all. Every read has a
// deadline.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pellan::test {

using namespace std::chrono_literals;

/// One parsed response.
struct RawResponse {
    std::string version;
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    /// The first header of that name (ASCII case-insensitive), or nullptr.
    const std::string* header(std::string_view name) const {
        for (const auto& [key, value] : headers) {
            if (key.size() != name.size()) {
                continue;
            }
            bool same = true;
            for (std::size_t i = 0; i < key.size() && same; ++i) {
                same = lower(key[i]) == lower(name[i]);
            }
            if (same) {
                return &value;
            }
        }
        return nullptr;
    }

    static char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
};

/// One client connection to 127.0.0.1:port. Kind: value-like, used by one thread.
class RawHttpConnection {
public:
    explicit RawHttpConnection(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            throw std::runtime_error("socket failed");
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            ::close(fd_);
            throw std::runtime_error("connect failed");
        }
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    ~RawHttpConnection() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    RawHttpConnection(const RawHttpConnection&) = delete;
    RawHttpConnection& operator=(const RawHttpConnection&) = delete;

    /// Writes all bytes; false when the server has closed or reset the connection.
    bool send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR) {
                continue;
            }
            if (sent <= 0) {
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }

    /// Stops sending (the server then sees the end of the stream).
    void shutdownSend() { ::shutdown(fd_, SHUT_WR); }

    /// The next response; nothing when none arrives whole within `timeout` or the connection
    /// ends first. `noBody`: the answer to a HEAD request.
    std::optional<RawResponse> readResponse(std::chrono::milliseconds timeout = 5s,
                                            bool noBody = false) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::size_t headerEnd;
        while ((headerEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (!fill(deadline)) {
                return std::nullopt;
            }
        }
        RawResponse response;
        const std::string head = buffer_.substr(0, headerEnd);
        buffer_.erase(0, headerEnd + 4);
        std::size_t lineEnd = head.find("\r\n");
        const std::string statusLine = head.substr(0, lineEnd);
        const std::size_t space = statusLine.find(' ');
        if (space == std::string::npos) {
            return std::nullopt;
        }
        response.version = statusLine.substr(0, space);
        response.status = std::stoi(statusLine.substr(space + 1, 3));
        while (lineEnd != std::string::npos) {
            const std::size_t start = lineEnd + 2;
            lineEnd = head.find("\r\n", start);
            const std::string line = head.substr(
                start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
            const std::size_t colon = line.find(':');
            if (colon == std::string::npos) {
                continue;
            }
            std::string value = line.substr(colon + 1);
            while (!value.empty() && value.front() == ' ') {
                value.erase(0, 1);
            }
            response.headers.emplace_back(line.substr(0, colon), value);
        }
        if (response.status == 100) {
            return response;
        }
        if (noBody || response.status == 204 || response.status == 304) {
            return response;
        }
        if (const std::string* length = response.header("Content-Length")) {
            const std::size_t size = std::stoul(*length);
            while (buffer_.size() < size) {
                if (!fill(deadline)) {
                    return std::nullopt;
                }
            }
            response.body = buffer_.substr(0, size);
            buffer_.erase(0, size);
            return response;
        }
        while (fill(deadline)) {
        }
        response.body = std::move(buffer_);
        buffer_.clear();
        return response;
    }

    /// Whatever bytes are buffered or arrive next; nothing on time-out or close.
    std::optional<std::string> readRaw(std::chrono::milliseconds timeout) {
        if (buffer_.empty() && !fill(std::chrono::steady_clock::now() + timeout)) {
            return std::nullopt;
        }
        std::string bytes = std::move(buffer_);
        buffer_.clear();
        return bytes;
    }

    /// True when the server closes (or resets) the connection within `timeout`; what it still
    /// sends is dropped.
    bool waitForClose(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const Fill result = fillOnce(deadline);
            if (result == Fill::Closed) {
                return true;
            }
            if (result == Fill::TimedOut) {
                return false;
            }
            buffer_.clear();
        }
    }

private:
    enum class Fill { Data, Closed, TimedOut };

    bool fill(std::chrono::steady_clock::time_point deadline) {
        return fillOnce(deadline) == Fill::Data;
    }

    Fill fillOnce(std::chrono::steady_clock::time_point deadline) {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return Fill::TimedOut;
            }
            pollfd entry{fd_, POLLIN, 0};
            const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0) {
                return Fill::TimedOut;
            }
            char chunk[16384];
            const ssize_t got = ::recv(fd_, chunk, sizeof(chunk), 0);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return Fill::Closed;
            }
            buffer_.append(chunk, static_cast<std::size_t>(got));
            return Fill::Data;
        }
    }

    int fd_ = -1;
    std::string buffer_;
};

/// "METHOD path HTTP/1.1" with Host 127.0.0.1:port, the extra header lines (each ending in
/// "\r\n") and the body with its Content-Length.
inline std::string buildRequest(std::string_view method, std::string_view path, std::uint16_t port,
                                std::string_view body = {}, std::string_view extraHeaders = {}) {
    std::string text;
    text += method;
    text += ' ';
    text += path;
    text += " HTTP/1.1\r\nHost: 127.0.0.1:";
    text += std::to_string(port);
    text += "\r\n";
    text += extraHeaders;
    if (!body.empty() || method == "POST") {
        text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    text += "\r\n";
    text += body;
    return text;
}

/// One request on a new connection; status 0 and an empty body when no answer came.
inline RawResponse httpRequest(std::uint16_t port, std::string_view method, std::string_view path,
                               std::string_view body = {}, std::string_view extraHeaders = {}) {
    RawHttpConnection connection(port);
    if (!connection.send(buildRequest(method, path, port, body, extraHeaders))) {
        return {};
    }
    return connection.readResponse(10s, method == "HEAD").value_or(RawResponse{});
}

}  // namespace pellan::test
