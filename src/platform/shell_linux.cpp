#include "platform/shell.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <utility>

namespace pellan {
namespace {

sigset_t exitSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

struct Shell::Handles {
    /// Written by any thread's request; made in the constructor so it never changes while a
    /// request may use it.
    const int requests = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int signals = -1;  // The main thread's only.
    std::atomic<bool> exitRequested{false};
    std::atomic<std::uint32_t> openRequests{0};

    ~Handles() {
        if (requests >= 0) {
            close(requests);
        }
        if (signals >= 0) {
            close(signals);
        }
    }

    void wake() const {
        if (requests < 0) {
            return;
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(requests, &one, sizeof one);
    }

    void drain() const {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = read(requests, &count, sizeof count);
    }
};

Shell::Shell(std::function<void()> openUi)
    : openUi_(std::move(openUi)), handles_(std::make_unique<Handles>()) {}

Shell::~Shell() {
    remove();
}

bool Shell::blockExitSignals() {
    const sigset_t set = exitSignals();
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

bool Shell::create() {
    if (handles_->signals >= 0) {
        return true;
    }
    if (handles_->requests < 0 || !blockExitSignals()) {
        return false;
    }
    const sigset_t set = exitSignals();
    handles_->signals = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    return handles_->signals >= 0;
}

Shell::End Shell::run() {
    Handles& handles = *handles_;
    if (handles.signals < 0) {
        return End::WaitFailed;
    }
    std::array<pollfd, 2> entries{{{handles.signals, POLLIN, 0}, {handles.requests, POLLIN, 0}}};
    while (true) {
        if (handles.exitRequested.load()) {
            return End::ExitRequested;
        }
        for (std::uint32_t open = handles.openRequests.exchange(0); open > 0; --open) {
            if (openUi_) {
                openUi_();
            }
            if (handles.exitRequested.load()) {
                return End::ExitRequested;
            }
        }
        entries[0].revents = 0;
        entries[1].revents = 0;
        if (poll(entries.data(), entries.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return End::WaitFailed;
        }
        if (entries[0].revents != 0) {
            signalfd_siginfo info{};
            const ssize_t got = read(handles.signals, &info, sizeof info);
            if (got == static_cast<ssize_t>(sizeof info)) {
                return End::ExitSignal;
            }
            if (got < 0 && errno != EAGAIN && errno != EINTR) {
                return End::WaitFailed;
            }
        }
        if (entries[1].revents != 0) {
            handles.drain();
        }
    }
}

void Shell::remove() {
    if (handles_->signals >= 0) {
        close(handles_->signals);
        handles_->signals = -1;
    }
}

void Shell::requestExit() {
    handles_->exitRequested.store(true);
    handles_->wake();
}

void Shell::requestOpenUi() {
    handles_->openRequests.fetch_add(1);
    handles_->wake();
}

}  // namespace pellan
