#include "web/static_files.hpp"

#include "base/ascii.hpp"

#include <fstream>
#include <iterator>
#include <system_error>
#include <unordered_map>

namespace pellan {
namespace {

constexpr const char* kHtmlContentType = "text/html; charset=utf-8";
constexpr const char* kIndexFile = "index.html";

const std::unordered_map<std::string, std::string>& mimeTable() {
    // Built once, on first use; the initialisation of a function-local static is thread-safe.
    static const std::unordered_map<std::string, std::string> table{
        {".html", kHtmlContentType},  {".js", "application/javascript"},
        {".css", "text/css"},         {".json", "application/json"},
        {".png", "image/png"},        {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},      {".svg", "image/svg+xml"},
        {".ico", "image/x-icon"},     {".txt", "text/plain; charset=utf-8"},
        {".map", "application/json"}, {".webp", "image/webp"},
        {".woff", "font/woff"},       {".woff2", "font/woff2"},
        {".ttf", "font/ttf"},         {".eot", "application/vnd.ms-fontobject"},
    };
    return table;
}

HttpResponse forbidden() {
    return textResponse(403, {});
}

}  // namespace

std::string mimeTypeFor(const std::filesystem::path& path) {
    const std::string extension = toLowerAscii(path.extension().string());
    const auto& table = mimeTable();
    const auto found = table.find(extension);
    return found == table.end() ? "application/octet-stream" : found->second;
}

std::string readWholeFile(const std::filesystem::path& path) {
    std::error_code error;
    // Only regular files: opening a pipe or a device in the UI folder could block the handler.
    if (!std::filesystem::is_regular_file(path, error)) {
        return {};
    }
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error || size > kMaxStaticFileBytes) {
        return {};
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad() || content.size() > kMaxStaticFileBytes) {
        return {};
    }
    return content;
}

HttpResponse serveIndex(const std::filesystem::path& uiRoot) {
    std::string content = readWholeFile(uiRoot / kIndexFile);
    if (content.empty()) {
        return textResponse(404, {});
    }
    return typedResponse(200, std::move(content), kHtmlContentType);
}

HttpResponse serveStaticPath(const std::filesystem::path& uiRoot, std::string_view requestPath) {
    // A NUL cannot be part of a file name, and a ':' names a drive or an alternate data stream
    // on the users' PCs: neither belongs to a UI file.
    if (requestPath.find('\0') != std::string_view::npos ||
        requestPath.find(':') != std::string_view::npos) {
        return forbidden();
    }
    // Both separators count, as they do on the users' PCs, so that "..\" cannot climb either.
    std::string text(requestPath);
    for (char& c : text) {
        if (c == '\\') {
            c = '/';
        }
    }
    const std::filesystem::path relative = std::filesystem::path(text).lexically_normal();
    if (relative.has_root_name() || relative.has_root_directory()) {
        return forbidden();
    }
    for (const std::filesystem::path& element : relative) {
        if (element == "..") {
            return forbidden();
        }
    }
    const std::filesystem::path full = uiRoot / relative;
    std::string content = readWholeFile(full);
    if (content.empty()) {
        return serveIndex(uiRoot);
    }
    return typedResponse(200, std::move(content), mimeTypeFor(full));
}

void addStaticFileRoutes(Router& router, const std::filesystem::path& uiRoot) {
    router.add(HttpMethod::Get, "/", [uiRoot](const HttpRequest&) { return serveIndex(uiRoot); });
    router.add(HttpMethod::Get, "/<path>", [uiRoot](const HttpRequest& request) {
        return serveStaticPath(uiRoot, request.params.at(0));
    });
}

}  // namespace pellan
