#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace pellan {

/// A plain HTTP GET that reports only the status code, for finding out whether a server
/// answers. Every step (connect, send, receive) has its own time-out.
///
/// Kind: one probe at a time from one thread; cancel() may be called from any other thread
/// and makes a running or later get() return at once.
class HttpProbe {
public:
    HttpProbe();
    ~HttpProbe();
    HttpProbe(const HttpProbe&) = delete;
    HttpProbe& operator=(const HttpProbe&) = delete;

    /// The response's status code, or 0 when no response arrived in time.
    int get(const std::string& ipv4, std::uint16_t port, const std::string& target,
            std::chrono::milliseconds stepTimeout);
    void cancel();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace pellan
