// The real executable, started in a private home: start-up, restore and shut-down as a user
// sees them in the log, on the exit code and on standard error.
#include "integration/app_fixture.hpp"
#include "platform/single_instance.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <regex>
#include <unistd.h>

namespace pellan {
namespace {

using namespace std::chrono_literals;
using test::AppHome;
using test::readFile;
using test::writeFile;

/// The messages of the log, in order, without timestamps.
std::vector<std::string> logMessages(const std::string& log) {
    std::vector<std::string> messages;
    const std::regex line(R"(\(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\) (\[[a-z]+\] .*))");
    std::size_t start = 0;
    while (start < log.size()) {
        const std::size_t end = log.find('\n', start);
        const std::string text = log.substr(start, end - start);
        std::smatch match;
        if (std::regex_match(text, match, line)) {
            messages.push_back(match[1]);
        }
        start = end == std::string::npos ? log.size() : end + 1;
    }
    return messages;
}

TEST(StartupTest, FreshHomeRunsAndStopsCleanlyWithTheLinesInOrder) {
    AppHome home;
    ASSERT_EQ(test::runOnce(home), 0) << home.stderrOf();
    EXPECT_TRUE(std::filesystem::is_directory(home.dataDir()));
    EXPECT_TRUE(std::filesystem::is_directory(home.base() / "logs"));
    const std::vector<std::string> expected = {
        "[settings] App settings updated: AutoMonitor: false AppLocked: false "
        "MonitoredDeviceOfflineIndicationEnabled: true NetworkInterface:  LineInIndex: -1 "
        "SpeakerOutIndex: -1 HelpGpioHost:  HelpGpioPhys: -1",
        "[settings] Restored devices from devices_state.json (0)",
        "[settings] Restored groups from groups_state.json (0)",
        "[application] Vantrel Pellan started. Use the tray icon to open or exit the "
        "application.",
        "[application] Vantrel Pellan shutdown requested",
        "[application] Vantrel Pellan stopped",
    };
    std::vector<std::string> messages = logMessages(home.log());
    // The interface label depends on the machine's adapters.
    ASSERT_FALSE(messages.empty());
    messages[0] = std::regex_replace(messages[0], std::regex("NetworkInterface: [^L]*LineIn"),
                                     "NetworkInterface:  LineIn");
    // The servers' threads log their own lines (listening, ...) at moments of their own; the
    // lines of the start-up and shut-down sequence must come in this order.
    auto next = messages.begin();
    for (const std::string& line : expected) {
        next = std::find(next, messages.end(), line);
        ASSERT_NE(next, messages.end()) << "missing or out of order: " << line << "\n"
                                        << home.log();
    }
    EXPECT_EQ(messages.back(), "[application] Vantrel Pellan stopped");
    // Restoring reads the files; it never writes them.
    EXPECT_TRUE(std::filesystem::is_empty(home.dataDir()));
}

TEST(StartupTest, EverySignalOfTheSessionEndCountsAsExit) {
    for (int signalNumber : {SIGINT, SIGHUP}) {
        AppHome home;
        auto app = home.start();
        ASSERT_TRUE(home.waitStarted());
        app->signal(signalNumber);
        EXPECT_EQ(app->wait(10s), 0) << signalNumber;
        EXPECT_NE(home.log().find("Vantrel Pellan stopped"), std::string::npos);
    }
}

TEST(StartupTest, SecondStartOpensTheUiAndLeavesTheFirstAlone) {
    AppHome home;
    auto first = home.start("first");
    ASSERT_TRUE(home.waitStarted());
    // The first instance opens the UI itself as soon as its server answers.
    ASSERT_TRUE(test::waitUntil([&] { return !home.opened().empty(); }, 10s));
    EXPECT_EQ(home.opened(), "http://localhost:8000/\n");
    const std::string logBefore = home.log();

    const auto started = std::chrono::steady_clock::now();
    auto second = home.start("second");
    EXPECT_EQ(second->wait(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    EXPECT_TRUE(test::waitUntil(
        [&] { return home.opened() == "http://localhost:8000/\nhttp://localhost:8000/\n"; }, 5s))
        << home.opened();
    EXPECT_EQ(home.log(), logBefore);

    first->signal(SIGTERM);
    EXPECT_EQ(first->wait(10s), 0);
}

TEST(StartupTest, TwoStartsAtTheSameInstantRunExactlyOne) {
    AppHome home;
    auto a = home.start("a");
    auto b = home.start("b");
    ASSERT_TRUE(home.waitStarted());
    // One of them exits at once; the other runs until told to stop.
    std::optional<int> aEnded = a->wait(3s);
    std::optional<int> bEnded = b->wait(aEnded ? 100ms : 3s);
    ASSERT_NE(aEnded.has_value(), bEnded.has_value());
    EXPECT_EQ(aEnded.value_or(bEnded.value_or(-1)), 0);
    a->signal(SIGTERM);
    b->signal(SIGTERM);
    EXPECT_EQ(a->wait(10s), 0);
    EXPECT_EQ(b->wait(10s), 0);
    const std::string log = home.log();
    std::size_t starts = 0;
    for (std::size_t at = log.find("Vantrel Pellan started."); at != std::string::npos;
         at = log.find("Vantrel Pellan started.", at + 1)) {
        ++starts;
    }
    EXPECT_EQ(starts, 1U);
}

TEST(StartupTest, TheLogOfAnEarlierRunIsContinued) {
    AppHome home;
    ASSERT_EQ(test::runOnce(home), 0);
    ASSERT_EQ(test::runOnce(home), 0);
    const auto messages = logMessages(home.log());
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "[application] Vantrel Pellan stopped"),
              2);
}

TEST(StartupTest, UnusableDataHomeShowsTheTextAndExitsOne) {
    AppHome home;
    writeFile(home.dir() / "not-a-dir", "");
    auto app = home.start("app", home.dir() / "not-a-dir");
    EXPECT_EQ(app->wait(10s), 1);
    EXPECT_EQ(home.stderrOf().rfind("Unable to create the data directory: ", 0), 0U)
        << home.stderrOf();
}

TEST(StartupTest, InstanceLockThatCannotBeCreatedExitsOneSaysWhyAndTouchesNothing) {
    AppHome home;
    const auto base = home.dataHome() / "Vantrel" / "Pellan";
    std::filesystem::create_directories(base / "Vantrel_Pellan_SingleInstance.lock");
    auto app = home.start();
    EXPECT_EQ(app->wait(10s), 1);
    EXPECT_EQ(home.stderrOf().rfind("Unable to create the single-instance lock ", 0), 0U)
        << home.stderrOf();
    EXPECT_FALSE(std::filesystem::exists(base / "data"));
    EXPECT_FALSE(std::filesystem::exists(base / "logs"));
}

TEST(StartupTest, LogFileThatCannotBeOpenedOnlyDisablesTheFile) {
    AppHome home;
    std::filesystem::create_directories(home.logFile());  // A directory in its place.
    auto app = home.start();
    // Nothing reaches a file; the held instance lock shows that the run has begun.
    ASSERT_TRUE(test::waitUntil(
        [&] {
            SingleInstance probe;
            return probe.acquire(home.dataHome() / "Vantrel" / "Pellan") ==
                   SingleInstance::Result::AlreadyRunning;
        },
        10s));
    app->signal(SIGTERM);
    EXPECT_EQ(app->wait(10s), 0) << home.stderrOf();
}

}  // namespace
}  // namespace pellan
