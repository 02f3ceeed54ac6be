#include "platform/shell.hpp"

#include <gtest/gtest.h>

#include <pthread.h>

#include <chrono>
#include <csignal>
#include <future>
#include <optional>
#include <thread>

namespace pellan {
namespace {

using namespace std::chrono_literals;
constexpr auto kDeadline = 10s;

/// Runs a shell's wait on a thread of its own, as main runs it, with the exit signals held
/// back on that thread only, so a signal sent to it cannot reach the rest of the test program.
class ShellThread {
public:
    explicit ShellThread(Shell& shell) {
        std::promise<bool> created;
        ready_ = created.get_future();
        thread_ = std::thread([this, &shell, created = std::move(created)]() mutable {
            Shell::blockExitSignals();
            const bool ok = shell.create();
            created.set_value(ok);
            if (ok) {
                ended_.set_value(shell.run());
            }
        });
    }
    ~ShellThread() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    ShellThread(const ShellThread&) = delete;
    ShellThread& operator=(const ShellThread&) = delete;

    bool created() {
        return ready_.wait_for(kDeadline) == std::future_status::ready && ready_.get();
    }
    std::optional<Shell::End> end() {
        if (endFuture_.wait_for(kDeadline) != std::future_status::ready) {
            return std::nullopt;
        }
        return endFuture_.get();
    }
    std::thread::id id() const { return thread_.get_id(); }
    pthread_t native() { return thread_.native_handle(); }

private:
    std::future<bool> ready_;
    std::promise<Shell::End> ended_;
    std::future<Shell::End> endFuture_ = ended_.get_future();
    std::thread thread_;
};

TEST(ShellTest, ExitRequestedFromAnotherThreadEndsTheWait) {
    Shell shell({});
    ShellThread main(shell);
    ASSERT_TRUE(main.created());
    std::thread([&shell] { shell.requestExit(); }).join();
    EXPECT_EQ(main.end(), Shell::End::ExitRequested);
}

TEST(ShellTest, OpenUiRequestRunsTheActionOnTheWaitingThread) {
    std::promise<std::thread::id> ranOn;
    Shell* self = nullptr;
    Shell shell([&] {
        ranOn.set_value(std::this_thread::get_id());
        self->requestExit();
    });
    self = &shell;
    ShellThread main(shell);
    ASSERT_TRUE(main.created());
    std::thread([&shell] { shell.requestOpenUi(); }).join();
    auto ran = ranOn.get_future();
    ASSERT_EQ(ran.wait_for(kDeadline), std::future_status::ready);
    EXPECT_EQ(ran.get(), main.id());
    EXPECT_EQ(main.end(), Shell::End::ExitRequested);
}

TEST(ShellTest, EachExitSignalEndsTheWait) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        Shell shell({});
        ShellThread main(shell);
        ASSERT_TRUE(main.created());
        // Sent to that thread alone, where it is held back until the wait reads it.
        ASSERT_EQ(pthread_kill(main.native(), signal), 0);
        EXPECT_EQ(main.end(), Shell::End::ExitSignal);
    }
}

TEST(ShellTest, ExitRequestedBeforeTheWaitEndsItAtOnce) {
    int opened = 0;
    Shell shell([&opened] { ++opened; });
    shell.requestExit();
    shell.requestOpenUi();
    ShellThread main(shell);
    ASSERT_TRUE(main.created());
    EXPECT_EQ(main.end(), Shell::End::ExitRequested);
    EXPECT_EQ(opened, 0);
}

TEST(ShellTest, WaitWithoutCreateFailsAtOnce) {
    Shell shell({});
    EXPECT_EQ(shell.run(), Shell::End::WaitFailed);
    shell.remove();
    shell.remove();
}

}  // namespace
}  // namespace pellan
