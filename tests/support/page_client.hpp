#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pellan::test {

/// What a page's upgrade request carries besides the WebSocket headers.
struct UpgradeRequest {
    std::string path = "/";
    std::string host = "127.0.0.1";     ///< Host header (the port is appended).
    std::optional<std::string> origin;  ///< Origin header, when set.
};

/// A UI page for tests: a Beast WebSocket client on 127.0.0.1, driven from the calling
/// thread (every call runs its own I/O until done or its deadline). One thread at a time.
class PageClient {
public:
    PageClient();
    ~PageClient();  ///< Drops the connection without a closing handshake.
    PageClient(const PageClient&) = delete;
    PageClient& operator=(const PageClient&) = delete;

    /// 101 once upgraded; otherwise the server's HTTP status, or 0 when the connection or
    /// the answer failed.
    int connect(std::uint16_t port, const UpgradeRequest& request = {},
                std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// The next text message; nothing when the connection ended (see closeCode) or `timeout`
    /// passed (which ends the connection).
    std::optional<std::string> read(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool write(const std::string& text,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// The closing handshake with code 1000.
    void close(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// Cuts the TCP connection.
    void drop();
    /// The one call allowed from another thread: shuts the connection down so that a read in
    /// progress there ends; the reading thread then sees the end as usual.
    void interrupt();
    /// The code of the server's close frame once read() reported the end; 0 for none.
    int closeCode() const;
    /// Pings seen by read() so far.
    std::size_t pingsReceived() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// A plain TCP connection to 127.0.0.1 for byte-exact requests and frames (POSIX socket).
class RawConnection {
public:
    /// `receiveBuffer` > 0 shrinks the socket's receive buffer before connecting, so that a
    /// peer that stops reading backs up quickly.
    explicit RawConnection(std::uint16_t port, int receiveBuffer = 0);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return fd_ >= 0; }
    bool sendAll(const std::string& bytes);
    /// What arrives within `timeout`: "" when nothing did, nothing once the peer closed.
    std::optional<std::string> readSome(std::chrono::milliseconds timeout);
    /// Reads until `marker` appears in what was read, the peer closes, or `timeout` passes.
    std::string readUntil(const std::string& marker, std::chrono::milliseconds timeout);
    /// Reads until the peer closes; true when it did within `timeout`.
    bool readUntilClosed(std::chrono::milliseconds timeout, std::string* received = nullptr);
    /// Sends an upgrade request (fixed key) and returns the answer's head.
    std::string upgrade(const std::string& extraHeaders = "Host: 127.0.0.1\r\n");

private:
    int fd_ = -1;
};

/// A client frame (masked, FIN set) with the given first byte and payload.
std::string maskedFrame(unsigned char firstByte, const std::string& payload);

struct ServerFrame {
    unsigned opcode = 0;  ///< 1 text, 8 close, 9 ping, ...
    std::string payload;
};

/// Splits the complete server frames (unmasked) off the front of `buffer`, leaving an
/// incomplete tail there.
std::vector<ServerFrame> takeServerFrames(std::string& buffer);

}  // namespace pellan::test
