#include "base/wire_json.hpp"

#include <algorithm>

namespace pellan {

std::string wireJson(const nlohmann::json& value) {
    return value.dump(-1, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::replace);
}

std::size_t jsonNestingDepth(std::string_view text) {
    std::size_t depth = 0;
    std::size_t deepest = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        switch (c) {
        case '"':
            inString = true;
            break;
        case '[':
        case '{':
            deepest = std::max(deepest, ++depth);
            break;
        case ']':
        case '}':
            depth = depth > 0 ? depth - 1 : 0;
            break;
        default:
            break;
        }
    }
    return deepest;
}

}  // namespace pellan
