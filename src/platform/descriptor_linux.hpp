#pragma once
// Linux only. File descriptors for the tools and test fixtures that run poll loops of their
// own (the Ember+ provider simulator); product code uses TcpSocket, TcpListener and WakePipe.
#include <cstddef>
#include <cstdint>
#include <string>

namespace pellan::posix {

/// A file descriptor closed by the destructor.
///
/// Kind: move-only owner of one descriptor.
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

/// A listening TCP socket on address:port (port 0: ephemeral), non-blocking; invalid on
/// failure. `boundPort` receives the port.
FileDescriptor listenTcp(const std::string& address, int port, int backlog, int& boundPort);
/// Sends without blocking and without SIGPIPE; the count sent (possibly short), or -1 with
/// errno.
long sendNow(int fd, const std::uint8_t* data, std::size_t length);
/// Receives what is there without blocking: the count (0 for an orderly close), or -1 with
/// errno (EAGAIN when nothing was there).
long receiveNow(int fd, std::uint8_t* data, std::size_t capacity);

}  // namespace pellan::posix
