#include "platform/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

namespace pellan {
namespace {

/// Closes the descriptor when the scope ends, unless it was closed on purpose before.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    /// The result of close(2). EINTR counts as closed: Linux releases the descriptor anyway.
    bool close() {
        const int result = ::close(std::exchange(fd_, -1));
        return result == 0 || errno == EINTR;
    }

private:
    int fd_;
};

std::string osMessage(int error) {
    return std::system_category().message(error);
}

/// write(2) until every byte is written, across short writes and interrupted calls.
bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (written == 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool syncDescriptor(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

}  // namespace

FileReadResult readFileBounded(const std::filesystem::path& path, std::size_t maxBytes) {
    FileReadResult result;
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            result.status = FileReadStatus::Missing;
        } else {
            result.systemMessage = osMessage(error);
        }
        return result;
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) {
        result.systemMessage = osMessage(errno);
        return result;
    }
    if (!S_ISREG(status.st_mode)) {
        result.status = FileReadStatus::NotRegular;
        return result;
    }
    if (static_cast<std::uintmax_t>(status.st_size) > maxBytes) {
        result.status = FileReadStatus::TooLarge;
        return result;
    }
    std::string text;
    text.reserve(static_cast<std::size_t>(status.st_size));
    std::array<char, 16384> buffer{};
    while (true) {
        const ssize_t count = ::read(file.get(), buffer.data(), buffer.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            result.systemMessage = osMessage(errno);
            return result;
        }
        if (count == 0) {
            break;
        }
        // The file may grow while it is read.
        if (text.size() + static_cast<std::size_t>(count) > maxBytes) {
            result.status = FileReadStatus::TooLarge;
            return result;
        }
        text.append(buffer.data(), static_cast<std::size_t>(count));
    }
    result.status = FileReadStatus::Read;
    result.bytes = std::move(text);
    return result;
}

AtomicWriteResult writeFileAtomically(const std::filesystem::path& path, std::string_view bytes) {
    const std::filesystem::path temporary = temporaryFileFor(path);
    // A left-over temporary file of an earlier crash may be anything (even a link elsewhere):
    // start from a fresh file of our own.
    ::unlink(temporary.c_str());
    FileDescriptor file(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
    if (file.get() < 0) {
        return {AtomicWriteFailure::OpenTemporary, osMessage(errno)};
    }
    // The bytes must be on disk before the rename makes them the file.
    if (!writeAll(file.get(), bytes) || !syncDescriptor(file.get()) || !file.close()) {
        return {AtomicWriteFailure::WriteTemporary, osMessage(errno)};
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        return {AtomicWriteFailure::Replace, osMessage(errno)};
    }
    // The rename itself is durable only once the directory is.
    const std::filesystem::path directory = directoryOf(path);
    FileDescriptor folder(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0 || (!syncDescriptor(folder.get()) && errno != EINVAL)) {
        return {AtomicWriteFailure::SyncDirectory, osMessage(errno)};
    }
    return {};
}

}  // namespace pellan
