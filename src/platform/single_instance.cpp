#include "platform/single_instance.hpp"

#include "platform/app_paths.hpp"

namespace pellan {

std::filesystem::path SingleInstance::defaultLockDirectory() {
    return appBaseDirectory();
}

}  // namespace pellan
