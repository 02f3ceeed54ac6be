#include "platform/app_paths.hpp"

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace pellan {
namespace {

constexpr std::size_t kExecutablePathBuffer = 32768;

std::filesystem::path absoluteFromEnvironment(const char* name) {
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read before threads.
    if (value == nullptr || *value != '/') {
        return {};
    }
    return value;
}

}  // namespace

std::filesystem::path localAppDataDirectory() {
    std::filesystem::path base = absoluteFromEnvironment("XDG_DATA_HOME");
    if (!base.empty()) {
        return base;
    }
    const std::filesystem::path home = absoluteFromEnvironment("HOME");
    if (home.empty()) {
        return {};
    }
    return home / ".local" / "share";
}

std::filesystem::path executableDirectory() {
    std::vector<char> buffer(kExecutablePathBuffer);
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) {
        return {};
    }
    const std::filesystem::path exe(std::string(buffer.data(), static_cast<std::size_t>(length)));
    return exe.parent_path();
}

}  // namespace pellan
