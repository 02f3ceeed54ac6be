#include "platform/app_paths.hpp"
#include "platform/single_instance.hpp"

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace pellan {
namespace {

using test::TempDir;

/// Sets environment variables for one test and puts the old values back.
class ScopedEnvironment {
public:
    void set(const char* name, const std::optional<std::string>& value) {
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        apply(name, value);
    }
    ~ScopedEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            apply(it->first.c_str(), it->second);
        }
    }

private:
    static void apply(const char* name, const std::optional<std::string>& value) {
        if (value) {
            setenv(name, value->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(AppPathsTest, CreatesDataAndLogsUnderTheUsersDataHome) {
    TempDir home;
    ScopedEnvironment env;
    env.set("XDG_DATA_HOME", std::nullopt);
    env.set("HOME", home.path().string());
    const AppPaths paths = computeAppPaths();
    const auto base = home.path() / ".local" / "share" / "Vantrel" / "Pellan";
    EXPECT_EQ(paths.dataDir, base / "data");
    EXPECT_EQ(paths.logsDir, base / "logs");
    EXPECT_TRUE(std::filesystem::is_directory(paths.dataDir));
    EXPECT_TRUE(std::filesystem::is_directory(paths.logsDir));
    EXPECT_EQ(paths.appSettingsFile, base / "data" / "app_settings.json");
    EXPECT_EQ(paths.devicesStateFile, base / "data" / "devices_state.json");
    EXPECT_EQ(paths.groupsStateFile, base / "data" / "groups_state.json");
    EXPECT_EQ(paths.tileSettingsFile, base / "data" / "device-tile-settings.json");
    EXPECT_EQ(paths.logFile, base / "logs" / "Vantrel_Pellan_log.log");
    EXPECT_EQ(paths.oldLogFile, base / "logs" / "Vantrel_Pellan_log_old.log");
    EXPECT_EQ(paths.uiRoot, paths.exeDir / "Vantrel_Pellan_UI");
    EXPECT_TRUE(std::filesystem::exists(paths.exeDir / "platform_tests"));
}

TEST(AppPathsTest, XdgDataHomeWinsWhenAbsolute) {
    TempDir home;
    TempDir dataHome;
    ScopedEnvironment env;
    env.set("HOME", home.path().string());
    env.set("XDG_DATA_HOME", dataHome.path().string());
    EXPECT_EQ(computeAppPaths().dataDir, dataHome.path() / "Vantrel" / "Pellan" / "data");
    env.set("XDG_DATA_HOME", "relative/dir");
    EXPECT_EQ(computeAppPaths().dataDir,
              home.path() / ".local" / "share" / "Vantrel" / "Pellan" / "data");
}

TEST(AppPathsTest, FailuresCarryTheUsersText) {
    TempDir home;
    ScopedEnvironment env;
    env.set("XDG_DATA_HOME", std::nullopt);
    env.set("HOME", std::nullopt);
    EXPECT_THROW(
        {
            try {
                computeAppPaths();
            } catch (const std::runtime_error& error) {
                EXPECT_STREQ(error.what(), "Unable to determine the LocalAppData directory");
                throw;
            }
        },
        std::runtime_error);

    // A file where the base directory belongs: nothing can be created below it.
    test::writeFile(home / "blocked", "not a directory");
    env.set("XDG_DATA_HOME", (home / "blocked").string());
    try {
        computeAppPaths();
        FAIL() << "expected an error";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("Unable to create the data directory: ", 0), 0U)
            << error.what();
    }

    // The data directory can be made but a file stands where the logs belong.
    std::filesystem::create_directories(home / "share" / "Vantrel" / "Pellan");
    test::writeFile(home / "share" / "Vantrel" / "Pellan" / "logs", "");
    env.set("XDG_DATA_HOME", (home / "share").string());
    try {
        computeAppPaths();
        FAIL() << "expected an error";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("Unable to create the logs directory: ", 0), 0U)
            << error.what();
    }
}

TEST(SingleInstanceTest, SecondHolderIsToldAnotherInstanceRuns) {
    TempDir dir;
    SingleInstance first;
    SingleInstance second;
    ASSERT_EQ(first.acquire(dir.path()), SingleInstance::Result::Acquired);
    EXPECT_EQ(second.acquire(dir.path()), SingleInstance::Result::AlreadyRunning);
    first.release();
    EXPECT_EQ(second.acquire(dir.path()), SingleInstance::Result::Acquired);
}

TEST(SingleInstanceTest, UncreatableLockFileFails) {
    TempDir dir;
    test::writeFile(dir / "file", "");
    SingleInstance instance;
    EXPECT_EQ(instance.acquire(dir / "file" / "sub"), SingleInstance::Result::Failed);
}

TEST(SingleInstanceTest, SameDataTakesTheSameLockWithOrWithoutARuntimeDirectory) {
    TempDir dir;
    ScopedEnvironment env;
    env.set("XDG_DATA_HOME", (dir / "share").string());
    env.set("XDG_RUNTIME_DIR", (dir / "runtime").string());
    std::filesystem::create_directories(dir / "runtime");
    SingleInstance fromDesktop;
    ASSERT_EQ(fromDesktop.acquire(), SingleInstance::Result::Acquired);

    env.set("XDG_RUNTIME_DIR", std::nullopt);
    SingleInstance fromShell;
    EXPECT_EQ(fromShell.acquire(), SingleInstance::Result::AlreadyRunning);

    const auto base = dir / "share" / "Vantrel" / "Pellan";
    EXPECT_EQ(SingleInstance::defaultLockDirectory(), base);
    EXPECT_TRUE(std::filesystem::exists(base / "Vantrel_Pellan_SingleInstance.lock"));
    EXPECT_TRUE(std::filesystem::is_empty(dir / "runtime"));
    fromDesktop.release();
    EXPECT_EQ(fromShell.acquire(), SingleInstance::Result::Acquired);
}

TEST(SingleInstanceTest, LockThatCannotBeCreatedFailsWithTheReason) {
    // Made with files in the way rather than permissions: the tests also run as root.
    struct Case {
        const char* name;
        void (*prepare)(const std::filesystem::path& lockDirectory);
        const char* reasonStart;
    };
    const Case cases[] = {
        {"a file where a parent directory belongs",
         [](const std::filesystem::path& lockDirectory) {
             std::filesystem::create_directories(lockDirectory.parent_path().parent_path());
             test::writeFile(lockDirectory.parent_path(), "");
         },
         "Unable to create the data directory: "},
        {"a directory where the lock file belongs",
         [](const std::filesystem::path& lockDirectory) {
             std::filesystem::create_directories(lockDirectory /
                                                 "Vantrel_Pellan_SingleInstance.lock");
         },
         "Unable to create the single-instance lock "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto lockDirectory = dir / "a" / "b";
        c.prepare(lockDirectory);
        SingleInstance instance;
        EXPECT_EQ(instance.acquire(lockDirectory), SingleInstance::Result::Failed);
        EXPECT_EQ(instance.failureReason().rfind(c.reasonStart, 0), 0U) << instance.failureReason();
    }
}

TEST(SingleInstanceTest, UnknownDataDirectoryFailsWithTheReason) {
    ScopedEnvironment env;
    env.set("XDG_DATA_HOME", std::nullopt);
    env.set("HOME", std::nullopt);
    SingleInstance instance;
    EXPECT_EQ(instance.acquire(), SingleInstance::Result::Failed);
    EXPECT_EQ(instance.failureReason(), "Unable to determine the LocalAppData directory");
}

}  // namespace
}  // namespace pellan
