#include "base/ascii.hpp"

#include <cstddef>

namespace pellan {

std::string toLowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = toLowerAscii(c);
    }
    return out;
}

std::string toUpperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = toUpperAscii(c);
    }
    return out;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (toLowerAscii(a[i]) != toLowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

bool startsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           equalsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace pellan
