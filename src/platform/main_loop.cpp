#include "platform/main_loop.hpp"

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

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

MainLoop::~MainLoop() {
    remove();
}

bool MainLoop::blockExitSignals() {
    const sigset_t set = exitSignals();
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

bool MainLoop::create() {
    if (fd_ >= 0) {
        return true;
    }
    if (!blockExitSignals()) {
        return false;
    }
    const sigset_t set = exitSignals();
    fd_ = signalfd(-1, &set, SFD_CLOEXEC);
    return fd_ >= 0;
}

int MainLoop::run() {
    if (fd_ < 0) {
        return 0;
    }
    signalfd_siginfo info{};
    while (true) {
        const ssize_t got = read(fd_, &info, sizeof(info));
        if (got == static_cast<ssize_t>(sizeof(info))) {
            return static_cast<int>(info.ssi_signo);
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return 0;
    }
}

void MainLoop::remove() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

}  // namespace pellan
