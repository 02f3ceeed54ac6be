#pragma once
// Fixtures of the Ember+ client tests: a capture of diagnostic lines and reports, a scripted
// provider whose connections the test drives byte by byte, and the client timings the tests
// shorten.

#include "ember/ember_client_core.hpp"
#include "ember/ember_connection.hpp"
#include "ember_codec/ember_test_support.hpp"
#include "platform/descriptor_linux.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pellan::test {

using namespace std::chrono_literals;

/// Generous bound for anything the tests wait for; reached only when something hangs.
inline constexpr std::chrono::milliseconds kWait{10000};

/// Lines in arrival order, with waits. Held by shared pointer: a sink may outlive a client.
class Lines {
public:
    void add(const std::string& line) {
        {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
            times_.push_back(std::chrono::steady_clock::now());
        }
        changed_.notify_all();
    }
    /// When the first line containing `part` arrived.
    std::optional<std::chrono::steady_clock::time_point> timeOf(const std::string& part) const {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            if (lines_[i].find(part) != std::string::npos) {
                return times_[i];
            }
        }
        return std::nullopt;
    }
    std::vector<std::string> all() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::size_t count(const std::string& part) const {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(
            std::count_if(lines_.begin(), lines_.end(), [&part](const std::string& line) {
                return line.find(part) != std::string::npos;
            }));
    }
    /// True once `count` lines containing `part` arrived within `timeout`.
    bool waitFor(const std::string& part, std::size_t count = 1,
                 std::chrono::milliseconds timeout = kWait) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            return static_cast<std::size_t>(std::count_if(
                       lines_.begin(), lines_.end(), [&part](const std::string& line) {
                           return line.find(part) != std::string::npos;
                       })) >= count;
        });
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
        times_.clear();
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::vector<std::chrono::steady_clock::time_point> times_;
};

inline EmberDiagnosticSink sinkInto(const std::shared_ptr<Lines>& lines) {
    return [lines](const std::string& line) { lines->add(line); };
}

/// A value callback that records "text value" lines.
inline EmberValueCallback reportsInto(const std::shared_ptr<Lines>& lines) {
    return [lines](const std::string& text, std::int32_t value) {
        lines->add(text + " " + std::to_string(value));
    };
}

/// Intervals short enough for tests; the subscription is not refreshed unless asked.
inline EmberClientTimings fastTimings() {
    EmberClientTimings timings;
    timings.healthCheck = 20ms;
    timings.backoffInitial = 20ms;
    timings.backoffMax = 160ms;
    timings.backoffMin = 1ms;
    timings.receiveTimeout = 20ms;
    timings.requestSpacing = 1ms;
    timings.refreshInterval = std::chrono::hours(1);
    timings.closeWait = 3000ms;
    timings.connectTimeout = 5000ms;
    return timings;
}

inline EmberClientOptions fastOptions(const std::shared_ptr<Lines>& diagnostics) {
    EmberClientOptions options;
    options.timings = fastTimings();
    options.diagnostics = sinkInto(diagnostics);
    return options;
}

// --- Frames as the clients write them, built by the tests' own BER builder ---------------

inline Bytes getDirectoryFrame(const std::vector<std::uint32_t>& path) {
    using namespace build;
    return frame(
        root({element(GlowType::QualifiedNode,
                      {build::path(path), children({element(GlowType::Command, {number(32)})})})}));
}

inline std::string describeNumbers(const std::vector<std::uint32_t>& path) {
    std::string out;
    for (std::size_t i = 0; i < path.size(); ++i) {
        out += (i == 0 ? "" : ".") + std::to_string(path[i]);
    }
    return out;
}

/// Names each frame by the GetDirectory path it equals, or "other:<hex>".
class RequestNames {
public:
    void add(const std::vector<std::uint32_t>& path) {
        names_[getDirectoryFrame(path)] = describeNumbers(path);
    }
    std::string name(const Bytes& frame) const {
        const auto found = names_.find(frame);
        return found == names_.end() ? "other:" + toHex(frame) : found->second;
    }

private:
    std::map<Bytes, std::string> names_;
};

/// A QualifiedParameter answer with only a value, as one frame.
inline Bytes valueFrame(const std::vector<std::uint32_t>& path, const Bytes& value) {
    using namespace build;
    return frame(root({qualifiedParameter(path, {field(2, value)})}));
}

// --- A provider the test drives -------------------------------------------------------

/// One accepted connection: what the client sent, cut into S101 frames, and a way to answer.
class ProviderConnection {
public:
    explicit ProviderConnection(int fd) : fd_(fd) {}
    ~ProviderConnection() { close(); }
    ProviderConnection(const ProviderConnection&) = delete;
    ProviderConnection& operator=(const ProviderConnection&) = delete;

    bool send(const Bytes& bytes) {
        return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                               static_cast<ssize_t>(bytes.size());
    }
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    /// Reads until `count` whole frames (BOF to EOF) arrived or `timeout` passed.
    std::vector<Bytes> readFrames(std::size_t count, std::chrono::milliseconds timeout = kWait) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (frames_.size() < count && readSome(deadline)) {
        }
        std::vector<Bytes> out;
        const std::size_t n = std::min(count, frames_.size());
        out.assign(frames_.begin(), frames_.begin() + static_cast<std::ptrdiff_t>(n));
        frames_.erase(frames_.begin(), frames_.begin() + static_cast<std::ptrdiff_t>(n));
        return out;
    }
    /// True when nothing more arrives within `quiet` (the peer sent nothing further).
    bool nothingWithin(std::chrono::milliseconds quiet) {
        const auto deadline = std::chrono::steady_clock::now() + quiet;
        while (frames_.empty() && partial_.empty() && readSome(deadline)) {
        }
        return frames_.empty() && partial_.empty();
    }
    /// Whether the client closed its side (read returns 0) within `timeout`.
    bool waitForClose(std::chrono::milliseconds timeout = kWait) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!closedByPeer_ && readSome(deadline)) {
        }
        return closedByPeer_;
    }

private:
    bool readSome(std::chrono::steady_clock::time_point deadline) {
        if (fd_ < 0 || closedByPeer_) {
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        std::uint8_t buffer[4096];
        const auto n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            closedByPeer_ = true;
            return false;
        }
        for (ssize_t i = 0; i < n; ++i) {
            const std::uint8_t byte = buffer[i];
            if (byte == 0xFE) {
                partial_.clear();
            }
            if (byte == 0xFE || !partial_.empty()) {
                partial_.push_back(byte);
            }
            if (byte == 0xFF && !partial_.empty()) {
                frames_.push_back(partial_);
                partial_.clear();
            }
        }
        return true;
    }

    int fd_ = -1;
    bool closedByPeer_ = false;
    Bytes partial_;
    std::vector<Bytes> frames_;
};

/// A listening socket on a loopback address and an ephemeral (or given) port; connections are
/// accepted when the test asks.
class ScriptedProvider {
public:
    explicit ScriptedProvider(const std::string& address = "127.0.0.1", int port = 0,
                              int backlog = 16)
        : address_(address) {
        listener_ = posix::listenTcp(address, port, backlog, port_);
    }
    bool listening() const { return listener_.valid(); }
    int port() const { return port_; }
    const std::string& address() const { return address_; }

    std::unique_ptr<ProviderConnection> accept(std::chrono::milliseconds timeout = kWait) {
        pollfd entry{listener_.get(), POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) {
            return nullptr;
        }
        const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        return fd < 0 ? nullptr : std::make_unique<ProviderConnection>(fd);
    }
    void close() { listener_.reset(); }

private:
    std::string address_;
    int port_ = 0;
    posix::FileDescriptor listener_;
};

/// A port on which nothing listens: connecting is refused.
inline int refusedPort() {
    int port = 0;
    { posix::FileDescriptor probe = posix::listenTcp("127.0.0.1", 0, 1, port); }
    return port;
}

}  // namespace pellan::test
