#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace pellan::ember {

/// The POSIX sockets behind the Ember+ clients and the provider simulator: a TCP stream
/// socket over IPv4 that a second thread can interrupt through a wake-up pipe, so no call
/// of a connection ever blocks past its owner's close.
///
/// Kind: value holders of file descriptors (move-only). Each function is a thin, stateless
/// wrapper; what may be called from which thread is said by the caller's class.

/// A file descriptor closed by the destructor.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

/// A pipe whose read end becomes readable, for good, once signal() was called: every later
/// wait that includes it returns at once.
class WakePipe {
public:
    WakePipe();  ///< Check valid(): pipe creation can fail (too many open files).
    bool valid() const { return read_.valid() && write_.valid(); }
    int readFd() const { return read_.get(); }
    /// Async-signal-safe and callable from any thread; later calls change nothing.
    void signal() const;
    /// Whether signal() was called (the read end is readable).
    bool signalled() const;

private:
    FileDescriptor read_;
    FileDescriptor write_;
};

/// What a wait on a socket ended with.
enum class WaitResult { Ready, Woken, TimedOut, Failed };

/// Waits until `fd` is readable (or writable when `forWrite`), `wake` was signalled, or
/// `timeout` passed. Interrupted system calls are resumed with the time left.
WaitResult waitForSocket(int fd, bool forWrite, const WakePipe& wake,
                         std::chrono::milliseconds timeout);
/// Sleeps `duration` unless `wake` is signalled first; true when woken.
bool sleepUnlessWoken(const WakePipe& wake, std::chrono::milliseconds duration);

/// Parses dotted IPv4 text (four decimal numbers, nothing else).
bool parseIpv4(const std::string& text, std::uint32_t& addressNetworkOrder);
/// Whether the text is an IPv4 address in 127.0.0.0/8.
bool isLoopbackIpv4(const std::string& text);

/// A non-blocking TCP socket over IPv4 (close-on-exec); invalid on failure, errno kept.
FileDescriptor openTcpSocket();
/// Connects the non-blocking `fd` to host:port, waiting at most `timeout` or until woken.
/// 0 on success, else the errno of the failure (ETIMEDOUT, EINTR when woken, EINVAL for a
/// host that is not dotted IPv4).
int connectTcp(int fd, const std::string& host, int port, const WakePipe& wake,
               std::chrono::milliseconds timeout);
/// Sends without blocking and without SIGPIPE; the count of bytes sent (possibly fewer than
/// asked when the peer's window is full), or -1 with errno.
long sendNow(int fd, const std::uint8_t* data, std::size_t length);
/// Receives what is there without blocking: the count (0 for an orderly close), or -1 with
/// errno (EAGAIN when nothing was there).
long receiveNow(int fd, std::uint8_t* data, std::size_t capacity);

/// A listening TCP socket on address:port (port 0: ephemeral), non-blocking; invalid on
/// failure. `boundPort` receives the port.
FileDescriptor listenTcp(const std::string& address, int port, int backlog, int& boundPort);

/// Names the calling thread (at most 15 characters are kept).
void nameThisThread(const char* name);

}  // namespace pellan::ember
