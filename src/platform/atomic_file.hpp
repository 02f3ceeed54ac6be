#pragma once
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace pellan {

/// What became of readFileBounded().
enum class FileReadStatus {
    Read,        ///< `bytes` holds the whole file.
    Missing,     ///< No such file, or no directory for it.
    NotRegular,  ///< A FIFO, device or directory in its place (it would block or never end).
    TooLarge,    ///< Larger than the limit (also when it grew past it while being read).
    Failed,      ///< `systemMessage` says why.
};

struct FileReadResult {
    FileReadStatus status = FileReadStatus::Failed;
    std::string bytes;
    std::string systemMessage;
};

/// Reads a whole regular file of at most `maxBytes` bytes.
FileReadResult readFileBounded(const std::filesystem::path& path, std::size_t maxBytes);

/// The step at which writeFileAtomically() stopped.
enum class AtomicWriteFailure {
    None,
    OpenTemporary,   ///< The temporary file could not be created.
    WriteTemporary,  ///< Writing, flushing to disk or closing it failed.
    Replace,         ///< Renaming it over the file failed (`systemMessage`).
    SyncDirectory,   ///< The directory could not be flushed to disk (`systemMessage`).
};

struct AtomicWriteResult {
    AtomicWriteFailure failure = AtomicWriteFailure::None;
    std::string systemMessage;
    bool ok() const { return failure == AtomicWriteFailure::None; }
};

/// The temporary file beside `path` that writeFileAtomically() writes first: `path` + ".tmp".
std::filesystem::path temporaryFileFor(const std::filesystem::path& path);

/// The directory whose entry for `path` a replacement changes ("." for a bare file name).
std::filesystem::path directoryOf(const std::filesystem::path& path);

/// Saves `bytes` as the file so that a crash at any instant leaves the old or the new file:
/// a fresh temporary file in the same directory (a left-over one is removed first, whatever it
/// is), written, flushed to disk, renamed over the file, then the directory flushed.
AtomicWriteResult writeFileAtomically(const std::filesystem::path& path, std::string_view bytes);

}  // namespace pellan
