#include "web/handler_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace pellan {
namespace {

using namespace std::chrono_literals;

TEST(HandlerPoolTest, StartsAWorkerForEachTaskThatFindsNoneIdleUpToTheMaximum) {
    HandlerPool pool("test-pool", 1, 4, {});
    pool.start();
    EXPECT_EQ(pool.threadCount(), 1U);

    // Four tasks that wait for each other: they can only all run when four workers exist.
    std::atomic<int> running{0};
    std::promise<void> allRunning;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::vector<std::future<void>> done;
    for (int i = 0; i < 4; ++i) {
        auto finished = std::make_shared<std::promise<void>>();
        done.push_back(finished->get_future());
        ASSERT_TRUE(pool.submit([&running, &allRunning, released, finished] {
            if (++running == 4) {
                allRunning.set_value();
            }
            released.wait_for(10s);
            finished->set_value();
        }));
    }
    // A fifth task waits for a free worker: the maximum holds.
    std::promise<void> fifthRan;
    auto fifth = fifthRan.get_future();
    ASSERT_TRUE(pool.submit([&fifthRan] { fifthRan.set_value(); }));

    ASSERT_EQ(allRunning.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(pool.threadCount(), 4U);
    EXPECT_EQ(fifth.wait_for(50ms), std::future_status::timeout);

    release.set_value();
    for (auto& future : done) {
        EXPECT_EQ(future.wait_for(5s), std::future_status::ready);
    }
    EXPECT_EQ(fifth.wait_for(5s), std::future_status::ready);
    pool.stop();
}

TEST(HandlerPoolTest, StopWaitsForRunningTasksAndDropsQueuedOnes) {
    HandlerPool pool("test-pool", 1, 1, {});
    pool.start();
    std::promise<void> started;
    std::promise<void> release;
    auto releaseFuture = release.get_future();
    std::atomic<bool> firstEnded{false};
    ASSERT_TRUE(pool.submit([&] {
        started.set_value();
        releaseFuture.wait_for(10s);
        firstEnded = true;
    }));
    // Owned by the queued task: dropping it must destroy what it holds.
    auto owned = std::make_shared<int>(0);
    std::weak_ptr<int> watch = owned;
    std::atomic<bool> secondRan{false};
    ASSERT_TRUE(pool.submit([owned = std::move(owned), &secondRan] { secondRan = true; }));
    ASSERT_EQ(started.get_future().wait_for(5s), std::future_status::ready);

    auto stopped = std::async(std::launch::async, [&pool] { pool.stop(); });
    EXPECT_EQ(stopped.wait_for(100ms), std::future_status::timeout);
    release.set_value();
    ASSERT_EQ(stopped.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(firstEnded);
    EXPECT_FALSE(secondRan);
    EXPECT_TRUE(watch.expired());
    EXPECT_FALSE(pool.submit([] {}));
    pool.stop();  // Idempotent.
}

TEST(HandlerPoolTest, ReportsATaskThatThrowsAndGoesOn) {
    std::promise<std::string> reported;
    HandlerPool pool("test-pool", 1, 1,
                     [&reported](const std::string& text) { reported.set_value(text); });
    pool.start();
    ASSERT_TRUE(pool.submit([] { throw std::runtime_error("boom"); }));
    auto report = reported.get_future();
    ASSERT_EQ(report.wait_for(5s), std::future_status::ready);
    EXPECT_NE(report.get().find("boom"), std::string::npos);

    std::promise<void> ran;
    ASSERT_TRUE(pool.submit([&ran] { ran.set_value(); }));
    EXPECT_EQ(ran.get_future().wait_for(5s), std::future_status::ready);
}

}  // namespace
}  // namespace pellan
