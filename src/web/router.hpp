#pragma once
#include "web/http_message.hpp"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pellan {

/// Where a route's handler runs.
enum class RouteExecution {
    /// On the connection's network thread. Only for handlers that never wait: they touch
    /// memory under short component locks and do no file or network I/O.
    Inline,
    /// On the server's handler pool, so that a handler waiting for a disk, a lock held across
    /// a file write or another thread delays no other request.
    Blocking,
};

/// The route table: method and path pattern to handler, matched in registration order.
///
/// Patterns are literal text with two kinds of parameter: "<string>" matches one non-empty
/// path segment (no "/"), "<path>" matches the non-empty rest of the path, slashes included,
/// and must come last. Parameters are handed to the handler as they arrived, not
/// percent-decoded.
///
/// Kind: value. Built before the server runs, then only read.
/// Thread safety: resolve() may run on any number of threads at once once building is over.
class Router {
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    /// What to do with one request: run `handler` (with `params`), or send `response` as it is
    /// (no route, wrong method, OPTIONS).
    struct Resolution {
        const Handler* handler = nullptr;
        RouteExecution execution = RouteExecution::Blocking;
        std::vector<std::string> params;
        HttpResponse response;
    };

    /// A pattern that is not well formed (no leading "/", an unknown or unclosed "<...>", text
    /// after "<path>") throws std::invalid_argument: routes are the program's own text.
    void add(HttpMethod method, std::string_view pattern, Handler handler,
             RouteExecution execution = RouteExecution::Blocking);

    /// First route of the request's method whose pattern matches. HEAD uses the GET routes
    /// (the server sends the headers only). Without one: OPTIONS answers 204 with "Allow"
    /// listing the methods of the routes the path matches; a path that matches a route of
    /// another method answers 405 with "Allow"; anything else 404. All with an empty body.
    Resolution resolve(HttpMethod method, std::string_view path) const;

private:
    struct Part {
        enum class Kind { Literal, Segment, Rest } kind;
        std::string text;  // Literal only.
    };
    struct Route {
        HttpMethod method;
        std::vector<Part> parts;
        Handler handler;
        RouteExecution execution;
    };

    static bool match(const std::vector<Part>& parts, std::string_view path,
                      std::vector<std::string>* params);
    std::string allowedMethods(std::string_view path, bool* any) const;

    std::vector<Route> routes_;
};

}  // namespace pellan
