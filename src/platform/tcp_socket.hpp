#pragma once
#include "platform/native_handle.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace pellan {
class WakePipe;

/// Outcome of receiveNow().
enum class ReceiveStatus {
    Received,    ///< `bytes` arrived.
    WouldBlock,  ///< Nothing was there.
    Closed,      ///< The peer closed its side in order.
    Failed,      ///< `error` says why.
};

struct ReceiveResult {
    ReceiveStatus status = ReceiveStatus::Failed;
    std::size_t bytes = 0;
    int error = 0;  ///< The system's error number when Failed.
};

/// A non-blocking TCP stream socket over IPv4, closed by the destructor.
///
/// Kind: move-only owner of one handle. Its free functions below act on a handle, so that a
/// second thread can send or shut down while the owner waits on it (the caller keeps the
/// handle from being used after the owner closed it).
class TcpSocket {
public:
    TcpSocket() = default;
    explicit TcpSocket(NativeHandle handle) : handle_(handle) {}
    ~TcpSocket() { close(); }
    TcpSocket(TcpSocket&& other) noexcept : handle_(other.release()) {}
    TcpSocket& operator=(TcpSocket&& other) noexcept;
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    /// A new non-blocking socket, not inherited by child processes; invalid on failure.
    static TcpSocket open();

    bool valid() const { return handle_ != NativeHandle::Invalid; }
    NativeHandle handle() const { return handle_; }
    NativeHandle release();
    void close();

private:
    NativeHandle handle_ = NativeHandle::Invalid;
};

/// Connects the non-blocking `socket` to host:port, waiting at most `timeout` or until `wake`
/// is signalled. 0 on success, else the system's error number (time-out: ETIMEDOUT; woken:
/// EINTR; a host that is not dotted IPv4 or a port outside 1..65535: EINVAL).
int connectTcp(NativeHandle socket, const std::string& host, int port, const WakePipe& wake,
               std::chrono::milliseconds timeout);

/// Sends without blocking and without a broken-pipe signal: the count of bytes sent (possibly
/// fewer than asked when the peer's window is full), or -1 when nothing could be sent.
long sendNow(NativeHandle socket, const std::uint8_t* data, std::size_t length);

/// Receives what is there without blocking.
ReceiveResult receiveNow(NativeHandle socket, std::uint8_t* data, std::size_t capacity);

/// Shuts both directions down: a thread waiting on the socket wakes, and later sends fail.
/// The handle stays open until its owner closes it.
void shutdownSocket(NativeHandle socket);

/// A listening TCP socket over IPv4, non-blocking, closed by the destructor.
///
/// Kind: move-only owner of one handle.
class TcpListener {
public:
    TcpListener() = default;
    ~TcpListener() = default;
    TcpListener(TcpListener&&) noexcept = default;
    TcpListener& operator=(TcpListener&&) noexcept = default;

    /// Listens on address:port (dotted IPv4; port 0: an ephemeral one). Invalid on failure.
    static TcpListener open(const std::string& address, int port, int backlog);

    bool valid() const { return socket_.valid(); }
    /// The port it listens on; 0 when invalid.
    int port() const { return port_; }
    NativeHandle handle() const { return socket_.handle(); }
    /// A waiting connection as a non-blocking socket; invalid when none is waiting.
    TcpSocket accept() const;
    /// Gives up the handle without closing it.
    NativeHandle release();
    void close();

private:
    TcpSocket socket_;
    int port_ = 0;
};

}  // namespace pellan
