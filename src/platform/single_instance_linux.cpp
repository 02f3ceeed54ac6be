#include "platform/single_instance.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace pellan {
namespace {

constexpr const char* kLockFileName = "Vantrel_Pellan_SingleInstance.lock";

std::string systemMessage(int error) {
    return std::system_category().message(error);
}

/// The file system refuses new files: the directory's lock must do alone.
bool refusesNewFiles(int error) {
    return error == EROFS || error == ENOSPC || error == EDQUOT;
}

/// flock without waiting: 0, or the error (EWOULDBLOCK while another holds it).
int lockExclusively(int fd) {
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

void closeIfOpen(int& fd) {
    if (fd >= 0) {
        flock(fd, LOCK_UN);
        close(fd);
        fd = -1;
    }
}

}  // namespace

struct SingleInstance::Handles {
    int directory = -1;
    int file = -1;
    ~Handles() {
        closeIfOpen(file);
        closeIfOpen(directory);
    }
};

SingleInstance::SingleInstance() = default;

SingleInstance::~SingleInstance() {
    release();
}

SingleInstance::Result SingleInstance::acquire(const std::filesystem::path& directory) {
    if (handles_) {
        return Result::Acquired;
    }
    failureReason_.clear();
    const std::filesystem::path lockDirectory =
        directory.empty() ? defaultLockDirectory() : directory;
    if (lockDirectory.empty()) {
        failureReason_ = "Unable to determine the LocalAppData directory";
        return Result::Failed;
    }
    std::error_code error;
    std::filesystem::create_directories(lockDirectory, error);
    if (error) {
        // The data directory lies inside it: that is what cannot be made.
        failureReason_ = "Unable to create the data directory: " + error.message();
        return Result::Failed;
    }

    auto handles = std::make_unique<Handles>();
    handles->directory = open(lockDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handles->directory < 0) {
        failureReason_ = "Unable to create the single-instance lock in " + lockDirectory.string() +
                         ": " + systemMessage(errno);
        return Result::Failed;
    }
    if (const int lockError = lockExclusively(handles->directory); lockError != 0) {
        if (lockError == EWOULDBLOCK) {
            return Result::AlreadyRunning;
        }
        failureReason_ =
            "Unable to lock " + lockDirectory.string() + ": " + systemMessage(lockError);
        return Result::Failed;
    }

    const std::filesystem::path lockFile = lockDirectory / kLockFileName;
    handles->file = open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    if (handles->file < 0 && refusesNewFiles(errno)) {
        // An existing file can still be opened for reading and locked.
        handles->file = open(lockFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (handles->file < 0 && errno == ENOENT) {
            handles_ = std::move(handles);
            return Result::Acquired;
        }
    }
    if (handles->file < 0) {
        failureReason_ = "Unable to create the single-instance lock " + lockFile.string() + ": " +
                         systemMessage(errno);
        return Result::Failed;
    }
    if (const int lockError = lockExclusively(handles->file); lockError != 0) {
        if (lockError == EWOULDBLOCK) {
            return Result::AlreadyRunning;
        }
        failureReason_ = "Unable to lock " + lockFile.string() + ": " + systemMessage(lockError);
        return Result::Failed;
    }
    handles_ = std::move(handles);
    return Result::Acquired;
}

void SingleInstance::release() {
    handles_.reset();
}

}  // namespace pellan
