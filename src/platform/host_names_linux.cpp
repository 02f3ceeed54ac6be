#include "platform/host_names.hpp"

#include <unistd.h>

#include <array>
#include <climits>

namespace pellan {

std::string localHostName() {
    std::array<char, HOST_NAME_MAX + 1> buffer{};
    if (gethostname(buffer.data(), buffer.size() - 1) != 0) {
        return {};
    }
    return buffer.data();
}

std::filesystem::path hostsTablePath() {
    return "/etc/hosts";
}

}  // namespace pellan
