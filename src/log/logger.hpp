#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace pellan {

/// One log record: local time "%Y-%m-%d %H:%M:%S", the caller's text, its category word.
struct LogEntry {
    std::string timestamp;
    std::string message;
    std::string category;
};

using LogListener = std::function<void(const LogEntry&)>;

/// The application's one log: an in-memory history, a log file with one rotation, and a
/// listener that forwards every record live to the UI pages.
///
/// Kind: locked manager. One plain mutex guards history, file and listener.
/// Callbacks: the listener runs on the thread that called log(), after the lock is released,
///   so it may take its own locks or log again.
/// Thread safety: every member may be called from any thread.
/// Errors: nothing is thrown to callers; file-system failures of the rotation are contained
///   and the rotation is tried again with a later record.
class Logger {
public:
    static constexpr std::size_t kHistoryLimit = 1000;
    static constexpr std::size_t kRecentLimit = 200;
    static constexpr std::uintmax_t kRotateBytes = 204800;

    Logger() = default;
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    /// Continues (or creates) the log file; a file that cannot be opened only disables file
    /// output.
    void openFile(const std::filesystem::path& logPath, const std::filesystem::path& oldLogPath);
    void log(const std::string& message, const std::string& category);
    /// An empty listener removes the current one.
    void setListener(LogListener listener);
    /// The newest records, oldest first: at most kRecentLimit of them.
    std::vector<LogEntry> recentEntries() const;

private:
    void rotateIfNeeded();  // Called with mutex_ held.
    std::string timestampNow();

    mutable std::mutex mutex_;
    std::deque<LogEntry> entries_;      // Guarded by mutex_.
    LogListener listener_;              // Guarded by mutex_.
    std::ofstream file_;                // Guarded by mutex_.
    bool fileOpen_ = false;             // Guarded by mutex_.
    bool flushEachLine_ = true;         // Guarded by mutex_.
    std::filesystem::path logPath_;     // Guarded by mutex_.
    std::filesystem::path oldLogPath_;  // Guarded by mutex_.
    long long cachedSecond_ = -1;       // Guarded by mutex_: the second of cachedTimestamp_.
    std::string cachedTimestamp_;       // Guarded by mutex_.
};

}  // namespace pellan
