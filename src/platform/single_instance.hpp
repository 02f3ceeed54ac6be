#pragma once
#include <filesystem>

namespace pellan {

/// The guard that keeps one running instance per user session: an exclusive lock on
/// "Vantrel_Pellan_SingleInstance.lock" in the user's runtime directory (else in the
/// application's base directory), held from acquire() until release() or destruction.
///
/// Kind: value-like owner of one file descriptor; used on the main thread only.
class SingleInstance {
public:
    enum class Result { Acquired, AlreadyRunning, Failed };

    SingleInstance() = default;
    ~SingleInstance();  ///< Calls release().
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    /// `directory` empty: the runtime directory, else the application's base directory.
    Result acquire(const std::filesystem::path& directory = {});
    void release();

    static std::filesystem::path defaultLockDirectory();

private:
    int fd_ = -1;
};

}  // namespace pellan
