#include "storage/json_state_file.hpp"

#include "storage/app_settings_store.hpp"
#include "storage/device_tile_settings_manager.hpp"
#include "storage/devices_state_store.hpp"
#include "storage/groups_state_store.hpp"
#include "storage_test_support.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <latch>
#include <poll.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace pellan {
namespace {

namespace fs = std::filesystem;
using test::directoryEntries;
using test::quotedPath;
using test::readFile;
using test::StderrCapture;
using test::TempDir;
using test::tmpPathOf;
using test::writeFile;

// ---------------------------------------------------------------------------------------------
// What every store shares: its load-failure line, its save-failure lines, the ".tmp" handling.

struct StoreKind {
    std::string name;
    std::string fileName;
    std::function<void(const fs::path&)> open;  ///< Constructs the store, which loads the file.
    std::function<bool(const fs::path&)> save;  ///< Constructs the store and saves one change.
    bool tileWording;
};

std::vector<StoreKind> allStores() {
    return {
        {"AppSettingsStore", "app_settings.json",
         [](const fs::path& path) { AppSettingsStore store(path); },
         [](const fs::path& path) {
             AppSettingsStore store(path);
             AppSettings settings;
             settings.appLocked = true;
             return store.saveAppSettings(settings);
         },
         false},
        {"DevicesStateStore", "devices_state.json",
         [](const fs::path& path) { DevicesStateStore store(path); },
         [](const fs::path& path) {
             DevicesStateStore store(path);
             return store.saveDevices(test::makeDevices(2, "s"));
         },
         false},
        {"GroupsStateStore", "groups_state.json",
         [](const fs::path& path) { GroupsStateStore store(path); },
         [](const fs::path& path) {
             GroupsStateStore store(path);
             return store.saveGroups(GroupsState{{"A"}, {{"A", {"h1"}}}});
         },
         false},
        {"DeviceTileSettingsManager", "device-tile-settings.json",
         [](const fs::path& path) { DeviceTileSettingsManager store(path); },
         [](const fs::path& path) {
             DeviceTileSettingsManager store(path);
             return store.setMonitoringDisplayFields({{"ip", false}});
         },
         true},
    };
}

class EveryStoreTest : public ::testing::TestWithParam<StoreKind> {
protected:
    TempDir dir;
    fs::path path = dir / GetParam().fileName;
};

TEST_P(EveryStoreTest, InvalidFileGivesOneFailedToLoadLineWithItsName) {
    writeFile(path, "{\"version\": 1,");
    StderrCapture capture;
    GetParam().open(path);
    const std::string text = capture.take();
    const std::string prefix = GetParam().name + ": failed to load " + quotedPath(path) + " : ";
    EXPECT_EQ(text.rfind(prefix, 0), 0U) << text;
    EXPECT_GT(text.size(), prefix.size() + 1) << "the parser's reason follows";
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "exactly one line: " << text;
    EXPECT_EQ(readFile(path), "{\"version\": 1,") << "loading never rewrites the file";
}

TEST_P(EveryStoreTest, TemporaryFileThatCannotBeCreatedLeavesTheFileUntouched) {
    writeFile(path, "{}");
    // A directory where the temporary file belongs: neither removable nor openable, even as
    // root.
    fs::create_directories(tmpPathOf(path) / "inside");
    StderrCapture capture;
    EXPECT_FALSE(GetParam().save(path));
    const std::string expected =
        GetParam().tileWording
            ? GetParam().name + ": failed to open temporary file:" + quotedPath(tmpPathOf(path)) +
                  " for write\n"
            : GetParam().name + ": Failed to open temporary file: " + quotedPath(tmpPathOf(path)) +
                  "\n";
    EXPECT_EQ(capture.take(), expected);
    EXPECT_EQ(readFile(path), "{}");
}

TEST_P(EveryStoreTest, SuccessfulSaveLeavesOnlyTheFile) {
    StderrCapture capture;
    EXPECT_TRUE(GetParam().save(path));
    EXPECT_EQ(capture.take(), "");
    EXPECT_EQ(directoryEntries(dir.path()), std::set<std::string>{GetParam().fileName});
    EXPECT_TRUE(nlohmann::json::parse(readFile(path)).is_object());
}

TEST_P(EveryStoreTest, StaleTemporaryFileIsNeverReadAndIsReplacedBySave) {
    writeFile(tmpPathOf(path), "{\"garbage\": ");
    {
        StderrCapture capture;
        GetParam().open(path);
        EXPECT_EQ(capture.take(), "") << "a missing real file is not an error, the .tmp is unread";
    }
    EXPECT_TRUE(GetParam().save(path));
    EXPECT_EQ(directoryEntries(dir.path()), std::set<std::string>{GetParam().fileName});
    EXPECT_FALSE(nlohmann::json::parse(readFile(path)).contains("garbage"));
}

INSTANTIATE_TEST_SUITE_P(Stores, EveryStoreTest, ::testing::ValuesIn(allStores()),
                         [](const auto& kind) { return kind.param.name; });

// ---------------------------------------------------------------------------------------------
// Hostile and broken files, through the devices store.

class DevicesFileTest : public ::testing::Test {
protected:
    /// Loads the file through a fresh store and returns what the construction wrote to stderr.
    std::string loadErrors(std::vector<DeviceEntry>* devices = nullptr) {
        StderrCapture capture;
        DevicesStateStore store(path);
        std::string text = capture.take();
        StderrCapture again;
        auto loaded = store.loadDevices();
        again.take();
        if (devices != nullptr) {
            *devices = std::move(loaded);
        }
        return text;
    }

    std::string failedToLoad() const {
        return "DevicesStateStore: failed to load " + quotedPath(path) + " : ";
    }

    TempDir dir;
    fs::path path = dir / "devices_state.json";
};

std::string nested(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

TEST_F(DevicesFileTest, BrokenOrHostileFileIsReportedAndGivesNoDevices) {
    struct Case {
        std::string what;
        std::string content;
        std::string reason;  ///< Empty: any reason of the parser.
    };
    const std::string device = R"({"hostname": "TRQ-PN1-01"})";
    const std::vector<Case> cases = {
        {"empty file", "", ""},
        {"truncated in the middle", R"({"version": 1, "devices": [{"hostname": "TRQ-)", ""},
        {"invalid UTF-8 in a string", "{\"devices\": [{\"hostname\": \"\xff\xfe\"}]}", ""},
        {"Latin-1 outside strings", "{\"devices\": [\xe9]}", ""},
        {"a comment", "{/* note */ \"devices\": [" + device + "]}", ""},
        {"trailing data", "{\"devices\": [" + device + "]} {}", ""},
        {"10,000 levels deep", "{\"devices\": [" + device + "], \"x\": " + nested(10000) + "}",
         "nested deeper than 512 levels"},
        {"10,000 levels deep and unclosed", std::string(10000, '{'),
         "nested deeper than 512 levels"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(path, c.content);
        std::vector<DeviceEntry> devices;
        const std::string text = loadErrors(&devices);
        EXPECT_EQ(text.rfind(failedToLoad(), 0), 0U) << text;
        if (!c.reason.empty()) {
            EXPECT_EQ(text, failedToLoad() + c.reason + "\n");
        }
        EXPECT_TRUE(devices.empty());
        EXPECT_EQ(readFile(path), c.content);
    }
}

TEST_F(DevicesFileTest, TopLevelValueThatIsNotAnObjectIsSilentlyLikeNoFile) {
    for (const std::string content :
         {R"([{"hostname": "TRQ-PN1-01"}])", R"("devices")", "42", "null"}) {
        SCOPED_TRACE(content);
        writeFile(path, content);
        std::vector<DeviceEntry> devices;
        EXPECT_EQ(loadErrors(&devices), "");
        EXPECT_TRUE(devices.empty());
    }
}

TEST_F(DevicesFileTest, NestingUpToTheLimitLoadsAndSavesBackOneMoreLevelIsRefused) {
    const std::size_t limit = JsonStateFile::kMaxNestingDepth;
    // The top-level object is one level.
    writeFile(path, R"({"devices": [{"hostname": "a"}], "x": )" + nested(limit - 1) + "}");
    {
        StderrCapture capture;
        DevicesStateStore store(path);
        EXPECT_EQ(store.loadDevices().size(), 1U);
        EXPECT_TRUE(store.saveDevices(store.loadDevices()));
        EXPECT_EQ(capture.take(), "");
    }
    const auto saved = nlohmann::json::parse(readFile(path));
    EXPECT_EQ(saved["x"], nlohmann::json::parse(nested(limit - 1)));

    writeFile(path, R"({"devices": [{"hostname": "a"}], "x": )" + nested(limit) + "}");
    EXPECT_EQ(loadErrors(), failedToLoad() + "nested deeper than 512 levels\n");
}

TEST_F(DevicesFileTest, BracketsInsideStringsDoNotCountAsNesting) {
    // Escaped quotes must not end the string early and let its brackets count.
    const std::string name = "a\\\"" + std::string(1000, '[') + "\\\\" + std::string(1000, '{');
    writeFile(path, R"({"devices": [{"hostname": ")" + name + R"("}]})");
    std::vector<DeviceEntry> devices;
    EXPECT_EQ(loadErrors(&devices), "");
    ASSERT_EQ(devices.size(), 1U);
    EXPECT_EQ(devices[0].hostname, "a\"" + std::string(1000, '[') + "\\" + std::string(1000, '{'));
}

TEST_F(DevicesFileTest, TenMegabyteFileLoadsAndItsExtraContentSurvivesASave) {
    const std::string filler(std::size_t{10} * 1024 * 1024, 'x');
    writeFile(path, R"({"devices": [{"hostname": "TRQ-PN1-01"}], "filler": ")" + filler + "\"}");
    StderrCapture capture;
    DevicesStateStore store(path);
    EXPECT_EQ(store.loadDevices().size(), 1U);
    EXPECT_TRUE(store.saveDevices(test::makeDevices(3, "a")));
    EXPECT_EQ(capture.take(), "");
    EXPECT_EQ(nlohmann::json::parse(readFile(path))["filler"], filler);
}

TEST_F(DevicesFileTest, FileLargerThanTheBoundIsRefused) {
    writeFile(path, "{}" + std::string(JsonStateFile::kMaxFileBytes - 1, ' '));
    EXPECT_EQ(loadErrors(), failedToLoad() + "larger than 16777216 bytes\n");
}

TEST_F(DevicesFileTest, DirectoryInPlaceOfTheFileIsReported) {
    fs::create_directory(path);
    EXPECT_EQ(loadErrors(), failedToLoad() + "not a regular file\n");
}

// ---------------------------------------------------------------------------------------------
// Saves that fail at each step.

TEST_F(DevicesFileTest, SaveWhereTheDirectoryCannotExistReportsTheTemporaryPath) {
    writeFile(dir / "plain-file", "");
    for (const fs::path& target :
         {dir / "missing" / "devices_state.json", dir / "plain-file" / "devices_state.json"}) {
        SCOPED_TRACE(target);
        StderrCapture capture;
        DevicesStateStore store(target);
        EXPECT_FALSE(store.saveDevices(test::makeDevices(1, "a")));
        EXPECT_EQ(capture.take(), "DevicesStateStore: Failed to open temporary file: " +
                                      quotedPath(tmpPathOf(target)) + "\n");
    }
    EXPECT_EQ(directoryEntries(dir.path()), std::set<std::string>{"plain-file"});
}

TEST_F(DevicesFileTest, PathsInMessagesAreQuotedWithEscapes) {
    const fs::path target = dir / "we\"ird\\dir" / "devices_state.json";
    StderrCapture capture;
    DevicesStateStore store(target);
    store.saveDevices({});
    EXPECT_EQ(capture.take(), "DevicesStateStore: Failed to open temporary file: \"" +
                                  dir.path().string() +
                                  "/we\\\"ird\\\\dir/devices_state.json.tmp\"\n");
}

TEST_F(DevicesFileTest, FailedRenameReportsTheOsReasonAndKeepsTheTemporaryFile) {
    fs::create_directories(path / "occupied");
    StderrCapture capture;
    DevicesStateStore store(path);
    capture.take();
    StderrCapture saveCapture;
    EXPECT_FALSE(store.saveDevices(test::makeDevices(1, "a")));
    EXPECT_EQ(saveCapture.take(),
              "DevicesStateStore: Failed to replace " + quotedPath(path) + ": Is a directory\n");
    EXPECT_TRUE(fs::is_directory(path / "occupied"));
    EXPECT_EQ(nlohmann::json::parse(readFile(tmpPathOf(path)))["devices"].size(), 1U);
}

TEST_F(DevicesFileTest, FailedWriteLeavesTheFileUntouched) {
    DevicesStateStore(path).saveDevices(test::makeDevices(1, "old"));
    const std::string before = readFile(path);
    const fs::path errors = dir / "child-stderr";
    // A file size limit makes the kernel refuse the write part way through (even for root).
    const pid_t child = test::forkChild([&] {
        const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || ::dup2(fd, STDERR_FILENO) < 0) {
            return 2;
        }
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{8192, 8192};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return 3;
        }
        DevicesStateStore store(path);
        return store.saveDevices(test::makeDevices(200, "new")) ? 1 : 0;
    });
    ASSERT_EQ(test::waitChild(child), 0);
    EXPECT_EQ(readFile(errors), "DevicesStateStore: Failed to write temporary file: " +
                                    quotedPath(tmpPathOf(path)) + "\n");
    EXPECT_EQ(readFile(path), before);
}

TEST_F(DevicesFileTest, DocumentThatCannotBeSerialisedLeavesTheFileUntouched) {
    DevicesStateStore store(path);
    store.saveDevices(test::makeDevices(1, "old"));
    const std::string before = readFile(path);
    auto devices = test::makeDevices(1, "new");
    devices[0].friendlyName = "Studio \xff";
    StderrCapture capture;
    EXPECT_FALSE(store.saveDevices(devices));
    const std::string text = capture.take();
    const std::string prefix = "DevicesStateStore: Failed to save " + quotedPath(path) + " : ";
    EXPECT_EQ(text.rfind(prefix, 0), 0U) << text;
    EXPECT_NE(text.find("UTF-8"), std::string::npos) << text;
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(directoryEntries(dir.path()), std::set<std::string>{"devices_state.json"});
}

TEST_F(DevicesFileTest, StaleTemporaryLinkIsReplacedNotWrittenThrough) {
    const fs::path elsewhere = dir / "elsewhere.json";
    writeFile(elsewhere, "keep me");
    fs::create_symlink(elsewhere, tmpPathOf(path));
    EXPECT_TRUE(DevicesStateStore(path).saveDevices(test::makeDevices(1, "a")));
    EXPECT_EQ(readFile(elsewhere), "keep me");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(tmpPathOf(path))));
}

// ---------------------------------------------------------------------------------------------
// Crash safety and concurrency.

/// The bytes a save of `devices` into a fresh file writes.
std::string savedBytes(const fs::path& directory, const std::vector<DeviceEntry>& devices) {
    const fs::path scratch = directory / "scratch.json";
    DevicesStateStore(scratch).saveDevices(devices);
    std::string bytes = readFile(scratch);
    fs::remove(scratch);
    return bytes;
}

TEST_F(DevicesFileTest, SaverKilledAtAnyMomentLeavesTheOldOrTheNewFile) {
    const auto small = test::makeDevices(3, "small");
    const auto large = test::makeDevices(400, "large");
    const std::string smallBytes = savedBytes(dir.path(), small);
    const std::string largeBytes = savedBytes(dir.path(), large);
    ASSERT_TRUE(DevicesStateStore(path).saveDevices(small));

    std::mt19937 random(20240611);
    constexpr int kKills = 50;
    int killedMidway = 0;
    for (int round = 0; round < kKills; ++round) {
        int progress[2];
        ASSERT_EQ(::pipe(progress), 0);
        const pid_t child = test::forkChild([&] {
            ::close(progress[0]);
            DevicesStateStore store(path);
            for (unsigned i = 0;; ++i) {
                store.saveDevices(i % 2 == 0 ? large : small);
                const char done = 1;
                if (::write(progress[1], &done, 1) != 1) {
                    return 1;  // The test is gone.
                }
            }
        });
        ::close(progress[1]);
        // Let the child complete a few saves, timing each, then kill it at a random point of
        // the next one (timed by the last save of the same document): during the
        // serialisation, the writes, the syncs or the rename.
        const int savesBeforeKill = 3 + round % 2;
        bool childSaved = true;
        auto lastSave = std::chrono::steady_clock::now();
        std::vector<std::chrono::steady_clock::duration> durations;
        for (int i = 0; i < savesBeforeKill && childSaved; ++i) {
            pollfd ready{progress[0], POLLIN, 0};
            char byte = 0;
            childSaved = ::poll(&ready, 1, 10000) == 1 && ::read(progress[0], &byte, 1) == 1;
            const auto now = std::chrono::steady_clock::now();
            durations.push_back(now - lastSave);
            lastSave = now;
        }
        if (!childSaved) {
            ::kill(child, SIGKILL);
            test::waitChild(child);
            ::close(progress[0]);
            FAIL() << "the saving child made no progress in round " << round;
        }
        const auto cycle = durations[durations.size() - 2];
        // Serialising takes most of a cycle; half of the kills aim at its last tenth, where
        // the temporary file is written, synced and renamed.
        const auto span = cycle.count();
        std::uniform_int_distribution<std::chrono::steady_clock::rep> moment(
            round % 4 < 2 ? 0 : span - span / 10, span);
        const auto killAt = lastSave + std::chrono::steady_clock::duration(moment(random));
        while (std::chrono::steady_clock::now() < killAt) {
        }
        ::kill(child, SIGKILL);
        const int status = test::waitChild(child);
        ::close(progress[0]);
        ASSERT_EQ(status, 128 + SIGKILL);
        killedMidway += fs::exists(tmpPathOf(path)) ? 1 : 0;

        const std::string content = readFile(path);
        ASSERT_TRUE(content == smallBytes || content == largeBytes)
            << "round " << round << ": " << content.size() << " bytes, neither document";
    }
    StderrCapture capture;
    DevicesStateStore store(path);
    const auto loaded = store.loadDevices();
    EXPECT_EQ(capture.take(), "");
    EXPECT_TRUE(loaded == small || loaded == large);
    RecordProperty("killed_with_tmp_on_disk", killedMidway);
}

TEST_F(DevicesFileTest, ConcurrentSavesAreSerialisedAndOneOfThemWins) {
    DevicesStateStore store(path);
    constexpr int kThreads = 4;
    std::vector<std::vector<DeviceEntry>> lists;
    std::vector<std::string> bytes;
    for (int t = 0; t < kThreads; ++t) {
        lists.push_back(test::makeDevices(20 + t, "t" + std::to_string(t)));
        bytes.push_back(savedBytes(dir.path(), lists.back()));
    }
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < 10; ++i) {
                EXPECT_TRUE(store.saveDevices(lists[static_cast<std::size_t>(t)]));
                EXPECT_EQ(store.loadDevices().empty(), false);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const std::string content = readFile(path);
    EXPECT_NE(std::find(bytes.begin(), bytes.end(), content), bytes.end());
    EXPECT_EQ(directoryEntries(dir.path()), std::set<std::string>{"devices_state.json"});
}

}  // namespace
}  // namespace pellan
