#include "base/ascii.hpp"
#include "base/host_port.hpp"
#include "base/ipv4.hpp"
#include "base/utf8.hpp"
#include "base/wire_json.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace pellan {
namespace {

TEST(AsciiTest, FoldsOnlyAsciiLetters) {
    EXPECT_EQ(toLowerAscii("Host: LOCALHOST-1_\xC3\x84"), "host: localhost-1_\xC3\x84");
    EXPECT_EQ(toUpperAscii("pn-4x\xC3\xA4"), "PN-4X\xC3\xA4");
    EXPECT_TRUE(equalsIgnoringAsciiCase("Content-Length", "content-LENGTH"));
    EXPECT_FALSE(equalsIgnoringAsciiCase("Content-Length", "Content-Lengt"));
    EXPECT_FALSE(equalsIgnoringAsciiCase("\xC3\x84", "\xC3\xA4"));
    EXPECT_TRUE(startsWithIgnoringAsciiCase("HTTP://x", "http://"));
    EXPECT_FALSE(startsWithIgnoringAsciiCase("http:", "http://"));
}

TEST(Utf8Test, AcceptsWellFormedTextOnly) {
    struct Case {
        std::string text;
        bool valid;
    };
    const Case cases[] = {
        {"", true},
        {"plain", true},
        {"\xC3\xA4\xE2\x82\xAC\xF0\x9F\x8E\xA4", true},  // 2-, 3- and 4-byte forms.
        {"\xF4\x8F\xBF\xBF", true},                      // U+10FFFF.
        {"\xC0\x80", false},                             // Overlong NUL.
        {"\xE0\x80\xAF", false},                         // Overlong '/'.
        {"\xED\xA0\x80", false},                         // Surrogate.
        {"\xF4\x90\x80\x80", false},                     // Above U+10FFFF.
        {"\xC3", false},                                 // Cut short.
        {"a\x80", false},                                // Lone continuation byte.
        {"\xFF", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(isValidUtf8(c.text), c.valid);
    }
}

TEST(WireJsonTest, CompactSortedAndNeverThrowsOnBadBytes) {
    const nlohmann::json value = {{"b", 1}, {"a", std::string("x\xFFy")}};
    EXPECT_EQ(wireJson(value), "{\"a\":\"x\xEF\xBF\xBDy\",\"b\":1}");
}

TEST(WireJsonTest, NestingDepthSkipsStrings) {
    EXPECT_EQ(jsonNestingDepth(""), 0U);
    EXPECT_EQ(jsonNestingDepth("[[{}],[]]"), 3U);
    EXPECT_EQ(jsonNestingDepth("{\"a\":\"[[[[\\\"[[\"}"), 1U);
    EXPECT_EQ(jsonNestingDepth("]]]][[ "), 2U);
}

TEST(Ipv4Test, ReadsDottedQuadsOnly) {
    struct Case {
        std::string text;
        std::optional<std::uint32_t> address;
    };
    const Case cases[] = {
        {"198.18.0.1", 0xC6120001U},
        {"0.0.0.0", 0U},
        {"255.255.255.255", 0xFFFFFFFFU},
        {"127.0.0.1", 0x7F000001U},
        {"198.256.0.1", std::nullopt},
        {"198.18.3", std::nullopt},
        {"198.18.3.4.", std::nullopt},
        {"198.18.3.4.5", std::nullopt},
        {"198.18.03.4", std::nullopt},
        {"198..3.4", std::nullopt},
        {" 198.18.3.4", std::nullopt},
        {"198.18.3.4 ", std::nullopt},
        {"+198.18.3.4", std::nullopt},
        {"1198.18.3.4", std::nullopt},
        {std::string("198.18.3.4\0", 11), std::nullopt},
        {"", std::nullopt},
        {"localhost", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parseIpv4(c.text), c.address);
    }
    EXPECT_TRUE(isLoopbackIpv4("127.1.2.3"));
    EXPECT_FALSE(isLoopbackIpv4("198.18.0.1"));
}

TEST(HostPortTest, SplitsAuthorities) {
    struct Case {
        std::string text;
        std::optional<HostPort> parts;
    };
    const Case cases[] = {
        {"localhost", HostPort{"localhost", false, std::nullopt}},
        {"LocalHost:8000", HostPort{"LocalHost", false, 8000}},
        {"localhost:", HostPort{"localhost", false, std::nullopt}},
        {"198.18.0.1:65535", HostPort{"198.18.0.1", false, 65535}},
        {"[::1]", HostPort{"::1", true, std::nullopt}},
        {"[::1]:9001", HostPort{"::1", true, 9001}},
        {"[::1]:", HostPort{"::1", true, std::nullopt}},
        {"", std::nullopt},
        {":8000", std::nullopt},
        {"[]:80", std::nullopt},
        {"[::1", std::nullopt},
        {"[::1]x", std::nullopt},
        {"host:0", std::nullopt},
        {"host:65536", std::nullopt},
        {"host:008000", std::nullopt},
        {"host:80a", std::nullopt},
        {"host:-1", std::nullopt},
        {"host:80:81", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parseHostPort(c.text), c.parts);
    }
}

}  // namespace
}  // namespace pellan
