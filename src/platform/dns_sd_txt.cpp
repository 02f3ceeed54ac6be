#include "platform/dns_sd_txt.hpp"

#include <utility>

namespace pellan {

std::vector<unsigned char> reverseTxtStrings(const unsigned char* record, std::size_t length) {
    if (record == nullptr || length == 0) {
        return {};
    }
    std::vector<std::pair<std::size_t, std::size_t>> strings;  // offset, size incl. length
    for (std::size_t offset = 0; offset < length;) {
        const std::size_t size = 1 + static_cast<std::size_t>(record[offset]);
        if (size > length - offset) {
            return {record, record + length};
        }
        strings.emplace_back(offset, size);
        offset += size;
    }
    std::vector<unsigned char> reversed;
    reversed.reserve(length);
    for (auto it = strings.rbegin(); it != strings.rend(); ++it) {
        reversed.insert(reversed.end(), record + it->first, record + it->first + it->second);
    }
    return reversed;
}

}  // namespace pellan
