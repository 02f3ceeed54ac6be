#include "discovery/txt_record.hpp"

namespace pellan {

std::vector<std::string> parseTxtStrings(const unsigned char* record, std::size_t length) {
    std::vector<std::string> strings;
    if (record == nullptr) {
        return strings;
    }
    std::size_t offset = 0;
    while (offset < length) {
        const std::size_t size = record[offset];
        ++offset;
        if (size == 0 || size > length - offset) {
            break;
        }
        strings.emplace_back(reinterpret_cast<const char*>(record + offset), size);
        offset += size;
    }
    return strings;
}

std::map<std::string, std::string> txtKeyValues(const std::vector<std::string>& strings) {
    std::map<std::string, std::string> values;
    for (const std::string& text : strings) {
        const std::size_t equals = text.find('=');
        if (equals == std::string::npos) {
            values[text].clear();
        } else {
            values[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    return values;
}

}  // namespace pellan
