// The executable on file systems that refuse writes: read-only and full. Root only: each case
// mounts a small tmpfs in a mount namespace of its own, so nothing outside the test changes.
#include "integration/app_fixture.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

namespace pellan {
namespace {

using namespace std::chrono_literals;
using test::AppHome;

/// Starts the executable inside a private mount namespace after running `prepare` (a shell
/// snippet; $1 is the data home, $2 the executable).
std::unique_ptr<test::ChildProcess> startMounted(const AppHome& home, const std::string& prepare) {
    auto env = test::baseEnvironment({
        {"HOME", (home.dir() / "home").string()},
        {"XDG_DATA_HOME", home.dataHome().string()},
        {"XDG_RUNTIME_DIR", (home.dir() / "runtime").string()},
    });
    env["PATH"] = (home.dir() / "bin").string() + ":" + env["PATH"];
    std::filesystem::create_directories(home.dataHome());
    return std::make_unique<test::ChildProcess>(
        "/usr/bin/unshare",
        std::vector<std::string>{"--mount", "--propagation", "private", "/bin/sh", "-c",
                                 prepare + " && exec \"$2\"", "sh", home.dataHome().string(),
                                 PELLAN_EXECUTABLE},
        env, home.dir() / "app.out", home.dir() / "app.err");
}

class MountedFileSystemTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to mount a private tmpfs";
        }
    }
    /// Waits until the run has begun (the UI was opened, through the stand-in browser outside
    /// the private mount), then stops it.
    static int stopWhenRunning(const AppHome& home, test::ChildProcess& app) {
        // The exit signals are blocked before the UI launcher starts.
        const bool running = test::waitUntil([&] { return !home.opened().empty(); }, 30s);
        if (!running) {
            return -1;
        }
        app.signal(SIGTERM);
        return app.wait(10s).value_or(-1);
    }
};

TEST_F(MountedFileSystemTest, ReadOnlyDataHomeShowsTheTextAndExitsOne) {
    AppHome home;
    auto app = startMounted(home, "mount -t tmpfs -o ro,size=1m tmpfs \"$1\"");
    EXPECT_EQ(app->wait(10s), 1);
    EXPECT_EQ(
        home.stderrOf().rfind("Unable to create the data directory: Read-only file system", 0), 0U)
        << home.stderrOf();
}

TEST_F(MountedFileSystemTest, ReadOnlyExistingDirectoriesStillRunAndStop) {
    AppHome home;
    auto app = startMounted(home, "mount -t tmpfs -o size=1m tmpfs \"$1\" && "
                                  "mkdir -p \"$1/Vantrel/Pellan/data\" \"$1/Vantrel/Pellan/logs\" "
                                  "&& mount -o remount,ro \"$1\"");
    EXPECT_EQ(stopWhenRunning(home, *app), 0) << home.stderrOf();
}

TEST_F(MountedFileSystemTest, FullFileSystemStillRunsAndStops) {
    AppHome home;
    auto app = startMounted(home, "mount -t tmpfs -o size=64k tmpfs \"$1\" && "
                                  "mkdir -p \"$1/Vantrel/Pellan/data\" \"$1/Vantrel/Pellan/logs\" "
                                  "&& { dd if=/dev/zero of=\"$1/fill\" bs=4k 2>/dev/null; true; }");
    EXPECT_EQ(stopWhenRunning(home, *app), 0) << home.stderrOf();
}

}  // namespace
}  // namespace pellan
