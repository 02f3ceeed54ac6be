#include "support/loopback_server.hpp"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace pellan::test {

LoopbackServer::LoopbackServer(Handler handler, std::uint16_t port) : handler_(std::move(handler)) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listenFd_, 64) != 0 || pipe(wakeFds_) != 0) {
        throw std::runtime_error("loopback server set-up failed");
    }
    socklen_t length = sizeof(address);
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
}

LoopbackServer::~LoopbackServer() {
    const char byte = 0;
    [[maybe_unused]] const auto written = write(wakeFds_[1], &byte, 1);
    thread_.join();
    for (int fd : keptOpen_) {
        close(fd);
    }
    close(listenFd_);
    close(wakeFds_[0]);
    close(wakeFds_[1]);
}

void LoopbackServer::run() {
    while (true) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            return;
        }
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        {
            std::lock_guard lock(mutex_);
            ++connections_;
        }
        changed_.notify_all();
        if (handler_(fd, *this)) {
            keptOpen_.push_back(fd);
        } else {
            close(fd);
        }
    }
}

bool LoopbackServer::waitForConnection() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [this] { return connections_ > 0; });
}

std::string LoopbackServer::firstRequest() {
    std::lock_guard lock(mutex_);
    return requests_.empty() ? std::string() : requests_.front();
}

void LoopbackServer::recordRequest(const std::string& text) {
    std::lock_guard lock(mutex_);
    requests_.push_back(text);
}

LoopbackServer::Handler LoopbackServer::answerHttpStatus(int status) {
    return [status](int fd, LoopbackServer& server) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            pollfd readable{fd, POLLIN, 0};
            if (poll(&readable, 1, 2000) <= 0) {
                break;
            }
            const ssize_t got = read(fd, buffer, sizeof(buffer));
            if (got <= 0) {
                break;
            }
            request.append(buffer, static_cast<std::size_t>(got));
        }
        server.recordRequest(request);
        const std::string response = "HTTP/1.1 " + std::to_string(status) +
                                     " Status\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        [[maybe_unused]] const auto written = write(fd, response.data(), response.size());
        return false;
    };
}

LoopbackServer::Handler LoopbackServer::neverAnswer() {
    return [](int, LoopbackServer&) { return true; };
}

}  // namespace pellan::test
