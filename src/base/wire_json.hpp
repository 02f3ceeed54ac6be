#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace pellan {

/// The compact wire text of a JSON value (REST answers, push messages), keys in ascending byte
/// order. Bytes that are not UTF-8 (a percent-decoded path segment, a device's name) become
/// U+FFFD, so that text from the network can never make a later answer or push fail.
std::string wireJson(const nlohmann::json& value);

/// The deepest nesting of arrays and objects in JSON text, strings skipped: a quick scan that
/// does not check the syntax, run before a parse so that hostile nesting never reaches the
/// recursive parser and the code that copies and writes the document back.
std::size_t jsonNestingDepth(std::string_view text);

}  // namespace pellan
