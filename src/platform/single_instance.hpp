#pragma once
#include <filesystem>
#include <memory>
#include <string>

namespace pellan {

/// The guard that keeps one running instance per data folder: an exclusive lock on the
/// application's base directory (the one that holds data/ and logs/) and on
/// "Vantrel_Pellan_SingleInstance.lock" inside it, held from acquire() until release() or
/// destruction. Every start that would use the same data takes the same lock, whatever its
/// environment says about runtime directories. Where the file system refuses new files
/// (read-only or full), the directory's lock alone holds.
///
/// Kind: owner of the lock's handles; used on the main thread only.
class SingleInstance {
public:
    enum class Result { Acquired, AlreadyRunning, Failed };

    SingleInstance();
    ~SingleInstance();  ///< Calls release().
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    /// `directory` empty: defaultLockDirectory().
    Result acquire(const std::filesystem::path& directory = {});
    void release();

    /// After Failed: why, as the user is told ("Unable to ...").
    const std::string& failureReason() const { return failureReason_; }

    /// The application's base directory (appBaseDirectory()); empty when unknown.
    static std::filesystem::path defaultLockDirectory();

private:
    struct Handles;
    std::unique_ptr<Handles> handles_;
    std::string failureReason_;
};

}  // namespace pellan
