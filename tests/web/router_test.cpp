#include "web/router.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace pellan {
namespace {

using ::testing::ElementsAreArray;

/// A router with the shapes of the application's table: literals, one-segment parameters in
/// the middle and at the end, and the rest-of-path catch-all last.
Router sampleRouter() {
    Router router;
    const auto named = [](std::string name) {
        return [name](const HttpRequest&) { return textResponse(200, name); };
    };
    router.add(HttpMethod::Get, "/api/devices", named("list"));
    router.add(HttpMethod::Post, "/api/devices", named("add"));
    router.add(HttpMethod::Delete, "/api/devices/<string>", named("delete"));
    router.add(HttpMethod::Post, "/api/devices/<string>/monitor", named("monitor"));
    router.add(HttpMethod::Post, "/api/groups/add", named("group-add"));
    router.add(HttpMethod::Delete, "/api/groups/<string>", named("group-delete"));
    router.add(HttpMethod::Get, "/", named("index"));
    router.add(HttpMethod::Get, "/<path>", named("static"));
    return router;
}

struct RouteCase {
    HttpMethod method;
    std::string path;
    int status;          // Of the router's own answer; 0 when a handler is found.
    std::string target;  // The handler's name, or the "Allow" header of the router's answer.
    std::vector<std::string> params;
};

class RouterResolves : public ::testing::TestWithParam<RouteCase> {};

TEST_P(RouterResolves, ToTheFirstMatchingRouteOrItsOwnAnswer) {
    const Router router = sampleRouter();
    const RouteCase& c = GetParam();
    const Router::Resolution resolution = router.resolve(c.method, c.path);
    if (c.status == 0) {
        ASSERT_NE(resolution.handler, nullptr) << c.path;
        EXPECT_EQ((*resolution.handler)(HttpRequest{}).body, c.target);
        EXPECT_THAT(resolution.params, ElementsAreArray(c.params));
        return;
    }
    ASSERT_EQ(resolution.handler, nullptr) << c.path;
    EXPECT_EQ(resolution.response.status, c.status);
    EXPECT_EQ(resolution.response.body, "");
    const std::string* allow = resolution.response.header("Allow");
    if (c.target.empty()) {
        EXPECT_EQ(allow, nullptr);
    } else {
        ASSERT_NE(allow, nullptr);
        EXPECT_EQ(*allow, c.target);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RouterResolves,
    ::testing::Values(
        RouteCase{HttpMethod::Get, "/api/devices", 0, "list", {}},
        RouteCase{HttpMethod::Post, "/api/devices", 0, "add", {}},
        RouteCase{HttpMethod::Head, "/api/devices", 0, "list", {}},
        // Parameters arrive as sent: encoded slashes and percent signs stay encoded.
        RouteCase{HttpMethod::Delete, "/api/devices/a%2Fb", 0, "delete", {"a%2Fb"}},
        RouteCase{HttpMethod::Delete, "/api/devices/%zz1+x", 0, "delete", {"%zz1+x"}},
        RouteCase{HttpMethod::Post, "/api/devices/h1/monitor", 0, "monitor", {"h1"}},
        // A literal route wins over a parameter route registered after it, and vice versa
        // only by order.
        RouteCase{HttpMethod::Post, "/api/groups/add", 0, "group-add", {}},
        RouteCase{HttpMethod::Delete, "/api/groups/add", 0, "group-delete", {"add"}},
        RouteCase{HttpMethod::Get, "/", 0, "index", {}},
        RouteCase{HttpMethod::Get, "/a/b/../c.js", 0, "static", {"a/b/../c.js"}},
        RouteCase{HttpMethod::Get, "//C:/x", 0, "static", {"/C:/x"}},
        RouteCase{HttpMethod::Get, "/api/devices/h1", 0, "static", {"api/devices/h1"}},
        // A segment parameter needs a non-empty segment without "/".
        RouteCase{HttpMethod::Delete, "/api/devices/", 405, "OPTIONS, HEAD, GET", {}},
        RouteCase{HttpMethod::Delete, "/api/devices/a/b", 405, "OPTIONS, HEAD, GET", {}},
        RouteCase{HttpMethod::Post, "/api/devices//monitor", 405, "OPTIONS, HEAD, GET", {}},
        // Other methods on a known path: 405 with the methods that path has.
        RouteCase{HttpMethod::Put, "/api/devices", 405, "OPTIONS, HEAD, GET, POST", {}},
        RouteCase{HttpMethod::Patch, "/", 405, "OPTIONS, HEAD, GET", {}},
        RouteCase{HttpMethod::Other, "/x", 405, "OPTIONS, HEAD, GET", {}},
        RouteCase{HttpMethod::Post, "/unknown", 405, "OPTIONS, HEAD, GET", {}},
        RouteCase{HttpMethod::Options, "/api/devices/h1", 204, "OPTIONS, HEAD, GET, DELETE", {}},
        RouteCase{HttpMethod::Options, "/api/devices", 204, "OPTIONS, HEAD, GET, POST", {}},
        // No route at all for the path.
        RouteCase{HttpMethod::Get, "*", 404, "", {}},
        RouteCase{HttpMethod::Options, "", 404, "", {}},
        RouteCase{HttpMethod::Delete, "api/devices/h1", 404, "", {}}));

TEST(RouterTest, RefusesMalformedPatterns) {
    Router router;
    const Router::Handler handler = [](const HttpRequest&) { return HttpResponse{}; };
    for (const char* pattern :
         {"", "api", "/a/<int>", "/a/<path>/b", "/a/<string", "/<path><path>"}) {
        EXPECT_THROW(router.add(HttpMethod::Get, pattern, handler), std::invalid_argument)
            << pattern;
    }
    EXPECT_THROW(router.add(HttpMethod::Head, "/a", handler), std::invalid_argument);
    EXPECT_THROW(router.add(HttpMethod::Options, "/a", handler), std::invalid_argument);
}

TEST(RouterTest, CarriesEachRoutesExecution) {
    Router router;
    const Router::Handler handler = [](const HttpRequest&) { return HttpResponse{}; };
    router.add(HttpMethod::Get, "/fast", handler, RouteExecution::Inline);
    router.add(HttpMethod::Get, "/slow", handler);
    EXPECT_EQ(router.resolve(HttpMethod::Get, "/fast").execution, RouteExecution::Inline);
    EXPECT_EQ(router.resolve(HttpMethod::Get, "/slow").execution, RouteExecution::Blocking);
}

TEST(HttpMethodTest, NamesAreExactAndCaseSensitive) {
    EXPECT_EQ(parseHttpMethod("GET"), HttpMethod::Get);
    EXPECT_EQ(parseHttpMethod("DELETE"), HttpMethod::Delete);
    EXPECT_EQ(parseHttpMethod("get"), HttpMethod::Other);
    EXPECT_EQ(parseHttpMethod("BREW"), HttpMethod::Other);
    EXPECT_EQ(parseHttpMethod(""), HttpMethod::Other);
    EXPECT_EQ(httpMethodName(HttpMethod::Options), "OPTIONS");
}

TEST(RouterTest, RoutesOfTheOrderTakeTheirPlacesWhateverTheOrderTheyWereAddedIn) {
    Router router({{HttpMethod::Get, "/a"}, {HttpMethod::Post, "/b"}, {HttpMethod::Get, "/c"}});
    const auto named = [](std::string name) {
        return [name](const HttpRequest&) { return textResponse(200, name); };
    };
    router.add(HttpMethod::Get, "/<path>", named("catch-all"));  // Not in the order: after it.
    router.add(HttpMethod::Get, "/c", named("c"));
    router.add(HttpMethod::Get, "/extra", named("extra"));
    router.add(HttpMethod::Get, "/a", named("a"));
    router.add(HttpMethod::Get, "/c", named("second c"));  // Same place: the first one wins.
    // "/b" was never added: its place stays empty.

    const std::vector<RouteKey> expected{{HttpMethod::Get, "/a"},
                                         {HttpMethod::Get, "/c"},
                                         {HttpMethod::Get, "/c"},
                                         {HttpMethod::Get, "/<path>"},
                                         {HttpMethod::Get, "/extra"}};
    EXPECT_EQ(router.routes(), expected);
    const auto handlerOf = [&](std::string_view path) {
        const auto resolution = router.resolve(HttpMethod::Get, path);
        return resolution.handler == nullptr ? std::string() : (*resolution.handler)({}).body;
    };
    EXPECT_EQ(handlerOf("/c"), "c");
    EXPECT_EQ(handlerOf("/extra"), "catch-all");
    EXPECT_EQ(router.resolve(HttpMethod::Post, "/b").response.status, 405);
}

}  // namespace
}  // namespace pellan
