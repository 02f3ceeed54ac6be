#include "log/logger.hpp"

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace pellan {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

class LoggerFileTest : public ::testing::Test {
protected:
    TempDir dir;
    std::filesystem::path logPath = dir / "Vantrel_Pellan_log.log";
    std::filesystem::path oldPath = dir / "Vantrel_Pellan_log_old.log";
};

TEST(LoggerTest, HistoryKeepsTheNewestThousandInOrder) {
    Logger logger;
    for (int i = 1; i <= 1001; ++i) {
        logger.log("record " + std::to_string(i), "device");
    }
    const auto recent = logger.recentEntries();
    ASSERT_EQ(recent.size(), Logger::kRecentLimit);
    EXPECT_EQ(recent.front().message, "record 802");
    EXPECT_EQ(recent.back().message, "record 1001");
    EXPECT_EQ(recent.back().category, "device");
}

TEST(LoggerTest, RecentEntriesReturnsAtMostTwoHundredOldestFirst) {
    struct Case {
        int logged;
        std::size_t expected;
        std::string first;
    };
    for (const Case& c : {Case{0, 0, ""}, Case{150, 150, "1"}, Case{1000, 200, "801"}}) {
        Logger logger;
        for (int i = 1; i <= c.logged; ++i) {
            logger.log(std::to_string(i), "application");
        }
        const auto recent = logger.recentEntries();
        ASSERT_EQ(recent.size(), c.expected) << c.logged;
        if (!recent.empty()) {
            EXPECT_EQ(recent.front().message, c.first);
            EXPECT_EQ(recent.back().message, std::to_string(c.logged));
        }
    }
}

TEST(LoggerTest, TimestampIsLocalTimeToTheSecond) {
    Logger logger;
    logger.log("x", "application");
    const std::regex format(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})");
    EXPECT_TRUE(std::regex_match(logger.recentEntries().at(0).timestamp, format));
}

TEST(LoggerTest, ListenerGetsEveryRecordOutsideTheLock) {
    Logger logger;
    std::vector<LogEntry> seen;
    logger.setListener([&](const LogEntry& entry) {
        seen.push_back(entry);
        // A listener that reads the log (as the push server does) must not deadlock.
        if (seen.size() == 1) {
            EXPECT_EQ(logger.recentEntries().size(), 1U);
            logger.log("from listener", "websocket");
        }
    });
    logger.log("first", "application");
    ASSERT_EQ(seen.size(), 2U);
    EXPECT_EQ(seen[0].message, "first");
    EXPECT_EQ(seen[1].message, "from listener");

    logger.setListener({});
    logger.log("unheard", "application");
    EXPECT_EQ(seen.size(), 2U);
    EXPECT_EQ(logger.recentEntries().back().message, "unheard");
}

TEST_F(LoggerFileTest, WritesOneLinePerRecordAndContinuesAnExistingFile) {
    writeFile(logPath, "earlier run\n");
    Logger logger;
    logger.openFile(logPath, oldPath);
    logger.log("two\nlines", "error");
    logger.log("plain", "settings");
    const std::string content = readFile(logPath);
    const std::regex expected(R"(earlier run\n\(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\) \[error\] two\n)"
                              R"(lines\n\(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\) \[settings\] plain\n)");
    EXPECT_TRUE(std::regex_match(content, expected)) << content;
}

TEST_F(LoggerFileTest, RotatesAtTheLimitBeforeWritingTheLine) {
    struct Case {
        std::uintmax_t size;
        bool rotates;
    };
    for (const Case& c :
         {Case{Logger::kRotateBytes, true}, Case{Logger::kRotateBytes - 1, false}}) {
        writeFile(logPath, std::string(c.size, 'a'));
        writeFile(oldPath, "previous generation");
        Logger logger;
        logger.openFile(logPath, oldPath);
        logger.log("next", "device");
        const std::string current = readFile(logPath);
        if (c.rotates) {
            EXPECT_EQ(current.find("[device] next"), 22U) << "new file starts with the line";
            EXPECT_EQ(std::filesystem::file_size(oldPath), c.size);
        } else {
            EXPECT_EQ(current.size(), c.size + 22 + 14);
            EXPECT_EQ(readFile(oldPath), "previous generation");
        }
    }
}

TEST_F(LoggerFileTest, UnopenableFileOnlyDisablesFileOutput) {
    Logger logger;
    logger.openFile(dir / "missing-dir" / "log.log", dir / "missing-dir" / "old.log");
    int heard = 0;
    logger.setListener([&](const LogEntry&) { ++heard; });
    logger.log("still recorded", "application");
    EXPECT_EQ(logger.recentEntries().size(), 1U);
    EXPECT_EQ(heard, 1);
}

TEST_F(LoggerFileTest, FailedRotationIsContainedAndRetried) {
    writeFile(logPath, std::string(Logger::kRotateBytes, 'a'));
    // A directory in place of the old log cannot be removed by remove(): the rotation fails.
    std::filesystem::create_directories(oldPath / "blocker");
    Logger logger;
    logger.openFile(logPath, oldPath);
    int heard = 0;
    logger.setListener([&](const LogEntry&) { ++heard; });
    EXPECT_NO_THROW(logger.log("kept", "device"));
    EXPECT_EQ(heard, 1);
    EXPECT_EQ(logger.recentEntries().back().message, "kept");
    EXPECT_NE(readFile(logPath).find("[device] kept"), std::string::npos);

    std::filesystem::remove_all(oldPath);
    logger.log("after", "device");
    EXPECT_TRUE(std::filesystem::exists(oldPath));
    EXPECT_EQ(readFile(logPath).find("[device] after"), 22U);
}

TEST_F(LoggerFileTest, ConcurrentWritersKeepHistoryAndFileInOneOrder) {
    Logger logger;
    logger.openFile(logPath, oldPath);
    std::atomic<int> heard{0};
    logger.setListener([&](const LogEntry&) { ++heard; });
    constexpr int kThreads = 4;
    constexpr int kPerThread = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&logger, t] {
            for (int i = 0; i < kPerThread; ++i) {
                logger.log(std::to_string(t) + ":" + std::to_string(i), "device");
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(heard.load(), kThreads * kPerThread);
    const std::string content = readFile(logPath);
    EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), kThreads * kPerThread);
    // The file's last 200 lines are the history's last 200 records, in the same order.
    const auto recent = logger.recentEntries();
    std::size_t position = content.size();
    for (auto it = recent.rbegin(); it != recent.rend(); ++it) {
        const std::size_t lineStart = content.rfind('\n', position - 2) + 1;
        EXPECT_EQ(content.substr(lineStart, position - lineStart - 1),
                  "(" + it->timestamp + ") [device] " + it->message);
        position = lineStart;
    }
}

}  // namespace
}  // namespace pellan
