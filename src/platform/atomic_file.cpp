#include "platform/atomic_file.hpp"

namespace pellan {

std::filesystem::path temporaryFileFor(const std::filesystem::path& path) {
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    return temporary;
}

std::filesystem::path directoryOf(const std::filesystem::path& path) {
    std::filesystem::path directory = path.parent_path();
    if (directory.empty()) {
        directory = ".";
    }
    return directory;
}

}  // namespace pellan
