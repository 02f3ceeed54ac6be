#include "web/route_helpers.hpp"

#include "web/http_server.hpp"
#include "web/static_files.hpp"

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace pellan {
namespace {

TEST(UrlDecodeTest, DecodesAsTheDeviceRoutesExpect) {
    struct Case {
        std::string in;
        std::string out;
    };
    const std::vector<Case> cases{
        {"a%2Db", "a-b"},
        {"TRQ%2DPN4%2D0A1B2C", "TRQ-PN4-0A1B2C"},
        {"a+b", "a b"},
        {"100%", "100%"},
        {"%", "%"},
        {"%4", "%4"},  // Fewer than two characters after "%".
        {"%zz1", "%zz1"},
        {"%z1", "%z1"},
        {"%4z", std::string("\x04") + ""},  // The leading digit alone is read; both are skipped.
        {"a%2Fb", "a/b"},
        {"%2e%2E", ".."},
        {"%C3%A9", "\xC3\xA9"},
        {"%00x", std::string("\0x", 2)},
        {"%ff", "\xFF"},
        {"%%41", "%A"},
        {"%2B+", "+ "},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(urlDecode(c.in), c.out) << c.in;
    }
}

TEST(JsonErrorTest, IsCompactJsonWithItsContentType) {
    const HttpResponse response = jsonError(404, "No such \"thing\"");
    EXPECT_EQ(response.status, 404);
    EXPECT_EQ(response.body, R"({"error":"No such \"thing\""})");
    ASSERT_NE(response.header("content-type"), nullptr);
    EXPECT_EQ(*response.header("Content-Type"), "application/json");
}

TEST(WireJsonTest, SortsKeysAndReplacesBytesThatAreNotUtf8) {
    EXPECT_EQ(wireJson({{"b", 1}, {"a", {1, 2}}}), R"({"a":[1,2],"b":1})");
    EXPECT_EQ(wireJson({{"h", "x\xFFy"}}), "{\"h\":\"x\xEF\xBF\xBDy\"}");
}

TEST(Utf8Test, AcceptsWellFormedTextOnly) {
    for (const char* good : {"", "abc", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x8E\xA4"}) {
        EXPECT_TRUE(isValidUtf8(good)) << good;
    }
    for (const char* bad : {"\xFF", "\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                            "\xF4\x90\x80\x80", "a\x80"}) {
        EXPECT_FALSE(isValidUtf8(bad)) << bad;
    }
}

TEST(RequestBodyTest, RefusesTextThatIsNotJsonOrNestedTooDeeply) {
    EXPECT_EQ(jsonNestingDepth(R"({"a":[1,{"b":"[[[["}]})"), 3U);
    EXPECT_EQ(jsonNestingDepth(R"("\"[")"), 0U);
    EXPECT_TRUE(tryParseRequestBody(std::string(kMaxRequestJsonDepth, '[') +
                                    std::string(kMaxRequestJsonDepth, ']')));
    EXPECT_FALSE(tryParseRequestBody(std::string(kMaxRequestJsonDepth + 1, '[') +
                                     std::string(kMaxRequestJsonDepth + 1, ']')));
    EXPECT_FALSE(tryParseRequestBody(std::string(1'000'000, '[')));
    for (const char* bad : {"", "{", "nope", "{\"a\":1}x", "{'a':1}", "\"\xFF\""}) {
        EXPECT_FALSE(tryParseRequestBody(bad)) << bad;
    }
}

TEST(MimeTypeTest, MatchesTheLowerCasedExtensionExactly) {
    struct Case {
        const char* path;
        const char* type;
    };
    const std::vector<Case> cases{
        {"index.html", "text/html; charset=utf-8"},
        {"app.JS", "application/javascript"},
        {"a/b/style.css", "text/css"},
        {"data.json", "application/json"},
        {"x.map", "application/json"},
        {"i.png", "image/png"},
        {"i.JPG", "image/jpeg"},
        {"i.jpeg", "image/jpeg"},
        {"i.svg", "image/svg+xml"},
        {"favicon.ico", "image/x-icon"},
        {"notes.txt", "text/plain; charset=utf-8"},
        {"i.webp", "image/webp"},
        {"f.woff", "font/woff"},
        {"f.woff2", "font/woff2"},
        {"f.ttf", "font/ttf"},
        {"f.eot", "application/vnd.ms-fontobject"},
        {"page.htm", "application/octet-stream"},
        {"blob.bin", "application/octet-stream"},
        {"README", "application/octet-stream"},
        {".html", "application/octet-stream"},  // Its only "." is its first character.
        {"dir.js/file", "application/octet-stream"},
        {"a.tar.gz", "application/octet-stream"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mimeTypeFor(c.path), c.type) << c.path;
    }
}

TEST(SameOriginTest, ComparesSchemeHostAndPortWithTheHostHeader) {
    struct Case {
        const char* origin;
        const char* host;
        bool same;
    };
    const std::vector<Case> cases{
        {"http://127.0.0.1:8000", "127.0.0.1:8000", true},
        {"http://LOCALHOST:8000", "localhost:8000", true},
        {"HTTP://studio-pc:8000", "Studio-PC:8000", true},
        {"http://localhost", "localhost:80", true},
        {"http://localhost:80", "localhost", true},
        {"http://[::1]:8000", "[::1]:8000", true},
        {"http://127.0.0.1:8001", "127.0.0.1:8000", false},
        {"http://localhost:8000", "127.0.0.1:8000", false},
        {"https://127.0.0.1:8000", "127.0.0.1:8000", false},
        {"http://evil.example", "127.0.0.1:8000", false},
        {"null", "127.0.0.1:8000", false},
        {"http://127.0.0.1:8000", "", false},
        {"http://127.0.0.1:8000/", "127.0.0.1:8000", false},
        {"http://user@127.0.0.1:8000", "127.0.0.1:8000", false},
        {"http://127.0.0.1:80000", "127.0.0.1:80000", false},
        {"http://127.0.0.1:x", "127.0.0.1:x", false},
        {"http://", "", false},
        {"http://:8000", ":8000", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isSameOrigin(c.origin, c.host), c.same) << c.origin << " vs " << c.host;
    }
}

class StaticFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(root / "a" / "sub");
        test::writeFile(root / "index.html", "<html>index</html>");
        test::writeFile(root / "b.txt", "b text");
        test::writeFile(root / "app.JS", "js");
        test::writeFile(root / "a" / "sub" / "f.woff2", "font");
        test::writeFile(root / "empty.css", "");
        test::writeFile(root / "..\\x", "a name with a backslash");
        test::writeFile(dir / "secret.txt", "secret");
    }

    test::TempDir dir;
    std::filesystem::path root = dir / "ui";
};

TEST_F(StaticFilesTest, ServesFilesFallsBackToIndexAndRefusesToLeaveTheRoot) {
    struct Case {
        std::string path;  // Without the leading "/", as it arrives.
        int status;
        std::string body;
        std::string type;
    };
    const std::string index = "<html>index</html>";
    const std::string html = "text/html; charset=utf-8";
    const std::vector<Case> cases{
        {"b.txt", 200, "b text", "text/plain; charset=utf-8"},
        {"app.JS", 200, "js", "application/javascript"},
        {"a/sub/f.woff2", 200, "font", "font/woff2"},
        {"a/../b.txt", 200, "b text", "text/plain; charset=utf-8"},
        {"./a/./sub//f.woff2", 200, "font", "font/woff2"},
        {"missing/page", 200, index, html},
        {"api/unknown", 200, index, html},
        {"empty.css", 200, index, html},
        {"a", 200, index, html},  // A directory.
        {"a/", 200, index, html},
        {".", 200, index, html},
        {"%2e%2e/secret.txt", 200, index, html},  // Not percent-decoded: a name that is not there.
        {std::string(5000, 'x'), 200, index, html},
        {std::string(300, 'a') + "/" + std::string(300, 'b'), 200, index, html},
        {"../secret.txt", 403, "", ""},
        {"a/../../secret.txt", 403, "", ""},
        {"a/sub/../../../secret.txt", 403, "", ""},
        {"..", 403, "", ""},
        {"/C:/x", 403, "", ""},
        {"/etc/passwd", 403, "", ""},
        {"C:/x", 403, "", ""},
        {"C:x", 403, "", ""},
        {"index.html::$DATA", 403, "", ""},
        {"..\\secret.txt", 403, "", ""},
        {"..\\x", 403, "", ""},
        {"a\\..\\..\\secret.txt", 403, "", ""},
        {std::string("b.txt\0.png", 10), 403, "", ""},
        {std::string("\0", 1), 403, "", ""},
    };
    for (const Case& c : cases) {
        const HttpResponse response = serveStaticPath(root, c.path);
        EXPECT_EQ(response.status, c.status) << c.path;
        EXPECT_EQ(response.body, c.body) << c.path;
        const std::string* type = response.header("Content-Type");
        EXPECT_EQ(type == nullptr ? "" : *type, c.type) << c.path;
    }
}

TEST_F(StaticFilesTest, AnswersNotFoundWhenThereIsNoIndex) {
    std::filesystem::remove(root / "index.html");
    EXPECT_EQ(serveIndex(root).status, 404);
    EXPECT_EQ(serveStaticPath(root, "missing").status, 404);
    EXPECT_EQ(serveStaticPath(root, "missing").body, "");
    EXPECT_EQ(serveStaticPath(root, "b.txt").status, 200);
    EXPECT_EQ(serveIndex(dir / "no-such-dir").status, 404);

    test::writeFile(root / "index.html", "");
    EXPECT_EQ(serveIndex(root).status, 404);
}

TEST_F(StaticFilesTest, ReadsRegularFilesOnly) {
    EXPECT_EQ(readWholeFile(root / "b.txt"), "b text");
    EXPECT_EQ(readWholeFile(root / "a"), "");
    EXPECT_EQ(readWholeFile(root / "nope"), "");
    EXPECT_EQ(readWholeFile("/dev/zero"), "");  // Would never end.
}

}  // namespace
}  // namespace pellan
