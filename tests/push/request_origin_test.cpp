#include "push/request_origin.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace pellan {
namespace {

// A machine called "studio-pc" whose /etc/hosts names it studio-pc.example.net.
const RequestOriginPolicy kStudioPc({"Studio-PC", "studio-pc.local", "studio-pc.example.net."});

TEST(RequestOriginTest, HostHeaderNamesThisMachineOrAnAddress) {
    struct Case {
        const char* host;
        bool allowed;
    };
    const Case cases[] = {
        {"localhost", true},
        {"localhost:9001", true},
        {"LOCALHOST:8000", true},
        {"localhost.", true},
        {"ui.localhost:8000", true},
        {"a.b.localhost", true},
        {"127.0.0.1", true},
        {"127.0.0.1:9001", true},
        {"198.18.0.7:8000", true},  // the PC's studio address, typed by the user
        {"[::1]:9001", true},
        {"[::1]", true},
        {"studio-pc", true},
        {"STUDIO-PC:9001", true},
        {"studio-pc.local:9001", true},
        {"studio-pc.example.net", true},
        {"studio-pc.example.net.:8000", true},
        // Names of other machines: what a rebound DNS name looks like.
        {"evil.example.com", false},
        {"evil.example.com:9001", false},
        {"studio-pc.evil.example.com", false},
        {"localhost.evil.com", false},
        {"xlocalhost", false},
        {".localhost", false},
        {"other-pc.local", false},
        // Malformed headers.
        {"", false},
        {":9001", false},
        {"localhost:", true},  // An empty port is the scheme's default, as a URI reads it.
        {"[::1]:", true},
        {"localhost:0", false},
        {"localhost:65536", false},
        {"localhost:80x", false},
        {"localhost:9001:1", false},
        {"::1", false},
        {"[::1", false},
        {"[::1]x", false},
        {"[localhost]", false},
        // IPv6 literals.
        {"[::]", true},
        {"[1:2:3:4:5:6:7:8]:8000", true},
        {"[1:2:3:4:5:6:7::]", true},
        {"[FE80::abcd:1]", true},
        {"[::ffff:127.0.0.1]", true},
        {"[1:2:3:4:5:6:198.18.0.1]", true},
        {"[1:2:3:4:5:6:7:8:9]", false},
        {"[1:2:3:4:5:6:7:198.18.0.1]", false},
        {"[1::2::3]", false},
        {"[:::]", false},
        {"[12345::]", false},
        {"[::g]", false},
        {"[:1]", false},
        {"[1:]", false},
        {"[::1.2.3]", false},
        {"[198.18.3.4::]", false},
        {"[fe80::1%eth0]", false},
        {"[]", false},
        {"user@localhost", false},
        {"local host", false},
        {"localhost/x", false},
        {"local..host", false},
        {"0x7f.0.0.1", false},
        {"127.1", false},
        {"localhost\r\nX: y", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kStudioPc.isAllowedHost(c.host), c.allowed) << '"' << c.host << '"';
    }
}

TEST(RequestOriginTest, OriginMustBeTheUiPageOnPort8000) {
    struct Case {
        const char* origin;
        bool allowed;
    };
    const Case cases[] = {
        {"http://localhost:8000", true},
        {"HTTP://localhost:8000", true},
        {"http://127.0.0.1:8000", true},
        {"http://[::1]:8000", true},
        {"http://studio-pc.local:8000", true},
        {"http://ui.localhost:8000", true},
        {"http://localhost", false},  // port 80
        {"http://localhost:80", false},
        {"http://localhost:9001", false},
        {"http://localhost:08000", false},
        {"https://localhost:8000", false},
        {"ws://localhost:8000", false},
        {"http://evil.example.com:8000", false},
        {"http://localhost:8000/", false},
        {"http://localhost:8000/index.html", false},
        {"http://user@localhost:8000", false},
        {"null", false},
        {"", false},
        {"http://", false},
        {"http://:8000", false},
        {"file://", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kStudioPc.isAllowedUiOrigin(c.origin), c.allowed) << '"' << c.origin << '"';
    }
}

TEST(RequestOriginTest, UiPortIsThePolicysOwn) {
    const RequestOriginPolicy policy({}, 18000);
    EXPECT_TRUE(policy.isAllowedUiOrigin("http://localhost:18000"));
    EXPECT_FALSE(policy.isAllowedUiOrigin("http://localhost:8000"));
}

TEST(RequestOriginTest, ThisMachineIsKnownByItsHostNameWithAndWithoutLocal) {
    const auto names = thisMachineHostNames();
    ASSERT_FALSE(names.empty());
    const std::string& hostName = names.front();
    const std::string shortName = hostName.substr(0, hostName.find('.'));
    EXPECT_NE(std::find(names.begin(), names.end(), shortName + ".local"), names.end());
    EXPECT_TRUE(isAllowedHost(hostName + ":9001"));
    EXPECT_TRUE(isAllowedHost(shortName + ".local"));
    EXPECT_TRUE(isAllowedUiOrigin("http://" + hostName + ":8000"));
    EXPECT_FALSE(isAllowedHost("not-" + shortName + ".example.com"));
}

}  // namespace
}  // namespace pellan
