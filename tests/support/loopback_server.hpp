#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pellan::test {

/// A TCP server on 127.0.0.1 and an ephemeral port, for tests of clients. Connections are
/// handled one after another on the server's own thread; the destructor closes everything and
/// joins.
class LoopbackServer {
public:
    /// Given the connected socket; returns true to keep the socket open until destruction.
    using Handler = std::function<bool(int fd, LoopbackServer& server)>;

    explicit LoopbackServer(Handler handler, std::uint16_t port = 0);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::uint16_t port() const { return port_; }
    /// Blocks (at most 5 s) until a connection was accepted; false when none came.
    bool waitForConnection();
    std::string firstRequest();
    void recordRequest(const std::string& text);

    /// Reads one request head, answers with the status and an empty body, then closes.
    static Handler answerHttpStatus(int status);
    /// Accepts and keeps the connection open without ever sending.
    static Handler neverAnswer();

private:
    void run();

    Handler handler_;
    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1};
    std::uint16_t port_ = 0;

    std::mutex mutex_;
    std::condition_variable changed_;
    int connections_ = 0;                // Guarded by mutex_.
    std::vector<std::string> requests_;  // Guarded by mutex_.
    std::vector<int> keptOpen_;          // Touched by the server thread only.

    std::thread thread_;
};

}  // namespace pellan::test
