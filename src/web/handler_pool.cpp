#include "web/handler_pool.hpp"

#include "platform/thread_name.hpp"

#include <algorithm>
#include <exception>
#include <utility>

namespace pellan {

HandlerPool::HandlerPool(std::string threadName, std::size_t minThreads, std::size_t maxThreads,
                         ErrorReporter onError)
    : threadName_(std::move(threadName)), minThreads_(std::max<std::size_t>(minThreads, 1)),
      maxThreads_(std::max(maxThreads, std::max<std::size_t>(minThreads, 1))),
      onError_(std::move(onError)) {}

HandlerPool::~HandlerPool() {
    stop();
}

void HandlerPool::start() {
    std::lock_guard lock(mutex_);
    while (!stopped_ && workers_.size() < minThreads_) {
        startWorkerLocked();
    }
}

bool HandlerPool::submit(Task task) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) {
            return false;
        }
        queue_.push_back(std::move(task));
        if (queue_.size() > idle_ && workers_.size() < maxThreads_) {
            startWorkerLocked();
        }
    }
    wake_.notify_one();
    return true;
}

void HandlerPool::stop() {
    std::vector<std::thread> workers;
    std::deque<Task> dropped;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        workers.swap(workers_);
        dropped.swap(queue_);
    }
    wake_.notify_all();
    // Dropped tasks are destroyed here, outside the lock: they may own connections.
    dropped.clear();
    for (std::thread& worker : workers) {
        if (worker.joinable()) {
            worker.join();
        }
    }
}

std::size_t HandlerPool::threadCount() const {
    std::lock_guard lock(mutex_);
    return workers_.size();
}

void HandlerPool::startWorkerLocked() {
    workers_.emplace_back([this] { work(); });
}

void HandlerPool::work() {
    try {
        setCurrentThreadName(threadName_);
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            // Woken by submit() or stop(); an idle worker has nothing else to wait for.
            wake_.wait(lock, [this] { return stopped_ || !queue_.empty(); });
            --idle_;
            if (stopped_) {
                return;
            }
            Task task = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            runTask(task);
            task = nullptr;  // Whatever the task owned goes before the lock is taken again.
            lock.lock();
        }
    } catch (const std::exception& error) {
        report(std::string("HTTP handler worker ended: ") + error.what());
    } catch (...) {
        report("HTTP handler worker ended: unknown exception");
    }
}

void HandlerPool::runTask(Task& task) {
    try {
        task();
    } catch (const std::exception& error) {
        report(std::string("HTTP handler task failed: ") + error.what());
    } catch (...) {
        report("HTTP handler task failed: unknown exception");
    }
}

void HandlerPool::report(const std::string& text) const {
    if (onError_) {
        onError_(text);
    }
}

}  // namespace pellan
