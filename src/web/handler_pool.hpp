#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pellan {

/// The worker threads on which the HTTP server runs route handlers that may wait (file saves,
/// locks held across file writes, later the audio worker), away from the network threads.
///
/// A task that finds no idle worker starts a new one, up to `maxThreads`; so up to that many
/// handlers can wait at once without delaying a further one. Workers stay until stop().
///
/// Kind: thread owner. start() starts `minThreads` workers, submit() may add more, stop()
///   joins them all.
/// Thread safety: every member may be called from any thread; stop() must not be called from
///   inside a task (it would join its own thread).
/// Errors: an exception escaping a task is reported through `onError` (on the worker thread,
///   no lock held) and the worker goes on.
class HandlerPool {
public:
    using Task = std::function<void()>;
    using ErrorReporter = std::function<void(const std::string&)>;

    HandlerPool(std::string threadName, std::size_t minThreads, std::size_t maxThreads,
                ErrorReporter onError);
    ~HandlerPool();  ///< Calls stop().
    HandlerPool(const HandlerPool&) = delete;
    HandlerPool& operator=(const HandlerPool&) = delete;

    /// Starts the minimum number of workers; nothing after stop().
    void start();
    /// Queues the task; false (and the task dropped unrun) after stop().
    bool submit(Task task);
    /// Idempotent. Tasks still queued are dropped unrun; waits for the running ones to end,
    /// then joins every worker.
    void stop();

    std::size_t threadCount() const;

private:
    void work();
    void runTask(Task& task);
    void report(const std::string& text) const;
    void startWorkerLocked();

    const std::string threadName_;
    const std::size_t minThreads_;
    const std::size_t maxThreads_;
    const ErrorReporter onError_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> queue_;            // Guarded by mutex_.
    std::size_t idle_ = 0;              // Guarded by mutex_: workers waiting for a task.
    bool stopped_ = false;              // Guarded by mutex_.
    std::vector<std::thread> workers_;  // Guarded by mutex_; joined by stop() outside it.
};

}  // namespace pellan
