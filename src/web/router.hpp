#pragma once
#include "web/http_message.hpp"

#include <cstddef>
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

/// One route as registered: its method and its pattern text.
struct RouteKey {
    HttpMethod method = HttpMethod::Get;
    std::string pattern;

    bool operator==(const RouteKey&) const = default;
};

/// The route table: method and path pattern to handler.
///
/// Routes are matched in a fixed order: first those named in the order given at construction,
/// in that order, then the others in the order they were added. Each route file adds its own
/// routes, and the API's order, which interleaves the files, lives in one table.
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

    /// `order`: the method and pattern of routes that are matched first, in this order, when
    /// they are added; a route of the order that is never added is simply not there.
    explicit Router(std::vector<RouteKey> order = {});

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

    /// The method and pattern of every route, in matching order.
    std::vector<RouteKey> routes() const;

private:
    struct Part {
        enum class Kind { Literal, Segment, Rest } kind;
        std::string text;  // Literal only.
    };
    struct Route {
        HttpMethod method;
        std::string pattern;
        std::size_t rank;  // Position in the matching order: see the class comment.
        std::vector<Part> parts;
        Handler handler;
        RouteExecution execution;
    };

    static bool match(const std::vector<Part>& parts, std::string_view path,
                      std::vector<std::string>* params);
    std::string allowedMethods(std::string_view path, bool* any) const;

    std::vector<RouteKey> order_;
    std::size_t added_ = 0;      // Routes added so far: the rank of the next one outside order_.
    std::vector<Route> routes_;  // Sorted by rank.
};

}  // namespace pellan
