#pragma once
#include "base/utf8.hpp"
#include "base/wire_json.hpp"
#include "web/http_message.hpp"

#include <cstddef>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace pellan {

/// Percent-decoding of a path segment: "%" and two characters whose first is a hexadecimal
/// digit become one byte (the value of the leading hexadecimal digits, one or two); a "%" not
/// followed so is kept as it is; "+" becomes a space. Never fails.
std::string urlDecode(std::string_view text);

// wireJson (the compact answer text), isValidUtf8 and jsonNestingDepth come from base/.

/// The status, {"error": message} as compact JSON and "Content-Type" "application/json".
HttpResponse jsonError(int status, const std::string& message);

/// The status and the compact JSON body, without a content type.
HttpResponse jsonBody(int status, const nlohmann::json& value);

/// The status and the compact JSON body with "Content-Type" "application/json".
HttpResponse typedJsonBody(int status, const nlohmann::json& value);

/// An error text cut to at most `limit` bytes plus "...": the JSON library's messages quote
/// the token they stopped at, which can be most of a request body, and log records are kept.
std::string clippedErrorText(std::string_view text, std::size_t limit = 512);

/// Deepest nesting of arrays and objects a request body may have. Bodies are kept and written
/// back by recursive code (copies, serialising), and the state files refuse deeper documents.
inline constexpr std::size_t kMaxRequestJsonDepth = 100;

/// Strict parse of a request body; throws std::invalid_argument when it is nested deeper than
/// kMaxRequestJsonDepth, nlohmann::json::parse_error when it is not JSON.
template <typename Json = nlohmann::json> Json parseRequestBody(std::string_view body) {
    if (jsonNestingDepth(body) > kMaxRequestJsonDepth) {
        throw std::invalid_argument("JSON nested too deeply");
    }
    return Json::parse(body);
}

/// As parseRequestBody(), nothing instead of an exception.
template <typename Json = nlohmann::json>
std::optional<Json> tryParseRequestBody(std::string_view body) {
    try {
        return parseRequestBody<Json>(body);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace pellan
