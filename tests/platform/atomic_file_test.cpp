#include "platform/atomic_file.hpp"

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

namespace pellan {
namespace {

using test::TempDir;

TEST(AtomicFileTest, WriteReplacesTheFileAndLeavesNoTemporary) {
    TempDir dir;
    const auto file = dir / "state.json";
    test::writeFile(file, "old");
    // A left-over of an earlier crash, even a directory-less link, is no obstacle.
    test::writeFile(temporaryFileFor(file), "half");
    ASSERT_TRUE(writeFileAtomically(file, "new").ok());
    EXPECT_EQ(test::readFile(file), "new");
    EXPECT_FALSE(std::filesystem::exists(temporaryFileFor(file)));
    EXPECT_EQ(temporaryFileFor(file), dir / "state.json.tmp");
}

TEST(AtomicFileTest, FailuresNameTheStepAndLeaveTheFile) {
    struct Case {
        const char* name;
        void (*prepare)(const std::filesystem::path& file);
        AtomicWriteFailure failure;
    };
    const Case cases[] = {
        {"no directory for the file", [](const std::filesystem::path&) {},
         AtomicWriteFailure::OpenTemporary},
        {"a directory in the file's place",
         [](const std::filesystem::path& file) {
             std::filesystem::create_directories(file / "inside");
         },
         AtomicWriteFailure::Replace},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto file = std::string(c.name) == "no directory for the file"
                              ? dir / "missing" / "state.json"
                              : dir / "state.json";
        c.prepare(file);
        const AtomicWriteResult result = writeFileAtomically(file, "new");
        EXPECT_EQ(result.failure, c.failure);
        EXPECT_FALSE(result.ok());
        if (c.failure == AtomicWriteFailure::Replace) {
            EXPECT_FALSE(result.systemMessage.empty());
            EXPECT_TRUE(std::filesystem::is_directory(file / "inside"));
        }
    }
}

TEST(AtomicFileTest, ReadTellsMissingOddAndTooLargeFilesApart) {
    TempDir dir;
    test::writeFile(dir / "small", "12345");
    std::filesystem::create_directories(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    const struct {
        const char* name;
        std::size_t limit;
        FileReadStatus status;
        const char* bytes;
    } cases[] = {
        {"small", 5, FileReadStatus::Read, "12345"},
        {"small", 4, FileReadStatus::TooLarge, ""},
        {"absent", 5, FileReadStatus::Missing, ""},
        {"small/below", 5, FileReadStatus::Missing, ""},
        {"folder", 5, FileReadStatus::NotRegular, ""},
        {"fifo", 5, FileReadStatus::NotRegular, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const FileReadResult result = readFileBounded(dir / c.name, c.limit);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.bytes, c.bytes);
    }
    EXPECT_EQ(directoryOf("bare.json"), ".");
}

}  // namespace
}  // namespace pellan
