#include "exit_signals.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <utility>

namespace pellan::diag {

namespace {

using Clock = std::chrono::steady_clock;

// Sent by StopOnExitSignal to its own thread alone, to end the wait when the run is over.
constexpr int kWakeSignal = SIGUSR1;
// No single wait is longer, so a far limit needs no huge timespec.
constexpr std::chrono::hours kLongestSlice{1};

sigset_t waitedSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, kWakeSignal);
    return signals;
}

/// The one wait: true for SIGINT or SIGTERM; false at `limit`, or at the wake signal once
/// `finished` holds.
bool waitForSignal(std::optional<std::chrono::milliseconds> limit,
                   std::optional<std::chrono::milliseconds> tickInterval,
                   const std::function<void()>& tick, const std::atomic<bool>* finished) {
    const sigset_t signals = waitedSignals();
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = limit ? start + *limit : Clock::time_point::max();
    const bool ticking = tick && tickInterval && tickInterval->count() > 0;
    Clock::time_point nextTick = ticking ? start + *tickInterval : Clock::time_point::max();
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= end) {
            return false;
        }
        if (ticking && now >= nextTick) {
            tick();
            nextTick = Clock::now() + *tickInterval;
            continue;
        }
        const Clock::time_point until = std::min({end, nextTick, now + kLongestSlice});
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - now);
        timespec timeout{};
        timeout.tv_sec = static_cast<std::time_t>(left.count() / 1'000'000'000);
        timeout.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
        const int signal = ::sigtimedwait(&signals, nullptr, &timeout);
        if (signal == SIGINT || signal == SIGTERM) {
            return true;
        }
        if (signal == kWakeSignal && finished != nullptr && finished->load()) {
            return false;
        }
        // A timeout, an interruption or a stray wake signal: the loop looks at the clock.
    }
}

}  // namespace

ExitSignals::ExitSignals() {
    const sigset_t signals = waitedSignals();
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

bool ExitSignals::wait(std::optional<std::chrono::milliseconds> limit,
                       std::optional<std::chrono::milliseconds> tickInterval,
                       const std::function<void()>& tick) const {
    return waitForSignal(limit, tickInterval, tick, nullptr);
}

StopOnExitSignal::StopOnExitSignal(const ExitSignals&, std::stop_source source)
    : thread_([this, source = std::move(source)]() mutable {
          ::pthread_setname_np(::pthread_self(), "diag-signals");
          if (waitForSignal(std::nullopt, std::nullopt, {}, &finished_)) {
              source.request_stop();
          }
      }) {}

StopOnExitSignal::~StopOnExitSignal() {
    // A wake that comes before the thread waits stays pending (it is blocked) until it does.
    finished_.store(true);
    ::pthread_kill(thread_.native_handle(), kWakeSignal);
    thread_.join();
}

}  // namespace pellan::diag
