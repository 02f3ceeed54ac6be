#include "platform/single_instance.hpp"

#include "platform/app_paths.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <system_error>
#include <unistd.h>

namespace pellan {

SingleInstance::~SingleInstance() {
    release();
}

std::filesystem::path SingleInstance::defaultLockDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");  // NOLINT(concurrency-mt-unsafe)
    if (runtime != nullptr && *runtime == '/') {
        return runtime;
    }
    return appBaseDirectory();
}

SingleInstance::Result SingleInstance::acquire(const std::filesystem::path& directory) {
    if (fd_ >= 0) {
        return Result::Acquired;
    }
    const std::filesystem::path lockDirectory =
        directory.empty() ? defaultLockDirectory() : directory;
    if (lockDirectory.empty()) {
        return Result::Failed;
    }
    std::error_code error;
    std::filesystem::create_directories(lockDirectory, error);
    const std::filesystem::path lockFile = lockDirectory / "Vantrel_Pellan_SingleInstance.lock";
    const int fd = open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return Result::Failed;
    }
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int lockError = errno;
        if (lockError == EINTR) {
            continue;
        }
        close(fd);
        return lockError == EWOULDBLOCK ? Result::AlreadyRunning : Result::Failed;
    }
    fd_ = fd;
    return Result::Acquired;
}

void SingleInstance::release() {
    if (fd_ < 0) {
        return;
    }
    flock(fd_, LOCK_UN);
    close(fd_);
    fd_ = -1;
}

}  // namespace pellan
