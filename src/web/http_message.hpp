#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pellan {

/// The request methods the routes are registered for; every other method is `Other`, which no
/// route has.
enum class HttpMethod { Get, Head, Post, Put, Delete, Patch, Options, Other };

/// The method's name as it appears on the request line ("GET", ...); "OTHER" for `Other`.
std::string_view httpMethodName(HttpMethod method);
/// The method named exactly (case-sensitive, as HTTP methods are); `Other` for any other text.
HttpMethod parseHttpMethod(std::string_view name);

/// One request as a route handler sees it. A plain value.
struct HttpRequest {
    HttpMethod method = HttpMethod::Get;
    /// The request target up to its "?", as it arrived: not percent-decoded.
    std::string path;
    /// The route's "<string>" and "<path>" parameters in pattern order, as they arrived.
    std::vector<std::string> params;
    std::string body;
};

/// One complete response. A plain value. A handler that sets no "Content-Type" sends none.
struct HttpResponse {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    /// When set, sent in place of `body`: an answer that many requests share (the cached
    /// device list) is not copied for each of them.
    std::shared_ptr<const std::string> sharedBody;

    /// The first header of that name (ASCII case-insensitive), or nullptr.
    const std::string* header(std::string_view name) const;
    /// The body that is sent: `sharedBody` when set, else `body`.
    std::string_view bodyText() const { return sharedBody ? std::string_view(*sharedBody) : body; }
};

/// Status and plain-text body; no content type.
HttpResponse textResponse(int status, std::string body);
/// Status and a shared body (never null); no content type.
HttpResponse sharedTextResponse(int status, std::shared_ptr<const std::string> body);
/// Status and body with "Content-Type" set.
HttpResponse typedResponse(int status, std::string body, std::string contentType);

}  // namespace pellan
