#include "log/logger.hpp"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <system_error>
#include <utility>

namespace pellan {

Logger::~Logger() {
    std::lock_guard lock(mutex_);
    if (file_.is_open()) {
        file_.close();
    }
}

void Logger::openFile(const std::filesystem::path& logPath,
                      const std::filesystem::path& oldLogPath) {
    std::lock_guard lock(mutex_);
    logPath_ = logPath;
    oldLogPath_ = oldLogPath;
    flushEachLine_ = true;
    if (file_.is_open()) {
        file_.close();
    }
    file_.clear();
    file_.open(logPath_, std::ios::out | std::ios::app);
    fileOpen_ = file_.is_open();
}

std::string Logger::timestampNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    // Many records share a second; formatting once per second keeps log() cheap.
    if (static_cast<long long>(seconds) == cachedSecond_) {
        return cachedTimestamp_;
    }
    std::tm local{};
    localtime_r(&seconds, &local);
    char buffer[32];
    const std::size_t length = std::strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S", &local);
    cachedSecond_ = static_cast<long long>(seconds);
    cachedTimestamp_.assign(buffer, length);
    return cachedTimestamp_;
}

void Logger::log(const std::string& message, const std::string& category) {
    LogListener listener;
    LogEntry entry;
    {
        std::lock_guard lock(mutex_);
        entry = LogEntry{timestampNow(), message, category};
        entries_.push_back(entry);
        while (entries_.size() > kHistoryLimit) {
            entries_.pop_front();
        }
        if (fileOpen_ && file_.is_open()) {
            rotateIfNeeded();
            if (file_.is_open()) {
                file_ << '(' << entry.timestamp << ") [" << entry.category << "] " << entry.message
                      << '\n';
                if (flushEachLine_) {
                    file_.flush();
                }
            }
        }
        listener = listener_;
    }
    if (listener) {
        listener(entry);
    }
}

void Logger::rotateIfNeeded() {
    std::error_code error;
    if (!std::filesystem::exists(logPath_, error) || error) {
        return;
    }
    const std::uintmax_t size = std::filesystem::file_size(logPath_, error);
    if (error || size < kRotateBytes) {
        return;
    }
    file_.close();
    file_.clear();
    std::filesystem::remove(oldLogPath_, error);
    if (!error) {
        std::filesystem::rename(logPath_, oldLogPath_, error);
    }
    if (error) {
        // Another program may hold a file open; keep writing to the current file and try
        // the rotation again with a later record.
        file_.open(logPath_, std::ios::out | std::ios::app);
        return;
    }
    file_.open(logPath_, std::ios::out | std::ios::trunc);
}

void Logger::setListener(LogListener listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

std::vector<LogEntry> Logger::recentEntries() const {
    std::lock_guard lock(mutex_);
    const std::size_t count = std::min(entries_.size(), kRecentLimit);
    return {entries_.end() - static_cast<std::ptrdiff_t>(count), entries_.end()};
}

}  // namespace pellan
