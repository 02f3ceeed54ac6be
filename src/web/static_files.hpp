#pragma once
#include "web/http_message.hpp"
#include "web/router.hpp"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace pellan {

/// Larger files are not served (the UI's files are small; this bounds the memory of a request).
inline constexpr std::uintmax_t kMaxStaticFileBytes = 64U * 1024U * 1024U;

/// The content type of a file by its lower-cased extension; "application/octet-stream" for an
/// unknown extension or none.
std::string mimeTypeFor(const std::filesystem::path& path);

/// The bytes of a regular file, or an empty text when it cannot be read (missing, a directory,
/// a device or pipe, unreadable, larger than kMaxStaticFileBytes).
std::string readWholeFile(const std::filesystem::path& path);

/// GET "/": the UI's "index.html" as "text/html; charset=utf-8"; 404 with an empty body when it
/// cannot be read or is empty.
HttpResponse serveIndex(const std::filesystem::path& uiRoot);

/// GET "/<path>", given the path without its leading "/" as it arrived. 403 for a path that
/// would leave `uiRoot` (a root, a drive or stream name, a ".." left after normalising, a NUL
/// byte); the file with its content type when it can be read and is not empty; otherwise the
/// single-page entry of serveIndex().
HttpResponse serveStaticPath(const std::filesystem::path& uiRoot, std::string_view requestPath);

/// GET "/" and GET "/<path>" from `uiRoot`: the UI's files, matched after every other route.
void addStaticFileRoutes(Router& router, const std::filesystem::path& uiRoot);

}  // namespace pellan
