#pragma once
#include "platform/icmp_prober.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace pellan::test {

inline constexpr std::chrono::milliseconds kTestDeadline{10000};

/// Drives a ScriptedProber from the test: each probe() call of the monitor blocks until the
/// test answers it, so a test moves the monitor one cycle at a time. Shared between the test
/// and the prober, so either may go first.
///
/// Kind: locked manager. Thread safety: every member may be called from any thread.
class ProbeScript {
public:
    /// Answers every call at once with `reachable(address)` instead of waiting for answer().
    void answerAutomatically(std::function<bool(const std::string&)> reachable) {
        std::lock_guard lock(mutex_);
        automatic_ = std::move(reachable);
        changed_.notify_all();
    }

    /// Waits until the monitor is blocked in a probe call that has not been answered yet and
    /// returns its addresses, sorted (the monitor's order is a hash map's); nothing when no
    /// call came before the deadline.
    std::optional<std::vector<std::string>>
    awaitCycle(std::chrono::milliseconds deadline = kTestDeadline) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, deadline, [this] { return waiting_ && !answer_; })) {
            return std::nullopt;
        }
        std::vector<std::string> sorted = addresses_;
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }

    /// Answers the waiting call: the listed addresses answered, the others timed out.
    void answer(std::set<std::string> reachable) {
        std::lock_guard lock(mutex_);
        answer_ = std::move(reachable);
        changed_.notify_all();
    }

    /// Answers the waiting call, then waits for the next one: the monitor has evaluated the
    /// answered cycle by then. Nothing when no next call came before the deadline.
    std::optional<std::vector<std::string>> completeCycle(std::set<std::string> reachable) {
        answer(std::move(reachable));
        return awaitCycle();
    }

    /// Waits until at least `count` calls have returned.
    bool awaitCalls(int count, std::chrono::milliseconds deadline = kTestDeadline) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [&] { return calls_ >= count; });
    }

    int calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    int cancelledCalls() const {
        std::lock_guard lock(mutex_);
        return cancelled_;
    }

    /// The prober's side.
    std::vector<EchoOutcome> probe(const std::vector<std::string>& addresses,
                                   const std::stop_token& stop) {
        std::vector<EchoOutcome> outcomes(addresses.size());
        // Constructed before the lock is taken: it runs at once when stop was requested.
        std::stop_callback onStop(stop, [this] {
            std::lock_guard lock(mutex_);
            changed_.notify_all();
        });
        std::unique_lock lock(mutex_);
        if (automatic_) {
            for (std::size_t i = 0; i < addresses.size(); ++i) {
                setOutcome(outcomes[i], automatic_(addresses[i]));
            }
            ++calls_;
            changed_.notify_all();
            return outcomes;
        }
        addresses_ = addresses;
        waiting_ = true;
        answer_.reset();
        changed_.notify_all();
        const bool answered = changed_.wait_for(
            lock, kTestDeadline, [&] { return answer_.has_value() || stop.stop_requested(); });
        waiting_ = false;
        if (answered && answer_) {
            for (std::size_t i = 0; i < addresses.size(); ++i) {
                setOutcome(outcomes[i], answer_->contains(addresses[i]));
            }
        } else {
            for (EchoOutcome& outcome : outcomes) {
                outcome.failure = EchoFailure::Cancelled;
            }
            ++cancelled_;
        }
        answer_.reset();
        ++calls_;
        changed_.notify_all();
        return outcomes;
    }

private:
    static void setOutcome(EchoOutcome& outcome, bool reachable) {
        outcome.reachable = reachable;
        outcome.failure = reachable ? EchoFailure::None : EchoFailure::TimedOut;
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::function<bool(const std::string&)> automatic_;  // Guarded by mutex_.
    std::vector<std::string> addresses_;                 // Guarded by mutex_.
    std::optional<std::set<std::string>> answer_;        // Guarded by mutex_.
    bool waiting_ = false;                               // Guarded by mutex_.
    int calls_ = 0;                                      // Guarded by mutex_.
    int cancelled_ = 0;                                  // Guarded by mutex_.
};

/// The prober seam of the monitor's unit tests: answers as its ProbeScript says.
class ScriptedProber final : public IcmpProber {
public:
    explicit ScriptedProber(std::shared_ptr<ProbeScript> script) : script_(std::move(script)) {}

    std::vector<EchoOutcome> probe(const std::vector<std::string>& addresses,
                                   std::chrono::milliseconds /*timeout*/,
                                   std::stop_token stop) override {
        return script_->probe(addresses, stop);
    }

private:
    const std::shared_ptr<ProbeScript> script_;
};

/// What a real prober answered, cycle by cycle, for tests that run the monitor over the
/// system's ICMP echo and must know when a cycle has been evaluated.
class ProbeRecord {
public:
    struct Cycle {
        std::vector<std::string> addresses;
        std::vector<EchoOutcome> outcomes;
    };

    void add(Cycle cycle) {
        std::lock_guard lock(mutex_);
        cycles_.push_back(std::move(cycle));
        changed_.notify_all();
    }

    /// Waits until at least `count` probe calls have returned.
    bool awaitCycles(std::size_t count, std::chrono::milliseconds deadline = kTestDeadline) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [&] { return cycles_.size() >= count; });
    }

    std::vector<Cycle> cycles() const {
        std::lock_guard lock(mutex_);
        return cycles_;
    }

    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return cycles_.size();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Cycle> cycles_;  // Guarded by mutex_.
};

/// Passes every call to another prober and records what it answered.
class RecordingProber final : public IcmpProber {
public:
    RecordingProber(std::unique_ptr<IcmpProber> inner, std::shared_ptr<ProbeRecord> record)
        : inner_(std::move(inner)), record_(std::move(record)) {}

    std::vector<EchoOutcome> probe(const std::vector<std::string>& addresses,
                                   std::chrono::milliseconds timeout,
                                   std::stop_token stop) override {
        std::vector<EchoOutcome> outcomes = inner_->probe(addresses, timeout, stop);
        record_->add({addresses, outcomes});
        return outcomes;
    }

private:
    const std::unique_ptr<IcmpProber> inner_;
    const std::shared_ptr<ProbeRecord> record_;
};

}  // namespace pellan::test
