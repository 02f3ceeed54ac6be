#include "app/ui_launcher.hpp"

#include "log/logger.hpp"
#include "support/loopback_server.hpp"

#include <gtest/gtest.h>

#include <future>

namespace pellan {
namespace {

using namespace std::chrono_literals;

UiLauncher::Options fastOptions(std::uint16_t port) {
    UiLauncher::Options options;
    options.port = port;
    options.stepTimeout = 200ms;
    options.pause = 5ms;
    return options;
}

std::uint16_t unusedPort() {
    test::LoopbackServer server(test::LoopbackServer::neverAnswer());
    return server.port();
}

TEST(UiLauncherTest, OpensAtOnceWhenTheServerAnswersBelowFiveHundred) {
    for (int status : {200, 404, 499}) {
        test::LoopbackServer server(test::LoopbackServer::answerHttpStatus(status));
        Logger logger;
        std::promise<void> opened;
        UiLauncher launcher(
            logger, [&] { opened.set_value(); }, fastOptions(server.port()));
        launcher.start();
        ASSERT_EQ(opened.get_future().wait_for(5s), std::future_status::ready) << status;
        launcher.stop();
        EXPECT_NE(server.firstRequest().find("GET /api/version"), std::string::npos);
    }
}

TEST(UiLauncherTest, OpensAfterTheLastAttemptWhenNothingIsReady) {
    test::LoopbackServer failing(test::LoopbackServer::answerHttpStatus(500));
    for (std::uint16_t port : {unusedPort(), failing.port()}) {
        Logger logger;
        std::promise<void> opened;
        std::atomic<int> opens{0};
        UiLauncher::Options options = fastOptions(port);
        options.attempts = 5;
        UiLauncher launcher(
            logger,
            [&] {
                if (++opens == 1) {
                    opened.set_value();
                }
            },
            options);
        launcher.start();
        ASSERT_EQ(opened.get_future().wait_for(10s), std::future_status::ready);
        launcher.stop();
        EXPECT_EQ(opens.load(), 1);
    }
}

TEST(UiLauncherTest, StopDuringTheAttemptsEndsWithoutOpening) {
    test::LoopbackServer silent(test::LoopbackServer::neverAnswer());
    Logger logger;
    std::atomic<int> opens{0};
    UiLauncher::Options options = fastOptions(silent.port());
    options.stepTimeout = 60s;
    UiLauncher launcher(
        logger, [&] { ++opens; }, options);
    launcher.start();
    ASSERT_TRUE(silent.waitForConnection());
    launcher.stop();
    launcher.stop();
    EXPECT_EQ(opens.load(), 0);
}

}  // namespace
}  // namespace pellan
