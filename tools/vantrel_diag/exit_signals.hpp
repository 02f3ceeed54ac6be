#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>
#include <thread>

namespace pellan::diag {

/// The end of a command that runs until interrupted: SIGINT or SIGTERM (Ctrl-C, a test's
/// stop), taken by waiting instead of by a handler so nothing runs inside a signal.
///
/// Kind: construct on the main thread before any other thread exists: the constructor blocks
///   the signals in the calling thread, and every thread started afterwards inherits that, so
///   only a wait of this class receives them.
class ExitSignals {
public:
    ExitSignals();
    ExitSignals(const ExitSignals&) = delete;
    ExitSignals& operator=(const ExitSignals&) = delete;

    /// Waits for SIGINT or SIGTERM, at most `limit` when given. `tick`, when given, runs on
    /// the calling thread every `tickInterval` meanwhile. True when a signal ended the wait.
    bool wait(std::optional<std::chrono::milliseconds> limit,
              std::optional<std::chrono::milliseconds> tickInterval = {},
              const std::function<void()>& tick = {}) const;
};

/// Requests a stop of `source` at SIGINT or SIGTERM, from a thread of its own, so that a
/// signal ends a wait on the source's token at once.
///
/// Threads: owns the "diag-signals" thread, started by the constructor (the command's only
///   way to learn of a signal while it blocks elsewhere) and joined by the destructor, which
///   wakes it when no signal came.
class StopOnExitSignal {
public:
    StopOnExitSignal(const ExitSignals& signals, std::stop_source source);
    ~StopOnExitSignal();
    StopOnExitSignal(const StopOnExitSignal&) = delete;
    StopOnExitSignal& operator=(const StopOnExitSignal&) = delete;

private:
    std::atomic<bool> finished_{false};
    std::thread thread_;  // Last: its body reads finished_.
};

}  // namespace pellan::diag
